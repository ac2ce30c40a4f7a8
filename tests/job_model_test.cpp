// The item record and the manager's configuration, life cycle and volume plan.
#include <OrvCopy/OrvCopyManager.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>

using OrvCopy::CArchiveItem;

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

// Opens the manager's protected state to the tests, as a derived host class could.
class TestManager : public OrvCopy::COrvCopyManager {
 public:
  using COrvCopyManager::ApplyVolumeLimit;
  using COrvCopyManager::FitsInCurrentVolume;
  using COrvCopyManager::GetAESLength;
  using COrvCopyManager::GetSplitSize;
  using COrvCopyManager::IsAESEncryption;
  using COrvCopyManager::IsSplitEnabled;
  using COrvCopyManager::m_arrItems;
  using COrvCopyManager::m_arrSimulatedFiles;
  using COrvCopyManager::m_arrSplitSizes;
  using COrvCopyManager::m_bContinueInNextVolume;
  using COrvCopyManager::m_bDontPerformDecryption;
  using COrvCopyManager::m_dwFlags;
  using COrvCopyManager::m_eCopyType;
  using COrvCopyManager::m_nAction;
  using COrvCopyManager::m_nBufferCapacity;
  using COrvCopyManager::m_nItemProcessed;
  using COrvCopyManager::m_nResumeOffset;
  using COrvCopyManager::m_nSplitIndex;
  using COrvCopyManager::m_nTotalProcessed;
  using COrvCopyManager::m_nVolumeNumber;
  using COrvCopyManager::m_nVolumeWritten;
  using COrvCopyManager::m_pCallBack;
  using COrvCopyManager::m_strDestRootFolder;
  using COrvCopyManager::m_strRestoreFromJobName;
  using COrvCopyManager::m_strSourceRootFolder;
  using COrvCopyManager::m_strTempFolder;

  TestManager() { Initialize(); }

  void AddFile(const std::wstring& source, uint32_t flags = 0, int aes = 0) {
    AddItem(source.c_str(), L"d", L"n", 1, aes, 1, 0, flags, 1, 0, nullptr);
  }
};

CArchiveItem Item(const std::wstring& folder, const std::wstring& name,
                  const std::wstring& source = L"") {
  CArchiveItem item;
  item.m_strDestFolder = folder;
  item.m_strFileName = name;
  item.m_strSourcePath = source;
  return item;
}

// --- The item record --------------------------------------------------------------------

TEST(ArchiveItem, DefaultsAreUserValueOneFileDataOneAndTheRestEmpty) {
  const CArchiveItem item;
  EXPECT_EQ(item.m_nUserValue, 1);
  EXPECT_EQ(item.m_bFileData, 1);
  EXPECT_EQ(item.m_nItemKey, 0u);
  EXPECT_EQ(item.m_nSize, 0u);
  EXPECT_EQ(item.m_bIsFolder, 0);
  EXPECT_EQ(item.m_dwFlags, 0u);
  EXPECT_EQ(item.m_bToTempFile, 0);
  EXPECT_TRUE(item.m_strSourcePath.empty() && item.m_strDestFolder.empty() &&
              item.m_strFileName.empty() && item.m_strVSSPath.empty());
}

TEST(ArchiveItem, DestinationPathJoinsFolderAndNameWithOneSeparator) {
  EXPECT_EQ(Item(L"Docs", L"a.txt").GetFullDestPath(), L"Docs/a.txt");
  EXPECT_EQ(Item(L"A/", L"b").GetFullDestPath(), L"A/b");
  EXPECT_EQ(Item(L"", L"a.txt").GetFullDestPath(), L"a.txt");
  EXPECT_EQ(Item(L"A", L"").GetFullDestPath(), L"A/");
  EXPECT_EQ(Item(L"A", L"sub/c.txt").GetFullDestPath(), L"A/sub/c.txt");
  const std::wstring longFolder(400, L'f');
  EXPECT_EQ(Item(longFolder, L"x").GetFullDestPath(), longFolder + L"/x");
}

TEST(ArchiveItem, ArchiveNameFallsBackToTheSourceNameOnlyWhenThePathIsEmpty) {
  EXPECT_EQ(Item(L"", L"", L"/x/y.doc").GetFileInZipPath(), L"y.doc");
  EXPECT_EQ(Item(L"A", L"", L"/x/y.doc").GetFileInZipPath(), L"A/");
  EXPECT_EQ(Item(L"A", L"b", L"/x/y.doc").GetFileInZipPath(), L"A/b");
}

