#!/usr/bin/env bash
# Builds OrvCopy with a CMake preset and runs the whole test suite.
#   scripts/test.sh [default|asan]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}

source scripts/packages.sh
ensure_packages "${ORVCOPY_PACKAGES[@]}"

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)"
