#!/usr/bin/env bash
# Compressed backup of a corpus of real text files, one archive per file, against
# `zip -q -r -6` of the same folder (one archive, the same deflate level). The two take turns
# for 3 timed rounds after a warm-up, each writing into a fresh destination (deleting a large
# tree right before a run slows ext4 down for a while, so nothing is deleted until the end);
# the table gives median times and total sizes with their ratios.
#   bench/compress_corpus.sh [BUILD_DIR] [WORK_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/orvcopy-corpus.XXXXXX")}
[ -x "$build/bench/backup_tree" ] || cmake --build "$build" --target backup_tree >/dev/null
[ -d "$work/corpus" ] || bench/make_corpus.sh "$work/corpus" 300
tool=$PWD/$build/bench/backup_tree

/usr/bin/python3 - "$work" "$tool" <<'PY'
import os, shutil, statistics, subprocess, sys, time
work, tool = sys.argv[1:3]
corpus = os.path.join(work, "corpus")
def size_of(path):
    if os.path.isfile(path):
        return os.path.getsize(path)
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(path) for f in fs)
runs = {"zip -q -r -6": [], "OrvCopy compressed, one archive per file": []}
sizes = {}
outputs = []
for round in range(4):
    for index, name in enumerate(runs):
        out = os.path.join(work, f"out-{os.getpid()}-{round}-{index}")
        outputs.append(out)
        if name.startswith("zip"):
            os.makedirs(out)
            argv, result = ["zip", "-q", "-r", "-6", os.path.join(out, "all.zip"), "corpus"], out
        else:
            argv, result = [tool, "--compress", corpus, out], out
        start = time.perf_counter()
        subprocess.run(argv, check=True, cwd=work)
        if round:
            runs[name].append(time.perf_counter() - start)
        sizes[name] = size_of(result)
for out in outputs:
    shutil.rmtree(out, ignore_errors=True)
files = sum(len(fs) for _, _, fs in os.walk(corpus))
print(f"corpus: {files} files, {size_of(corpus) / 1e6:.0f} MB")
zip_time, zip_size = statistics.median(runs["zip -q -r -6"]), sizes["zip -q -r -6"]
print("| command | median s | / zip | output MB | / zip |")
print("|---|---|---|---|---|")
for name, times in runs.items():
    t = statistics.median(times)
    print(f"| {name} | {t:.2f} | {t / zip_time:.2f} | {sizes[name] / 1e6:.1f} | {sizes[name] / zip_size:.3f} |")
PY
