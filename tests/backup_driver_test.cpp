// Copy end to end: folders, files, volumes, host-chosen destinations, compression, the file
// records handed over per volume, and every status the driver returns.
#include <orv_platform/fault_injection_test_helper.h>
#include <orv_platform/utf.h>

#include "Crc32.h"
#include "support/RecordingHost.h"
#include "support/TestManager.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace fault = orv::platform::fault;
namespace fs = std::filesystem;
using orv::platform::Utf16ToWide;

namespace {

namespace Records = OrvCopy::Records;
using orvtest::IsLogRecord;

using orvtest::Crc;
using orvtest::RandomText;

class BackupDriver : public orvtest::BackupFixture {
 protected:
  // Adds a file item below src/ with the same relative name in the backup.
  void AddFile(const std::string& name, const std::string& content, uint64_t key, int aes = 0) {
    const std::wstring source = dir.WriteFile("src/" + name, content);
    const fs::path rel(name);
    m.AddItem(source.c_str(), orvtest::Wide(rel.parent_path()).c_str(),
              orvtest::Wide(rel.filename()).c_str(), key, aes, 1, content.size(), 0, 1, 0, nullptr);
  }
  std::string Backup(const std::string& name) {
    return orvtest::ReadFile(dir.Path() / "backup" / name);
  }
};

TEST_F(BackupDriver, AnEmptyJobSucceedsAndStillSetsTheTotals) {
  host.m_nTotalProcessedSize = host.m_nTotalOutputSize = 99;
  host.m_ProcessedStatus.m_nTotalProcessedSize = host.m_ProcessedStatus.m_nTotalOutputSize = 99;
  EXPECT_EQ(m.Copy(0), 0);
  EXPECT_EQ(host.m_nTotalProcessedSize + host.m_nTotalOutputSize, 0u);
  EXPECT_EQ(host.m_bActionStarted, 1u);
}

TEST_F(BackupDriver, FoldersAreCreatedReportedAndRecorded) {
  fs::create_directories(dir.Path() / "backup/exists");
  m.AddItem(dir.W().c_str(), L"exists", L"", 1, 0, 1, 0, 0, 1, 1, nullptr);
  m.AddItem(dir.W().c_str(), L"new/deep", L"", 2, 0, 1, 0, 0, 1, 1, nullptr);
  EXPECT_EQ(m.Copy(0), 0);
  EXPECT_TRUE(fs::is_directory(dir.Path() / "backup/new/deep"));
  EXPECT_EQ(host.Events(), (std::vector<std::string>{"begin 1", "end 1 crc 0 vol 0", "begin 2",
                                                     "end 2 crc 0 vol 0"}));
  ASSERT_EQ(m.m_arrSimulatedFiles.size(), 2u);
  EXPECT_EQ(Utf16ToWide(m.m_arrSimulatedFiles[0].szDestPath), dir.W("backup/exists"));
  EXPECT_EQ(m.m_arrSimulatedFiles[1].nItemKey, 2u);
}

TEST_F(BackupDriver, AFailedItemDoesNotStopTheRunAndOnlyTheLastCopyDecidesTheResult) {
  AddFile("a", "first", 1);
  m.AddItem(dir.W("src/missing").c_str(), L"", L"missing", 2, 0, 1, 0, 0, 1, 0, nullptr);
  AddFile("c", "third", 3);
  EXPECT_EQ(m.Copy(0), 0);
  EXPECT_EQ(Backup("c"), "third");
  EXPECT_EQ(host.Count("failed 2"), 1u);

  host.calls.clear();
  m.ClearActionData();
  AddFile("a", "first", 1);
  m.AddItem(dir.W("src/missing").c_str(), L"", L"missing", 2, 0, 1, 0, 0, 1, 0, nullptr);
  EXPECT_EQ(m.Copy(0), 62);

  m.ClearActionData();
  host.openResult = 1234;  // the host's own code for a stream it cannot open
  m.AddItem(L"", L"", L"stream", 5, 0, 1, 10, 0, 0, 0, nullptr);
  EXPECT_EQ(m.Copy(0), 1234);
}

TEST_F(BackupDriver, ASplitFileIsHandedOverVolumeByVolume) {
  m.SetBufferCapacity(96, 0);
  m.AddSplitSize(100);
  const std::string content = RandomText(250, 1);
  AddFile("v.bin", content, 7);
  EXPECT_EQ(m.Copy(0), 0);
  EXPECT_EQ(Backup("v.bin") + Backup("v.bin.001") + Backup("v.bin.002"), content);
  uint32_t crc = 0;
  OrvCopy::UpdateCRC32Bytewise(content.data(), content.size(), &crc);
  EXPECT_EQ(host.Events(),
            (std::vector<std::string>{"begin 7", "volume-end 7 100 0", "volume-files 1 0",
                                      "volume-end 7 100 1", "volume-files 1 0",
                                      "end 7 crc " + std::to_string(crc) + " vol 2"}));
  ASSERT_EQ(host.handedOver.size(), 2u);
  EXPECT_EQ(Utf16ToWide(host.handedOver[0][0].szDestPath), dir.W("backup/v.bin"));
  EXPECT_EQ(Utf16ToWide(host.handedOver[1][0].szDestPath), dir.W("backup/v.bin.001"));
  ASSERT_EQ(m.m_arrSimulatedFiles.size(), 1u);  // the last volume's record stays
  EXPECT_EQ(Utf16ToWide(m.m_arrSimulatedFiles[0].szDestPath), dir.W("backup/v.bin.002"));
}

TEST_F(BackupDriver, TheHostChoosesEveryDestinationOrStopsTheBackup) {
  m.SetFlags(OrvCopy::JobFlagAskDestination);
  AddFile("a", "data", 1);
  host.m_nTotalProcessedSize = 77;
  EXPECT_EQ(m.Copy(0), 60);  // refused at the start
  ASSERT_EQ(log.Records().size(), 1u);
  EXPECT_THAT(log.Records()[0], IsLogRecord(Records::kAbortBackupAtStart));
  EXPECT_EQ(host.Events(), std::vector<std::string>{"destination 0"});
  EXPECT_EQ(host.m_nTotalProcessedSize, 77u);  // totals untouched

  // Skipping the preparation asks nothing at the start, but at every volume change.
  host.calls.clear();
  m.SetBufferCapacity(96, 0);
  m.AddSplitSize(1);
  host.destinations = {dir.W("disk2")};
  host.spaces = {1};
  EXPECT_EQ(m.Copy(1), 60);  // the third volume's destination is refused
  EXPECT_EQ(orvtest::ReadFile(dir.Path() / "backup/a"), "d");
  EXPECT_EQ(orvtest::ReadFile(dir.Path() / "disk2/a.001"), "a");
  EXPECT_FALSE(fs::exists(dir.Path() / "disk2/a.002"));
  EXPECT_EQ(host.Count("destination 0"), 0u);
  EXPECT_EQ(host.Count("destination 1"), 2u);

  // Without skipping the preparation the first destination is asked too; the space of each
  // is the volume size.
  orvtest::TestManager asked;
  asked.SetCallBack(&host);
  asked.SetFlags(OrvCopy::JobFlagAskDestination);
  asked.SetBufferCapacity(96, 0);
  asked.AddItem(dir.W("src/a").c_str(), L"", L"a", 1, 0, 1, 4, 0, 1, 0, nullptr);
  host.calls.clear();
  host.destinations = {dir.W("disk3"), dir.W("disk4")};
  host.spaces = {2, 2};
  EXPECT_EQ(asked.Copy(0), 0);
  EXPECT_EQ(orvtest::ReadFile(dir.Path() / "disk3/a"), "da");
  EXPECT_EQ(orvtest::ReadFile(dir.Path() / "disk4/a.001"), "ta");
  EXPECT_EQ(host.Count("destination 0") + host.Count("destination 1"), 2u);
}

TEST_F(BackupDriver, StopsWhenTheHostAbortsOrRefusesTheVolumeFiles) {
  AddFile("a", "1", 1);
  AddFile("b", "2", 2);
  host.abortAtCall = 3;  // before the second item (the first asked once per item and block)
  EXPECT_EQ(m.Copy(0), 60);
  EXPECT_THAT(log.Records().back(), IsLogRecord(Records::kAbortBackupBeforeItem));
  EXPECT_FALSE(fs::exists(dir.Path() / "backup/b"));

  host.abortAtCall = 0;
  host.volumeFilesAnswer = 0;
  m.m_arrSimulatedFiles.clear();  // taken by the host after the stopped run
  m.AddSplitSize(1);
  m.SetBufferCapacity(96, 0);
  host.calls.clear();
  EXPECT_EQ(m.Copy(0), 60);
  EXPECT_EQ(host.Count("volume-files 2 0"), 1u);  // the records are kept
  EXPECT_EQ(m.m_arrSimulatedFiles.size(), 2u);
}

TEST_F(BackupDriver, AnEncryptedJobAlwaysCopiesItsFiles) {
  m.m_bSimulate = 1;
  m.m_strPassword = L"pw";
  m.m_nEncryptionType = 2;
  AddFile("e", "encrypted content", 1, 1);
  EXPECT_EQ(m.Copy(0), 0);
  EXPECT_EQ(m.m_bSimulate, 0);
  EXPECT_EQ(Backup("e").substr(0, 8), "ORVXTS01");
}

TEST_F(BackupDriver, ADestinationThatExistsIsReplacedAlsoInAFolderAlreadyMade) {
  // The second file's folder was made for the first, so its destination is first created
  // exclusively; that fails, and the existing read-only copy is deleted and written anew.
  dir.WriteFile("backup/d/b", "an older copy");
  fs::permissions(dir.Path() / "backup/d/b", fs::perms::owner_read);
  AddFile("d/a", "first", 1);
  AddFile("d/b", "second", 2);
  EXPECT_EQ(m.Copy(0), 0);
  EXPECT_EQ(Backup("d/a"), "first");
  EXPECT_EQ(Backup("d/b"), "second");
  EXPECT_TRUE(log.Records().empty());
}

TEST_F(BackupDriver, JobsThatNeedACallbackFailCleanlyWithoutOne) {
  orvtest::TestManager quiet;
  quiet.SetDestRootFolder(dir.W("backup").c_str());
  quiet.AddItem(dir.W().c_str(), L"f", L"", 1, 0, 1, 0, 0, 1, 1, nullptr);
  EXPECT_EQ(quiet.Copy(0), 62);
  EXPECT_THAT(log.Records().back(), IsLogRecord(Records::kNoCallbackForFolder));

  quiet.ClearActionData();
  quiet.SetDestRootFolder(dir.W("backup").c_str());
  quiet.AddItem(dir.WriteFile("src/z", "z").c_str(), L"", L"z", 1, 0, 1, 0, 0, 1, 0, nullptr);
  quiet.m_bCompress = 1;
  EXPECT_EQ(quiet.Copy(0), 60);
  EXPECT_THAT(log.Records().back(), IsLogRecord(Records::kNoCallbackForCompression));

  quiet.m_bCompress = 0;
  quiet.SetFlags(OrvCopy::JobFlagAskDestination);
  EXPECT_EQ(quiet.Copy(0), 60);
  EXPECT_THAT(log.Records().end()[-2], IsLogRecord(Records::kNoCallbackForDestination));
  EXPECT_THAT(log.Records().back(), IsLogRecord(Records::kAbortBackupAtStart));
}

// --- Compressed backups -----------------------------------------------------------------

#if defined(ORVCOPY_HAS_ZIP_ENGINE)  // archives need libzip (a Windows build may have none)
TEST_F(BackupDriver, EachFileBecomesAnArchiveAtItsDestinationPath) {
  m.m_bCompress = 1;
  m.m_strPassword = L"zip pw";
  m.m_nEncryptionType = 2;
  m.m_nAESLength = 24;
  AddFile("docs/a.doc", std::string(5000, 'a'), 1);
  AddFile("docs/b.doc", std::string(5000, 'b'), 2, 1);
  EXPECT_EQ(m.Copy(0), 0);
  const std::string plain = dir.Path() / "backup/docs/a.doc";
  const std::string secret = dir.Path() / "backup/docs/b.doc";
  EXPECT_EQ(std::system(("unzip -t " + plain + " a.doc >/dev/null").c_str()), 0);
  // An encrypted entry is named without its extension; the archive keeps its name.
  EXPECT_EQ(std::system(("7z t '-pzip pw' " + secret + " b >/dev/null").c_str()), 0);
  EXPECT_EQ(host.m_nTotalProcessedSize, 10000u);
  EXPECT_EQ(host.m_nTotalOutputSize, fs::file_size(plain) + fs::file_size(secret));
}

TEST_F(BackupDriver, AFullOnlineCacheIsHandedToTheHostAndDeleted) {
  m.m_bCompress = 1;
  m.m_nOnlineCacheSize = 1500;  // two archives of about 1 KB pass it
  for (uint64_t key = 1; key <= 3; ++key) {
    AddFile("f" + std::to_string(key), RandomText(1000, static_cast<unsigned>(key)), key);
  }
  EXPECT_EQ(m.Copy(0), 0);
  ASSERT_EQ(host.handedOver.size(), 1u);
  EXPECT_EQ(host.handedOver[0].size(), 2u);
  EXPECT_FALSE(fs::exists(dir.Path() / "backup/f1"));
  EXPECT_FALSE(fs::exists(dir.Path() / "backup/f2"));
  EXPECT_TRUE(fs::exists(dir.Path() / "backup/f3"));
  EXPECT_EQ(m.m_arrSimulatedFiles.size(), 1u);
  const auto records = log.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_THAT(records[0], IsLogRecord(Records::kDeletingOnlineFiles));
  const auto details = log.Details();
  EXPECT_EQ(details[0].rfind(orvtest::Detail(OrvCopy::Details::kOnlineCache, L"1500"), 0), 0u);
  EXPECT_EQ(details[1].rfind(orvtest::Detail(OrvCopy::Details::kOnlineCompressedSize, L""), 0), 0u);
  EXPECT_NE(std::find(details.begin(), details.end(),
                      orvtest::Detail(OrvCopy::Details::kDeleting, dir.W("backup/f2"))),
            details.end());
}

#endif

TEST_F(BackupDriver, AnEngineThatCannotStartEndsTheBackupAtOnce) {
  m.m_bCompress = 1;
  AddFile("a", "x", 1);
  AddFile("b", "y", 2);
  host.m_nTotalProcessedSize = 5;
#if defined(ORVCOPY_HAS_ZIP_ENGINE)
  fault::FailNth(fault::Op::StartEngine, 1, EIO);
#endif  // else there is no engine: it never starts
  EXPECT_EQ(m.Copy(0), 58);
  EXPECT_EQ(host.m_nTotalProcessedSize, 5u);  // totals untouched
  EXPECT_FALSE(fs::exists(dir.Path() / "backup/b"));
  host.abortAtCall = 1;
  EXPECT_EQ(m.Copy(0), 60);
}

}  // namespace
