// Path text helpers of the manager, on strings of any length.
#pragma once

#include <orv_platform/win32.h>

#include <string>

namespace OrvCopy {

// Appends the separator unless the path is empty or already ends in one. Unlike a 260-character
// path buffer this never leaves two components joined without a separator.
inline void AddSeparator(std::wstring& path) {
  if (!path.empty() && path.back() != orv::platform::kPathSeparator) {
    path.push_back(orv::platform::kPathSeparator);
  }
}

// The path without its last component (PathRemoveFileSpecW), for paths of any length.
inline std::wstring ParentFolder(const std::wstring& path) {
  std::wstring copy = path;
  PathRemoveFileSpecW(copy.data());
  copy.resize(lstrlenW(copy.c_str()));
  return copy;
}

}  // namespace OrvCopy
