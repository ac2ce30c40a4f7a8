// Folder creation and forced deletion over the platform's file services.
#include <OrvCopy/external/OrvGlobalMFC.h>
#include <orv_platform/win32.h>

#include <cwchar>
#include <string>
#include <vector>

using orv::platform::kPathSeparators;

namespace {

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring WithoutTrailingSeparators(std::wstring path) {
  while (path.size() > 1 && std::wcschr(kPathSeparators, path.back()) != nullptr) {
    path.pop_back();
  }
  return path;
}

}  // namespace

int OrvCreateFolder(const wchar_t* lpszFolder) {
  if (lpszFolder == nullptr || *lpszFolder == L'\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  const std::wstring folder = WithoutTrailingSeparators(lpszFolder);
  // Creating a level that exists, made by somebody else meanwhile too, is fine as long as it
  // is a folder.
  const auto create = [](const std::wstring& level, DWORD& error) {
    if (CreateDirectoryW(level.c_str(), nullptr))
      return true;
    error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
      if (IsFolder(level))
        return true;
      error = ERROR_DIRECTORY;
    }
    return false;
  };
  // The folder itself first: its parent usually exists. Going up only as far as levels are
  // missing costs one call per level made, not one per level of the path.
  std::vector<size_t> missing;  // lengths of the levels still to make, deepest first
  size_t length = folder.size();
  DWORD error = ERROR_SUCCESS;
  while (!create(folder.substr(0, length), error)) {
    const size_t slash = folder.find_last_of(kPathSeparators, length - 1);
    if ((error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND) ||
        slash == std::wstring::npos || slash == 0) {
      SetLastError(error);
      return 0;
    }
    missing.push_back(length);
    length = slash;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (!create(folder.substr(0, *it), error)) {
      SetLastError(error);
      return 0;
    }
  }
  return 1;
}

int OrvDeleteFileEx(const wchar_t* lpszPath, int bForce) {
  if (lpszPath == nullptr || *lpszPath == L'\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  const DWORD attributes = GetFileAttributesW(lpszPath);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 1 : 0;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  if (bForce && (attributes & FILE_ATTRIBUTE_READONLY)) {
    SetFileAttributesW(lpszPath, attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if (DeleteFileW(lpszPath)) {
    return 1;
  }
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND ? 1 : 0;  // gone meanwhile
}

int OrvEnsureFolderIsCreated(const wchar_t* lpszPath, int bPathIsFolder) {
  if (lpszPath == nullptr || *lpszPath == L'\0') {
    return 0;
  }
  std::wstring folder = lpszPath;
  if (!bPathIsFolder) {
    const size_t slash = folder.find_last_of(kPathSeparators);
    if (slash == std::wstring::npos) {
      return 1;  // a bare file name lives in the current folder
    }
    folder.resize(slash == 0 ? 1 : slash);
  }
  return OrvCreateFolder(folder.c_str());
}
