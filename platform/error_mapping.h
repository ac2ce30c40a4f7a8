// The one place where POSIX errors become Windows system error codes: real failures of the
// POSIX layer, and the faults that tests inject on either system.
#pragma once

#include <orv_platform/win32.h>

namespace orv::platform {

DWORD WindowsErrorFromErrno(int err);

}  // namespace orv::platform
