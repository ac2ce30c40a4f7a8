// Restore: round trips through the real backup, the per-file restore's every outcome, the
// source paths, batches, trial restores.
#include <orv_platform/fault_injection_test_helper.h>
#include <orv_platform/utf.h>

#include "Crc32.h"
#include "support/RecordingHost.h"
#include "support/TestManager.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using OrvCopy::CArchiveItem;
namespace fault = orv::platform::fault;
namespace fs = std::filesystem;
using orv::platform::NativeToWide;

namespace {

namespace Records = OrvCopy::Records;
using orvtest::IsLogRecord;

using orvtest::Crc;
using orvtest::RandomText;

class RestoreFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    fault::Reset();
    for (orvtest::TestManager* m : {&backup, &restore}) {
      m->SetCallBack(&host);
      m->SetBufferCapacity(96, 0);
    }
    backup.SetDestRootFolder(dir.W("backup").c_str());
    restore.SetSourceRootFolder(dir.W("backup").c_str());
    restore.SetDestRootFolder(dir.W("restored").c_str());
  }
  void TearDown() override { fault::Reset(); }

  // Backs up one file item named `name` with the given content.
  void BackUp(const std::string& name, const std::string& content, uint64_t key, int aes = 0) {
    backup.AddItem(dir.WriteFile("src/" + name, content).c_str(), L"", NativeToWide(name).c_str(),
                   key, aes, 1, content.size(), 0, 1, 0, nullptr);
  }
  // Adds the restore item of a backup file: source below the backup root, same name restored.
  void AddRestoreItem(const std::string& backupName, const std::string& restoredName, uint64_t key,
                      uint64_t size, uint32_t flags = 0, int aes = 0, int fileData = 1) {
    restore.AddItem(NativeToWide(backupName).c_str(), L"", NativeToWide(restoredName).c_str(), key,
                    aes, 1, size, flags, fileData, 0, nullptr);
  }
  std::string Restored(const std::string& name) {
    return orvtest::ReadFile(dir.Path() / "restored" / name);
  }
  void UseAes(orvtest::TestManager& m, int keyLength) {
    m.m_strPassword = L"restore password";
    m.m_nEncryptionType = 2;
    m.m_nAESLength = keyLength;
  }

  orvtest::TempDir dir;
  orvtest::LogCapture log;
  orvtest::RecordingHost host;
  orvtest::TestManager backup;
  orvtest::TestManager restore;
};

// The per-file restore's tests run on both copy paths.
class RestoreTest : public RestoreFixture, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    RestoreFixture::SetUp();
    restore.m_bPipelinedCopy = GetParam() ? 1 : 0;
  }
};
INSTANTIATE_TEST_SUITE_P(, RestoreTest, orvtest::kBothCopyPaths, orvtest::CopyPathName);

// --- Round trips ------------------------------------------------------------------------

TEST_P(RestoreTest, PlainFilesComeBackWithTheirCrc) {
  const std::string a = RandomText(1000, 1), b = RandomText(96 * 3, 2);
  BackUp("a.bin", a, 1);
  BackUp("b.bin", b, 2);
  ASSERT_EQ(backup.Copy(0), 0);
  host.calls.clear();
  AddRestoreItem("a.bin", "a.bin", 1, a.size());
  AddRestoreItem("b.bin", "b.bin", 2, b.size());
  restore.InitAction();
  EXPECT_EQ(restore.Restore(0, 12345), 0);
  EXPECT_EQ(Restored("a.bin"), a);
  EXPECT_EQ(Restored("b.bin"), b);
  EXPECT_EQ(host.Events(),
            (std::vector<std::string>{"end 1 crc " + std::to_string(Crc(a)) + " vol 0",
                                      "end 2 crc " + std::to_string(Crc(b)) + " vol 0"}));
  EXPECT_EQ(host.m_nProcessedSize, a.size() + b.size());
}

TEST_P(RestoreTest, SplitPartsAreJoinedIntoOneFileWithOneEnd) {
  backup.AddSplitSize(250);
  const std::string content = RandomText(700, 4);
  BackUp("big", content, 9);
  ASSERT_EQ(backup.Copy(0), 0);
  host.calls.clear();
  using OrvCopy::ArchiveItemFlagAppend;
  using OrvCopy::ArchiveItemFlagMoreParts;
  AddRestoreItem("big", "big", 9, 250, ArchiveItemFlagMoreParts);
  AddRestoreItem("big.001", "big", 9, 250, ArchiveItemFlagAppend | ArchiveItemFlagMoreParts);
  AddRestoreItem("big.002", "big", 9, 200, ArchiveItemFlagAppend);
  restore.InitAction();
  EXPECT_EQ(restore.Restore(0, 0), 0);
  EXPECT_EQ(Restored("big"), content);
  EXPECT_EQ(host.Events(), std::vector<std::string>{
                               "end 9 crc " + std::to_string(Crc(content.substr(500))) + " vol 0"});
}

