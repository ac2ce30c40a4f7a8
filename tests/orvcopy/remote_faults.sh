#!/usr/bin/env bash
# A second backup to a remote with rclone failing at each of its calls in turn, in each mode:
# the run says so, and the remote restores to the previous backup, or (once the new manifest is
# in place) to the new one, never to a mix of the two.
#   remote_faults.sh ORVCOPY
set -uo pipefail
source "$(dirname "$0")/checks.sh"  # $orvcopy, and a fresh $work to run in
command -v rclone >/dev/null || { echo "rclone is not installed"; exit 1; }
state() {
  (cd "$1" && find . -mindepth 1 -printf '%P %y %m %T@ %s %l\n' | sort &&
    find . -type f -print0 | sort -z | xargs -0 md5sum)
}
export RCLONE_CONFIG="$work/rclone.conf" RCLONE_CONFIG_HERE_TYPE=local
touch rclone.conf
# rclone, failing at the call numbered $FAIL_AT (counted in ./calls), at every call of the
# command $FAIL_ON, or at a call with an argument that ends in $FAIL_ARG.
cat >failing-rclone <<'EOF'
#!/usr/bin/env bash
n=$(($(cat "$CALLS" 2>/dev/null || echo 0) + 1))
echo "$n" >"$CALLS"
if [ "$n" = "${FAIL_AT:-0}" ] || [ "$1" = "${FAIL_ON:-}" ] ||
  { [ -n "${FAIL_ARG:-}" ] && [[ " $* " == *"$FAIL_ARG "* ]]; }; then
  echo "2026/01/01 00:00:00 ERROR : injected failure" >&2
  exit 7
fi
exec rclone "$@"
EOF
chmod +x failing-rclone
export CALLS="$work/calls"
printf 'pass phrase\n' >pw

for mode in "" "--encrypt --password-file pw" "--compress" "--split 64K"; do
  rm -rf src remote
  mkdir -p src/a src/b
  echo one >src/a/changed.txt
  echo gone >src/b/deleted.txt
  head -c 200000 /dev/urandom >src/a/big.bin
  find src -exec touch -h -d '2 hours ago' {} +
  # shellcheck disable=SC2086
  "$orvcopy" -q backup $mode src "rclone:here:$work/remote" --volume 64K
  check "first backup $mode" 0 $?
  state src >old.txt
  echo two >src/a/changed.txt
  head -c 100000 /dev/urandom >src/a/added.bin
  rm src/b/deleted.txt
  touch -d '1 hour ago' src/a/changed.txt src/a/added.bin src/b
  state src >new.txt
  pass=$([ -n "$mode" ] && [ -z "${mode##*pw*}" ] && echo "--password-file pw")
  for ((at = 1; ; at++)); do
    rm -rf remote.before && cp -a remote remote.before
    rm -f calls
    # shellcheck disable=SC2086
    ORVCOPY_RCLONE="$work/failing-rclone" FAIL_AT=$at "$orvcopy" -q backup $mode src \
      "rclone:here:$work/remote" --volume 64K 2>run.err
    code=$?
    [ "$(cat calls)" -lt "$at" ] && break  # every call went through
    rm -rf out
    # shellcheck disable=SC2086
    "$orvcopy" -q restore $pass "rclone:here:$work/remote" out 2>restore.err
    check "restore after a failure at call $at $mode" 0 $?
    state out >out.txt
    if [ $code != 0 ]; then
      cmp -s old.txt out.txt && ok || fail "call $at $mode: exit $code, but not the previous backup"
      grep -q "injected failure" run.err && ok || fail "call $at $mode: not said: $(cat run.err)"
    else
      # Only the deletion of the earlier files or of the run's mark is left: a warning, and
      # the new backup.
      cmp -s new.txt out.txt && grep -qE "could not be deleted|stays marked" run.err && ok ||
        fail "call $at $mode: exit 0 with $(cat run.err)"
    fi
    rm -rf remote && mv remote.before remote
  done
  [ "$at" -gt 4 ] && ok || fail "$mode: only $at calls"
  # A restore and a verify whose fetches fail, the manifest's (copyto) or the files' (copy):
  # said, exit 1, and nothing placed.
  for failing in copyto copy; do
    for command in "restore $pass rclone:here:$work/remote fetched" "verify $pass rclone:here:$work/remote"; do
      rm -rf fetched calls
      # shellcheck disable=SC2086
      ORVCOPY_RCLONE="$work/failing-rclone" FAIL_ON=$failing "$orvcopy" -q $command 2>fetch.err
      check "${command%% *} with a failed $failing $mode" 1 $?
      grep -q "cannot fetch .*rclone:here:.*injected failure" fetch.err &&
        [ -z "$(find fetched -type f 2>/dev/null)" ] && ok ||
        fail "${command%% *} with a failed $failing $mode: $(cat fetch.err) $(find fetched -type f)"
    done
  done
done

# A file changed or deleted while it goes up (rclone passes over a file that is gone) fails,
# and keeps its copy of the previous backup. A window at a time, with slow uploads: the windows
# run meanwhile go up together in the next call.
cat >changing-rclone <<'EOF'
#!/usr/bin/env bash
if [ "$1" = copy ]; then
  echo copy >>copies
  case "$CHANGE" in append) echo more >>src/a/moving.txt ;; remove) rm -f src/a/moving.txt ;; esac
  sleep 0.5
