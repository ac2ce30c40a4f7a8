// The framework's file exceptions, as the library lets them through to the host.
//
// The per-file operations catch most file errors themselves; a few (a disk that fills while
// a restore writes, say) reach the host. A host catches them by const reference, as
// `const CFileException&` or as their base `const CException&` (which is also a
// std::exception).
#pragma once

#include <OrvCopy/external/OrvFrameworkExport.h>

#include <cstdint>
#include <exception>
#include <string>

class ORVFRAMEWORK_API CException : public std::exception {
 public:
  CException() = default;
  ~CException() override;
  CException(const CException&) = default;
  CException& operator=(const CException&) = default;

  // Copies the error text into `lpszError` (at most nMaxError characters, terminator included).
  // Returns nonzero when a text was produced. `pnHelpContext`, when given, receives 0.
  virtual int GetErrorMessage(wchar_t* lpszError, unsigned int nMaxError,
                              unsigned int* pnHelpContext = nullptr) const;
  // The error text as a string.
  virtual std::wstring GetErrorText() const;

  const char* what() const noexcept override;

 protected:
  mutable std::string m_strWhat;  // UTF-8 copy of the error text, made by what()
};

class ORVFRAMEWORK_API CFileException : public CException {
 public:
  // Causes, with the framework's values.
  enum {
    none = 0,
    genericException = 1,
    fileNotFound = 2,
    badPath = 3,
    tooManyOpenFiles = 4,
    accessDenied = 5,
    invalidFile = 6,
    removeCurrentDir = 7,
    directoryFull = 8,
    badSeek = 9,
    hardIO = 10,
    sharingViolation = 11,
    lockViolation = 12,
    diskFull = 13,
    endOfFile = 14,
  };

  explicit CFileException(int cause = none, long lOsError = -1,
                          const wchar_t* lpszFileName = nullptr);
  ~CFileException() override;
  CFileException(const CFileException&) = default;
  CFileException& operator=(const CFileException&) = default;

  // The cause for a Windows system error code.
  static int OsErrorToException(long lOsError);

  std::wstring GetErrorText() const override;

  int m_cause;
  long m_lOsError;  // the system error code (GetLastError), -1 when none
  std::wstring m_strFileName;
};

// Raised by the framework for an argument it cannot take (a null file name, say).
class ORVFRAMEWORK_API CInvalidArgException : public CException {
 public:
  CInvalidArgException() = default;
  ~CInvalidArgException() override;
  CInvalidArgException(const CInvalidArgException&) = default;
  CInvalidArgException& operator=(const CInvalidArgException&) = default;

  std::wstring GetErrorText() const override;
};
