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
