// Kernel file services on POSIX descriptors.
#include "posix_detail.h"

#include "open_snapshot.h"

#include <orv_platform/filetime.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>

using orv::platform::fault::Op;
using namespace orv::platform::posix;

namespace {

using orv::platform::kFileTimeTicksPerSecond;

FILETIME ToFileTime(const struct statx_timestamp& t) {
  return orv::platform::FileTimeFromUnix(t.tv_sec, t.tv_nsec);
}

// A FILETIME of 0 (or all ones) asks Windows to leave that time unchanged.
struct timespec ToTimespec(const FILETIME* ft) {
  struct timespec ts {};
  if (ft == nullptr) {
    ts.tv_nsec = UTIME_OMIT;
    return ts;
  }
  const uint64_t u = orv::platform::FileTimeTicks(*ft);
  if (u == 0 || u == ~uint64_t{0}) {
    ts.tv_nsec = UTIME_OMIT;
    return ts;
  }
  const int64_t since1970 = orv::platform::TicksSinceUnixEpoch(*ft);
  int64_t sec = since1970 / kFileTimeTicksPerSecond;
  int64_t rem = since1970 % kFileTimeTicksPerSecond;
  if (rem < 0) {
    rem += kFileTimeTicksPerSecond;
    sec -= 1;
  }
  ts.tv_sec = static_cast<time_t>(sec);
  ts.tv_nsec = static_cast<long>(rem * 100);
  return ts;
}

int OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void CloseQuietly(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

// The type, length and times of an open descriptor, birth time included where there is one.
bool StatDescriptor(int fd, struct statx& stx) {
  return ::statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &stx) == 0;
}

// Windows refuses to write to or delete a file whose read-only attribute is set; on POSIX
// that attribute is "the owner may not write", which the superuser would otherwise ignore.
bool IsReadOnlyFile(mode_t mode) {
  return S_ISREG(mode) && (mode & S_IWUSR) == 0;
}

// The Windows attributes of a file: the folder bit, read-only as "no write permission", hidden
// as "name starts with a dot".
DWORD AttributesOf(mode_t mode, const std::string& path) {
  DWORD attributes = 0;
  if (S_ISDIR(mode)) {
    attributes |= FILE_ATTRIBUTE_DIRECTORY;
  }
  if ((mode & S_IWUSR) == 0) {
    attributes |= FILE_ATTRIBUTE_READONLY;
  }
  const size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.size() > 1 && name[0] == '.' && name != "..") {
    attributes |= FILE_ATTRIBUTE_HIDDEN;
  }
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

}  // namespace

namespace {

// What a creation disposition asks of an open.
struct Disposition {
  bool create = false;    // a missing file is created
  bool mayExist = true;   // an existing file is opened (not CREATE_NEW)
  bool truncate = false;  // an existing file is emptied
};

// The disposition's meaning; false (with ERROR_INVALID_PARAMETER) for one that has none, or
// a truncation without write access.
bool DispositionOf(DWORD dwCreationDisposition, bool wantWrite, Disposition& d) {
  switch (dwCreationDisposition) {
    case CREATE_NEW:
      d.create = true, d.mayExist = false;
      return true;
    case CREATE_ALWAYS:
      d.create = true, d.truncate = true;
      return true;
    case OPEN_EXISTING:
      return true;
    case OPEN_ALWAYS:
      d.create = true;
      return true;
    case TRUNCATE_EXISTING:
      d.truncate = true;
      if (wantWrite) {
        return true;
      }
      break;
    default:
      break;
  }
  FailWith(ERROR_INVALID_PARAMETER);
  return false;
}

// Opens the path as the disposition asks; `existed` tells whether the file was there. A file
// is created exclusively first, so that an existing one is known without a stat and is never
// truncated before its read-only attribute has been looked at. -1 with errno set on failure.
int OpenAsDisposed(const std::string& path, int flags, mode_t mode, const Disposition& d,
                   bool backupSemantics, bool& existed) {
  int fd = -1;
  existed = !d.create;
  for (int attempt = 0; fd < 0 && attempt < 3; ++attempt) {
    if (d.create) {
      fd = OpenRetrying(path.c_str(), flags | O_CREAT | O_EXCL, mode);
      if (fd >= 0 || errno != EEXIST || !d.mayExist) {
        existed = false;
        break;
      }
      existed = true;
    }
    fd = OpenRetrying(path.c_str(), flags, 0);
    if (fd < 0 && !(d.create && errno == ENOENT)) {
      break;  // gone between the two opens: create it after all
    }
  }
  if (fd < 0 && errno == EISDIR && backupSemantics && !d.truncate) {
    // A folder handle (to read or set its times) opens with backup semantics only.
    fd = OpenRetrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY, 0);
  }
  return fd;
}

