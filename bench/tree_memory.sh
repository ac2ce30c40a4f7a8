#!/usr/bin/env bash
# Peak memory (RSS, KiB) of orvcopy backup, restore, list and verify on trees of many tiny
# files: FILES files of a few bytes, 500 to a folder. Writes "backup restore list verify" to
# RESULT. The tree is made once in WORK_DIR and kept there for the next run.
#   bench/tree_memory.sh ORVCOPY FILES WORK_DIR RESULT
set -euo pipefail
orvcopy=$1 files=$2 work=$3 result=$4
tree=$work/tiny-$files
if [ ! -d "$tree" ]; then
  /usr/bin/python3 - "$tree.new" "$files" <<'PY'
import os, sys
root, files = sys.argv[1], int(sys.argv[2])
for d in range(files // 500):
    folder = os.path.join(root, f"d{d}")
    os.makedirs(folder)
    for f in range(500):
        with open(os.path.join(folder, f"f{f}"), "w") as out:
            out.write(f"{d} {f}\n")
PY
  mv "$tree.new" "$tree"
fi
rss() { /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null && cat "$work/rss"; }
rm -rf "$work/tiny-backup" "$work/tiny-restored"
backup=$(rss "$orvcopy" -q backup "$tree" "$work/tiny-backup")
restore=$(rss "$orvcopy" -q restore "$work/tiny-backup" "$work/tiny-restored")
list=$(rss "$orvcopy" list "$work/tiny-backup")
verify=$(rss "$orvcopy" -q verify "$work/tiny-backup")
echo "$backup $restore $list $verify" >"$result"
rm -rf "$work/tiny-backup" "$work/tiny-restored"
