// The per-file backup copy: data, CRC, progress, encryption, streams, volumes, simulated
// items, and every failure with its status, callbacks and log records.
#include <orv_platform/fault_injection_test_helper.h>
#include <orv_platform/utf.h>

#include "Crc32.h"
#include "support/RecordingHost.h"
#include "support/StoredItem.h"
#include "support/TestManager.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>

using OrvCopy::CArchiveItem;
using orvtest::TestManager;
namespace fault = orv::platform::fault;
namespace fs = std::filesystem;

namespace {

namespace Details = OrvCopy::Details;
namespace Records = OrvCopy::Records;
using orvtest::Crc;
using orvtest::Detail;
using orvtest::IsLogRecord;
using orvtest::RandomText;

std::string EndCall(uint64_t key, uint32_t crc, int volume) {
  return "end " + std::to_string(key) + " crc " + std::to_string(crc) + " vol " +
         std::to_string(volume);
}

// Every test runs on both copy paths.
class BackupCopy : public orvtest::BackupFixture, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    BackupFixture::SetUp();
    m.m_bPipelinedCopy = GetParam() ? 1 : 0;
  }
  CArchiveItem Item(const std::string& name, const std::string& content, uint32_t flags = 0) {
    return TestManager::FileItem(dir.WriteFile("src/" + name, content),
                                 orv::platform::NativeToWide(name), 1, flags);
  }
  CArchiveItem Stream(uint64_t key, const std::wstring& name, uint32_t flags = 0,
                      uint64_t size = 0) {
    CArchiveItem item = TestManager::FileItem(L"", name, key, flags);
    item.m_bFileData = 0;
    item.m_nSize = size;
    return item;
  }
  std::wstring DestW(const std::string& name) { return dir.W("backup/" + name); }
  fs::path Dest(const std::string& name) { return dir.Path() / "backup" / name; }
  std::string Backup(const std::string& name) { return orvtest::ReadFile(Dest(name)); }
  int CopyPart(CArchiveItem& item, const std::string& destName) {
    return m.OrvCopyFile_Backup(item.m_strSourcePath.c_str(), DestW(destName).c_str(), 1, &item);
  }
  void UseAes(int keyLength = 16) {
    m.m_strPassword = L"backup password";
    m.m_nEncryptionType = 2;
    m.m_nAESLength = keyLength;
    ASSERT_EQ(m.PrepareAESManager(), 1);
  }
  std::vector<LOGGER::COrvLogEntry> Records() const { return log.Records(); }
  void ExpectRecord(size_t i, const OrvCopy::LogRecord& record) {
    const auto records = Records();
    ASSERT_LT(i, records.size());
    EXPECT_THAT(records[i], IsLogRecord(record));
  }
};

INSTANTIATE_TEST_SUITE_P(, BackupCopy, orvtest::kBothCopyPaths, orvtest::CopyPathName);

// --- Copies that succeed ----------------------------------------------------------------

TEST_P(BackupCopy, CopiesAFileWithItsCrcProgressAndTimes) {
  const std::string content = RandomText(200000);
  CArchiveItem item = Item("a.bin", content);
  // A whole second: file times keep 100 ns units.
  const auto past = std::chrono::floor<std::chrono::seconds>(fs::file_time_type::clock::now() -
                                                             std::chrono::hours(240));
  fs::last_write_time(dir.Path() / "src/a.bin", past);

  EXPECT_EQ(m.BackupItem(item), 0);
  EXPECT_EQ(Backup("a.bin"), content);
  EXPECT_EQ(host.Events(), (std::vector<std::string>{"begin 1", EndCall(1, Crc(content), 0)}));
  EXPECT_EQ(host.Count("progress"), 4u);  // three full blocks of 65856 and the rest
  EXPECT_EQ(host.m_nProcessedSize, 200000u);
  EXPECT_EQ(host.m_nFileProcessedSize, 200000u);
  EXPECT_EQ(fs::last_write_time(Dest("a.bin")), past);
  EXPECT_TRUE(Records().empty());

  // Read from its shadow copy: the times are still those of the source path, never the shadow
  // copy's own, and none at all when the source is gone.
  const auto shadowTime = past - std::chrono::hours(1);
  item.m_strVSSPath = dir.WriteFile("shadow.bin", content);
  fs::last_write_time(dir.Path() / "shadow.bin", shadowTime);
  fault::FailNth(fault::Op::Open, 1, EACCES, 2);  // the source, with and without backup semantics
  const int descriptors = orvtest::OpenDescriptorCount();
  EXPECT_EQ(m.BackupItem(item), 0);
  EXPECT_EQ(fs::last_write_time(Dest("a.bin")), past);
  EXPECT_EQ(orvtest::OpenDescriptorCount(), descriptors);  // the times' own opens are closed
  fs::remove(dir.Path() / "src/a.bin");
  EXPECT_EQ(m.BackupItem(item), 0);
  EXPECT_EQ(Backup("a.bin"), content);
  EXPECT_NE(fs::last_write_time(Dest("a.bin")), shadowTime);
  ASSERT_GE(log.Entries().size(), 2u);
  EXPECT_EQ(log.Entries().front().eKind, LOGGER::COrvLogEntry::Kind::ScopeBegin);
  EXPECT_EQ(log.Entries().front().strText, L"COrvCopyManager::OrvCopyFile_Backup");
  EXPECT_EQ(log.Entries().back().eKind, LOGGER::COrvLogEntry::Kind::ScopeEnd);
}

