#!/usr/bin/env bash
# Builds OrvCopy with a CMake preset and runs the whole test suite.
#   scripts/test.sh [default|asan|tsan|windows]
# `tsan` runs the library's copy, restore, removal, encryption and concurrency tests under
# ThreadSanitizer. `windows` cross-builds the DLLs and the unit tests with mingw-w64 and runs the tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}

source scripts/packages.sh
if [ "$preset" = windows ]; then
  ensure_packages "${ORVCOPY_WINDOWS_PACKAGES[@]}"
else
  ensure_packages "${ORVCOPY_PACKAGES[@]}"
fi

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)"
