#!/usr/bin/env bash
# Restore throughput of a page-cache-warm 1 GiB file at a capacity near 1 MiB: plain, and
# decrypting (AES-256, key derivation included), against cp --reflink=never. The commands
# take turns for 10 timed rounds after a warm-up, each writing a destination that does not
# exist yet; the table gives the medians and their ratios to cp.
#   bench/restore_throughput.sh [BUILD_DIR] [WORK_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/orvcopy-restore.XXXXXX")}
[ -x "$build/bench/one_file" ] || cmake --build "$build" --target one_file >/dev/null
tool=$build/bench/one_file

mkdir -p "$work/backup"
src=$work/source.bin
[ -f "$src" ] || head -c 1073741824 /dev/urandom >"$src"
cp --reflink=never "$src" "$work/backup/plain.bin"
"$tool" backup --password bench --capacity 1048576 "$src" "$work/backup/secret.venc"
cat "$work/backup/plain.bin" "$work/backup/secret.venc" >/dev/null  # warm the page cache
trap 'rm -f "$work"/restored-*' EXIT

/usr/bin/python3 - "$work" "$tool" <<'PY'
import os, statistics, subprocess, sys, time
work, tool = sys.argv[1:3]
commands = {
    "cp --reflink=never": ["cp", "--reflink=never", f"{work}/backup/plain.bin", f"{work}/restored-cp"],
    "restore, plain": [tool, "restore", "--capacity", "1048608", f"{work}/backup/plain.bin",
                       f"{work}/restored-plain"],
    "restore, AES-256": [tool, "restore", "--password", "bench", f"{work}/backup/secret.venc",
                         f"{work}/restored-aes"],
}
times = {name: [] for name in commands}
for round in range(11):
    for name, argv in commands.items():
        if os.path.exists(argv[-1]):
            os.unlink(argv[-1])
        start = time.perf_counter()
        subprocess.run(argv, check=True)
        if round:
            times[name].append(time.perf_counter() - start)
cp = statistics.median(times["cp --reflink=never"])
print("| command | median s | / cp |")
print("|---|---|---|")
for name, t in times.items():
    m = statistics.median(t)
    print(f"| {name} | {m:.3f} | {m / cp:.2f} |")
PY
