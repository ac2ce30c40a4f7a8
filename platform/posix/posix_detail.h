// Helpers shared by the POSIX implementation of the platform layer.
#pragma once

#include <orv_platform/fault_injection_test_helper.h>
#include <orv_platform/win32.h>

#include "../error_mapping.h"

#include <cstdint>
#include <string>

namespace orv::platform::posix {

using orv::platform::WindowsErrorFromErrno;

// Sets the calling thread's last error from errno `err` (ENOENT becomes "path not found"
// when the parent folder of `nativePath` is missing too, as Windows tells the two apart) and
// returns FALSE.
BOOL FailWithErrno(int err, const std::string& nativePath = {});

// Sets the last error and returns FALSE.
BOOL FailWith(DWORD error);

// Converts a caller's path to file-system bytes. A null or empty path fails with "path not
// found", a path with characters no file name can hold with "invalid name", and one longer
// than the system allows with "file name too long"; the last error is then set.
bool ToNativePath(LPCWSTR path, std::string& out);

// Counts the call and returns the injected errno for it, or 0.
inline int InjectedError(fault::Op op) {
  return fault::Check(op);
}

// Descriptors are carried in handles as their value.
inline int FdFromHandle(HANDLE h) {
  return static_cast<int>(reinterpret_cast<intptr_t>(h));
}
inline HANDLE HandleFromFd(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}
inline bool IsInvalid(HANDLE h) {
  return h == INVALID_HANDLE_VALUE || FdFromHandle(h) < 0;
}

}  // namespace orv::platform::posix
