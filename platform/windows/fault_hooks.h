// Windows: routes the program's own calls of the file and path services through the fault
// injection's counters. Installed on the first Reset or FailNth; idempotent.
#pragma once

namespace orv::platform::fault {

void InstallHooks();

}  // namespace orv::platform::fault