fi
exec rclone "$@"
EOF
chmod +x changing-rclone
rm -rf src remote && mkdir -p src/a && echo first >src/a/moving.txt && echo same >src/a/same.txt
"$orvcopy" -q backup src "rclone:here:$work/remote"
for change in append remove; do
  echo second >src/a/moving.txt
  for n in 1 2 3 4 5 6; do echo "$change $n" >"src/a/new-$n.txt"; done
  rm -f copies
  CHANGE=$change ORVCOPY_ITEMS_PER_RUN=1 ORVCOPY_RCLONE="$work/changing-rclone" "$orvcopy" -q \
    backup src "rclone:here:$work/remote" 2>changing.err
  check "a file that changes as it goes up ($change)" 1 $?
  grep -q "failed: a/moving.txt" changing.err && ok || fail "$change: not said: $(cat changing.err)"
  [ "$(wc -l <copies)" -le 3 ] && ok || fail "$change: $(wc -l <copies) uploads, about one a window"
  rm -rf out && "$orvcopy" -q restore "rclone:here:$work/remote" out
  [ "$(cat out/a/moving.txt)" = first ] && [ -f out/a/same.txt ] &&
    [ "$(cat out/a/new-6.txt)" = "$change 6" ] && ok ||
    fail "$change: the previous copy is not kept: $(cat out/a/moving.txt)"
done

# A restore whose fetch ends partway (rclone's transfer limit): what arrived is restored whole,
# the rest fails with rclone's reason, and nothing is left half-written. rclone reports what
# arrived as orvcopy reads it whatever the user's own logging settings are.
rm -rf src remote out && mkdir -p src/many
for n in $(seq 20); do head -c 20000 /dev/urandom >"src/many/f$n"; done
"$orvcopy" -q backup --encrypt --password-file pw src "rclone:here:$work/remote"
cat >limited-rclone <<'EOF'
#!/usr/bin/env bash
[ "$1" = copy ] && set -- "$@" --max-transfer 100K --transfers 1
exec rclone "$@"
EOF
chmod +x limited-rclone
RCLONE_USE_JSON_LOG=true RCLONE_LOG_FILE="$work/rclone.log" RCLONE_QUIET=true \
  ORVCOPY_RCLONE="$work/limited-rclone" "$orvcopy" -q restore --password-file pw \
  "rclone:here:$work/remote" out 2>limited.err
check "a restore whose fetch ends partway" 1 $?
grep -q "cannot fetch from .*transfer limit" limited.err && ok || fail "not said: $(cat limited.err)"
restored=$(find out -type f | wc -l)
[ "$restored" -gt 0 ] && [ "$restored" -lt 20 ] && [ -z "$(find out -name '*.partial')" ] && ok ||
  fail "$restored files restored: $(find out -type f | tr '\n' ' ')"
for file in out/many/*; do cmp -s "$file" "src/many/${file##*/}" || fail "$file differs"; done

# Ctrl-C while the files of a restore arrive one by one: the files still on their way are not
# reached (not failed), what was restored is whole, and nothing is left half-written.
cat >slow-rclone <<'EOF'
#!/usr/bin/env bash
[ "$1" = copy ] && set -- "$@" --bwlimit 100K --transfers 1
exec rclone "$@"
EOF
chmod +x slow-rclone
rm -rf out
ORVCOPY_RCLONE="$work/slow-rclone" "$orvcopy" restore --password-file pw \
  "rclone:here:$work/remote" out 2>stopped.err &
restore=$!
for _ in $(seq 100); do  # until the first file is in place (a slow build takes longer)
  [ -n "$(find out -type f ! -name '*.partial' 2>/dev/null)" ] && break
  sleep 0.1
done
kill -INT $restore
wait $restore
check "a restore stopped by Ctrl-C while its files arrive" 3 $?
! grep -q "failed" stopped.err && [ -z "$(find out -name '*.partial')" ] && ok ||
  fail "stopped restore: $(tail -3 stopped.err)"
for file in out/many/*; do cmp -s "$file" "src/many/${file##*/}" || fail "$file differs"; done

# A restore fetches small files and the others in two calls: one failing does not keep the
# other's files from being restored whole; its own files fail with its reason.
rm -rf src remote && mkdir -p src
echo small >src/small.txt && head -c 100000 /dev/urandom >src/large.bin
"$orvcopy" -q backup --encrypt --password-file pw src "rclone:here:$work/remote"
for failing in "fetch.list.small small.txt large.bin" "fetch.list large.bin small.txt"; do
  read -r list lost kept <<<"$failing"
  rm -rf out
  ORVCOPY_RCLONE="$work/failing-rclone" FAIL_ARG="/$list" "$orvcopy" -q restore \
    --password-file pw "rclone:here:$work/remote" out 2>split.err
  check "a restore whose $list call fails" 1 $?
  cmp -s "src/$kept" "out/$kept" && [ ! -e "out/$lost" ] &&
    grep -q "failed: $lost: .*injected failure" split.err && ok || fail "$list: $(cat split.err)"
done
finish
