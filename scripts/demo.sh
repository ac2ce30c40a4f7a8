#!/usr/bin/env bash
# The main job: builds orvcopy, makes a sample tree, backs it up encrypted and cut into
# volumes, verifies the backup, restores it and compares the result with the original.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/packages.sh
ensure_packages "${ORVCOPY_PACKAGES[@]}"

echo "== building orvcopy"
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target orvcopy >/dev/null
orvcopy=$PWD/build/default/tools/orvcopy/orvcopy

demo=$PWD/build/demo
rm -rf "$demo"
mkdir -p "$demo/sample/docs/notes" "$demo/sample/data" "$demo/sample/bilder"
echo "== sample tree in $demo/sample"
printf 'OrvCopy sample file\n' >"$demo/sample/readme.txt"
seq 1 50000 >"$demo/sample/docs/numbers.txt"
printf 'nested\n' >"$demo/sample/docs/notes/todo.txt"
: >"$demo/sample/docs/empty.txt"
head -c 3000000 /dev/urandom >"$demo/sample/data/random.bin"   # over one volume
printf 'Grüße aus Köln\n' >"$demo/sample/bilder/Straße.txt"    # a non-ASCII name
find "$demo/sample" -type f -printf '   %9s bytes  %P\n' | sort -k3

export ORVCOPY_DEMO_PASSWORD="demo password"
echo "== backup, AES-256, volumes of 1 MiB"
"$orvcopy" backup "$demo/sample" "$demo/backup" --encrypt --split 1M \
  --password-env ORVCOPY_DEMO_PASSWORD --log "$demo/orvcopy.log"
find "$demo/backup/data" -type f -printf '   %9s bytes  %P\n' | sort -k3
echo "== verify"
"$orvcopy" verify "$demo/backup" --password-env ORVCOPY_DEMO_PASSWORD
echo "== restore"
"$orvcopy" restore "$demo/backup" "$demo/restored" --password-env ORVCOPY_DEMO_PASSWORD
echo "== compare"
diff -r "$demo/sample" "$demo/restored"
echo "the restored tree equals the sample tree"