TEST(ArchiveItem, EncryptionFlagReadsAsTwoAndCopiesAreIndependent) {
  CArchiveItem item = Item(L"A", L"b");
  item.m_dwFlags = OrvCopy::ArchiveItemFlagAES | OrvCopy::ArchiveItemFlagAppend;
  EXPECT_EQ(item.IsAESEncryption(), 2);
  CArchiveItem copy = item;
  copy.m_strFileName = L"changed";
  copy.m_strDestFolder += L"x";
  EXPECT_EQ(item.GetFullDestPath(), L"A/b");
  CArchiveItem assigned;
  assigned = copy;
  EXPECT_EQ(assigned.m_strFileName, L"changed");
  EXPECT_EQ(assigned.m_dwFlags, item.m_dwFlags);
}

// --- Configuration and life cycle -------------------------------------------------------

TEST(ManagerConfig, StartsWithTheDocumentedDefaults) {
  TestManager m;
  EXPECT_EQ(m.GetBufferCapacity(), 65856u);
  EXPECT_EQ(m.m_nAESLength, 16);
  EXPECT_EQ(m.GetFlags(), 0u);
  EXPECT_EQ(m.m_eCopyType, OrvCopy::CopyTypeMirror);
  EXPECT_EQ(m.m_nAction, OrvCopy::ActionBackup);
  EXPECT_TRUE(m.m_arrItems.empty());
  EXPECT_TRUE(m.m_arrSplitSizes.empty());
  EXPECT_EQ(m.m_pCallBack, nullptr);
  EXPECT_EQ(m.m_bCompress + m.m_bUseTempFolder + m.m_bSimulate + m.m_nEncryptionType, 0);
  EXPECT_EQ(m.m_nOnlineCacheSize, 0u);
}

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

TEST(ManagerConfig, SettersStoreWhatTheyAreGiven) {
  TestManager m;
  m.SetDestRootFolder(L"/dest");
  m.SetSourceRootFolder(L"rel/src/");
  m.SetTempFolder(L"");
  m.SetFlags(0xF0000001);
  EXPECT_EQ(m.m_strDestRootFolder, L"/dest");
  EXPECT_EQ(m.m_strSourceRootFolder, L"rel/src/");
  EXPECT_TRUE(m.m_strTempFolder.empty());
  EXPECT_EQ(m.GetFlags(), 0xF0000001u);
  m.SetDestRootFolder(nullptr);  // a null string is stored as empty
  EXPECT_TRUE(m.m_strDestRootFolder.empty());
}

TEST(ManagerConfig, AddItemDetectsFoldersAndCombinesFlags) {
  orvtest::TempDir dir;
  const std::wstring file = dir.WriteFile("f.txt", "x");
  TestManager m;
  EXPECT_EQ(m.AddItem(dir.W().c_str(), L"", L"", 1, 0, 1, 0, 0, 1, 0, nullptr), 0);
  EXPECT_EQ(m.AddItem(dir.W("missing").c_str(), L"", L"", 2, 0, 1, 0, 0, 1, 0, L""), 0);
  EXPECT_EQ(m.AddItem(file.c_str(), L"D", L"n", 3, 1, 7, 42, OrvCopy::ArchiveItemFlagAppend, 0, 5,
                      L"/shadow/f.txt"),
            0);
  ASSERT_EQ(m.m_arrItems.size(), 3u);
  EXPECT_EQ(m.m_arrItems[0].m_bIsFolder, 1);  // an existing directory
  EXPECT_EQ(m.m_arrItems[1].m_bIsFolder, 0);  // a path that does not exist is a file
  EXPECT_TRUE(m.m_arrItems[1].m_strVSSPath.empty());
  const CArchiveItem& third = m.m_arrItems[2];
  EXPECT_EQ(third.m_dwFlags, 0x0Au);
  EXPECT_EQ(third.m_bIsFolder, 5);  // a nonzero folder argument is stored as given
  EXPECT_EQ(third.m_nUserValue, 7);
  EXPECT_EQ(third.m_nSize, 42u);
  EXPECT_EQ(third.m_nItemKey, 3u);
  EXPECT_EQ(third.m_bFileData, 0);
  EXPECT_EQ(third.m_bToTempFile, 0);
  EXPECT_EQ(third.m_strVSSPath, L"/shadow/f.txt");
}

