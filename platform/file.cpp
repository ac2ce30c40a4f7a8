// CFile and the framework's file exceptions over the platform's kernel file services.
#include <orv_platform/framework.h>
#include <orv_platform/utf.h>

#include <algorithm>
#include <cwchar>

CException::~CException() = default;

std::wstring CException::GetErrorText() const {
  return L"An unknown error has occurred.";
}

int CException::GetErrorMessage(wchar_t* lpszError, unsigned int nMaxError,
                                unsigned int* pnHelpContext) const {
  if (pnHelpContext != nullptr) {
    *pnHelpContext = 0;
  }
  if (lpszError == nullptr || nMaxError == 0) {
    return 0;
  }
  const std::wstring text = GetErrorText();
  const size_t n = std::min<size_t>(text.size(), nMaxError - 1);
  std::wmemcpy(lpszError, text.c_str(), n);
  lpszError[n] = L'\0';
  return 1;
}

const char* CException::what() const noexcept {
  try {
    m_strWhat = orv::platform::WideToUtf8Lossy(GetErrorText());
  } catch (...) {
    return "file error";
  }
  return m_strWhat.c_str();
}

CFileException::CFileException(int cause, long lOsError, const wchar_t* lpszFileName)
    : m_cause(cause), m_lOsError(lOsError), m_strFileName(lpszFileName ? lpszFileName : L"") {}

CFileException::~CFileException() = default;

int CFileException::OsErrorToException(long lOsError) {
  switch (lOsError) {
    case ERROR_SUCCESS:
      return none;
    case ERROR_FILE_NOT_FOUND:
      return fileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY:
      return badPath;
    case ERROR_TOO_MANY_OPEN_FILES:
      return tooManyOpenFiles;
    case ERROR_ACCESS_DENIED:
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return accessDenied;
    case ERROR_INVALID_HANDLE:
      return invalidFile;
    case ERROR_SEEK:
    case ERROR_NEGATIVE_SEEK:
      return badSeek;
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_IO_DEVICE:
    case ERROR_GEN_FAILURE:
      return hardIO;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return sharingViolation;
    case ERROR_LOCK_VIOLATION:
      return lockViolation;
    case ERROR_DISK_FULL:
    case ERROR_FILE_TOO_LARGE:
      return diskFull;
    case ERROR_HANDLE_EOF:
      return endOfFile;
    default:
      return genericException;
  }
}

std::wstring CFileException::GetErrorText() const {
  const std::wstring name =
      m_strFileName.empty() ? std::wstring(L"an unnamed file") : m_strFileName;
  std::wstring text;
  switch (m_cause) {
    case none:
      text = L"No error occurred.";
      break;
    case fileNotFound:
      text = name + L" was not found.";
      break;
    case badPath:
      text = name + L" contains an incorrect path.";
      break;
    case tooManyOpenFiles:
      text = L"Could not open " + name + L" because there are too many open files.";
      break;
    case accessDenied:
      text = L"Access to " + name + L" was denied.";
      break;
    case invalidFile:
      text = L"An unsupported operation was attempted on " + name + L", which is not open.";
      break;
    case removeCurrentDir:
      text = L"The current folder cannot be removed: " + name + L".";
      break;
    case directoryFull:
      text = L"There are no more directory entries for " + name + L".";
      break;
    case badSeek:
      text = L"An error occurred while setting the file pointer of " + name + L".";
      break;
    case hardIO:
      text = L"A hardware I/O error was reported while accessing " + name + L".";
      break;
    case sharingViolation:
      text = L"A sharing violation occurred while accessing " + name + L".";
      break;
    case lockViolation:
      text = L"A locking violation occurred while accessing " + name + L".";
      break;
    case diskFull:
      text = L"Disk full while accessing " + name + L".";
      break;
    case endOfFile:
      text = L"An attempt was made to access " + name + L" past its end.";
      break;
    default:
      text = L"An unexpected error occurred while accessing " + name + L".";
      break;
  }
  if (m_lOsError > 0) {
    text += L" (system error " + std::to_wstring(m_lOsError) + L")";
  }
  return text;
}

CInvalidArgException::~CInvalidArgException() = default;

std::wstring CInvalidArgException::GetErrorText() const {
  return L"An invalid argument was encountered.";
}

CFile::CFile() : m_hFile(INVALID_HANDLE_VALUE), m_bCloseOnDelete(FALSE) {}

CFile::~CFile() {
  if (m_bCloseOnDelete) {
    Abort();
  }
}

