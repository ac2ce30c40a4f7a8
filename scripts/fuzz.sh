#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, the `fuzz` preset) and runs each for a bounded time
# from the checked-in seeds in fuzz/corpus/<target>; a crash leaves its input in build/fuzz.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
source scripts/packages.sh
ensure_packages "${ORVCOPY_PACKAGES[@]}" clang-14 libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null
for target in log_format manifest paths; do
  work=build/fuzz/corpus-$target
  mkdir -p "$work"
  echo "== $target, ${seconds}s"
  (cd build/fuzz && ./fuzz/fuzz_$target -max_total_time="$seconds" -rss_limit_mb=2048 \
     "../../$work" "../../fuzz/corpus/$target" 2>&1 | grep -E 'INITED|DONE|ERROR|crash')
done