TEST_P(BackupCopy, EmptyFilesAndExactMultiplesOfTheBuffer) {
  EXPECT_EQ(m.BackupItem(Item("empty", "")), 0);
  EXPECT_TRUE(fs::exists(Dest("empty")));
  EXPECT_EQ(fs::file_size(Dest("empty")), 0u);
  EXPECT_EQ(host.Count("progress"), 1u);
  EXPECT_EQ(host.Events().back(), EndCall(1, 0, 0));

  host.calls.clear();
  m.SetBufferCapacity(96, 0);
  const std::string content = RandomText(192);
  EXPECT_EQ(m.BackupItem(Item("two-blocks", content)), 0);
  EXPECT_EQ(Backup("two-blocks"), content);
  EXPECT_EQ(host.Count("progress"), 3u);  // the third read finds the end
}

TEST_P(BackupCopy, AnEncryptedItemIsHeaderAndBodyThatDecryptWithThePassword) {
  UseAes(24);
  m.SetBufferCapacity(96, 0);
  const std::string content = RandomText(1000, 7);
  EXPECT_EQ(m.BackupItem(Item("secret.venc", content, OrvCopy::ArchiveItemFlagAES)), 0);
  const std::string file = Backup("secret.venc");
  ASSERT_EQ(file.size(), 64u + 960 + 48);  // the last 40 bytes padded to 48
  EXPECT_EQ(file.substr(0, 8), "ORVXTS01");
  EXPECT_EQ(file[10], 24);  // the key length
  EXPECT_EQ(orvtest::Reassemble({Dest("secret.venc")}, true, L"backup password", 96, 1000),
            content);
  EXPECT_EQ(host.Events().back(), EndCall(1, 0, 0));  // encrypted data has no CRC
  EXPECT_EQ(host.m_nFileProcessedSize, 1000u);

  EXPECT_EQ(m.BackupItem(Item("empty.venc", "", OrvCopy::ArchiveItemFlagAES)), 0);
  EXPECT_EQ(fs::file_size(Dest("empty.venc")), 64u);  // the header alone
}

TEST_P(BackupCopy, AppendedItemsExtendTheirDestinationUnencrypted) {
  UseAes();
  dir.WriteFile("backup/joined", "first part|");
  CArchiveItem item =
      Item("part2", "second part", OrvCopy::ArchiveItemFlagAppend | OrvCopy::ArchiveItemFlagAES);
  item.m_strFileName = L"joined";
  EXPECT_EQ(m.BackupItem(item), 0);
  EXPECT_EQ(Backup("joined"), "first part|second part");
  EXPECT_EQ(host.Events().back(), EndCall(1, Crc("second part"), 0));
}

TEST_P(BackupCopy, MorePartsAndAMissingCallbackSkipTheEndAndTheTimes) {
  const auto past = fs::file_time_type::clock::now() - std::chrono::hours(48);
  CArchiveItem item = Item("piece", "data", OrvCopy::ArchiveItemFlagMoreParts);
  fs::last_write_time(dir.Path() / "src/piece", past);
  EXPECT_EQ(m.BackupItem(item), 0);
  EXPECT_EQ(host.Events(), std::vector<std::string>{"begin 1"});
  EXPECT_NE(fs::last_write_time(Dest("piece")), past);

  TestManager quiet;  // no callback at all
  quiet.SetDestRootFolder(dir.W("backup").c_str());
  CArchiveItem plain = Item("plain", "data");
  fs::last_write_time(dir.Path() / "src/plain", past);
  EXPECT_EQ(quiet.BackupItem(plain), 0);
  EXPECT_EQ(Backup("plain"), "data");
  EXPECT_NE(fs::last_write_time(Dest("plain")), past);
}

