// Removal of mirrored copies: attributes, folders and files, records and reports.
#include <orv_platform/win32.h>

#include "support/RecordingHost.h"
#include "support/TestManager.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

namespace Records = OrvCopy::Records;
using orvtest::IsLogRecord;

class Removal : public ::testing::Test {
 protected:
  void SetUp() override {
    m.SetCallBack(&host);
    m.SetSourceRootFolder(dir.W().c_str());
  }
  void Add(const std::wstring& path, uint64_t key, int folder = 0) {
    m.AddItem(path.c_str(), L"", L"", key, 0, 1, 0, 0, 1, folder, nullptr);
  }

  orvtest::TempDir dir;
  orvtest::LogCapture log;
  orvtest::RecordingHost host;
  orvtest::TestManager m;
};

TEST_F(Removal, ReadOnlyAndHiddenFilesGo) {
  dir.WriteFile("ro.txt", "x");
  dir.WriteFile(".hidden", "x");
  orvtest::MakeReadOnly(dir.Path() / "ro.txt");
  // Hidden by its name on POSIX, by the attribute on Windows; read-only as well.
  ASSERT_TRUE(SetFileAttributesW(dir.W(".hidden").c_str(),
                                 FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
  Add(L"ro.txt", 1);
  Add(L".hidden", 2);
  EXPECT_EQ(m.Remove(), 0);
  EXPECT_FALSE(fs::exists(dir.Path() / "ro.txt"));
  EXPECT_FALSE(fs::exists(dir.Path() / ".hidden"));
  EXPECT_EQ(host.calls, (std::vector<std::string>{"removed 1", "removed 2"}));
  EXPECT_TRUE(log.Records().empty());
  EXPECT_EQ(log.Details(), (std::vector<std::wstring>{
                               orvtest::Detail(OrvCopy::Details::kDeleteFile, dir.W("ro.txt")),
                               orvtest::Detail(OrvCopy::Details::kDeleteFile, dir.W(".hidden"))}));
}

TEST_F(Removal, AFolderGoesOnlyAfterItsFiles) {
  dir.WriteFile("d/a", "x");
  Add(L"d", 1, 1);
  Add(L"d/a", 2);
  EXPECT_EQ(m.Remove(), 0);
  EXPECT_TRUE(fs::is_directory(dir.Path() / "d"));
  EXPECT_FALSE(fs::exists(dir.Path() / "d/a"));
  ASSERT_EQ(log.Records().size(), 1u);
  EXPECT_THAT(log.Records()[0], IsLogRecord(Records::kRemoveFolderFailed));
  EXPECT_EQ(log.Details()[1], orvtest::Detail(OrvCopy::Details::kFolder, dir.W("d")));

  m.ClearActionData();
  dir.WriteFile("e/b", "x");
  Add(L"e/b", 3);
  Add(L"e", 4, 1);
  EXPECT_EQ(m.Remove(), 0);
  EXPECT_FALSE(fs::exists(dir.Path() / "e"));
}

TEST_F(Removal, AMissingPathIsLoggedAndStillReportedUnlessItsKeyIsZero) {
  Add(L"none", 7);
  Add(L"none-either", 0);
  EXPECT_EQ(m.Remove(), 0);
  EXPECT_EQ(host.calls, std::vector<std::string>{"removed 7"});
  const auto records = log.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_THAT(records[0], IsLogRecord(Records::kRemoveFileFailed));
  EXPECT_EQ(log.Details()[1], orvtest::Detail(OrvCopy::Details::kFile, dir.W("none")));
}

TEST_F(Removal, AnEmptyListResetsTheCountersAndTouchesNothing) {
  host.m_ProcessedStatus.m_nTotalProcessedSize = 9;
  EXPECT_EQ(m.Remove(), 0);
  EXPECT_EQ(host.m_ProcessedStatus.GetTotalProcessedSize(), 0u);
  EXPECT_EQ(host.m_bActionStarted, 1u);
  EXPECT_EQ(m.m_nAction, OrvCopy::ActionRemove);
  EXPECT_TRUE(log.Entries().empty());
}

}  // namespace
