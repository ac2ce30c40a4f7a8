#include "posix_detail.h"

#include <orv_platform/utf.h>

#include <sys/stat.h>
#include <cerrno>
#include <climits>

namespace orv::platform::posix {
namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
// A path that was not found: whether its folder is missing too (ERROR_PATH_NOT_FOUND rather
// than ERROR_FILE_NOT_FOUND) is looked up only when somebody asks for the error, which spares
// a stat on every "does it exist" test.
thread_local std::string t_missingPath;

bool ParentFolderExists(const std::string& nativePath) {
  const size_t slash = nativePath.find_last_of('/');
  if (slash == std::string::npos) {
    return true;  // relative name in the current folder
  }
  const std::string parent = slash == 0 ? std::string("/") : nativePath.substr(0, slash);
  struct stat st {};
  return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

DWORD WindowsErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EXDEV:
      return ERROR_NOT_SAME_DEVICE;
    case ESPIPE:
      return ERROR_SEEK;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    // A file over the process's size limit is a full disk as far as the writer can tell.
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME;
    case EIO:
      return ERROR_IO_DEVICE;
    case ENOTSUP:
      return ERROR_NOT_SUPPORTED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

BOOL FailWith(DWORD error) {
  t_lastError = error;
  t_missingPath.clear();
  return FALSE;
}

BOOL FailWithErrno(int err, const std::string& nativePath) {
  FailWith(WindowsErrorFromErrno(err));
  if (err == ENOENT) {
    t_missingPath = nativePath;
  }
  return FALSE;
}

DWORD LastError() {
  if (!t_missingPath.empty()) {
    if (!ParentFolderExists(t_missingPath)) {
      t_lastError = ERROR_PATH_NOT_FOUND;
    }
    t_missingPath.clear();
  }
  return t_lastError;
}

bool ToNativePath(LPCWSTR path, std::string& out) {
  if (path == nullptr || *path == L'\0') {
    FailWith(ERROR_PATH_NOT_FOUND);
    return false;
  }
  if (!WideToNative(path, out)) {
    FailWith(ERROR_INVALID_NAME);
    return false;
  }
  if (out.size() >= PATH_MAX) {
    FailWith(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  return true;
}

}  // namespace orv::platform::posix

DWORD GetLastError() {
  return orv::platform::posix::LastError();
}
void SetLastError(DWORD dwErrCode) {
  orv::platform::posix::FailWith(dwErrCode);
}
