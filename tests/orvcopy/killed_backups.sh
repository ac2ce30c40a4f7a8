#!/usr/bin/env bash
# orvcopy backup killed with SIGKILL at random points, in plain, encrypted and compressed mode,
# into a backup folder that holds complete generations: the kill never changes them (their
# files and manifests are byte for byte as before, and they verify), the cut-short run is not
# listed, and the next run completes (resuming from the record the killed run kept as it
# went, recorded here after every file) and restores the source byte for byte. The killed runs
# copy three files at once: the record keeps only what every manager has finished.
#   killed_backups.sh ORVCOPY [ROUNDS_PER_MODE]
set -uo pipefail
source "$(dirname "$0")/checks.sh"  # $orvcopy, and a fresh $work to run in
rounds=${2:-6}
export ORVCOPY_ITEMS_PER_RUN=16  # batches of the library's items, and their boundaries, killed too

mkdir -p src/a src/b
for i in $(seq 1 150); do head -c 40000 /dev/urandom >"src/a/f$i"; done
head -c 20000000 /dev/urandom >src/b/large
seq 1 200000 >src/b/numbers.txt
echo "kill horse" >pw

# The complete generations' files and manifests, as checksums.
snapshot() {
  for id in $("$orvcopy" generations "$1" | cut -d' ' -f1); do
    (cd "$1/$id" && find . -type f -print0 | xargs -0 md5sum)
  done | sort
}

RANDOM=20261205  # the same kill points on every run
n=0
resumed=0
for mode in "" "--encrypt" "--compress"; do
  pw=()
  [ "$mode" = "--encrypt" ] && pw=(--password-file pw)
  b="b$mode"
  # How long a whole backup takes here, to spread the kills over it.
  start=$(date +%s%N)
  # shellcheck disable=SC2086
  "$orvcopy" -q backup src "$b" $mode "${pw[@]}"
  span_ms=$(( ($(date +%s%N) - start) / 1000000 + 20 ))
  for _ in $(seq 1 "$rounds"); do
    n=$((n + 1))
    # Work for the run to be killed in: some files changed, one added, the large one touched.
    for i in $(seq $((n % 7 + 1)) 7 150); do head -c 40000 /dev/urandom >"src/a/f$i"; done
    echo "$n" >"src/a/new$n"
    touch src/b/large
    snapshot "$b" >before.txt
    delay_ms=$((RANDOM % span_ms))
    # shellcheck disable=SC2086
    ORVCOPY_CHECKPOINT_SECONDS=0 "$orvcopy" -q backup src "$b" $mode --jobs 3 "${pw[@]}" \
      >/dev/null 2>&1 &
    pid=$!
    sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    snapshot "$b" >after.txt
    # A run that finished before the kill adds a generation; none changes an earlier one.
    [ -z "$(comm -23 before.txt after.txt)" ] && ok || fail "an earlier generation changed [$mode, ${delay_ms} ms]"
    "$orvcopy" -q verify "$b" --all "${pw[@]}" 2>verify.err
    check "verify of the listed generations [$mode, ${delay_ms} ms]: $(head -2 verify.err)" 0 $?
    # shellcheck disable=SC2086
    "$orvcopy" backup src "$b" $mode "${pw[@]}" 2>again.err
    check "the backup after the kill [$mode]: $(head -2 again.err)" 0 $?
    grep -q "^resuming" again.err && resumed=$((resumed + 1))
    rm -rf "r$n"
    "$orvcopy" -q restore "$b" "r$n" "${pw[@]}"
    check "restore after the kill [$mode]" 0 $?
    diff -r src "r$n" >/dev/null && ok || fail "restored tree differs [$mode, ${delay_ms} ms]"
    [ "$(ls -d "$b"/20* | wc -l)" = "$("$orvcopy" generations "$b" | wc -l)" ] && ok ||
      fail "an unfinished generation was left [$mode]"
  done
done
echo "$n backups killed at random points, $resumed resumed"
[ "$resumed" -gt 0 ] && ok || fail "no killed backup was resumed"
finish
