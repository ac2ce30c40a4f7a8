// The item record and the manager's configuration, life cycle and volume plan.
#include "support/TestManager.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>

using OrvCopy::CArchiveItem;
using orvtest::TestManager;

namespace {

using orvtest::N;

constexpr uint64_t kMiB = 1024 * 1024;

CArchiveItem Item(const std::wstring& folder, const std::wstring& name,
                  const std::wstring& source = L"") {
  CArchiveItem item;
  item.m_strDestFolder = folder;
  item.m_strFileName = name;
  item.m_strSourcePath = source;
  return item;
}

// --- The item record --------------------------------------------------------------------

TEST(ArchiveItem, DestinationPathJoinsFolderAndNameWithOneSeparator) {
  EXPECT_EQ(Item(L"Docs", L"a.txt").GetFullDestPath(), N(L"Docs/a.txt"));
  EXPECT_EQ(Item(N(L"A/"), L"b").GetFullDestPath(), N(L"A/b"));
  EXPECT_EQ(Item(L"", L"a.txt").GetFullDestPath(), L"a.txt");
  EXPECT_EQ(Item(L"A", L"").GetFullDestPath(), N(L"A/"));
  EXPECT_EQ(Item(L"A", N(L"sub/c.txt")).GetFullDestPath(), N(L"A/sub/c.txt"));
  const std::wstring longFolder(400, L'f');
  EXPECT_EQ(Item(longFolder, L"x").GetFullDestPath(), longFolder + N(L"/x"));
  // The name inside an archive falls back to the source's name only when the path is empty.
  EXPECT_EQ(Item(L"", L"", N(L"/x/y.doc")).GetFileInZipPath(), L"y.doc");
  EXPECT_EQ(Item(L"A", L"", N(L"/x/y.doc")).GetFileInZipPath(), N(L"A/"));
  EXPECT_EQ(Item(L"A", L"b", N(L"/x/y.doc")).GetFileInZipPath(), N(L"A/b"));
}

// --- Configuration and life cycle -------------------------------------------------------

TEST(ManagerConfig, BufferCapacityRoundsUpToMultiplesOf96WhenAsked) {
  TestManager m;
  const std::vector<std::tuple<uint64_t, int, uint64_t>> cases = {
      {65536, 1, 65568},
      {65536, 0, 65536},
      {65856, 1, 65856},
      {96, 1, 96},
      {1, 1, 96},
      {0, 1, 0},
      {97, 1, 192},
      {2147483616, 1, 2147483616},
      {2147483617, 1, 2147483617},
      {uint64_t{1} << 33, 1, uint64_t{1} << 33}};
  for (const auto& [request, round, expected] : cases) {
    m.SetBufferCapacity(request, round);
    EXPECT_EQ(m.GetBufferCapacity(), expected) << request << " round " << round;
  }
}

TEST(ManagerConfig, InitializeResetsActionCopyTypeFlagsAndRestoreSettings) {
  TestManager m;
  m.SetFlags(0x0D);
  m.SetCopyType(OrvCopy::CopyTypeHostComposed);
  m.SetRestoreFromJobName(L"job");
  m.DontPerformDecryption(1);
  m.m_nAction = OrvCopy::ActionRemove;
  m.m_nVolumeWritten = 5;
  EXPECT_EQ(m.Initialize(), 1);
  EXPECT_EQ(m.GetFlags(), 0u);
  EXPECT_EQ(m.m_eCopyType, OrvCopy::CopyTypeMirror);
  EXPECT_TRUE(m.m_strRestoreFromJobName.empty());
  EXPECT_EQ(m.m_bDontPerformDecryption, 0);
  EXPECT_EQ(m.m_nAction, OrvCopy::ActionBackup);
  EXPECT_EQ(m.m_nVolumeWritten, 0u);
}

TEST(ManagerConfig, AddItemDetectsFoldersAndCombinesFlags) {
  orvtest::TempDir dir;
  const std::wstring file = dir.WriteFile("f.txt", "x");
  TestManager m;
  EXPECT_EQ(m.AddItem(dir.W().c_str(), L"", L"", 1, 0, 1, 0, 0, 1, 0, nullptr), 0);
  EXPECT_EQ(m.AddItem(dir.W("missing").c_str(), L"", L"", 2, 0, 1, 0, 0, 1, 0, L""), 0);
  EXPECT_EQ(m.AddItem(file.c_str(), L"D", L"n", 3, 1, 7, 42, OrvCopy::ArchiveItemFlagAppend, 0, 5,
                      N(L"/shadow/f.txt").c_str()),
            0);
  ASSERT_EQ(m.m_arrItems.size(), 3u);
  EXPECT_EQ(m.m_arrItems[0].m_bIsFolder, 1);  // an existing directory
  EXPECT_EQ(m.m_arrItems[1].m_bIsFolder, 0);  // a path that does not exist is a file
  EXPECT_TRUE(m.m_arrItems[1].m_strVSSPath.empty());
  const CArchiveItem& third = m.m_arrItems[2];
  EXPECT_EQ(third.m_dwFlags, 0x0Au);
  EXPECT_EQ(third.IsAESEncryption(), 2);
  EXPECT_EQ(third.m_bIsFolder, 5);  // a nonzero folder argument is stored as given
  EXPECT_EQ(third.m_nUserValue, 7);
  EXPECT_EQ(third.m_nSize, 42u);
  EXPECT_EQ(third.m_nItemKey, 3u);
  EXPECT_EQ(third.m_bFileData, 0);
  EXPECT_EQ(third.m_bToTempFile, 0);
  EXPECT_EQ(third.m_strVSSPath, N(L"/shadow/f.txt"));
}

TEST(ManagerConfig, ClearAllEmptiesTheJobButKeepsSplitSizesRecordsAndOptions) {
  OrvCompression::COrvCallBack callback;
  TestManager m;
  m.SetDestRootFolder(N(L"/d").c_str());
  m.SetSourceRootFolder(N(L"/s").c_str());
  m.SetTempFolder(N(L"/t").c_str());
  m.SetBufferCapacity(1000, 0);
  m.SetCallBack(&callback);
  m.SetFlags(1);
  m.SetRestoreFromJobName(L"job");
  m.AddItem(N(L"/x").c_str(), L"d", L"n", 1, 0, 1, 0, 0, 1, 0, nullptr);
  m.AddSplitSize(100 * kMiB);
  m.m_arrSimulatedFiles.emplace_back();
  m.m_bCompress = 1;
  m.m_strPassword = L"pw";
  m.m_nEncryptionType = 2;
  m.m_nVolumeWritten = m.m_nItemProcessed = m.m_nTotalProcessed = 9;

  m.ClearAll();
  EXPECT_TRUE(m.m_arrItems.empty());
  EXPECT_TRUE(m.m_strDestRootFolder.empty());
  EXPECT_TRUE(m.m_strSourceRootFolder.empty());
  EXPECT_EQ(m.GetBufferCapacity(), 65856u);
  EXPECT_EQ(m.m_pCallBack, nullptr);
  EXPECT_EQ(m.GetFlags(), 0u);
  EXPECT_EQ(m.m_nVolumeWritten + m.m_nItemProcessed + m.m_nTotalProcessed, 0u);
  // Kept:
  EXPECT_EQ(m.m_arrSplitSizes, std::vector<uint64_t>{100 * kMiB});
  EXPECT_EQ(m.IsSplitEnabled(), 1);
  EXPECT_EQ(m.m_arrSimulatedFiles.size(), 1u);
  EXPECT_EQ(m.m_strTempFolder, N(L"/t"));
  EXPECT_EQ(m.m_strRestoreFromJobName, L"job");
  EXPECT_EQ(m.m_bCompress, 1);
  EXPECT_EQ(m.m_strPassword, L"pw");

  m.AddItem(N(L"/y").c_str(), L"d", L"n", 1, 0, 1, 0, 0, 1, 0, nullptr);
  m.ClearActionData();
  EXPECT_TRUE(m.m_arrItems.empty());
  m.SetDestRootFolder(nullptr);  // a null string is stored as empty
  EXPECT_TRUE(m.m_strDestRootFolder.empty());
}

TEST(ManagerConfig, InitActionResetsRunStateAndTheCallbacksTotals) {
  OrvCompression::COrvCallBack callback;
  callback.m_ProcessedStatus.m_nTotalProcessedSize = 77;
  TestManager m;
  EXPECT_EQ(m.GetGlobalTotalSize(), 0u);  // no callback
  m.SetCallBack(&callback);
  EXPECT_EQ(m.GetGlobalTotalSize(), 77u);
  m.SetRestoreFromJobName(L"job");
  m.DontPerformDecryption(1);
  m.m_nVolumeNumber = 3;
  m.m_bContinueInNextVolume = 1;
  m.m_nResumeOffset = 10;
  m.m_nVolumeWritten = 10;
  m.InitAction();
  EXPECT_EQ(callback.m_bActionStarted, 1u);
  EXPECT_EQ(m.GetGlobalTotalSize(), 0u);
  EXPECT_TRUE(m.m_strRestoreFromJobName.empty());
  EXPECT_EQ(m.m_bDontPerformDecryption, 0);
  EXPECT_EQ(m.m_nVolumeNumber + m.m_bContinueInNextVolume, 0);
  EXPECT_EQ(m.m_nResumeOffset + m.m_nVolumeWritten, 0u);
}

// --- The volume plan --------------------------------------------------------------------

TEST(VolumePlan, SizesInOrderAndNoneAtAll) {
  TestManager m;
  EXPECT_EQ(m.IsSplitEnabled(), 0);
  EXPECT_THROW(m.GetSplitSize(), std::out_of_range);
  EXPECT_TRUE(m.FitsInCurrentVolume(UINT64_MAX));
  m.AddSplitSize(100 * kMiB);
  m.AddSplitSize(50 * kMiB);
  EXPECT_EQ(m.GetSplitSize(), 100 * kMiB);
  m.m_nSplitIndex = 1;
  EXPECT_EQ(m.GetSplitSize(), 50 * kMiB);
  m.m_nSplitIndex = 7;  // past the end: the last entry
  EXPECT_EQ(m.GetSplitSize(), 50 * kMiB);
}

// Blocks of a file are cut where the volume ends; blocks of a stream are written whole; a
// block that reaches the limit exactly leaves the volume open; a size of 0 is no limit.
TEST(VolumePlan, BlocksAgainstTheLimit) {
  struct Block {
    uint32_t read;
    int fileData;
    uint32_t kept;
    bool full;
  };
  struct Case {
    std::vector<uint64_t> sizes;
    std::vector<Block> blocks;
    uint64_t written;
    bool fitsNothing, fitsOne;  // whether 0 bytes, 1 byte more fit afterwards
  };
  const std::vector<Case> cases = {
      {{}, {{65856, 1, 65856, false}}, 65856, true, true},
      {{1000}, {{600, 1, 600, false}, {600, 1, 400, true}}, 1000, true, false},
      {{1000}, {{600, 0, 600, false}, {600, 0, 600, true}}, 1200, false, false},
      {{1000}, {{1000, 1, 1000, false}, {0, 1, 0, false}, {10, 1, 0, true}}, 1000, true, false},
      {{0}, {{65856, 1, 65856, false}, {65856, 1, 65856, false}}, 2 * 65856, true, true},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    TestManager m;
    for (uint64_t size : cases[i].sizes)
      m.AddSplitSize(size);
    for (const Block& b : cases[i].blocks) {
      bool full = !b.full;
      EXPECT_EQ(m.ApplyVolumeLimit(b.read, b.fileData, full), b.kept) << i;
      EXPECT_EQ(full, b.full) << i;
    }
    EXPECT_EQ(m.m_nVolumeWritten, cases[i].written) << i;
    EXPECT_EQ(m.m_nItemProcessed, cases[i].written) << i;
    EXPECT_EQ(m.FitsInCurrentVolume(0), cases[i].fitsNothing) << i;
    EXPECT_EQ(m.FitsInCurrentVolume(1), cases[i].fitsOne) << i;
  }
}

}  // namespace