TEST_P(RestoreTest, WithoutDecryptionAnEncryptedFileIsCopiedByteForByte) {
  UseAes(backup, 16);
  UseAes(restore, 16);
  BackUp("raw.venc", RandomText(400, 7), 1, 1);
  ASSERT_EQ(backup.Copy(0), 0);
  const std::string stored = orvtest::ReadFile(dir.Path() / "backup/raw.venc");
  AddRestoreItem("raw.venc", "raw.venc", 1, 400, 0, 1);
  restore.InitAction();
  restore.DontPerformDecryption(1);
  EXPECT_EQ(restore.Restore(0, 0), 0);
  EXPECT_EQ(Restored("raw.venc"), stored);
  EXPECT_EQ(host.Events().back(), "end 1 crc " + std::to_string(Crc(stored)) + " vol 0");
}

// --- The per-file restore's outcomes ----------------------------------------------------

TEST_P(RestoreTest, TheHostCanRefuseAnItemSilently) {
  dir.WriteFile("backup/a", "x");
  AddRestoreItem("a", "a", 1, 1);
  host.canRestoreAnswer = 0;
  EXPECT_EQ(restore.Restore(0, 0), 62);
  EXPECT_TRUE(host.calls.empty());
  EXPECT_TRUE(log.Records().empty());
  EXPECT_FALSE(fs::exists(dir.Path() / "restored/a"));
}

TEST_P(RestoreTest, AStreamTheHostDeclinesIsWrittenToTheFile) {
  dir.WriteFile("backup/a", "stream data");
  dir.WriteFile("restored/a", "old");
  AddRestoreItem("a", "a", 3, 11, 0, 0, 0);
  host.openResult = 6023;
  EXPECT_EQ(restore.Restore(0, 0), 0);
  EXPECT_EQ(Restored("a"), "stream data");
  EXPECT_EQ(host.Count("open 3"), 1u);
  EXPECT_EQ(host.Count("prompt 2 3"), 1u);

  host.openResult = 5;
  host.calls.clear();
  EXPECT_EQ(restore.Restore(0, 0), 5);
  EXPECT_EQ(host.Events(), (std::vector<std::string>{"open 3", "failed 3"}));
}

TEST_P(RestoreTest, DestinationFailuresAreLoggedWithTheirLines) {
  dir.WriteFile("backup/a", "part");
  AddRestoreItem("a", "missing", 1, 4, OrvCopy::ArchiveItemFlagAppend);
  EXPECT_EQ(restore.Restore(0, 0), 62);
  EXPECT_THAT(log.Records().back(), IsLogRecord(Records::kRestoreOpenFailed));
  EXPECT_EQ(log.Details().back(),
            orvtest::Detail(OrvCopy::Details::kSource, dir.W("restored/missing")));

  restore.ClearActionData();
  dir.WriteFile("restored/locked", "old");
  AddRestoreItem("a", "locked", 1, 4);
  fault::FailNth(fault::Op::Delete, 1, EACCES);
  EXPECT_EQ(restore.Restore(0, 0), 62);
  EXPECT_THAT(log.Records().back(), IsLogRecord(Records::kRestoreDeleteFailed));

  restore.ClearActionData();
  AddRestoreItem("a", "locked", 1, 4, OrvCopy::ArchiveItemFlagAppend);
  fault::FailNth(fault::Op::Seek, 1, EIO);
  EXPECT_EQ(restore.Restore(0, 0), 62);
  const auto records = log.Records();
  EXPECT_THAT(records[records.size() - 2], IsLogRecord(Records::kRestoreOpenException));
  EXPECT_EQ(records.back().nSeverity, 4);
  EXPECT_THAT(records.back(), IsLogRecord(Records::kRestoreOpenExceptionText));
  EXPECT_EQ(host.Count("failed 1"), 3u);
}

TEST_P(RestoreTest, AnEmptySourceGivesAnEmptyFile) {
  dir.WriteFile("backup/empty", "");
  AddRestoreItem("empty", "empty", 1, 0);
  EXPECT_EQ(restore.Restore(0, 0), 0);
  EXPECT_TRUE(fs::exists(dir.Path() / "restored/empty"));
  EXPECT_EQ(host.calls, (std::vector<std::string>{"progress", "end 1 crc 0 vol 0"}));
}

