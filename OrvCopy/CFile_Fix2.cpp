#include "CFile_Fix2.h"

namespace OrvCopy {

CFile_Fix2::~CFile_Fix2() = default;

void CFile_Fix2::SetFilePath(LPCWSTR lpszNewName) {
  if (lpszNewName == nullptr) {
    throw CInvalidArgException();
  }
  m_strFileName = lpszNewName;
}

BOOL CFile_Fix2::Open(LPCWSTR lpszFileName, UINT nOpenFlags, CFileException* pError,
                      int bBackupSemantics) {
  Abort();  // a handle still open is closed, not leaked
  m_strFileName.clear();
  SetFilePath(lpszFileName);

  const CreateArgs args = MapOpenFlags(nOpenFlags & ~static_cast<UINT>(typeBinary));
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, args.bInheritHandle};
  DWORD flags = args.dwFlagsAndAttributes;
  if (bBackupSemantics) {
    flags |= FILE_FLAG_BACKUP_SEMANTICS;
  }
  HANDLE h = CreateFileW(lpszFileName, args.dwAccess, args.dwShareMode, &security,
                         args.dwDisposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (pError != nullptr) {
      const auto error = static_cast<long>(GetLastError());
      pError->m_lOsError = error;
      pError->m_cause = CFileException::OsErrorToException(error);
      pError->m_strFileName = lpszFileName;
    }
    return FALSE;
  }
  m_hFile = h;
  m_bCloseOnDelete = TRUE;
  return TRUE;
}

}  // namespace OrvCopy
