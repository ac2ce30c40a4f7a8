// Opening source files: the flag mapping, the two opens per pass, the shadow-copy retry and
// the log records of each failure.
#include "CFile_Fix2.h"
#include "support/TestManager.h"
#include "support/TestSupport.h"

#include <orv_platform/fault_injection_test_helper.h>

#include <gtest/gtest.h>

#include <cerrno>

using OrvCopy::CArchiveItem;
using OrvCopy::CFile_Fix2;
using OrvCopy::COrvCopyManagerTestAccess;
namespace fault = orv::platform::fault;

namespace {

namespace Records = OrvCopy::Records;
using orvtest::IsLogRecord;

TEST(OpenFlags, MapOntoCreateFileArgumentsAsTheFrameworkDoes) {
  struct Case {
    UINT flags;
    DWORD access, share, disposition, attributes;
    BOOL inherit;
  };
  const std::vector<Case> cases = {
      // Source files: read, deny none, binary, sequential.
      {0x88040, GENERIC_READ, 3, OPEN_EXISTING, 0x8000080, TRUE},
      // Destinations: write, deny write, create (0x9021) or not (0x8021).
      {0x9021, GENERIC_WRITE, 1, CREATE_ALWAYS, 0x80, TRUE},
      {0x8021, GENERIC_WRITE, 1, OPEN_EXISTING, 0x80, TRUE},
      {0x3002, 0xC0000000, 0, OPEN_ALWAYS, 0x80, TRUE},
      {0x2003 | 0x80 | 0x30, 0, 2, OPEN_EXISTING, 0x80, FALSE},
      {0x10 | 0x10000 | 0x20000 | 0x40000, GENERIC_READ, 0, OPEN_EXISTING, 0xB0000080, TRUE},
      {0x50, GENERIC_READ, 0, OPEN_EXISTING, 0x80, TRUE},
  };
  for (const Case& c : cases) {
    const CFile::CreateArgs args = CFile::MapOpenFlags(c.flags);
    EXPECT_EQ(args.dwAccess, c.access) << std::hex << c.flags;
    EXPECT_EQ(args.dwShareMode, c.share) << std::hex << c.flags;
    EXPECT_EQ(args.dwDisposition, c.disposition) << std::hex << c.flags;
    EXPECT_EQ(args.dwFlagsAndAttributes, c.attributes) << std::hex << c.flags;
    EXPECT_EQ(args.bInheritHandle, c.inherit) << std::hex << c.flags;
  }
}

TEST(FileFix2, OpenKeepsThePathAndFillsTheErrorRecord) {
  orvtest::TempDir dir;
  CFile_Fix2 file;
  CFileException error;
  const std::wstring missing = dir.W("missing.bin");
  EXPECT_FALSE(file.Open(missing.c_str(), 0x88040, &error, 1));
  EXPECT_EQ(error.m_lOsError, 2);
  EXPECT_EQ(error.m_cause, CFileException::fileNotFound);
  EXPECT_EQ(error.m_strFileName, missing);
  EXPECT_FALSE(file.IsOpen());
  // A folder opens only with backup semantics, as on Windows.
  EXPECT_FALSE(file.Open(dir.W().c_str(), 0x88040, nullptr, 0));
  EXPECT_TRUE(file.Open(dir.W().c_str(), 0x88040, nullptr, 1));
  EXPECT_EQ(file.GetFilePath(), dir.W());
  EXPECT_THROW(file.SetFilePath(nullptr), CInvalidArgException);
}

class SourceOpening : public ::testing::Test {
 protected:
  void SetUp() override { fault::Reset(); }
  void TearDown() override { fault::Reset(); }

  int Open(const std::wstring& path, CFile_Fix2& file, CArchiveItem& item) {
    return COrvCopyManagerTestAccess::OpenSourceFile(manager, path.c_str(), file, item);
  }