// Whether an opened descriptor may be handed out. Folders open only with backup semantics;
// pipes, sockets and devices not at all (they could block a backup forever); a read-only file
// does not open for writing. An existing file is truncated here when the disposition says so.
// False (the last error set) when the open fails after all.
bool AdmitOpened(int fd, const struct statx& stx, bool wantWrite, bool existed,
                 bool backupSemantics, bool truncate) {
  const mode_t type = stx.stx_mode & S_IFMT;
  if ((type == S_IFDIR && !backupSemantics) || (type != S_IFDIR && type != S_IFREG) ||
      (wantWrite && existed && IsReadOnlyFile(stx.stx_mode))) {
    FailWith(ERROR_ACCESS_DENIED);
    return false;
  }
  if (truncate && existed && type == S_IFREG && stx.stx_size != 0 && ::ftruncate(fd, 0) != 0) {
    FailWithErrno(errno);
    return false;
  }
  return true;
}

// Passes the access pattern on to the kernel. A file that the kernel's default readahead
// covers gains nothing from the hint, and a backup of many small files would pay one system
// call each for it.
void AdviseAccess(int fd, off_t size, DWORD dwFlagsAndAttributes) {
  constexpr off_t kReadaheadCovers = 256 * 1024;
  if ((dwFlagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN) && size > kReadaheadCovers) {
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  } else if (dwFlagsAndAttributes & FILE_FLAG_RANDOM_ACCESS) {
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  }
}

}  // namespace

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                   void* /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/) {
  std::string path;
  if (!ToNativePath(lpFileName, path)) {
    return INVALID_HANDLE_VALUE;
  }
  if (const int injected = InjectedError(Op::Open)) {
    FailWithErrno(injected);
    return INVALID_HANDLE_VALUE;
  }
  const bool wantRead = (dwDesiredAccess & GENERIC_READ) != 0;
  const bool wantWrite = (dwDesiredAccess & GENERIC_WRITE) != 0;
  const bool backupSemantics = (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) != 0;
  Disposition disposition;
  if (!DispositionOf(dwCreationDisposition, wantWrite, disposition)) {
    return INVALID_HANDLE_VALUE;
  }
  // Non-blocking, so that opening a pipe cannot hang; it changes nothing for regular files.
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  flags |= wantWrite ? (wantRead ? O_RDWR : O_WRONLY) : O_RDONLY;
  const mode_t mode = (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  bool existed = false;
  const int fd = OpenAsDisposed(path, flags, mode, disposition, backupSemantics, existed);
  if (fd < 0) {
    const int err = errno;
    if (err == EEXIST) {
      FailWith(ERROR_FILE_EXISTS);  // CREATE_NEW on an existing file
    } else {
      FailWithErrno(err, path);
    }
    return INVALID_HANDLE_VALUE;
  }

  // A file this call just created is known: an empty regular file, writable. Anything else
  // is looked at.
  struct statx stx {};
  const bool created = disposition.create && !existed;
  if (created) {
    stx.stx_mode = S_IFREG;
  } else if (!StatDescriptor(fd, stx)) {
    FailWithErrno(errno);
    CloseQuietly(fd);
    return INVALID_HANDLE_VALUE;
  }
  if (!AdmitOpened(fd, stx, wantWrite, existed, backupSemantics, disposition.truncate)) {
    CloseQuietly(fd);
    return INVALID_HANDLE_VALUE;
  }
  const bool regular = (stx.stx_mode & S_IFMT) == S_IFREG;
  if (regular) {
    AdviseAccess(fd, static_cast<off_t>(stx.stx_size), dwFlagsAndAttributes);
  }
  // A handle that only reads an existing file keeps what its open saw (see open_snapshot.h).
  if (!wantWrite && !created && regular) {
    RememberOpen(fd, SnapshotOf(stx));
  } else {
    ForgetOpen(fd);
  }
  const bool openedExisting =
      existed && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS);
  SetLastError(openedExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return HandleFromFd(fd);
}

BOOL CloseHandle(HANDLE hObject) {
  if (IsInvalid(hObject)) {
    return FailWith(ERROR_INVALID_HANDLE);
  }
  const int injected = InjectedError(Op::Close);
  // The descriptor is released whatever close reports; retrying would close a reused one.
  ForgetOpen(FdFromHandle(hObject));
  const int rc = ::close(FdFromHandle(hObject));
  if (injected != 0) {
    return FailWithErrno(injected);
  }
  if (rc != 0 && errno != EINTR) {
    return FailWithErrno(errno);
  }
  return TRUE;
}

BOOL ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              void* /*lpOverlapped*/) {
  if (lpNumberOfBytesRead != nullptr) {
    *lpNumberOfBytesRead = 0;
  }
  if (IsInvalid(hFile)) {
    return FailWith(ERROR_INVALID_HANDLE);
  }
  if (lpBuffer == nullptr && nNumberOfBytesToRead != 0) {
    return FailWith(ERROR_INVALID_PARAMETER);
  }
  if (const int injected = InjectedError(Op::Read)) {
    return FailWithErrno(injected);
  }
  HandleMoved(FdFromHandle(hFile));
  // A regular file gives everything asked for up to its end; keep reading after a short read
  // so that callers see a full block except at the end of the data.
  auto* out = static_cast<char*>(lpBuffer);
  DWORD total = 0;
  while (total < nNumberOfBytesToRead) {
    const ssize_t n = ::read(FdFromHandle(hFile), out + total, nNumberOfBytesToRead - total);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (lpNumberOfBytesRead != nullptr) {
        *lpNumberOfBytesRead = total;
      }
      return FailWithErrno(errno == EISDIR ? EACCES : errno);
    }
    if (n == 0) {
      break;
    }
    total += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesRead != nullptr) {
    *lpNumberOfBytesRead = total;
  }
  return TRUE;
}

BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite,
               DWORD* lpNumberOfBytesWritten, void* /*lpOverlapped*/) {
  if (lpNumberOfBytesWritten != nullptr) {
    *lpNumberOfBytesWritten = 0;
  }
  if (IsInvalid(hFile)) {
    return FailWith(ERROR_INVALID_HANDLE);
  }
  if (lpBuffer == nullptr && nNumberOfBytesToWrite != 0) {
    return FailWith(ERROR_INVALID_PARAMETER);
  }
  if (const int injected = InjectedError(Op::Write)) {
    return FailWithErrno(injected);
  }
  const auto* in = static_cast<const char*>(lpBuffer);
  DWORD total = 0;
  while (total < nNumberOfBytesToWrite) {
    const ssize_t n = ::write(FdFromHandle(hFile), in + total, nNumberOfBytesToWrite - total);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (lpNumberOfBytesWritten != nullptr) {
        *lpNumberOfBytesWritten = total;
      }
      return FailWithErrno(errno);
    }
    total += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesWritten != nullptr) {
    *lpNumberOfBytesWritten = total;
  }
  return TRUE;
}

BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, LARGE_INTEGER* lpNewFilePointer,
                      DWORD dwMoveMethod) {
  if (IsInvalid(hFile)) {
    return FailWith(ERROR_INVALID_HANDLE);
  }
  int whence;
  switch (dwMoveMethod) {
    case FILE_BEGIN:
      whence = SEEK_SET;
      break;
    case FILE_CURRENT:
      whence = SEEK_CUR;
      break;
    case FILE_END:
      whence = SEEK_END;
      break;
    default:
      return FailWith(ERROR_INVALID_PARAMETER);
  }
  if (const int injected = InjectedError(Op::Seek)) {
    return FailWithErrno(injected);
  }
  HandleMoved(FdFromHandle(hFile));
  const off_t pos =
      ::lseek(FdFromHandle(hFile), static_cast<off_t>(liDistanceToMove.QuadPart), whence);
  if (pos < 0) {
    return errno == EINVAL ? FailWith(ERROR_NEGATIVE_SEEK) : FailWithErrno(errno);
  }
  if (lpNewFilePointer != nullptr) {
    lpNewFilePointer->QuadPart = pos;
  }
  return TRUE;
}