CFile::CreateArgs CFile::MapOpenFlags(UINT nOpenFlags) {
  CreateArgs args{};
  switch (nOpenFlags & 3) {
    case modeRead:
      args.dwAccess = GENERIC_READ;
      break;
    case modeWrite:
      args.dwAccess = GENERIC_WRITE;
      break;
    case modeReadWrite:
      args.dwAccess = GENERIC_READ | GENERIC_WRITE;
      break;
    default:
      args.dwAccess = 0;
      break;
  }
  switch (nOpenFlags & 0x70) {
    case shareDenyWrite:
      args.dwShareMode = FILE_SHARE_READ;
      break;
    case shareDenyRead:
      args.dwShareMode = FILE_SHARE_WRITE;
      break;
    case shareDenyNone:
      args.dwShareMode = FILE_SHARE_READ | FILE_SHARE_WRITE;
      break;
    default:
      args.dwShareMode = 0;
      break;
  }
  args.bInheritHandle = (nOpenFlags & modeNoInherit) ? FALSE : TRUE;
  if (nOpenFlags & modeCreateNew) {
    args.dwDisposition = CREATE_NEW;
  } else if (nOpenFlags & modeCreate) {
    args.dwDisposition = (nOpenFlags & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
  } else {
    args.dwDisposition = OPEN_EXISTING;
  }
  args.dwFlagsAndAttributes = FILE_ATTRIBUTE_NORMAL;
  if (nOpenFlags & osNoBuffer)
    args.dwFlagsAndAttributes |= FILE_FLAG_NO_BUFFERING;
  if (nOpenFlags & osWriteThrough)
    args.dwFlagsAndAttributes |= FILE_FLAG_WRITE_THROUGH;
  if (nOpenFlags & osRandomAccess)
    args.dwFlagsAndAttributes |= FILE_FLAG_RANDOM_ACCESS;
  if (nOpenFlags & osSequentialScan)
    args.dwFlagsAndAttributes |= FILE_FLAG_SEQUENTIAL_SCAN;
  return args;
}

BOOL CFile::Open(LPCWSTR lpszFileName, UINT nOpenFlags, CFileException* pError) {
  Abort();  // never leak a handle that is still open
  if (lpszFileName == nullptr) {
    if (pError != nullptr) {
      *pError = CFileException(CFileException::badPath, ERROR_PATH_NOT_FOUND);
    }
    return FALSE;
  }
  m_strFileName = lpszFileName;
  return OpenHandle(lpszFileName, nOpenFlags, 0, pError);
}

BOOL CFile::OpenHandle(LPCWSTR lpszFileName, UINT nOpenFlags, DWORD dwExtraFlags,
                       CFileException* pError) {
  const CreateArgs args = MapOpenFlags(nOpenFlags);
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, args.bInheritHandle};
  HANDLE h = CreateFileW(lpszFileName, args.dwAccess, args.dwShareMode, &security,
                         args.dwDisposition, args.dwFlagsAndAttributes | dwExtraFlags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (pError != nullptr) {
      *pError = CFileException(CFileException::OsErrorToException(static_cast<long>(error)),
                               static_cast<long>(error), lpszFileName);
    }
    return FALSE;
  }
  m_hFile = h;
  m_bCloseOnDelete = TRUE;
  return TRUE;
}

void CFile::ThrowOsError(DWORD error) const {
  throw CFileException(CFileException::OsErrorToException(static_cast<long>(error)),
                       static_cast<long>(error), m_strFileName.c_str());
}

void CFile::RequireOpen() const {
  if (!IsOpen()) {
    ThrowOsError(ERROR_INVALID_HANDLE);
  }
}

UINT CFile::Read(void* lpBuf, UINT nCount) {
  RequireOpen();
  if (nCount == 0) {
    return 0;
  }
  DWORD read = 0;
  if (!ReadFile(m_hFile, lpBuf, nCount, &read, nullptr)) {
    ThrowOsError(GetLastError());
  }
  return read;
}

void CFile::Write(const void* lpBuf, UINT nCount) {
  RequireOpen();
  if (nCount == 0) {
    return;
  }
  DWORD written = 0;
  if (!WriteFile(m_hFile, lpBuf, nCount, &written, nullptr)) {
    ThrowOsError(GetLastError());
  }
  if (written != nCount) {
    throw CFileException(CFileException::diskFull, -1, m_strFileName.c_str());
  }
}

ULONGLONG CFile::Seek(LONGLONG lOff, UINT nFrom) {
  RequireOpen();
  LARGE_INTEGER distance{};
  distance.QuadPart = lOff;
  LARGE_INTEGER position{};
  if (!SetFilePointerEx(m_hFile, distance, &position, nFrom)) {
    ThrowOsError(GetLastError());
  }
  return static_cast<ULONGLONG>(position.QuadPart);
}

ULONGLONG CFile::GetPosition() const {
  RequireOpen();
  LARGE_INTEGER distance{};
  LARGE_INTEGER position{};
  if (!SetFilePointerEx(m_hFile, distance, &position, FILE_CURRENT)) {
    ThrowOsError(GetLastError());
  }
  return static_cast<ULONGLONG>(position.QuadPart);
}

ULONGLONG CFile::GetLength() const {
  RequireOpen();
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(m_hFile, &size)) {
    ThrowOsError(GetLastError());
  }
  return static_cast<ULONGLONG>(size.QuadPart);
}

void CFile::SetLength(ULONGLONG nNewLen) {
  Seek(static_cast<LONGLONG>(nNewLen), begin);
  if (!SetEndOfFile(m_hFile)) {
    ThrowOsError(GetLastError());
  }
}

void CFile::Flush() {
  RequireOpen();
  if (!FlushFileBuffers(m_hFile)) {
    ThrowOsError(GetLastError());
  }
}

void CFile::Close() {
  if (!IsOpen()) {
    return;
  }
  HANDLE h = m_hFile;
  m_hFile = INVALID_HANDLE_VALUE;  // closed whatever the result
  m_bCloseOnDelete = FALSE;
  if (!CloseHandle(h)) {
    ThrowOsError(GetLastError());
  }
}

void CFile::Abort() {
  if (IsOpen()) {
    CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
  }
  m_bCloseOnDelete = FALSE;
}

void CFile::SetFilePath(LPCWSTR lpszNewName) {
  if (lpszNewName == nullptr) {
    throw CInvalidArgException();
  }
  m_strFileName = lpszNewName;
}