// Decrypted output is cut at the item's size; a restore whose engine was never prepared (no
// InitAction) prepares it.
TEST_P(RestoreTest, DecryptedOutputIsCutAtTheItemsSize) {
  UseAes(backup, 16);
  UseAes(restore, 16);
  const std::string content = RandomText(500, 9);
  BackUp("c.venc", content, 1, 1);
  ASSERT_EQ(backup.Copy(0), 0);
  AddRestoreItem("c.venc", "exact", 1, 500, 0, 1);
  AddRestoreItem("c.venc", "short", 2, 100, 0, 1);  // a size far below the body
  EXPECT_EQ(restore.m_pEncryption, nullptr);
  EXPECT_EQ(restore.Restore(0, 0), 0);
  EXPECT_EQ(Restored("exact"), content);
  EXPECT_EQ(Restored("short"), content.substr(0, 100));
  EXPECT_THAT(log.Records().back(), IsLogRecord(Records::kDecryptedPastSize));
  EXPECT_EQ(host.Events().back(), "end 2 crc 0 vol 0");  // decrypted data has no CRC
}

TEST_P(RestoreTest, TheHostStopsTheRestoreBetweenBlocks) {
  dir.WriteFile("backup/a", RandomText(500, 10));
  AddRestoreItem("a", "a", 1, 500);
  host.abortAtCall = 3;  // the range asks once, then the data loop once per block
  EXPECT_EQ(restore.Restore(0, 0), 60);
  EXPECT_THAT(log.Records().back(), IsLogRecord(Records::kAbortRestoreInLoop));
  EXPECT_EQ(fs::file_size(dir.Path() / "restored/a"), 96u);
  EXPECT_EQ(host.Count("end 1 crc 0 vol 0"), 0u);
}

TEST_P(RestoreTest, RefusedStreamWritesAreReportedPerBlockAndTheItemEnds) {
  dir.WriteFile("backup/a", RandomText(200, 11));
  AddRestoreItem("a", "a", 6, 200, 0, 0, 0);
  host.writeAnswer = 0;
  host.closeAnswer = 0;
  EXPECT_EQ(restore.Restore(0, 0), 0);
  EXPECT_EQ(host.Count("failed 6"), 4u);  // three blocks, then the close
  const auto records = log.Records();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_THAT(records[0], IsLogRecord(Records::kStreamWritePlainFailed));
  EXPECT_THAT(records[3], IsLogRecord(Records::kStreamCloseFailed));
  EXPECT_EQ(host.Events().back().rfind("end 6", 0), 0u);
}

TEST_P(RestoreTest, AppendedStreamPartsWriteIntoTheOpenStream) {
  dir.WriteFile("backup/p1", "first ");
  dir.WriteFile("backup/p2", "second");
  AddRestoreItem("p1", "", 2, 6, OrvCopy::ArchiveItemFlagMoreParts, 0, 0);
  AddRestoreItem("p2", "", 2, 6, OrvCopy::ArchiveItemFlagAppend, 0, 0);
  EXPECT_EQ(restore.Restore(0, 0), 0);
  EXPECT_EQ(host.written[2], "first second");
  EXPECT_EQ(host.Events(),
            (std::vector<std::string>{"open 2", "close 2",
                                      "end 2 crc " + std::to_string(Crc("second")) + " vol 0"}));
  EXPECT_THAT(log.Records().at(0), IsLogRecord(Records::kStreamAppendMode));
}

TEST_P(RestoreTest, UnusableCapacitiesAreRefusedBeforeReading) {
  dir.WriteFile("backup/a", "data");
  AddRestoreItem("a", "a", 1, 4);
  restore.SetBufferCapacity(0, 0);
  EXPECT_EQ(restore.Restore(0, 0), 62);
  EXPECT_THAT(log.Records().back(), IsLogRecord(Records::kInvalidCapacity));
  EXPECT_FALSE(fs::exists(dir.Path() / "restored/a"));

  UseAes(restore, 16);
  restore.ClearActionData();
  AddRestoreItem("a", "a", 1, 4, 0, 1);
  restore.SetBufferCapacity(100, 0);
  EXPECT_EQ(restore.Restore(0, 0), 62);
  EXPECT_THAT(log.Records().back(), IsLogRecord(Records::kCapacityNotForEncryption));
  EXPECT_EQ(host.Count("failed 1"), 2u);
}

// --- Trial restores ---------------------------------------------------------------------

