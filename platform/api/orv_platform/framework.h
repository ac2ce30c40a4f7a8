// The application framework's file class, as the library uses it.
//
// CFile opens without throwing (Open returns FALSE and fills an optional exception record);
// Read, Write, Seek, GetLength, SetLength, Flush and Close throw CFileException on failure.
#pragma once

#include <OrvCopy/external/OrvFramework.h>
#include <orv_platform/win32.h>

#include <string>

class CFile {
 public:
  enum OpenFlags : UINT {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    shareCompat = 0x0000,
    shareExclusive = 0x0010,
    shareDenyWrite = 0x0020,
    shareDenyRead = 0x0030,
    shareDenyNone = 0x0040,
    modeNoInherit = 0x0080,
    modeCreate = 0x1000,
    modeNoTruncate = 0x2000,
    typeText = 0x4000,
    typeBinary = 0x8000,
    osNoBuffer = 0x10000,
    osWriteThrough = 0x20000,
    osRandomAccess = 0x40000,
    osSequentialScan = 0x80000,
    // This layer's own: create the file, failing when it exists (CREATE_NEW). With it a
    // writer that expects a new file needs no look-up of the path first.
    modeCreateNew = 0x100000,
  };
  enum SeekPosition : UINT { begin = 0x0, current = 0x1, end = 0x2 };

  CFile();
  virtual ~CFile();  // closes an owned open file, ignoring errors
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // Opens the file; on failure returns FALSE and, when pError is given, fills it.
  virtual BOOL Open(LPCWSTR lpszFileName, UINT nOpenFlags, CFileException* pError = nullptr);
  virtual UINT Read(void* lpBuf, UINT nCount);
  virtual void Write(const void* lpBuf, UINT nCount);
  virtual ULONGLONG Seek(LONGLONG lOff, UINT nFrom);
  void SeekToBegin() { Seek(0, begin); }
  ULONGLONG SeekToEnd() { return Seek(0, end); }
  virtual ULONGLONG GetPosition() const;
  virtual ULONGLONG GetLength() const;
  virtual void SetLength(ULONGLONG nNewLen);
  virtual void Flush();
  virtual void Close();
  // Closes without reporting errors.
  virtual void Abort();

  // Stores the path unchanged. A null name throws CInvalidArgException.
  virtual void SetFilePath(LPCWSTR lpszNewName);
  const std::wstring& GetFilePath() const { return m_strFileName; }
  bool IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }

  // What CreateFileW is asked for the framework's open flags.
  struct CreateArgs {
    DWORD dwAccess;
    DWORD dwShareMode;
    DWORD dwDisposition;
    DWORD dwFlagsAndAttributes;
    BOOL bInheritHandle;
  };
  static CreateArgs MapOpenFlags(UINT nOpenFlags);

  static inline HANDLE const hFileNull = INVALID_HANDLE_VALUE;

  HANDLE m_hFile;
  BOOL m_bCloseOnDelete;  // the object owns the handle and closes it when destroyed

 protected:
  // Throws the exception for the system error code `error` on this file.
  [[noreturn]] void ThrowOsError(DWORD error) const;
  void RequireOpen() const;
  // Creates the handle for the flags, plus dwExtraFlags (such as FILE_FLAG_BACKUP_SEMANTICS),
  // for an object that is closed and already holds its path. On failure returns FALSE and,
  // when pError is given, fills it with the system error, its cause and the name.
  BOOL OpenHandle(LPCWSTR lpszFileName, UINT nOpenFlags, DWORD dwExtraFlags,
                  CFileException* pError);

  std::wstring m_strFileName;
};
