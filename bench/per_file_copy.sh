#!/usr/bin/env bash
# Times the per-file backup copy of a page-cache-warm 1 GiB file (plain, CRC on) against
# cp --reflink=never and dd bs=64K. The commands take turns, round after round (a warm-up
# round, then 10 timed ones), each writing a destination that does not exist yet; the table
# gives the medians and their ratios.
#   bench/per_file_copy.sh [BUILD_DIR] [WORK_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/orvcopy-bench.XXXXXX")}
[ -x "$build/bench/one_file" ] || cmake --build "$build" --target one_file >/dev/null

mkdir -p "$work"
src=$work/source.bin
[ -f "$src" ] || head -c 1073741824 /dev/urandom >"$src"
cat "$src" >/dev/null  # warm the page cache
trap 'rm -f "$work"/copy-*' EXIT

/usr/bin/python3 - "$src" "$work" "$build/bench/one_file" <<'PY'
import os, statistics, subprocess, sys, time
src, work, tool = sys.argv[1:4]
commands = {
    "cp --reflink=never": ["cp", "--reflink=never", src, f"{work}/copy-cp"],
    "dd bs=64K": ["dd", f"if={src}", f"of={work}/copy-dd", "bs=64K", "status=none"],
    "per-file copy, 65856": [tool, "backup", "--capacity", "65856", src, f"{work}/copy-orv"],
    "per-file copy, ~1 MiB": [tool, "backup", "--capacity", "1048576", src, f"{work}/copy-orv1m"],
}
times = {name: [] for name in commands}
for round in range(11):
    for name, argv in commands.items():
        dest = next(a[3:] for a in argv if a.startswith("of=")) if argv[0] == "dd" else argv[-1]
        if os.path.exists(dest):
            os.unlink(dest)
        start = time.perf_counter()
        subprocess.run(argv, check=True)
        if round:  # the first round warms up
            times[name].append(time.perf_counter() - start)
cp, dd = statistics.median(times["cp --reflink=never"]), statistics.median(times["dd bs=64K"])
print("| command | median s | / cp | / dd bs=64K |")
print("|---|---|---|---|")
for name, t in times.items():
    m = statistics.median(t)
    print(f"| {name} | {m:.3f} | {m / cp:.2f} | {m / dd:.2f} |")
PY
