// The file class of every source file: the framework's file with an extra Open that can add
// backup semantics, so that files which only a backup operator may read can be opened. Like
// the framework's Open it keeps the path exactly as given (no conversion to a full path, no
// length limit); unlike it, a null name raises CInvalidArgException instead of failing.
#pragma once

#include <orv_platform/framework.h>

namespace OrvCopy {

class CFile_Fix2 : public CFile {
 public:
  CFile_Fix2() = default;
  ~CFile_Fix2() override;

  // Stores the path unchanged; a null name raises CInvalidArgException.
  void SetFilePath(LPCWSTR lpszNewName) override;

  using CFile::Open;
  // Opens with the framework's flag mapping, plus FILE_FLAG_BACKUP_SEMANTICS when
  // bBackupSemantics is nonzero. On failure returns FALSE, leaves the object closed and, when
  // pError is given, fills it.
  BOOL Open(LPCWSTR lpszFileName, UINT nOpenFlags, CFileException* pError, int bBackupSemantics);
};

}  // namespace OrvCopy