TEST_P(RestoreTest, ATrialRestoreMeasuresWithoutWritingOrDecrypting) {
  UseAes(restore, 32);
  dir.WriteFile("backup/a.venc", RandomText(300, 12));
  dir.WriteFile("backup/b", "plain");
  AddRestoreItem("a.venc", "a", 1, 300, OrvCopy::ArchiveItemFlagMoreParts, 1);
  AddRestoreItem("b", "b", 2, 5);
  restore.AddItem(L"folder", L"folder", L"", 3, 0, 1, 0, 0, 1, 1, nullptr);
  EXPECT_EQ(restore.Restore(1, 0), 0);
  EXPECT_EQ(restore.m_nAction, OrvCopy::ActionRestoreTrial);
  EXPECT_FALSE(fs::exists(dir.Path() / "restored"));
  EXPECT_EQ(restore.m_pEncryption, nullptr);
  EXPECT_EQ(host.Events(), (std::vector<std::string>{"end 1 crc 0 vol 0", "end 2 crc 0 vol 0"}));
  EXPECT_EQ(host.m_nProcessedSize, 305u);
}

// --- Source paths -----------------------------------------------------------------------

TEST_P(RestoreTest, SourcePathsJoinTheRootAndLoseVencWhenTheHostProvidesThem) {
  CArchiveItem item;
  item.m_strSourcePath = orvtest::Native(L"x/a.txt.VENC");
  item.m_dwFlags = OrvCopy::ArchiveItemFlagAES;
  std::wstring path;
  restore.SetSourceRootFolder(orvtest::Native(L"/restore/").c_str());
  EXPECT_EQ(restore.GetSourceCopyFile(item, path), 1);
  EXPECT_EQ(path, orvtest::Native(L"/restore/x/a.txt.VENC"));  // without the host flag: unchanged
  UseAes(restore, 16);
  restore.SetFlags(OrvCopy::JobFlagHostProvidesSource);
  restore.SetRestoreFromJobName(L"job");
  EXPECT_EQ(restore.GetSourceCopyFile(item, path), 1);
  EXPECT_EQ(host.preparedPaths, std::vector<std::wstring>{orvtest::Native(L"/restore/x/a.txt")});
  host.prepareFileAnswer = 0;
  EXPECT_EQ(restore.GetSourceCopyFile(item, path), 0);
  restore.SetCopyType(OrvCopy::CopyTypeHostComposed);
  restore.SetFlags(0);
  EXPECT_EQ(restore.GetSourceCopyFile(item, path), 1);
  EXPECT_EQ(path, L"");
}

TEST_P(RestoreTest, BatchPreparedSourcesAreCheckedLocallyAndFailedOnesFailAtOnce) {
  restore.SetFlags(OrvCopy::JobFlagHostProvidesSource | OrvCopy::JobFlagBatchSources);
  dir.WriteFile("backup/here", "x");
  CArchiveItem item;
  item.m_strSourcePath = L"here";
  item.m_dwFlags = OrvCopy::ArchiveItemFlagBatchPrepared;
  std::wstring path;
  EXPECT_EQ(restore.GetSourceCopyFile(item, path), 1);
  EXPECT_TRUE(host.preparedPaths.empty());  // the batch brought it
  item.m_strSourcePath = L"gone";
  EXPECT_EQ(restore.GetSourceCopyFile(item, path), 1);
  EXPECT_EQ(host.preparedPaths.size(), 1u);  // missing: asked for on its own
  item.m_dwFlags = OrvCopy::ArchiveItemFlagPrepareFailed;
  EXPECT_EQ(restore.GetSourceCopyFile(item, path), 0);

  restore.AddItem(L"gone", L"", L"gone", 5, 0, 1, 0, OrvCopy::ArchiveItemFlagPrepareFailed, 1, 0,
                  nullptr);
  EXPECT_EQ(restore.RestoreRange(0, -1), 0);
  EXPECT_THAT(log.Records().back(), IsLogRecord(Records::kSourceUnavailable));
  EXPECT_EQ(log.Details().back(), orvtest::Detail(OrvCopy::Details::kFile, dir.W("backup/gone")));
  EXPECT_EQ(host.Count("failed 5"), 1u);
}

TEST_P(RestoreTest, RangesRestoreFoldersAndStopOnlyForAStop) {
  EXPECT_EQ(restore.RestoreRange(0, -1), 0);
  restore.AddItem(L"f", L"f/g", L"", 1, 0, 1, 0, 0, 1, 1, nullptr);
  EXPECT_EQ(restore.RestoreRange(1, 1), 0);
  EXPECT_FALSE(fs::exists(dir.Path() / "restored"));
  EXPECT_EQ(restore.RestoreRange(0, -1), 0);
  EXPECT_TRUE(fs::is_directory(dir.Path() / "restored/f/g"));
  EXPECT_TRUE(host.calls.empty());
}

