#!/usr/bin/env bash
# A backup into a folder with a generation, with one of the calls that make the new generation
# failing (a link, the lock, the sync of the data, the manifest's sync and rename): the earlier
# generation is left as it was, a run that could not finish says so and is not listed, and
# the next run completes and restores the tree.
#   generation_faults.sh ORVCOPY FAIL_CALLS_LIBRARY
set -uo pipefail
preload=$(readlink -f "$2")
source "$(dirname "$0")/checks.sh"  # $orvcopy, and a fresh $work to run in
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:verify_asan_link_order=0"
snapshot() {
  for id in $("$orvcopy" generations b | cut -d' ' -f1); do
    (cd "b/$id" && find . -type f -print0 | xargs -0 md5sum)
  done | sort
}

mkdir -p src/d
for i in 1 2 3 4; do echo "file $i" >"src/d/f$i"; done
touch -d '1 hour ago' src/d/*  # settled, so that the next runs link them
"$orvcopy" -q backup src b
check "first backup" 0 $?
snapshot >before.txt
echo "changed" >src/d/f1
for call in link:1 link:3 flock:1 syncfs:1 fsync:1 rename:1; do
  LD_PRELOAD=$preload ORVCOPY_FAIL=$call "$orvcopy" -q backup src b 2>"$call.err"
  code=$?
  snapshot | grep -F -x -v -f - before.txt >lost.txt
  [ ! -s lost.txt ] && ok || fail "the earlier generation changed when $call failed"
  if [ "${call%:*}" = link ]; then
    # A file that cannot be linked is copied instead.
    check "backup with a failed $call" 0 "$code"
    "$orvcopy" -q restore b "r-$call" && diff -r src "r-$call" >/dev/null && ok || fail "restore after a failed $call"
    "$orvcopy" -q forget b --keep-last 1 2>/dev/null
    snapshot >before.txt
  else
    check "backup with a failed $call" 1 "$code"
    [ -s "$call.err" ] && ok || fail "a failed $call is not reported"
    [ "$("$orvcopy" generations b | wc -l)" = 1 ] && ok || fail "a failed $call left a listed generation"
  fi
done
# A run killed as it opened its item spool leaves the spool in its folder.
mkdir -p b/20000101T000000Z/data && touch b/20000101T000000Z/.orvcopy-items-AbC123
"$orvcopy" -q backup src b
check "the backup after the failures" 0 $?
"$orvcopy" -q restore b r && diff -r src r >/dev/null && ok || fail "restore after the failures"
[ "$(ls -d b/20* | wc -l)" = 2 ] && ok || fail "failed runs were left: $(ls b)"
finish
