#include "CFile_Fix2.h"

namespace OrvCopy {

CFile_Fix2::~CFile_Fix2() = default;

void CFile_Fix2::SetFilePath(LPCWSTR lpszNewName) {
  CFile::SetFilePath(lpszNewName);
}

BOOL CFile_Fix2::Open(LPCWSTR lpszFileName, UINT nOpenFlags, CFileException* pError,
                      int bBackupSemantics) {
  Abort();  // a handle still open is closed, not leaked
  m_strFileName.clear();
  SetFilePath(lpszFileName);

  // typeBinary has no effect on how the file is opened.
  return OpenHandle(lpszFileName, nOpenFlags & ~static_cast<UINT>(typeBinary),
                    bBackupSemantics ? FILE_FLAG_BACKUP_SEMANTICS : 0, pError);
}

}  // namespace OrvCopy
