#!/usr/bin/env bash
# The main job: builds orvcopy, makes a sample tree (with a private file, links and a named
# pipe), backs it up encrypted, verifies the backup, restores it and compares the result with
# the original: contents, types, modes and times. Then changes the tree, backs it up again (a
# second generation that links what did not change) and brings back a file as it was first.
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
printf 'key\n' >"$demo/sample/private.key" && chmod 600 "$demo/sample/private.key"
ln -s docs/numbers.txt "$demo/sample/numbers-link"
mkfifo "$demo/sample/pipe"
find "$demo/sample" -exec touch -h -d '1 hour ago' {} +  # written an hour before the backup
listing() { (cd "$1" && find . -printf '   %M %9s  %TY-%Tm-%Td %TT  %p%l\n' | LC_ALL=C sort -k5); }
listing "$demo/sample"

export ORVCOPY_DEMO_PASSWORD="demo password"
echo "== backup, AES-256"
"$orvcopy" backup "$demo/sample" "$demo/backup" --encrypt \
  --password-env ORVCOPY_DEMO_PASSWORD --log "$demo/orvcopy.log"
listing "$demo/backup"
echo "== verify"
"$orvcopy" verify "$demo/backup" --password-env ORVCOPY_DEMO_PASSWORD
echo "== restore"
"$orvcopy" restore "$demo/backup" "$demo/restored" --password-env ORVCOPY_DEMO_PASSWORD
echo "== compare"
diff -r --no-dereference "$demo/sample" "$demo/restored" | grep -v 'is a fifo while' || true
diff <(listing "$demo/sample") <(listing "$demo/restored")
cmp -s "$demo/sample/data/random.bin" "$demo/restored/data/random.bin"
echo "the restored tree equals the sample tree: contents, types, modes and times"

echo "== later: one file changed, one added; the second backup links the rest"
printf 'changed\n' >"$demo/sample/docs/notes/todo.txt"
printf 'new\n' >"$demo/sample/docs/new.txt"
"$orvcopy" backup "$demo/sample" "$demo/backup" --encrypt --password-env ORVCOPY_DEMO_PASSWORD
echo "   (id, start, entries, bytes written, bytes linked)"
"$orvcopy" generations "$demo/backup" | sed 's/^/   /'
first=$("$orvcopy" generations "$demo/backup" | head -1 | cut -d' ' -f1)
echo "== docs/notes/todo.txt as the first generation holds it"
"$orvcopy" -q restore "$demo/backup" "$demo/first" docs/notes/todo.txt --generation "$first" \
  --password-env ORVCOPY_DEMO_PASSWORD
cat "$demo/first/docs/notes/todo.txt"
