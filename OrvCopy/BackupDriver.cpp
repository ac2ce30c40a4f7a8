// Copy: the backup of a whole job, item after item, with folders, compression, the per-file
// copy, volume changes and the file records the host takes over volume by volume.
#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/external/OrvGlobalMFC.h>
#include <orv_platform/win32.h>

#include "LogSupport.h"

namespace OrvCopy {

void COrvCopyManager::RecordPass(const CArchiveItem& item, std::wstring& strDest,
                                 const std::wstring& strTemp) {
  OrvCompression::_SimulatedBackedupFile record;
  SetRecordPath(record.szDestPath, strDest);
  SetRecordPath(record.szDataPath, strTemp);
  record.nItemKey = item.m_nItemKey;
  if (!strTemp.empty()) {
    strDest = strTemp;
    record.bFlags |= OrvCompression::_SimulatedBackedupFile::kFlagTempFile;
  } else if (m_bSimulate) {
    SetRecordPath(record.szDataPath, item.m_strSourcePath);
  }
  m_arrSimulatedFiles.push_back(record);
}

int COrvCopyManager::BackupFolderItem(const CArchiveItem& item, const std::wstring& strDest) {
  if (m_pCallBack == nullptr) {
    log::Record(log::kNoCallbackForFolder);
    LOGGER::g_OrvLog.Log(Details::kFolder, strDest.c_str());
    return StatusItemFailed;
  }
  if (!PathFileExistsW(strDest.c_str())) {
    OrvCreateFolder(strDest.c_str());
  }
  m_pCallBack->OnItemBegin(item.m_nItemKey);
  m_pCallBack->OnItemEnd(item.m_nItemKey, 0, 0);
  return StatusDone;
}

bool COrvCopyManager::StartNextVolume(const CArchiveItem& item) {
  OrvCompression::COrvCallBack* const cb = m_pCallBack;
  if (cb != nullptr) {
    cb->OnVolumeEnd(item.m_nItemKey, m_nVolumeWritten, m_nVolumeNumber);
  }
  AdvanceVolume();
  if (cb != nullptr) {
    if (!cb->OnVolumeFiles(0, &m_arrSimulatedFiles)) {
      return false;
    }
    m_arrSimulatedFiles.clear();
  }
  return !(m_dwFlags & JobFlagAskDestination) || AskNextDestination(m_bContinueInNextVolume);
}

int COrvCopyManager::Copy(int bSkipPreparation) {
  OrvCompression::COrvCallBack* const cb = m_pCallBack;
  m_nAction = ActionBackup;
  BeginAction();
  uint64_t nProcessedBase = 0;
  uint64_t nCachedBytes = 0;

  if (!bSkipPreparation) {
    if ((m_dwFlags & JobFlagAskDestination) && !AskNextDestination(0)) {
      log::Record(log::kAbortBackupAtStart);
      return StatusStopped;
    }
    if (IsAESEncryption()) {
      PrepareAESManager();
      m_bSimulate = 0;  // an encrypted backup always copies its files
    }
  }

  // One record per pass: room for one per item at once, instead of growing (and copying
  // 1056-byte records) as the run goes.
  m_arrSimulatedFiles.reserve(m_arrSimulatedFiles.size() + m_arrItems.size());

  int result = StatusDone;
  for (size_t i = 0; i < m_arrItems.size(); ++i) {
    if (cb != nullptr && cb->IsAbortRequested()) {
      log::Record(log::kAbortBackupBeforeItem);
      result = StatusStopped;
      break;
    }
    m_nTotalProcessed += m_nItemProcessed;
    CArchiveItem item = m_arrItems[i];
    StartItem();
    result = BackupItemParts(item, nProcessedBase, nCachedBytes);
    if (m_bCompress && result == StatusCompressionFailed) {
      return result;  // the engine did not start: no item can be compressed
    }
    if (result == StatusStopped) {
      break;
    }
  }

  if (cb != nullptr) {
    cb->m_nTotalProcessedSize = cb->m_ProcessedStatus.GetTotalProcessedSize();
    cb->m_nTotalOutputSize = cb->m_ProcessedStatus.GetTotalOutputSize();
  }
  return result;
}

int COrvCopyManager::BackupItemParts(CArchiveItem& item, uint64_t& nProcessedBase,
                                     uint64_t& nCachedBytes) {
  const std::wstring strSource = item.m_strSourcePath;
  // One pass per part of the item; a full volume ends a part and starts the next volume.
  for (;;) {
    std::wstring strTemp;
    std::wstring strDest = GetDestCopyFile(item, strTemp);
    RecordPass(item, strDest, strTemp);
    if (item.m_bIsFolder) {
      return BackupFolderItem(item, strDest);
    }
    if (m_bCompress) {
      return CompressItem(item, strSource, strDest, nProcessedBase, nCachedBytes);
    }
    const int result = OrvCopyFile_Backup(strSource.c_str(), strDest.c_str(), 1, &item);
    if (result == StatusStopped || !m_bContinueInNextVolume) {
      return result;
    }
    if (!StartNextVolume(item)) {
      return StatusStopped;
    }
  }
}

}  // namespace OrvCopy
