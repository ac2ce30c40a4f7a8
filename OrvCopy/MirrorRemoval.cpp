// Remove: the mirrored copies of a job's items deleted from the backup.
#include <OrvCopy/OrvCopyManager.h>
#include <orv_platform/utf.h>
#include <orv_platform/win32.h>

#include "LogSupport.h"

namespace OrvCopy {

int COrvCopyManager::Remove() {
  m_nAction = ActionRemove;
  BeginAction();
  for (size_t i = 0; i < m_arrItems.size(); ++i) {
    m_nTotalProcessed += m_nItemProcessed;
    CArchiveItem item = m_arrItems[i];
    StartItem();
    std::wstring strPath;
    GetSourceCopyFile(item, strPath);
    LOGGER::g_OrvLog.Log(Details::kDeleteFile, strPath.c_str());
    OrvDeleteFile(strPath.c_str(), reinterpret_cast<uint64_t>(&item));
  }
  return 0;
}

int COrvCopyManager::OrvDeleteFile(const wchar_t* lpszPath, uint64_t nItemAddress) {
  // Read-only and hidden would stop the deletion; every other attribute stays.
  const DWORD attributes = GetFileAttributesW(lpszPath);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    const DWORD cleared = attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    if (cleared != attributes) {
      SetFileAttributesW(lpszPath, cleared);
    }
  }
  BOOL removed;
  if (PathIsDirectoryW(lpszPath)) {
    removed = RemoveDirectoryW(lpszPath);
    if (!removed) {
      log::Record(log::kRemoveFolderFailed);
      LOGGER::g_OrvLog.Log(Details::kFolder, orv::platform::OrEmpty(lpszPath));
    }
  } else {
    removed = DeleteFileW(lpszPath);
    if (!removed) {
      log::Record(log::kRemoveFileFailed);
      LOGGER::g_OrvLog.Log(Details::kFile, orv::platform::OrEmpty(lpszPath));
    }
  }
  const auto* item = reinterpret_cast<const CArchiveItem*>(nItemAddress);
  if (m_pCallBack != nullptr && item != nullptr && item->m_nItemKey != 0) {
    m_pCallBack->OnItemRemoved(item->m_nItemKey, 0);
  }
  return removed ? 1 : 0;
}

}  // namespace OrvCopy
