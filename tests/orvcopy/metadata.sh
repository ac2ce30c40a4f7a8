#!/usr/bin/env bash
# orvcopy keeps what every entry of a tree is, and keeps it private: modes (set-ID and sticky
# bits too), owners (when run as root), times of files and folders, symbolic links to files,
# folders and nowhere, hard links, named pipes, names and link targets that are not UTF-8;
# the backup is unreadable to other users; a restore never writes through a link planted in
# its target, and one that is interrupted leaves only NAME.partial.
#   metadata.sh ORVCOPY
set -uo pipefail
source "$(dirname "$0")/checks.sh"  # $orvcopy, and a fresh $work to run in
umask 022
# Every entry with its type, mode, owner, group, time in nanoseconds and link target.
listing() {
  (cd "$1" && find . -printf '%p|%y|%m|%U|%G|%T@|%l\n' | LC_ALL=C sort)
}

# --- The tree ------------------------------------------------------------------------------
mkdir -p src/docs/deep src/ro src/shared
echo "secret" >src/private.key && chmod 600 src/private.key
printf '#!/bin/sh\necho hi\n' >src/run.sh && chmod 4755 src/run.sh
echo "read only" >src/ro/f && chmod 444 src/ro/f && chmod 555 src/ro
chmod 1777 src/shared && chmod 2755 src/docs/deep
echo "linked" >src/docs/a.txt && ln src/docs/a.txt src/docs/hard
ln -s docs/a.txt src/file-link
ln -s docs src/folder-link
ln -s /nonexistent/target src/dangling
ln -s "$(printf 'caf\xe9')" src/odd-target
printf 'raw' >"src/docs/$(printf 'bad\xffname')"
printf 'two\nlines' >"src/$(printf 'new\nline')"
mkfifo -m 640 src/pipe
# Two names as long as a restore's NAME.partial can be: both cut to the same 255 bytes.
long=$(printf 'y%.0s' $(seq 1 247))
printf 'one1' >"src/docs/$long" && printf 'two2' >"src/docs/${long}zz"
head -c 300000 /dev/urandom >src/docs/deep/large.bin
if [ "$(id -u)" = 0 ]; then
  chown 1234:2345 src/docs/a.txt src/pipe
  chown -h 1234:2345 src/file-link
  chown 1234:1234 src/docs/deep
fi
for f in src/docs/a.txt src/pipe src/docs/deep src/ro src/docs src/run.sh; do
  touch -h -d '2001-02-03 04:05:06.123456789' "$f"
done
touch -h -d '2002-03-04 05:06:07.987654321' src/file-link src
chmod 750 src
echo "metadata horse" >pw

# --- Back up, plain and encrypted; the backups are private -------------------------------
"$orvcopy" -q backup src plain
check "plain backup" 0 $?
"$orvcopy" -q backup src enc --encrypt --password-file pw
check "encrypted backup" 0 $?
P=$(gen plain)
[ "$(stat -c %a plain)" = 700 ] && [ "$(stat -c %a "$P" "$P/data" | sort -u)" = 700 ] && ok ||
  fail "backup folders are $(stat -c %a plain "$P" "$P/data")"
[ -z "$(find plain enc -perm /077)" ] && ok || fail "backup files readable by others: $(find plain enc -perm /077 | head -3)"
if command -v setpriv >/dev/null && [ "$(id -u)" = 0 ]; then
  setpriv --reuid=65534 --regid=65534 --clear-groups cat "$P/data/private.key" 2>/dev/null &&
    fail "another user reads a private file in the backup" || ok
fi
grep -q '"type": "symlink"' "$P/orvcopy-manifest.json" && grep -q '"type": "fifo"' "$P/orvcopy-manifest.json" &&
  grep -q '"type": "hardlink"' "$P/orvcopy-manifest.json" && ok || fail "links and pipes missing from the manifest"