TEST(ManagerConfig, ClearAllEmptiesTheJobButKeepsSplitSizesRecordsAndOptions) {
  OrvCompression::COrvCallBack callback;
  TestManager m;
  m.SetDestRootFolder(L"/d");
  m.SetSourceRootFolder(L"/s");
  m.SetTempFolder(L"/t");
  m.SetBufferCapacity(1000, 0);
  m.SetCallBack(&callback);
  m.SetFlags(1);
  m.SetRestoreFromJobName(L"job");
  m.AddFile(L"/x");
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
  EXPECT_EQ(m.m_strTempFolder, L"/t");
  EXPECT_EQ(m.m_strRestoreFromJobName, L"job");
  EXPECT_EQ(m.m_bCompress, 1);
  EXPECT_EQ(m.m_strPassword, L"pw");

  m.AddFile(L"/y");
  m.ClearActionData();
  EXPECT_TRUE(m.m_arrItems.empty());
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

TEST(ManagerConfig, AnAesJobNeedsTypeTwoAPasswordAndNoTrialRestore) {
  TestManager m;
  m.m_strPassword = L"secret";
  EXPECT_EQ(m.IsAESEncryption(), 0);  // type 0
  m.m_nEncryptionType = 2;
  EXPECT_EQ(m.IsAESEncryption(), 1);
  m.m_nAction = OrvCopy::ActionRestoreTrial;
  EXPECT_EQ(m.IsAESEncryption(), 0);
  m.m_nAction = OrvCopy::ActionRestore;
  m.m_strPassword.clear();
  EXPECT_EQ(m.IsAESEncryption(), 0);
  m.m_nAESLength = 32;
  EXPECT_EQ(m.GetAESLength(), 32);
}

// --- The volume plan --------------------------------------------------------------------

TEST(VolumePlan, WithoutSizesNothingSplitsAndTheSizeCannotBeRead) {
  TestManager m;
  EXPECT_EQ(m.IsSplitEnabled(), 0);
  try {
    m.GetSplitSize();
    FAIL() << "an empty list has no size";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "invalid vector<T> subscript");
  }
  bool full = true;
  EXPECT_EQ(m.ApplyVolumeLimit(65856, 1, full), 65856u);
  EXPECT_FALSE(full);
  EXPECT_TRUE(m.FitsInCurrentVolume(UINT64_MAX));
}

TEST(VolumePlan, TheFirstSizeLimitsEveryVolume) {
  TestManager m;
  m.AddSplitSize(100 * kMiB);
  m.AddSplitSize(50 * kMiB);
  EXPECT_EQ(m.GetSplitSize(), 100 * kMiB);
  m.m_nSplitIndex = 1;
  EXPECT_EQ(m.GetSplitSize(), 50 * kMiB);
  m.m_nSplitIndex = 7;  // past the end: the last entry
  EXPECT_EQ(m.GetSplitSize(), 50 * kMiB);
}

TEST(VolumePlan, FileBlocksAreCutAtTheLimitAndStreamBlocksStayWhole) {
  TestManager m;
  m.AddSplitSize(1000);
  bool full = false;
  EXPECT_EQ(m.ApplyVolumeLimit(600, 1, full), 600u);
  EXPECT_FALSE(full);
  EXPECT_EQ(m.ApplyVolumeLimit(600, 1, full), 400u);  // cut so the volume ends at 1000
  EXPECT_TRUE(full);
  EXPECT_EQ(m.m_nVolumeWritten, 1000u);
  EXPECT_EQ(m.m_nItemProcessed, 1000u);

  TestManager stream;
  stream.AddSplitSize(1000);
  EXPECT_EQ(stream.ApplyVolumeLimit(600, 0, full), 600u);
  EXPECT_EQ(stream.ApplyVolumeLimit(600, 0, full), 600u);  // written whole, passes the limit
  EXPECT_TRUE(full);
  EXPECT_EQ(stream.m_nVolumeWritten, 1200u);
  EXPECT_FALSE(stream.FitsInCurrentVolume(0));
}

TEST(VolumePlan, ABlockReachingTheLimitExactlyDoesNotEndTheVolume) {
  TestManager m;
  m.AddSplitSize(1000);
  bool full = false;
  EXPECT_EQ(m.ApplyVolumeLimit(1000, 1, full), 1000u);
  EXPECT_FALSE(full);
  EXPECT_EQ(m.ApplyVolumeLimit(0, 1, full), 0u);  // the empty read at the end of the data
  EXPECT_FALSE(full);
  EXPECT_EQ(m.ApplyVolumeLimit(10, 1, full), 0u);  // the next block starts the next volume
  EXPECT_TRUE(full);
  EXPECT_TRUE(m.FitsInCurrentVolume(0));
  EXPECT_FALSE(m.FitsInCurrentVolume(1));
}

TEST(VolumePlan, AZeroSizeMeansNoLimitSoEveryBlockMakesProgress) {
  TestManager m;
  m.AddSplitSize(0);
  EXPECT_EQ(m.IsSplitEnabled(), 1);
  bool full = true;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(m.ApplyVolumeLimit(65856, 1, full), 65856u);
    EXPECT_FALSE(full);
  }
  EXPECT_EQ(m.m_nVolumeWritten, 3 * 65856u);
  EXPECT_TRUE(m.FitsInCurrentVolume(UINT64_MAX));
}

}  // namespace
