// Shell path services, the temporary folder and the wide string helpers.
#include "posix_detail.h"

#include <orv_platform/utf.h>

#include <sys/stat.h>
#include <cstdlib>
#include <cwchar>
#include <string>

using orv::platform::kPathSeparator;
using orv::platform::fault::Op;
using namespace orv::platform::posix;

namespace {

bool StatPath(LPCWSTR pszPath, struct stat& st) {
  std::string path;
  if (!ToNativePath(pszPath, path)) {
    return false;
  }
  if (const int injected = InjectedError(Op::GetAttributes)) {
    FailWithErrno(injected, path);
    return false;
  }
  if (::stat(path.c_str(), &st) != 0) {
    FailWithErrno(errno, path);
    return false;
  }
  return true;
}

}  // namespace

int lstrlenW(LPCWSTR lpString) {
  return lpString == nullptr ? 0 : static_cast<int>(std::wcslen(lpString));
}

LPWSTR lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2) {
  if (lpString1 == nullptr) {
    return nullptr;
  }
  if (lpString2 == nullptr) {
    *lpString1 = L'\0';
    return lpString1;
  }
  return std::wcscpy(lpString1, lpString2);
}

DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
  const char* tmpdir = std::getenv("TMPDIR");
  std::wstring path = orv::platform::NativeToWide(
      tmpdir != nullptr && *tmpdir != '\0' ? std::string_view(tmpdir) : std::string_view("/tmp"));
  if (path.back() != kPathSeparator) {
    path.push_back(kPathSeparator);
  }
  const auto length = static_cast<DWORD>(path.size());
  if (lpBuffer == nullptr || nBufferLength <= length) {
    return length + 1;  // the size needed, terminator included
  }
  std::wmemcpy(lpBuffer, path.c_str(), path.size() + 1);
  return length;
}

LPWSTR PathAddBackslashW(LPWSTR pszPath) {
  if (pszPath == nullptr) {
    return nullptr;
  }
  const size_t length = std::wcslen(pszPath);
  if (length == 0 || pszPath[length - 1] == kPathSeparator) {
    return length < MAX_PATH ? pszPath + length : nullptr;
  }
  // The buffer holds MAX_PATH characters: the separator and the terminator must fit.
  if (length + 2 > MAX_PATH) {
    return nullptr;
  }
  pszPath[length] = kPathSeparator;
  pszPath[length + 1] = L'\0';
  return pszPath + length + 1;
}

BOOL PathFileExistsW(LPCWSTR pszPath) {
  struct stat st {};
  return StatPath(pszPath, st) ? TRUE : FALSE;
}

BOOL PathIsDirectoryW(LPCWSTR pszPath) {
  struct stat st {};
  return StatPath(pszPath, st) && S_ISDIR(st.st_mode) ? static_cast<BOOL>(FILE_ATTRIBUTE_DIRECTORY)
                                                      : FALSE;
}

LPWSTR PathFindFileNameW(LPCWSTR pszPath) {
  if (pszPath == nullptr) {
    return nullptr;
  }
  // The name starts after the last separator that is followed by more than separators, so a
  // trailing separator stays with the name ("a/b/" gives "b/").
  LPCWSTR name = pszPath;
  for (LPCWSTR p = pszPath; *p != L'\0'; ++p) {
    if (*p == kPathSeparator && p[1] != L'\0' && p[1] != kPathSeparator) {
      name = p + 1;
    }
  }
  return const_cast<LPWSTR>(name);
}

LPWSTR PathFindExtensionW(LPCWSTR pszPath) {
  if (pszPath == nullptr) {
    return nullptr;
  }
  // The last dot of the last path component, unless a space follows it; else the terminator.
  LPCWSTR dot = nullptr;
  LPCWSTR p = pszPath;
  for (; *p != L'\0'; ++p) {
    if (*p == kPathSeparator || *p == L' ') {
      dot = nullptr;
    } else if (*p == L'.') {
      dot = p;
    }
  }
  return const_cast<LPWSTR>(dot != nullptr ? dot : p);
}

void PathRemoveExtensionW(LPWSTR pszPath) {
  if (pszPath != nullptr) {
    *PathFindExtensionW(pszPath) = L'\0';
  }
}

BOOL PathRemoveFileSpecW(LPWSTR pszPath) {
  if (pszPath == nullptr) {
    return FALSE;
  }
  // Cut at the last separator; a leading root separator stays ("/a" gives "/").
  LPWSTR p = pszPath;
  LPWSTR cut = pszPath;
  if (*p == kPathSeparator) {
    cut = ++p;
  }
  for (; *p != L'\0'; ++p) {
    if (*p == kPathSeparator) {
      cut = p;
    }
  }
  if (*cut == L'\0') {
    return FALSE;
  }
  *cut = L'\0';
  return TRUE;
}