BOOL GetFileSizeEx(HANDLE hFile, LARGE_INTEGER* lpFileSize) {
  if (IsInvalid(hFile)) {
    return FailWith(ERROR_INVALID_HANDLE);
  }
  if (lpFileSize == nullptr) {
    return FailWith(ERROR_INVALID_PARAMETER);
  }
  if (const int injected = InjectedError(Op::Length)) {
    return FailWithErrno(injected);
  }
  if (const auto seen = LengthSeenAtOpen(FdFromHandle(hFile))) {
    lpFileSize->QuadPart = *seen;
    return TRUE;
  }
  struct stat st {};
  if (::fstat(FdFromHandle(hFile), &st) != 0) {
    return FailWithErrno(errno);
  }
  lpFileSize->QuadPart = S_ISREG(st.st_mode) ? st.st_size : 0;
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE hFile) {
  if (IsInvalid(hFile)) {
    return FailWith(ERROR_INVALID_HANDLE);
  }
  if (const int injected = InjectedError(Op::Flush)) {
    return FailWithErrno(injected);
  }
  if (::fsync(FdFromHandle(hFile)) != 0 && errno != EINVAL) {
    return FailWithErrno(errno);
  }
  return TRUE;
}

BOOL SetEndOfFile(HANDLE hFile) {
  if (IsInvalid(hFile)) {
    return FailWith(ERROR_INVALID_HANDLE);
  }
  if (const int injected = InjectedError(Op::Flush)) {
    return FailWithErrno(injected);
  }
  const int fd = FdFromHandle(hFile);
  const off_t pos = ::lseek(fd, 0, SEEK_CUR);
  if (pos < 0 || ::ftruncate(fd, pos) != 0) {
    return FailWithErrno(errno);
  }
  return TRUE;
}

BOOL GetFileTime(HANDLE hFile, FILETIME* lpCreationTime, FILETIME* lpLastAccessTime,
                 FILETIME* lpLastWriteTime) {
  if (IsInvalid(hFile)) {
    return FailWith(ERROR_INVALID_HANDLE);
  }
  if (const int injected = InjectedError(Op::GetTimes)) {
    return FailWithErrno(injected);
  }
  const int fd = FdFromHandle(hFile);
  OpenSnapshot times{};
  if (const auto seen = TimesSeenAtOpen(fd)) {
    times = *seen;
  } else {
    struct statx stx {};
    if (!StatDescriptor(fd, stx)) {
      return FailWithErrno(errno);
    }
    times = SnapshotOf(stx);
  }
  if (lpCreationTime != nullptr) {
    *lpCreationTime = ToFileTime(times.created);
  }
  if (lpLastAccessTime != nullptr) {
    *lpLastAccessTime = ToFileTime(times.accessed);
  }
  if (lpLastWriteTime != nullptr) {
    *lpLastWriteTime = ToFileTime(times.written);
  }
  return TRUE;
}

