#!/usr/bin/env bash
# orvcopy against the tools people use instead, on generated data, in one run: a 1 GiB
# incompressible file, 10,000 files of 4 KiB in 100 folders, a corpus of real text files, and
# the peak memory on trees of 100,000 and 1,000,000 tiny files.
# hyperfine runs each peer and our command in the same invocation (a warm-up, then 10 runs
# for the 1 GiB rows and 3 for the corpus rows); the table gives medians and ratios and is
# written to docs/performance.md with a description of the machine.
#   bench/compare.sh [BUILD_DIR] [WORK_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build/default}
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/orvcopy-compare.XXXXXX")}
source scripts/packages.sh
ensure_packages hyperfine p7zip-full zip openssl rsync
cmake --build "$build" --target orvcopy orvcopy_bench >/dev/null
orvcopy=$root/$build/tools/orvcopy/orvcopy
mkdir -p "$work/results"
cd "$work"
export ORVCOPY_BENCH_PASSWORD="benchmark password"

echo "== data"
"$root/bench/make_trees.sh"
[ -d corpus ] || "$root/bench/make_corpus.sh" corpus 300 >/dev/null
"$orvcopy" -q backup big plain-backup 2>/dev/null || true
"$orvcopy" -q backup big aes-backup --encrypt --password-env ORVCOPY_BENCH_PASSWORD 2>/dev/null || true
mkdir -p peer
[ -f peer/file.enc ] || openssl enc -aes-256-ctr -pbkdf2 -iter 600000 -pass env:ORVCOPY_BENCH_PASSWORD \
  -in big/file.bin -out peer/file.enc
plain_stored=$(ls -d plain-backup/20*/data/file.bin | head -1)
aes_stored=$(ls -d aes-backup/20*/data/file.bin.venc | head -1)
cat big/file.bin "$plain_stored" "$aes_stored" peer/file.enc >/dev/null

# 1 GiB rows: the previous output is removed and the dirty pages written out before each run
# (not timed), so that no run pays for the writeback of the one before.
large() {  # large NAME COMMAND...
  local name=$1
  shift
  local args=()
  for c in "$@"; do args+=("$c"); done
  hyperfine -N --warmup 1 --runs 10 --prepare "sh -c 'rm -rf $work/out; sync'" \
    --export-json "results/$name.json" \
    "${args[@]}" >/dev/null
}
# Tree rows: every run writes into a folder of its own, and the folders are removed only at
# the end: deleting tens of thousands of files slows ext4's inode allocation down for a while,
# which would burden whichever command runs next.
tree() {  # tree NAME RUNS COMMAND...
  local name=$1 runs=$2
  shift 2
  hyperfine --warmup 1 --runs "$runs" --prepare sync --export-json "results/$name.json" \
    "$@" >/dev/null
}
fresh='$(mktemp -u -d '"$work"'/t.XXXXXXXX)'

echo "== 1 GiB file"
# A backup is on the disk when orvcopy ends (it syncs before it lists the generation); cp's
# copy is not, so cp followed by sync is the peer of the same work.
large backup-plain "cp --reflink=never big/file.bin $work/out" \
  "sh -c 'cp --reflink=never big/file.bin $work/out && sync'" \
  "$orvcopy -q backup big $work/out"
large backup-aes "cp --reflink=never big/file.bin $work/out" \
  "sh -c 'cp --reflink=never big/file.bin $work/out && sync'" \
  "sh -c 'openssl enc -aes-256-ctr -pbkdf2 -iter 600000 -pass env:ORVCOPY_BENCH_PASSWORD -in big/file.bin -out $work/out && sync'" \
  "$orvcopy -q backup big $work/out --encrypt --password-env ORVCOPY_BENCH_PASSWORD"
large restore-plain "cp --reflink=never $plain_stored $work/out" \
  "$orvcopy -q restore plain-backup $work/out"
large restore-aes "cp --reflink=never $aes_stored $work/out" \
  "openssl enc -d -aes-256-ctr -pbkdf2 -iter 600000 -pass env:ORVCOPY_BENCH_PASSWORD -in peer/file.enc -out $work/out" \
  "$orvcopy -q restore aes-backup $work/out --password-env ORVCOPY_BENCH_PASSWORD"
echo "== 10,000 files of 4 KiB"
tree small-files 10 "cp -r --preserve=timestamps small $fresh" \
  "sh -c \"cp -r --preserve=timestamps small $fresh && sync\"" "$orvcopy -q backup small $fresh"
echo "== a second backup of the 10,000 files: nothing changed, and 1% (one folder) touched"
# Both take what did not change from the first backup by hard links: rsync into a new folder
# against its first copy, orvcopy as a new generation against the previous one. The touched
# files are the same 100 before every run, so both tools find 100 files changed each time.
rm -rf gen-orv gen-rsync && "$orvcopy" -q backup small gen-orv && rsync -a small/ gen-rsync/
tree second-unchanged 10 "rsync -a --link-dest=$work/gen-rsync small/ $fresh" \
  "$orvcopy -q backup small gen-orv"
hyperfine --warmup 1 --runs 10 --prepare "sh -c 'touch small/d001/*; sync'" \
  --export-json results/second-changed.json \
  "rsync -a --link-dest=$work/gen-rsync small/ $fresh" "$orvcopy -q backup small gen-orv" >/dev/null
echo "== text corpus"
tree corpus-zip 3 "zip -q -r -6 $fresh.zip corpus" "$orvcopy -q backup corpus $fresh --compress"
tree corpus-zip-aes 3 "7z a -tzip -mx=6 -mem=AES256 -p\"\$ORVCOPY_BENCH_PASSWORD\" $fresh.zip corpus" \
  "$orvcopy -q backup corpus $fresh --compress --encrypt --password-env ORVCOPY_BENCH_PASSWORD"

echo "== sizes and memory"
zip -q -r -6 sizes-zip.zip corpus
"$orvcopy" -q backup corpus sizes-orv --compress
du -sb sizes-zip.zip | cut -f1 >results/size-zip
find sizes-orv/20*/data -type f -printf '%s\n' | awk '{s += $1} END {print s}' >results/size-orv
rm -rf out-mem && /usr/bin/time -f %M -o results/rss "$orvcopy" -q backup big out-mem && rm -rf out-mem
# Trees of tiny files, 100,000 and 1,000,000 (kept in the work folder: making the larger takes
# minutes); the larger unless ORVCOPY_BENCH_MILLION=0.
"$root/bench/tree_memory.sh" "$orvcopy" 100000 "$work" results/tree-100000
if [ "${ORVCOPY_BENCH_MILLION:-1}" != 0 ]; then
  "$root/bench/tree_memory.sh" "$orvcopy" 1000000 "$work" results/tree-1000000
fi
"$root/$build/bench/orvcopy_bench" --benchmark_filter='BM_UpdateCRC32/1048576' \
  --benchmark_format=json >results/crc.json 2>/dev/null

/usr/bin/python3 "$root/bench/compare_table.py" results "$root/docs/performance.md"
cat "$root/docs/performance.md"
rm -rf "$work"/t.* "$work/out" sizes-orv sizes-zip.zip gen-orv gen-rsync