TEST_P(BackupCopy, HostStreamsAreOpenedReadToTheEndAndClosedBeforeTheEnd) {
  const std::string content = RandomText(150, 3);
  host.streams[7] = content;
  m.SetBufferCapacity(96, 0);
  EXPECT_EQ(m.BackupItem(Stream(7, L"stream.bin", 0, 150)), 0);
  EXPECT_EQ(Backup("stream.bin"), content);
  EXPECT_EQ(host.Events(), (std::vector<std::string>{"begin 7", "open 7", "close 7",
                                                     EndCall(7, Crc(content), 0)}));
}

// --- Failures before any data -----------------------------------------------------------

TEST_P(BackupCopy, AStreamTheHostCannotOpenFailsWithItsCode) {
  host.openResult = 5;
  CArchiveItem item = Stream(0, L"s");
  EXPECT_EQ(m.BackupItem(item), 5);
  EXPECT_EQ(host.Events(), (std::vector<std::string>{"begin 0", "open 0", "failed 0"}));
  EXPECT_FALSE(fs::exists(Dest("s")));

  TestManager quiet;  // a stream needs a callback: failed cleanly, with a record
  EXPECT_EQ(quiet.BackupItem(item), 62);
  EXPECT_THAT(Records().back(), IsLogRecord(Records::kNoCallbackForStream));
}