  orvtest::TempDir dir;
  orvtest::LogCapture log;
  orvtest::TestManager manager;
};

TEST_F(SourceOpening, AFileThatOpensWritesNothing) {
  CFile_Fix2 file;
  CArchiveItem item;
  EXPECT_EQ(Open(dir.WriteFile("a.txt", "x"), file, item), 0);
  EXPECT_TRUE(file.IsOpen());
  // A file that only the plain open can read is opened by the second call.
  CFile_Fix2 second;
  fault::FailNth(fault::Op::Open, 1, EACCES);
  EXPECT_EQ(Open(dir.W("a.txt"), second, item), 0);
  EXPECT_EQ(fault::Calls(fault::Op::Open), 1u + 2u);
  EXPECT_TRUE(log.Entries().empty());
}

TEST_F(SourceOpening, AMissingFileIsLoggedWithFiveDetailLines) {
  CFile_Fix2 file;
  CArchiveItem item;
  const std::wstring path = dir.W("missing.txt");
  EXPECT_EQ(Open(path, file, item), 62);
  ASSERT_EQ(log.Records().size(), 1u);
  EXPECT_THAT(log.Records()[0], IsLogRecord(Records::kOpenSourceFailed));
  const std::vector<std::wstring> details = log.Details();
  ASSERT_EQ(details.size(), 5u);
  EXPECT_EQ(details[0], orvtest::Detail(OrvCopy::Details::kSource, path));
  EXPECT_EQ(details[1], orvtest::Detail(OrvCopy::Details::kCause, L"2"));
  EXPECT_EQ(details[2], orvtest::Detail(OrvCopy::Details::kOpenSystemErrorCode, L"2"));
  EXPECT_EQ(details[3].rfind(orvtest::Detail(OrvCopy::Details::kErrorMessage, L""), 0), 0u);
  EXPECT_NE(details[3].find(L"was not found"), std::wstring::npos);
  EXPECT_EQ(details[4], orvtest::Detail(OrvCopy::Details::kVSSFile, L""));
  EXPECT_FALSE(file.IsOpen());
}

TEST_F(SourceOpening, TheShadowCopyIsTriedOnceAfterTheGivenPath) {
  CFile_Fix2 file;
  CArchiveItem item;
  item.m_strVSSPath = dir.WriteFile("shadow.txt", "from the shadow copy");
  EXPECT_EQ(Open(dir.W("missing.txt"), file, item), 0);
  EXPECT_EQ(log.Records().size(), 1u);
  EXPECT_EQ(log.Details().back(),
            orvtest::Detail(OrvCopy::Details::kRetryVSSFile, item.m_strVSSPath));
  EXPECT_EQ(file.GetFilePath(), item.m_strVSSPath);

  orvtest::LogCapture second;
  fault::Reset();
  CFile_Fix2 other;
  item.m_strVSSPath = dir.W("gone-too.txt");
  EXPECT_EQ(Open(dir.W("missing.txt"), other, item), 62);
  EXPECT_EQ(second.Records().size(), 2u);        // one per pass, no third pass
  EXPECT_EQ(fault::Calls(fault::Op::Open), 4u);  // with and without backup semantics, twice
}

// A file object whose path cannot be set: the open raises a framework file exception.
class RefusingFile : public CFile_Fix2 {
 public:
  void SetFilePath(LPCWSTR) override {
    throw CFileException(CFileException::accessDenied, 5, L"refused");
  }
};

TEST_F(SourceOpening, AnExceptionInsideAPassIsLoggedWithItsText) {
  RefusingFile file;
  CArchiveItem item;
  const std::wstring path = dir.W("a.txt");
  EXPECT_EQ(Open(path, file, item), 62);
  const auto records = log.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_THAT(records[0], IsLogRecord(Records::kOpenSourceException));
  EXPECT_EQ(records[1].nSeverity, 4);
  EXPECT_THAT(records[1], IsLogRecord(Records::kOpenSourceExceptionText));
  EXPECT_NE(records[1].strText.find(L"refused"), std::wstring::npos);
  EXPECT_EQ(log.Details(),
            std::vector<std::wstring>{orvtest::Detail(OrvCopy::Details::kSource, path)});
}

}  // namespace
