#!/usr/bin/env bash
# orvcopy generations on a real tree: a second backup links what did not change, every
# generation restores to the tree as it was, parts of one restore alone, excludes, forget,
# the writer lock, and the order in which a generation reaches the disk.
#   generations.sh ORVCOPY
set -uo pipefail
source "$(dirname "$0")/checks.sh"  # $orvcopy, and a fresh $work to run in
# What a tree is, entry by entry: type, mode, owner, time, size and content.
state() {
  (cd "$1" && find . -mindepth 1 -printf '%P %y %m %u %g %T@ %s %l\n' | sort &&
    find . -type f -print0 | sort -z | xargs -0 md5sum)
}

mkdir -p src/docs/old src/keep src/cache
echo "stays" >src/keep/same.txt
head -c 200000 /dev/urandom >src/keep/big.bin
echo "first" >src/docs/changes.txt
head -c 300000 /dev/urandom >src/docs/old/deleted.bin
echo "junk" >src/cache/tmp.o
ln -s ../keep/same.txt src/docs/link
chmod 640 src/keep/same.txt
touch -d '2020-01-02 03:04:05.123456789' src/keep/same.txt
touch -d '1 hour ago' src/keep/big.bin  # written in the second a backup starts, it is read again

"$orvcopy" -q backup src b --exclude 'cache/' --exclude '*.o'
check "first backup" 0 $?
state src | grep -v cache >one.txt
sleep 1.1  # the next generation's id is another second's
echo "second" >src/docs/changes.txt
echo "added" >src/docs/added.txt
rm -r src/docs/old
"$orvcopy" backup src b --exclude 'cache/' 2>second.err
check "second backup" 0 $?
grep -q "2 unchanged since" second.err && ok || fail "second backup: $(cat second.err)"
state src | grep -v cache >two.txt

# generations prints one line per generation and nothing else.
"$orvcopy" generations b >gens.txt
check "generations" 0 $?
mapfile -t ids < <(cut -d' ' -f1 gens.txt)
[ "${#ids[@]}" = 2 ] && [ "$(cut -d' ' -f3 gens.txt | tail -1)" = 7 ] && ok || fail "generations: $(cat gens.txt)"
[ "$(stat -c %h "b/${ids[1]}/data/keep/big.bin")" = 2 ] && [ "$(stat -c %h "b/${ids[1]}/data/docs/changes.txt")" = 1 ] &&
  ok || fail "unchanged files are not linked, or changed ones are"
grep -q '"exclude": \["cache/"\]' "b/${ids[1]}/orvcopy-manifest.json" && ok || fail "excludes not recorded"

# Each generation restores to the tree as it was.
for i in 0 1; do
  "$orvcopy" -q restore b "r$i" --generation "${ids[$i]}"
  check "restore of generation $i" 0 $?
  state "r$i" >"r$i.txt"
  cmp -s "r$i.txt" "$([ $i = 0 ] && echo one.txt || echo two.txt)" && ok ||
    fail "generation $i restores differently: $(diff "r$i.txt" "$([ $i = 0 ] && echo one.txt || echo two.txt)" | head -4)"
done

# One file and one folder of the first generation, with their folders and nothing else.
"$orvcopy" -q restore b part --generation "${ids[0]}" docs/changes.txt ./keep/
check "selective restore" 0 $?
[ "$(cd part && find . | sort | tr '\n' ' ')" = ". ./docs ./docs/changes.txt ./keep ./keep/big.bin ./keep/same.txt " ] &&
  grep -q first part/docs/changes.txt && ok || fail "selective restore gave $(cd part && find . | sort)"
"$orvcopy" -q restore b none docs/nothing 2>/dev/null
check "restore of a path not in the backup" 1 $?
"$orvcopy" -q list b keep >list.txt && [ "$(wc -l <list.txt)" = 4 ] && ok || fail "list of a folder: $(cat list.txt)"

# verify --all reads every generation: damage in the first, which the latest does not share,
# fails it, and not the latest's.
printf X | dd of="b/${ids[0]}/data/docs/old/deleted.bin" bs=1 seek=9 conv=notrunc 2>/dev/null
"$orvcopy" -q verify b 2>/dev/null
check "verify of the latest" 0 $?
"$orvcopy" -q verify b --all 2>/dev/null
check "verify --all finds damage in the first generation" 1 $?

# forget frees what only the forgotten generation held; the latest still restores.
before=$(du -sk b | cut -f1)
"$orvcopy" forget b --keep-last 1 >forget.txt
check "forget" 0 $?
[ "$("$orvcopy" generations b | cut -d' ' -f1)" = "${ids[1]}" ] && [ $((before - $(du -sk b | cut -f1))) -ge 290 ] &&
  grep -q "removed ${ids[0]}" forget.txt && ok || fail "forget: $(cat forget.txt)"
"$orvcopy" -q restore b after-forget && state after-forget | cmp -s - two.txt && ok || fail "the latest after forget"

# A second writer is refused at once while a backup runs (held still once it has its lock);
# readers are not, and do not see the generation it writes.
mkdir many && for i in $(seq 1 20); do head -c 1000000 /dev/urandom >"many/f$i"; done
"$orvcopy" -q backup many busy --buffer 4K &
pid=$!
for _ in $(seq 1 5000); do [ -s busy/orvcopy.lock ] && break; sleep 0.001; done
kill -STOP "$pid"
"$orvcopy" -q backup src busy 2>busy.err
check "a second writer" 1 $?
grep -q "in use by another orvcopy" busy.err && ok || fail "second writer: $(cat busy.err)"
"$orvcopy" -q forget busy --keep-last 1 2>/dev/null
check "forget while a backup runs" 1 $?
"$orvcopy" -q generations busy 2>/dev/null
check "a reader while a backup runs (no generation yet)" 4 $?
kill -CONT "$pid"
wait "$pid"
check "the first writer" 0 $?

# The data reach the disk before the manifest is renamed into place, and the folder after.
if command -v strace >/dev/null; then
  echo "third" >src/docs/changes.txt
  # (The leak checker of a sanitizer build cannot run under a tracer.)
  ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" strace -f -s 4096 -o trace.txt -e trace=fsync,fdatasync,syncfs,rename,renameat,renameat2 "$orvcopy" -q backup src b
  check "backup under strace" 0 $?
  # A call that another thread interrupts is traced twice: "<unfinished ...>", then "resumed".
  grep -E 'syncfs|fsync|rename' trace.txt | grep -v ' resumed>' | sed -E 's/^[0-9]+ +//; s/\(.*manifest.json.tmp", .*/:manifest/; s/\(.*//' |
    tr '\n' ' ' >order.txt
  grep -q "^syncfs fsync rename:manifest fsync $" order.txt && ok || fail "order of syncs: $(cat order.txt)"
else
  echo "strace is missing: the order of syncs is not checked"
fi

# Only orvcopy's own folders are taken for backups, and removing one follows no link in it.
mkdir -p mine/data/keep && echo "thesis" >mine/data/keep/thesis.txt
"$orvcopy" -q backup src mine 2>/dev/null
check "backup into a folder of someone else's" 1 $?
[ -f mine/data/keep/thesis.txt ] && ok || fail "a folder's data/ was taken for a backup's"
echo "outside" >outside.txt && chmod 444 outside.txt
ln -s "$work/outside.txt" "$(gen b)/data/planted"
"$orvcopy" -q remove b
check "remove" 0 $?
[ ! -e b ] && [ "$(stat -c %a outside.txt)" = 444 ] && ok || fail "remove left $(ls b) or changed a file outside"
finish