// Each failure before the data fails the item with its record and leaves the destination as
// it was.
TEST_P(BackupCopy, FailuresBeforeTheDataFailTheItemWithTheirRecord) {
  struct Case {
    std::string name;
    fault::Op op;
    uint64_t nth;  // the call that fails; 0 for none
    int error;
    uint32_t flags;
    const char* earlier;  // the destination's content before, if it exists
    OrvCopy::LogRecord record;
    std::wstring detail;  // the first detail line, or with "@" for the destination the only one
    const OrvCopy::LogRecord* exceptionRecord;  // the record with the exception's text, if any
  };
  const uint32_t append = OrvCopy::ArchiveItemFlagAppend;
  using namespace OrvCopy::Records;
  const std::wstring source = Detail(Details::kSource, L"@");
  const std::vector<Case> cases = {
      {"none", fault::Op::Open, 0, 0, 0, nullptr, kOpenSourceFailed,
       Detail(Details::kSource, dir.W("src/none")), nullptr},
      {"len", fault::Op::Length, 1, EIO, 0, nullptr, kReadFailed,
       Detail(Details::kSystemErrorText, L"1117"), nullptr},
      {"locked", fault::Op::Delete, 1, EACCES, 0, "old", kDeleteDestinationFailed,
       Detail(Details::kFile, L"@"), nullptr},
      {"d", fault::Op::Open, 2, EACCES, 0, nullptr, kOpenDestinationFailed, source, nullptr},
      {"never-started", fault::Op::Open, 0, 0, append, nullptr, kOpenDestinationFailed, source,
       nullptr},
      {"joined", fault::Op::Seek, 1, EIO, append, "first", kOpenDestinationException, source,
       &kOpenDestinationExceptionText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    orvtest::LogCapture captured;
    host.calls.clear();
    if (c.earlier != nullptr)
      dir.WriteFile("backup/" + c.name, c.earlier);
    CArchiveItem item = c.name == "none" ? TestManager::FileItem(dir.W("src/none"), L"none")
                                         : Item(c.name, "data", c.flags);
    if (c.nth != 0)
      fault::FailNth(c.op, c.nth, c.error);
    EXPECT_EQ(m.BackupItem(item), 62);
    fault::Reset();
    EXPECT_EQ(host.Events(), (std::vector<std::string>{"begin 1", "failed 1"}));
    const auto records = captured.Records();
    ASSERT_EQ(records.size(), c.exceptionRecord != nullptr ? 2u : 1u);
    EXPECT_THAT(records[0], IsLogRecord(c.record));
    if (c.exceptionRecord != nullptr) {
      EXPECT_THAT(records[1], IsLogRecord(*c.exceptionRecord));
      EXPECT_NE(records[1].strText.find(L"joined"), std::wstring::npos);
    }
    std::wstring detail = c.detail;
    if (const size_t at = detail.find(L'@'); at != std::wstring::npos)
      EXPECT_EQ(captured.Details(),
                std::vector<std::wstring>{detail.replace(at, 1, DestW(c.name))});
    else
      EXPECT_EQ(captured.Details().at(0), detail);
    if (c.earlier != nullptr)
      EXPECT_EQ(Backup(c.name), c.earlier);
    else
      EXPECT_FALSE(fs::exists(Dest(c.name)));
  }
}

TEST_P(BackupCopy, UnusableCapacitiesFailTheItemBeforeAnythingIsWritten) {
  for (uint64_t capacity : {uint64_t{0}, uint64_t{1} << 32}) {
    host.calls.clear();
    m.SetBufferCapacity(capacity, 0);
    EXPECT_EQ(m.BackupItem(Item("c", "content")), 62) << capacity;
    EXPECT_EQ(host.Events(), (std::vector<std::string>{"begin 1", "failed 1"}));
    EXPECT_THAT(Records().back(), IsLogRecord(Records::kInvalidCapacity));
    EXPECT_FALSE(fs::exists(Dest("c")));
  }
  UseAes();
  m.SetBufferCapacity(100, 0);  // not a whole number of cipher blocks
  EXPECT_EQ(m.BackupItem(Item("e", "content", OrvCopy::ArchiveItemFlagAES)), 62);
  EXPECT_THAT(Records().back(), IsLogRecord(Records::kCapacityNotForEncryption));
  EXPECT_FALSE(fs::exists(Dest("e")));
  m.SetBufferCapacity(100, 0);  // the same capacity is fine for a plain item
  EXPECT_EQ(m.BackupItem(Item("p", "content")), 0);
}

TEST_P(BackupCopy, AFailedResumeSeekFailsTheContinuationPart) {
  CArchiveItem item = Item("big", RandomText(300));
  m.m_bContinueInNextVolume = 1;
  m.m_nVolumeNumber = 1;
  m.m_nResumeOffset = 100;
  fault::FailNth(fault::Op::Seek, 1, EIO);
  EXPECT_EQ(CopyPart(item, "big.001"), 62);
  ExpectRecord(0, Records::kSeekFailed);
  ExpectRecord(1, Records::kSeekFailedText);
  EXPECT_EQ(host.Events(), std::vector<std::string>{"failed 1"});  // no begin on a continuation
  EXPECT_TRUE(fs::exists(Dest("big.001")));                        // the part's file stays created
}

// --- Stops and failures during the data -------------------------------------------------

TEST_P(BackupCopy, TheHostStopsTheCopyBetweenBlocks) {
  m.SetBufferCapacity(96, 0);
  host.abortAtCall = 2;
  EXPECT_EQ(m.BackupItem(Item("a", RandomText(500))), 60);
  ExpectRecord(0, Records::kAbortBackupInLoop);
  EXPECT_EQ(fs::file_size(Dest("a")), 96u);
  EXPECT_EQ(host.Events().back().rfind("end 1", 0), 0u);  // Completion still reports the end
}

TEST_P(BackupCopy, AReadErrorIsRetriedFromTheSamePositionWhenTheHostSaysSo) {
  m.SetBufferCapacity(96, 0);
  const std::string content = RandomText(500, 9);
  CArchiveItem item = Item("flaky", content);
  fault::FailNth(fault::Op::Read, 2, EIO);
  host.promptAnswers = {1};
  EXPECT_EQ(m.BackupItem(item), 0);
  EXPECT_EQ(Backup("flaky"), content);
  EXPECT_EQ(host.Events(),
            (std::vector<std::string>{"begin 1", "prompt 1 1117", EndCall(1, Crc(content), 0)}));
  ExpectRecord(0, Records::kReadFailed);
  const auto details = log.Details();
  ASSERT_EQ(details.size(), 2u);
  EXPECT_EQ(details[0], Detail(Details::kSystemErrorText, L"1117"));
  EXPECT_EQ(details[1].rfind(Detail(Details::kSystemErrorText, L"A hardware I/O error"), 0), 0u);
}

TEST_P(BackupCopy, AFailedReopenAsksAgainAndAReadGivenUpFailsTheItem) {
  m.SetBufferCapacity(96, 0);
  CArchiveItem item = Item("bad", RandomText(500));
  fault::FailNth(fault::Op::Read, 2, EIO);
  fault::FailNth(fault::Op::Open, 3, ENOENT, 2);  // both opens of the reopen fail
  host.promptAnswers = {4, 0};
  EXPECT_EQ(m.BackupItem(item), 62);
  EXPECT_EQ(host.Events(),
            (std::vector<std::string>{"begin 1", "prompt 1 1117", "prompt 1 1117", "failed 1"}));
  const auto records = Records();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_THAT(records[0], IsLogRecord(Records::kReadFailed));
  EXPECT_THAT(records[1], IsLogRecord(Records::kOpenSourceFailed));  // the reopen's own record
  ExpectRecord(2, Records::kReopenFailed);
  EXPECT_THAT(records[3], IsLogRecord(Records::kReadGivenUp));
  EXPECT_EQ(fs::file_size(Dest("bad")), 96u);  // the block before the error, nothing made up
}

TEST_P(BackupCopy, AWriteErrorFailsTheItemAfterCompletion) {
  m.SetBufferCapacity(96, 0);
  fault::FailNth(fault::Op::Write, 2, ENOSPC);
  // A read error after it is never met: on one thread the write error ends the loop first,
  // with overlapped writing the queued writes come first.
  fault::FailNth(fault::Op::Read, 3, EIO);
  EXPECT_EQ(m.BackupItem(Item("w", RandomText(500))), 62);
  EXPECT_EQ(host.Count("prompt 1 1117"), 0u);
  ASSERT_EQ(log.Details().size(), 1u);
  EXPECT_EQ(log.Details()[0].rfind(Detail(Details::kSystemErrorText, L"Disk full"), 0), 0u);
  EXPECT_EQ(host.Events().back().rfind("end 1", 0), 0u);
  EXPECT_EQ(m.m_bContinueInNextVolume, 0);
}

TEST_P(BackupCopy, AStreamThatBreaksTheEncryptionFrameEndsTheItemQuietly) {
  UseAes();
  m.SetBufferCapacity(96, 0);
  host.streams[3] = RandomText(200);
  host.streamBlockSizes = {50, 96};  // a short block in the middle of the data
  EXPECT_EQ(m.BackupItem(Stream(3, L"s.venc", OrvCopy::ArchiveItemFlagAES, 200)), 0);
  EXPECT_TRUE(Records().empty());
  EXPECT_EQ(fs::file_size(Dest("s.venc")), 64u + 64);
  EXPECT_EQ(host.Events().back(), EndCall(3, 0, 0));
}

TEST_P(BackupCopy, AStreamGivingMoreThanAskedFailsTheItem) {
  m.SetBufferCapacity(96, 0);
  host.streams[3] = RandomText(300);
  host.streamBlockSizes = {200};
  EXPECT_EQ(m.BackupItem(Stream(3, L"s")), 62);
  EXPECT_EQ(host.Events().back(), "failed 3");
  EXPECT_EQ(fs::file_size(Dest("s")), 0u);
}

TEST_P(BackupCopy, FileTimesThatCannotBeSetAreLogged) {
  fault::FailNth(fault::Op::SetTimes, 1, EPERM);
  EXPECT_EQ(m.BackupItem(Item("t", "x")), 0);
  ExpectRecord(0, Records::kUpdateDatesFailed);
}

// --- Volumes ----------------------------------------------------------------------------

TEST_P(BackupCopy, AnItemLargerThanTheVolumeIsCutIntoNumberedParts) {
  m.SetBufferCapacity(384, 0);
  m.AddSplitSize(100);
  const std::string content = RandomText(250, 4);
  EXPECT_EQ(m.BackupItem(Item("v.bin", content)), 0);
  EXPECT_EQ(Backup("v.bin"), content.substr(0, 100));
  EXPECT_EQ(Backup("v.bin.001"), content.substr(100, 100));
  EXPECT_EQ(Backup("v.bin.002"), content.substr(200));
  EXPECT_EQ(host.Events(),
            (std::vector<std::string>{"begin 1", "volume-end 1 100 0", "volume-files 1 0",
                                      "volume-end 1 100 1", "volume-files 1 0",
                                      EndCall(1, Crc(content), 2)}));
  EXPECT_EQ(m.m_nVolumeWritten, 50u);  // the next item goes on in the same volume
  EXPECT_EQ(m.m_nVolumeNumber, 0);
  EXPECT_EQ(m.m_bContinueInNextVolume, 0);
}

TEST_P(BackupCopy, AnEncryptedItemContinuesInPlainInItsNextPart) {
  UseAes();
  m.SetBufferCapacity(96, 0);
  m.AddSplitSize(100);
  const std::string content = RandomText(150, 5);
  EXPECT_EQ(m.BackupItem(Item("e.venc", content, OrvCopy::ArchiveItemFlagAES)), 0);
  const std::string first = Backup("e.venc");
  EXPECT_EQ(first.size(), 64u + 96 + 16);  // header, one block, 4 bytes padded to 16
  EXPECT_EQ(first.substr(0, 8), "ORVXTS01");
  EXPECT_EQ(Backup("e.venc.001"), content.substr(100));
  EXPECT_EQ(host.Events().back(), EndCall(1, Crc(content.substr(100)), 1));
}

TEST_P(BackupCopy, AStreamFillsItsVolumeWithWholeBlocksAndReadsOnInTheNextPart) {
  m.SetBufferCapacity(96, 0);
  m.AddSplitSize(100);
  const std::string content = RandomText(250, 6);
  host.streams[2] = content;
  EXPECT_EQ(m.BackupItem(Stream(2, L"s")), 0);
  EXPECT_EQ(Backup("s"), content.substr(0, 192));  // past the limit by the whole last block
  EXPECT_EQ(Backup("s.001"), content.substr(192));
  EXPECT_EQ(host.Events(),
            (std::vector<std::string>{"begin 2", "open 2", "volume-end 2 192 0", "volume-files 1 0",
                                      "close 2", EndCall(2, Crc(content), 1)}));
}

// --- Simulated (hand-over) backups ------------------------------------------------------

TEST_P(BackupCopy, ASimulatedBackupCountsItemsThatFitWithoutCopyingThem) {
  m.m_bSimulate = 1;
  EXPECT_EQ(m.BackupItem(Item("a", RandomText(300))), 0);
  CArchiveItem second = Item("b", RandomText(200));
  second.m_nItemKey = 2;
  EXPECT_EQ(m.BackupItem(second), 0);
  EXPECT_FALSE(fs::exists(dir.Path() / "backup"));
  EXPECT_EQ(host.calls, (std::vector<std::string>{"begin 1", "progress", EndCall(1, 0, 0),
                                                  "begin 2", "progress", EndCall(2, 0, 0)}));
  EXPECT_EQ(m.m_nVolumeWritten, 500u);
}

TEST_P(BackupCopy, ASimulatedItemThatOverflowsIsCopiedToTheTemporaryFolder) {
  m.m_bSimulate = 1;
  m.SetTempFolder(dir.W("tmp").c_str());
  m.AddSplitSize(100);
  m.m_nVolumeWritten = 50;
  const std::string content = RandomText(80, 8);
  EXPECT_EQ(m.BackupItem(Item("o.bin", content)), 0);
  EXPECT_EQ(orvtest::ReadFile(dir.Path() / "tmp/o.bin"), content.substr(0, 50));
  EXPECT_EQ(orvtest::ReadFile(dir.Path() / "tmp/o.bin.001"), content.substr(50));
  EXPECT_FALSE(fs::exists(dir.Path() / "backup"));
  // The first part's record is handed over with its volume, the second waits for its own.
  ASSERT_EQ(host.handedOver.size(), 1u);
  ASSERT_EQ(host.handedOver[0].size(), 1u);
  EXPECT_EQ(orv::platform::Utf16ToWide(host.handedOver[0][0].szDataPath), dir.W("tmp/o.bin"));
  EXPECT_EQ(host.handedOver[0][0].bFlags, 1);
  ASSERT_EQ(m.m_arrSimulatedFiles.size(), 1u);
  EXPECT_EQ(orv::platform::Utf16ToWide(m.m_arrSimulatedFiles[0].szDataPath),
            dir.W("tmp/o.bin.001"));
  EXPECT_EQ(orv::platform::Utf16ToWide(m.m_arrSimulatedFiles[0].szDestPath), DestW("o.bin.001"));
  EXPECT_EQ(host.Events().back(), EndCall(1, Crc(content), 1));
}

}  // namespace
