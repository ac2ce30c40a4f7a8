// The manager with its protected state opened to the tests, as a derived host class could.
#pragma once

#include <OrvCopy/OrvCopyManager.h>
#include <orv_platform/fault_injection_test_helper.h>

#include "RecordingHost.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace OrvCopy {
// Reaches the manager's private operations for the tests.
class COrvCopyManagerTestAccess {
 public:
  static int OpenSourceFile(COrvCopyManager& m, const wchar_t* path, CFile_Fix2& file,
                            CArchiveItem& item) {
    return m.OrvCopy_OpenSourceFile(path, file, item);
  }
};
}  // namespace OrvCopy

namespace orvtest {

class TestManager : public OrvCopy::COrvCopyManager {
 public:
  using COrvCopyManager::AddCompressionExt;
  using COrvCopyManager::ApplyVolumeLimit;
  using COrvCopyManager::AskNextDestination;
  using COrvCopyManager::BackupItemParts;
  using COrvCopyManager::FitsInCurrentVolume;
  using COrvCopyManager::GetAESHeaderSize;
  using COrvCopyManager::GetAESLength;
  using COrvCopyManager::GetDestCopyFile;
  using COrvCopyManager::GetDestTempFile;
  using COrvCopyManager::GetSourceCopyFile;
  using COrvCopyManager::GetSplitSize;
  using COrvCopyManager::IsAESEncryption;
  using COrvCopyManager::IsSplitEnabled;
  using COrvCopyManager::m_arrItems;
  using COrvCopyManager::m_arrSimulatedFiles;
  using COrvCopyManager::m_arrSplitSizes;
  using COrvCopyManager::m_bContinueInNextVolume;
  using COrvCopyManager::m_bDontPerformDecryption;
  using COrvCopyManager::m_dwItemCRC;
  using COrvCopyManager::m_eCopyType;
  using COrvCopyManager::m_nAction;
  using COrvCopyManager::m_nItemProcessed;
  using COrvCopyManager::m_nResumeOffset;
  using COrvCopyManager::m_nSplitIndex;
  using COrvCopyManager::m_nTotalProcessed;
  using COrvCopyManager::m_nVolumeNumber;
  using COrvCopyManager::m_nVolumeWritten;
  using COrvCopyManager::m_pCallBack;
  using COrvCopyManager::m_pEncryption;
  using COrvCopyManager::m_strDestRootFolder;
  using COrvCopyManager::m_strRestoreFromJobName;
  using COrvCopyManager::m_strSourceRootFolder;
  using COrvCopyManager::m_strTempFolder;
  using COrvCopyManager::OrvCopyFile_Backup;
  using COrvCopyManager::OrvCopyFile_Restore;
  using COrvCopyManager::PrepareAESManager;
  using COrvCopyManager::PrepareDestination;
  using COrvCopyManager::RestoreRange;
  using COrvCopyManager::SetRecordPath;
  using COrvCopyManager::UpdateFileDates;
  using COrvCopyManager::WriteEncryptionHeader;

  TestManager() { Initialize(); }

  // Backs up one item below the root as the backup driver does, part after part.
  int BackupItem(OrvCopy::CArchiveItem item) {
    StartItem();
    uint64_t nProcessedBase = 0, nCachedBytes = 0;
    return BackupItemParts(item, nProcessedBase, nCachedBytes);
  }

  static OrvCopy::CArchiveItem FileItem(const std::wstring& source, const std::wstring& name,
                                        uint64_t key = 1, uint32_t flags = 0) {
    OrvCopy::CArchiveItem item;
    item.m_strSourcePath = source;
    item.m_strFileName = name;
    item.m_nItemKey = key;
    item.m_dwFlags = flags;
    return item;
  }
};

// A fresh folder, a captured log, a recording host and a manager that backs up into
// <folder>/backup, with every injected fault cleared around the test.
class BackupFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    orv::platform::fault::Reset();
    m.SetCallBack(&host);
    m.SetDestRootFolder(dir.W("backup").c_str());
  }
  void TearDown() override { orv::platform::fault::Reset(); }

  TempDir dir;
  LogCapture log;
  RecordingHost host;
  TestManager m;
};

}  // namespace orvtest
