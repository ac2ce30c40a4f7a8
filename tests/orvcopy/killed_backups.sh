#!/usr/bin/env bash
# orvcopy backup killed with SIGKILL at random points, in plain, encrypted and compressed mode: afterwards the backup folder either holds a manifest whose every listed item verifies
# and restores to the source's bytes, or is refused with exit 4 and a message saying so.
#   killed_backups.sh ORVCOPY [ROUNDS_PER_MODE]
set -uo pipefail
orvcopy=$(readlink -f "$1")
rounds=${2:-6}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
passed=0
listed=0 unfinished=0 empty=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

mkdir -p src/a src/b
for i in $(seq 1 150); do head -c 40000 /dev/urandom >"src/a/f$i"; done
head -c 20000000 /dev/urandom >src/b/large
seq 1 200000 >src/b/numbers.txt
echo "kill horse" >pw

RANDOM=20261205  # the same kill points on every run
n=0
for mode in "" "--encrypt" "--compress"; do
  pw=()
  [ "$mode" = "--encrypt" ] && pw=(--password-file pw)
  # How long a whole backup takes here, to spread the kills over it.
  start=$(date +%s%N)
  # shellcheck disable=SC2086
  "$orvcopy" -q backup src "timing$n" $mode "${pw[@]}" >/dev/null 2>&1
  span_ms=$(( ($(date +%s%N) - start) / 1000000 + 20 ))
  for _ in $(seq 1 "$rounds"); do
    n=$((n + 1))
    delay_ms=$((RANDOM % span_ms))
    # shellcheck disable=SC2086
    "$orvcopy" -q backup src "b$n" $mode "${pw[@]}" >/dev/null 2>&1 &
    pid=$!
    sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null

    "$orvcopy" -q verify "b$n" "${pw[@]}" >verify.out 2>&1
    verified=$?
    "$orvcopy" -q restore "b$n" "r$n" "${pw[@]}" >restore.out 2>&1
    restored=$?
    if [ -e "b$n/orvcopy-manifest.json" ]; then
      listed=$((listed + 1))
      # A manifest is there: what it lists must be whole.
      [ "$verified" = 0 ] || fail "verify of a listed backup [$mode, ${delay_ms} ms]: $verified"
      [ "$restored" = 0 ] || fail "restore of a listed backup [$mode, ${delay_ms} ms]: $restored"
      if [ "$restored" = 0 ]; then
        (cd "r$n" && find . -type f) | while read -r f; do
          cmp -s "src/$f" "r$n/$f" || echo "$f"
        done >differ.txt
        [ -s differ.txt ] && fail "restored files differ [$mode]: $(head -3 differ.txt)"
      fi
    else
      [ "$verified" = 4 ] && [ "$restored" = 4 ] || fail "no manifest but exit $verified/$restored [$mode]"
      [ ! -e "r$n" ] || [ -z "$(ls -A "r$n")" ] || fail "a refused restore wrote files"
      "$orvcopy" -q backup src "b$n" >again.out 2>&1
      again=$?
      if [ -e "b$n/data" ] && [ "$again" != 0 ]; then
        # Killed after it began writing: the folder says so, and is not taken for a new backup.
        unfinished=$((unfinished + 1))
        grep -q "never finished" restore.out || fail "unfinished backup, unclear message: $(cat restore.out)"
        [ "$again" = 1 ] && grep -q "never finished" again.out || fail "backup into an unfinished folder: $(cat again.out)"
      else
        # Killed before it wrote anything: the folder takes a new backup.
        empty=$((empty + 1))
        [ "$again" = 0 ] || fail "backup into an empty folder: $again $(cat again.out)"
      fi
    fi
    passed=$((passed + 1))
  done
done
echo "$n backups killed at random points ($listed finished, $unfinished cut short," \
  "$empty before writing): $passed checked, $failures failed"
[ "$failures" = 0 ]