TEST_P(RestoreTest, ProvidedSourcesAreDeletedAfterAnUndecryptedRestore) {
  restore.SetFlags(OrvCopy::JobFlagHostProvidesSource);
  dir.WriteFile("backup/a", "a");
  AddRestoreItem("a", "a", 1, 1);
  AddRestoreItem("b", "b", 2, 1);  // the host says yes, but there is no file: 62
  restore.InitAction();
  restore.DontPerformDecryption(1);
  EXPECT_EQ(restore.Restore(0, 0), 62);
  EXPECT_EQ(Restored("a"), "a");
  EXPECT_FALSE(fs::exists(dir.Path() / "backup/a"));
}

// --- Batches ----------------------------------------------------------------------------

class RestoreBatches : public RestoreFixture {
 protected:
  void SetUp() override {
    RestoreFixture::SetUp();
    restore.SetFlags(OrvCopy::JobFlagBatchSources);
  }
  void AddSized(const std::vector<uint64_t>& sizes) {
    for (size_t i = 0; i < sizes.size(); ++i) {
      const std::string name = "i" + std::to_string(i);
      dir.WriteFile("backup/" + name, "x");
      AddRestoreItem(name, name, i + 1, sizes[i]);
    }
  }
  std::vector<size_t> BatchSizes() const {
    std::vector<size_t> sizes;
    for (const auto& b : host.batches)
      sizes.push_back(b.size());
    return sizes;
  }
};

TEST_F(RestoreBatches, BatchesEndPastTenMiBOrAt2000KeysAndABatchOfOneIsNotRequested) {
  constexpr uint64_t kMiB = 1 << 20;
  AddSized({kMiB, 2 * kMiB, 9 * kMiB});
  EXPECT_EQ(restore.Restore(1, 0), 0);
  EXPECT_EQ(BatchSizes(), std::vector<size_t>{2});
  EXPECT_EQ(restore.m_arrItems[0].m_dwFlags, OrvCopy::ArchiveItemFlagBatchPrepared);
  EXPECT_EQ(restore.m_arrItems[2].m_dwFlags, 0u);

  restore.ClearActionData();
  host.batches.clear();
  AddSized({0xA00000, 5, 0x9FFFFF, 1, 7});
  EXPECT_EQ(restore.Restore(1, 0), 0);
  // 0xA00000 ends its own batch (of one); 5 + 0x9FFFFF passes the limit; 0x9FFFFF + 1 does not.
  EXPECT_EQ(host.batches, (std::vector<std::vector<uint64_t>>{{3, 4, 5}}));

  restore.ClearActionData();
  host.batches.clear();
  AddSized(std::vector<uint64_t>(2001, 1024));
  EXPECT_EQ(restore.Restore(1, 0), 0);
  EXPECT_EQ(BatchSizes(), std::vector<size_t>{2000});  // the 2001st is a batch of one
}

TEST_F(RestoreBatches, ARefusedBatchIsMarkedAndReportedAndTheNextOneStillRuns) {
  AddSized({1, 1, 0xA00000, 1, 1});
  host.prepareFilesAnswer = 0;
  EXPECT_EQ(restore.Restore(0, 0), 0);
  EXPECT_THAT(log.Records().at(0), IsLogRecord(Records::kBatchRefused));
  for (uint64_t key : {1, 2, 3, 4, 5}) {
    EXPECT_EQ(host.Count("failed " + std::to_string(key)), key == 3 ? 0u : 1u) << key;
  }
  EXPECT_TRUE(restore.m_arrItems[0].m_dwFlags & OrvCopy::ArchiveItemFlagPrepareFailed);
  EXPECT_TRUE(fs::exists(dir.Path() / "restored/i2"));  // the batch of one was restored
  EXPECT_FALSE(fs::exists(dir.Path() / "restored/i0"));
}

TEST_F(RestoreBatches, AStopWhileCollectingDropsTheBatch) {
  AddSized({1, 1, 1, 1});
  host.abortAtCall = 3;
  EXPECT_EQ(restore.Restore(0, 0), 60);
  EXPECT_THAT(log.Records().back(), IsLogRecord(Records::kAbortRestoreInBatch));
  EXPECT_TRUE(host.batches.empty());
}

TEST_F(RestoreBatches, AFailingLastItemOfABatchEndsTheRestore) {
  AddSized({1, 1, 0xA00000, 1});
  fs::remove(dir.Path() / "backup/i1");  // the first batch's last source is missing
  EXPECT_EQ(restore.Restore(0, 0), 62);
  EXPECT_FALSE(fs::exists(dir.Path() / "restored/i2"));
}

}  // namespace