BOOL SetFileTime(HANDLE hFile, const FILETIME* /*lpCreationTime*/, const FILETIME* lpLastAccessTime,
                 const FILETIME* lpLastWriteTime) {
  // POSIX keeps no settable creation time; the other two are set.
  if (IsInvalid(hFile)) {
    return FailWith(ERROR_INVALID_HANDLE);
  }
  if (const int injected = InjectedError(Op::SetTimes)) {
    return FailWithErrno(injected);
  }
  ForgetOpen(FdFromHandle(hFile));  // the times the open saw are no longer the file's
  const struct timespec times[2] = {ToTimespec(lpLastAccessTime), ToTimespec(lpLastWriteTime)};
  if (::futimens(FdFromHandle(hFile), times) != 0) {
    return FailWithErrno(errno);
  }
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR lpFileName) {
  std::string path;
  if (!ToNativePath(lpFileName, path)) {
    return FALSE;
  }
  if (const int injected = InjectedError(Op::Delete)) {
    return FailWithErrno(injected, path);
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return FailWithErrno(errno, path);
  }
  if (S_ISDIR(st.st_mode) || IsReadOnlyFile(st.st_mode)) {
    return FailWith(ERROR_ACCESS_DENIED);
  }
  if (::unlink(path.c_str()) != 0) {
    return FailWithErrno(errno, path);
  }
  return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR lpPathName, void* /*lpSecurityAttributes*/) {
  std::string path;
  if (!ToNativePath(lpPathName, path)) {
    return FALSE;
  }
  if (const int injected = InjectedError(Op::CreateFolder)) {
    return FailWithErrno(injected, path);
  }
  if (::mkdir(path.c_str(), 0777) != 0) {
    return FailWithErrno(errno, path);
  }
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR lpPathName) {
  std::string path;
  if (!ToNativePath(lpPathName, path)) {
    return FALSE;
  }
  if (const int injected = InjectedError(Op::RemoveFolder)) {
    return FailWithErrno(injected, path);
  }
  if (::rmdir(path.c_str()) != 0) {
    return errno == ENOTDIR ? FailWith(ERROR_DIRECTORY) : FailWithErrno(errno, path);
  }
  return TRUE;
}

BOOL GetFileAttributesExW(LPCWSTR lpFileName, GET_FILEEX_INFO_LEVELS fInfoLevelId,
                          void* lpFileInformation) {
  if (fInfoLevelId != GetFileExInfoStandard || lpFileInformation == nullptr) {
    return FailWith(ERROR_INVALID_PARAMETER);
  }
  std::string path;
  if (!ToNativePath(lpFileName, path)) {
    return FALSE;
  }
  if (const int injected = InjectedError(Op::GetAttributes)) {
    return FailWithErrno(injected, path);
  }
  struct statx stx {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0) {
    return FailWithErrno(errno, path);
  }
  auto& data = *static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(lpFileInformation);
  data.dwFileAttributes = AttributesOf(stx.stx_mode, path);
  // The times GetFileTime gives for an open handle: the birth time as the creation, where the
  // file system keeps one.
  const OpenSnapshot times = SnapshotOf(stx);
  data.ftCreationTime = ToFileTime(times.created);
  data.ftLastAccessTime = ToFileTime(times.accessed);
  data.ftLastWriteTime = ToFileTime(times.written);
  const auto size = static_cast<uint64_t>(stx.stx_size);
  data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR lpFileName) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  return GetFileAttributesExW(lpFileName, GetFileExInfoStandard, &data) ? data.dwFileAttributes
                                                                        : INVALID_FILE_ATTRIBUTES;
}

BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
  // Only the read-only attribute maps onto POSIX: it takes away every write permission, and
  // clearing it gives the owner write permission back. Hidden follows the name and stays.
  std::string path;
  if (!ToNativePath(lpFileName, path)) {
    return FALSE;
  }
  if (const int injected = InjectedError(Op::SetAttributes)) {
    return FailWithErrno(injected, path);
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return FailWithErrno(errno, path);
  }
  mode_t mode = st.st_mode & 07777;
  if (dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else {
    mode |= S_IWUSR;
  }
  if (mode != (st.st_mode & 07777) && ::chmod(path.c_str(), mode) != 0) {
    return FailWithErrno(errno, path);
  }
  return TRUE;
}
