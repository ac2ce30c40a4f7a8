#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, the `fuzz` preset) and runs each for a bounded time,
# starting from the checked-in seeds in fuzz/corpus/<target> only. A target fails when it
# finds a crash (the input is left in build/fuzz/findings), runs fewer than 10,000 inputs, or
# reaches no coverage beyond its seeds. SEED fixes libFuzzer's random sequence so that a run
# can be repeated (CI uses a fixed one); 0, the default, lets libFuzzer choose.
#   scripts/fuzz.sh [SECONDS_PER_TARGET [SEED]]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
seed=${2:-0}
source scripts/packages.sh
ensure_packages "${ORVCOPY_PACKAGES[@]}" clang-14 libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null

findings=build/fuzz/findings
mkdir -p "$findings"
failed=0
for target in log_format manifest paths restore; do
  work=$(mktemp -d)
  log=build/fuzz/$target.log
  status=0
  build/fuzz/fuzz/fuzz_$target -max_total_time="$seconds" -rss_limit_mb=2048 -seed="$seed" \
    -artifact_prefix="$findings/$target-" "$work" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  rm -rf "$work"
  seeds=$(grep -m1 -oP 'INITED cov: \K[0-9]+' "$log" || echo 0)
  reached=$(grep -oP '(DONE|pulse|NEW|REDUCE)\s+cov: \K[0-9]+' "$log" | tail -1 || true)
  runs=$(grep -oP '^#\K[0-9]+(?=\s+DONE)' "$log" || echo 0)
  reached=${reached:-$seeds}
  used=$(grep -m1 -oP 'Seed: \K[0-9]+' "$log" || echo "$seed")
  echo "fuzz $target (seed $used): ${runs} inputs in ${seconds}s, coverage ${seeds} from the seeds, ${reached} reached"
  if [ "$status" -ne 0 ]; then
    echo "fuzz $target: FINDING (exit $status); input kept in $findings, log in $log"
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -5
    failed=1
  elif [ "$runs" -lt 10000 ]; then
    echo "fuzz $target: only $runs inputs"
    failed=1
  elif [ "$reached" -le "$seeds" ]; then
    echo "fuzz $target: no coverage beyond the seeds"
    failed=1
  fi
done
exit $failed
