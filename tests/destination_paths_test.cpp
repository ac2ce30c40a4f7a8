// Where a backup writes: destination and temporary paths, the host-chosen root, file records.
#include "support/RecordingHost.h"
#include "support/TestManager.h"
#include "support/TestSupport.h"

#include <orv_platform/utf.h>

#include <gtest/gtest.h>

using OrvCopy::CArchiveItem;
using orvtest::TestManager;

namespace {

using orvtest::N;

namespace Records = OrvCopy::Records;
using orvtest::IsLogRecord;

CArchiveItem Item(const std::wstring& folder, const std::wstring& name, int isFolder = 0,
                  const std::wstring& source = N(L"/data/report.doc")) {
  CArchiveItem item;
  item.m_strDestFolder = folder;
  item.m_strFileName = name;
  item.m_bIsFolder = isFolder;
  item.m_strSourcePath = source;
  return item;
}

std::wstring Dest(TestManager& m, CArchiveItem item) {
  std::wstring temp;
  return m.GetDestCopyFile(item, temp);
}

TEST(DestinationPaths, JoinRootFolderAndNameWithOneSeparator) {
  TestManager m;
  m.SetDestRootFolder(N(L"/backup").c_str());
  EXPECT_EQ(Dest(m, Item(L"Docs", L"a.txt")), N(L"/backup/Docs/a.txt"));
  m.SetDestRootFolder(N(L"/backup/").c_str());
  EXPECT_EQ(Dest(m, Item(L"Docs", L"a.txt")), N(L"/backup/Docs/a.txt"));
  EXPECT_EQ(Dest(m, Item(L"Docs", L"a.txt", 1)), N(L"/backup/Docs"));  // a folder: no name
  EXPECT_EQ(Dest(m, Item(L"Docs", L"")), N(L"/backup/Docs/report.doc"));
  m.SetDestRootFolder(L"");
  EXPECT_EQ(Dest(m, Item(L"", L"a.txt")), L"a.txt");  // never "/a.txt"
  EXPECT_EQ(Dest(m, Item(L"", L"", 1)), L"");
  // Long paths keep their separators.
  const std::wstring root = N(L"/") + std::wstring(300, L'r'), folder(300, L'f');
  m.SetDestRootFolder(root.c_str());
  EXPECT_EQ(Dest(m, Item(folder, L"n")), root + N(L"/") + folder + N(L"/n"));
}

TEST(DestinationPaths, PartsAfterTheFirstCarryTheVolumeSuffix) {
  TestManager m;
  m.SetDestRootFolder(N(L"/b").c_str());
  m.m_nVolumeNumber = 2;
  EXPECT_EQ(Dest(m, Item(L"D", L"a.txt")), N(L"/b/D/a.txt"));  // not continuing: no suffix
  m.m_bContinueInNextVolume = 1;
  EXPECT_EQ(Dest(m, Item(L"D", L"a.txt")), N(L"/b/D/a.txt.002"));
  m.m_nVolumeNumber = 1000;
  EXPECT_EQ(Dest(m, Item(L"D", L"a.txt")), N(L"/b/D/a.txt.1000"));
  m.SetCopyType(OrvCopy::CopyTypeHostComposed);  // composition left to the host
  EXPECT_EQ(Dest(m, Item(L"D", L"a.txt")), L".1000");
  m.m_bContinueInNextVolume = 0;
  EXPECT_EQ(Dest(m, Item(L"D", L"a.txt")), L"");
}

TEST(DestinationPaths, TemporaryCopiesGoToTheTempFolderByFileName) {
  orvtest::TempDir dir;
  TestManager m;
  m.m_bUseTempFolder = 1;
  m.SetTempFolder(dir.W().c_str());
  m.SetDestRootFolder(N(L"/b").c_str());
  CArchiveItem item = Item(L"D", L"a.txt");
  std::wstring temp;
  EXPECT_EQ(m.GetDestCopyFile(item, temp), N(L"/b/D/a.txt"));
  EXPECT_EQ(temp, dir.W("a.txt"));
  CArchiveItem folder = Item(L"D", L"", 1);
  temp = L"stale";
  m.GetDestCopyFile(folder, temp);
  EXPECT_TRUE(temp.empty());  // folders have no temporary copy

  dir.WriteFile("a.txt", "earlier copy");
  EXPECT_EQ(m.GetDestTempFile(N(L"/elsewhere/a.txt").c_str()), dir.W("a.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "a.txt"));  // the earlier one is deleted
}

TEST(DestinationPaths, AnUndeletableTemporaryFileGivesNoPathAndALogRecord) {
  orvtest::TempDir dir;
  orvtest::LogCapture log;
  TestManager m;
  m.SetTempFolder(dir.W().c_str());
  std::filesystem::create_directories(dir.Path() / "busy.txt" / "inside");
  EXPECT_EQ(m.GetDestTempFile(N(L"/x/busy.txt").c_str()), L"");
  ASSERT_EQ(log.Records().size(), 1u);
  EXPECT_THAT(log.Records()[0], IsLogRecord(Records::kTempFileExists));
}

TEST(DestinationPaths, AnEmptyTempFolderIsTheSystemsAndIsRemembered) {
  orvtest::TempDir dir;
  const orvtest::ScopedTempFolderVariable temp(dir.Path());
  TestManager m;
  EXPECT_EQ(m.GetDestTempFile(N(L"/x/f.bin").c_str()), dir.W("f.bin"));
  EXPECT_EQ(m.m_strTempFolder, dir.W() + N(L"/"));
}

TEST(DestinationPaths, ArchivesGetTheZipExtension) {
  TestManager m;
  std::wstring path = N(L"/b/a.txt");
  m.AddCompressionExt(path);
  EXPECT_EQ(path, N(L"/b/a.txt.zip"));
}

TEST(HostDestination, AskedOnlyWithTheJobFlagAndStoredWithItsVolumeSize) {
  orvtest::RecordingHost host;
  TestManager m;
  m.SetCallBack(&host);
  EXPECT_EQ(m.PrepareDestination(), 1);
  EXPECT_TRUE(host.calls.empty());

  m.SetFlags(OrvCopy::JobFlagAskDestination);
  host.destinations = {N(L"/media/disk1")};
  host.spaces = {4096000};
  EXPECT_EQ(m.PrepareDestination(), 1);
  EXPECT_EQ(host.calls, (std::vector<std::string>{"destination 0", "space"}));
  EXPECT_EQ(m.m_strDestRootFolder, N(L"/media/disk1"));
  EXPECT_EQ(m.m_arrSplitSizes, std::vector<uint64_t>{4096000});

  host.destinations = {N(L"/media/disk2")};  // the size question is refused
  EXPECT_EQ(m.PrepareDestination(), 0);
  EXPECT_EQ(m.m_strDestRootFolder, N(L"/media/disk2"));
  EXPECT_EQ(m.m_arrSplitSizes.size(), 1u);
  EXPECT_EQ(m.PrepareDestination(), 0);  // the destination itself is refused
}

TEST(FileRecords, PathsThatDoNotFitAreLoggedNotCut) {
  orvtest::LogCapture log;
  OrvCompression::_SimulatedBackedupFile record;
  const std::wstring fits = N(L"/b/") + std::wstring(250, L'x') + L"\U0001F600";  // 255 units
  EXPECT_TRUE(TestManager::SetRecordPath(record.szDestPath, fits));
  EXPECT_EQ(orv::platform::Utf16ToWide(record.szDestPath), fits);
  const std::wstring tooLong = N(L"/b/") + std::wstring(256, L'x');  // 259 characters, 260 units
  EXPECT_FALSE(TestManager::SetRecordPath(record.szDataPath, tooLong + L"\U0001F600"));
  EXPECT_EQ(record.szDataPath[0], u'\0');
  ASSERT_EQ(log.Records().size(), 1u);
  EXPECT_EQ(log.Details().at(0), orvtest::Detail(OrvCopy::Details::kFile, tooLong + L"\U0001F600"));
}

}  // namespace
