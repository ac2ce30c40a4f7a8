// Restore: the items of a job brought back from their backup files, range by range, with
// the sources fetched from the host one by one or in batches when the job says so.
#include <OrvCopy/OrvCopyManager.h>
#include <OrvCopy/external/OrvGlobalMFC.h>
#include <orv_platform/win32.h>

#include "ItemFlags.h"
#include "LogSupport.h"
#include "PathText.h"

#include <cwctype>

namespace OrvCopy {
namespace {

// A batch ends after an item this large, or before a neighbour that takes the pair past it.
constexpr uint64_t kBatchBytes = 0xA00000;  // 10 MiB
constexpr size_t kBatchKeys = 2000;

bool EqualsIgnoringCase(const wchar_t* a, const wchar_t* b) {
  for (; *a != L'\0' && *b != L'\0'; ++a, ++b) {
    if (std::towlower(static_cast<wint_t>(*a)) != std::towlower(static_cast<wint_t>(*b))) {
      return false;
    }
  }
  return *a == *b;
}

}  // namespace

int COrvCopyManager::GetSourceCopyFile(CArchiveItem& item, std::wstring& strPath) {
  strPath.clear();
  if (m_eCopyType == CopyTypeMirror) {
    if (!m_strSourceRootFolder.empty()) {
      strPath = m_strSourceRootFolder;
      AddSeparator(strPath);
    }
    strPath += item.m_strSourcePath;
  }
  if (!(m_dwFlags & JobFlagHostProvidesSource)) {
    return 1;
  }
  // An encrypted item's backup file is asked for without its ".venc" extension.
  auto stripEncryptedExtension = [&] {
    if (IsAESEncryption() && item.IsAESEncryption() &&
        EqualsIgnoringCase(PathFindExtensionW(strPath.c_str()), L".venc")) {
      PathRemoveExtensionW(strPath.data());
      strPath.resize(lstrlenW(strPath.c_str()));
    }
  };
  if (m_dwFlags & JobFlagBatchSources) {
    if (HasFlag(item, ArchiveItemFlagPrepareFailed)) {
      return 0;
    }
    if (HasFlag(item, ArchiveItemFlagBatchPrepared)) {
      stripEncryptedExtension();
      if (PathFileExistsW(strPath.c_str())) {
        return 1;
      }
    }
  }
  stripEncryptedExtension();
  if (m_pCallBack == nullptr) {
    log::Record(log::kNoCallbackForSource);
    return 0;
  }
  return m_pCallBack->PrepareSourceFile(item.m_nItemKey, strPath.c_str(),
                                        m_strRestoreFromJobName.c_str())
             ? 1
             : 0;
}

int COrvCopyManager::RestoreRange(int nFirst, int nEnd) {
  OrvCompression::COrvCallBack* const cb = m_pCallBack;
  if (nEnd == -1) {
    nEnd = static_cast<int>(m_arrItems.size());
  }
  int result = StatusDone;
  for (int i = nFirst; i < nEnd && static_cast<size_t>(i) < m_arrItems.size(); ++i) {
    if (cb != nullptr && cb->IsAbortRequested()) {
      log::Record(log::kAbortRestoreInRange);
      return StatusStopped;
    }
    m_nTotalProcessed += m_nItemProcessed;
    CArchiveItem item = m_arrItems[static_cast<size_t>(i)];
    StartRestoredItem();

    std::wstring strSource;
    if (!GetSourceCopyFile(item, strSource)) {
      log::Record(log::kSourceUnavailable);
      LOGGER::g_OrvLog.Log(Details::kFile, strSource.c_str());
      if (cb != nullptr)
        cb->OnItemFailed(item.m_nItemKey, 0);
      continue;
    }
    std::wstring strDest;
    if (m_nAction != ActionRestoreTrial) {
      std::wstring strTemp;
      strDest = GetDestCopyFile(item, strTemp);
    }
    if (item.m_bIsFolder) {
      OrvEnsureFolderIsCreated(strDest.c_str(), 1);
      continue;
    }
    result = OrvCopyFile_Restore(strSource.c_str(), strDest.c_str(), 1, &item);
    if (result == StatusStopped) {
      return result;
    }
    if ((m_dwFlags & JobFlagHostProvidesSource) && m_bDontPerformDecryption) {
      DeleteFileW(strSource.c_str());  // the host's copy of an undecrypted source is spent
    }
  }
  return result;
}

int COrvCopyManager::Restore(int bTrial, uint64_t /*nReserved*/) {
  OrvCompression::COrvCallBack* const cb = m_pCallBack;
  m_nAction = bTrial ? ActionRestoreTrial : ActionRestore;
  m_strLastFolderMade.clear();
  if (cb != nullptr) {
    cb->m_bActionStarted = 1;
  }
  if (!(m_dwFlags & (JobFlagHostProvidesSource | JobFlagBatchSources))) {
    return RestoreRange(0, -1);
  }
  if (cb == nullptr) {
    log::Record(log::kNoCallbackForSources);
    return StatusStopped;
  }

  // Batch mode: the host makes each batch's sources available in one request.
  std::vector<uint64_t> keys;
  size_t first = 0;
  for (size_t i = 0; i < m_arrItems.size(); ++i) {
    if (cb->IsAbortRequested()) {
      log::Record(log::kAbortRestoreInBatch);
      return StatusStopped;
    }
    keys.push_back(m_arrItems[i].m_nItemKey);
    m_arrItems[i].m_dwFlags |= ArchiveItemFlagBatchPrepared;
    const uint64_t size = m_arrItems[i].m_nSize;
    const bool last = i + 1 == m_arrItems.size();
    const bool ends = size >= kBatchBytes || last || keys.size() == kBatchKeys ||
                      (!last && size + m_arrItems[i + 1].m_nSize > kBatchBytes);
    if (!ends) {
      continue;
    }
    int result = StatusDone;
    if (keys.size() == 1) {
      m_arrItems[i].m_dwFlags &= ~ArchiveItemFlagBatchPrepared;  // resolved on its own
      result = RestoreRange(static_cast<int>(first), static_cast<int>(i + 1));
    } else if (cb->PrepareSourceFiles(m_strSourceRootFolder.c_str(), keys,
                                      m_strRestoreFromJobName.c_str())) {
      result = RestoreRange(static_cast<int>(first), static_cast<int>(i + 1));
    } else {
      log::Record(log::kBatchRefused);
      for (size_t k = first; k <= i; ++k) {
        m_arrItems[k].m_dwFlags |= ArchiveItemFlagPrepareFailed;
        cb->OnItemFailed(m_arrItems[k].m_nItemKey, 0);
      }
    }
    if (result != StatusDone) {
      return result;
    }
    keys.clear();
    first = i + 1;
  }
  return StatusDone;
}

}  // namespace OrvCopy