# --- Restores give back every entry as it was --------------------------------------------
for backup in plain enc; do
  "$orvcopy" -q restore "$backup" "r-$backup" --password-file pw 2>/dev/null ||
    "$orvcopy" -q restore "$backup" "r-$backup"
  check "restore of $backup" 0 $?
  if [ "$(listing src)" = "$(listing "r-$backup")" ]; then ok; else
    fail "restored entries of $backup differ:"
    diff <(listing src) <(listing "r-$backup") | head -10
  fi
  (cd src && find . -type f -print0) | while IFS= read -r -d '' f; do
    cmp -s "src/$f" "r-$backup/$f" || echo "$f"
  done >differ
  [ -s differ ] && fail "contents differ in $backup: $(head -3 differ)" || ok
  [ "$(stat -c %i "r-$backup/docs/a.txt")" = "$(stat -c %i "r-$backup/docs/hard")" ] && ok ||
    fail "hard link of $backup not restored as a link"
done
"$orvcopy" list plain >list.txt
grep -q 'new\\nline' list.txt && grep -q 'bad\\xffname' list.txt && ok || fail "list does not escape names"
grep -q ' docs/hard => docs/a.txt$' list.txt && grep -q ' docs/a.txt$' list.txt &&
  grep -q ' file-link -> docs/a.txt$' list.txt && ok || fail "list does not show links: $(grep docs/ list.txt)"
[ "$(wc -l <list.txt)" = "$(($(grep -c '"key"' "$P/orvcopy-manifest.json") + 1))" ] && ok || fail "list breaks lines"

# --- Another user restores as itself, and a second restore fills read-only folders again --
if command -v setpriv >/dev/null && [ "$(id -u)" = 0 ]; then
  chmod 711 . && mkdir -m 777 user
  setpriv --reuid=65534 --regid=65534 --clear-groups sh -c "cd user && umask 022 &&
    mkdir -p src/ro && echo x >src/ro/f && chmod 555 src/ro && '$orvcopy' -q backup src b &&
    '$orvcopy' -q restore b r && '$orvcopy' -q restore b r" 2>user.err
  check "a user's second restore over read-only folders" 0 $?
  [ "$(stat -c %a:%u user/r/ro)" = 555:65534 ] && ok || fail "user restore: $(stat -c %a:%u user/r/ro) $(cat user.err)"
  # A folder the user cannot list is named and fails the backup; the rest is backed up.
  setpriv --reuid=65534 --regid=65534 --clear-groups sh -c "cd user && mkdir -p part/shut &&
    echo y >part/f && chmod 000 part/shut && '$orvcopy' -q backup part b2" 2>user2.err
  check "a backup with a folder it cannot read" 1 $?
  grep -q "cannot read .*part/shut: Permission denied" user2.err && ok || fail "unread folder: $(cat user2.err)"
fi

# --- A link planted in the target receives nothing ---------------------------------------
mkdir -p outside planted
ln -s ../outside planted/docs
ln -s ../outside/stolen planted/private.key.partial
"$orvcopy" -q restore plain planted
check "restore over planted links" 0 $?
[ -z "$(ls -A outside)" ] && [ -d planted/docs ] && [ ! -L planted/docs ] && ok ||
  fail "a planted link received files: $(ls -A outside)"
"$orvcopy" -q restore plain plain/x 2>/dev/null
check "restore into the backup folder" 2 $?

# --- An interrupted restore leaves NAME.partial and says so ------------------------------
mkdir big && head -c 400000000 /dev/zero >big/zeros
"$orvcopy" -q backup big bigb --buffer 4K
"$orvcopy" restore bigb bigr 2>interrupted.err &
pid=$!
for _ in $(seq 1 2000); do [ -e bigr/zeros.partial ] && break; sleep 0.005; done
kill -INT "$pid"
wait "$pid"
code=$?
if [ "$code" = 3 ]; then
  [ -e bigr/zeros.partial ] && [ ! -e bigr/zeros ] && ok || fail "interrupted restore: $(ls bigr)"
  grep -q "^interrupted: restored 0 of 1 files" interrupted.err && ok || fail "summary: $(cat interrupted.err)"
else
  check "interrupted restore (finished before the signal?)" 3 "$code"
fi

finish
