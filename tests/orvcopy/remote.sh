#!/usr/bin/env bash
# orvcopy with a remote store: an SFTP server on 127.0.0.1 (rclone's own, with a key it makes
# for the run), reached through a remote set by RCLONE_CONFIG_* variables. Plain, encrypted,
# cut and compressed backups and their restores; a second backup uploads only what changed;
# the server killed during a backup leaves the previous backup whole; wrong remotes, a missing
# rclone and a full temporary folder are named.
#   remote.sh ORVCOPY
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/checks.sh"  # $orvcopy, and a fresh $work to run in
command -v rclone >/dev/null || { echo "rclone is not installed"; exit 1; }
state() {  # what a tree is, entry by entry: type, mode, owner, time, size and content
  (cd "$1" && find . -mindepth 1 -printf '%P %y %m %u %g %T@ %s %l\n' | sort &&
    find . -type f -print0 | sort -z | xargs -0 md5sum)
}

# What the server holds is changed behind its back before it starts: it keeps its listings.
mkdir -p served/other served/same && echo x >served/other/file && echo y >served/same/same
# The working folders of the commands go here, to be seen removed.
export TMPDIR="$work/tmp"
mkdir "$TMPDIR"
export RCLONE_CONFIG="$work/rclone.conf" RCLONE_CACHE_DIR="$work/cache"
touch rclone.conf
server=
serve() {  # starts the server on a free port, serving ./served
  rclone serve sftp --addr 127.0.0.1:0 --user orv --pass secret served >server.log 2>&1 &
  server=$!
  for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' server.log)
    [ -n "$port" ] && break
    sleep 0.1
  done
  export RCLONE_CONFIG_OFFSITE_PORT=$port
}
stop() { kill "$server" 2>/dev/null && wait "$server" 2>/dev/null; }
trap 'stop; rm -rf "$work"' EXIT
export RCLONE_CONFIG_OFFSITE_TYPE=sftp RCLONE_CONFIG_OFFSITE_HOST=127.0.0.1
export RCLONE_CONFIG_OFFSITE_USER=orv RCLONE_CONFIG_OFFSITE_PASS="$(rclone obscure secret)"
# Failures show quickly: one try, and a short wait for a server that is gone.
export RCLONE_RETRIES=1 RCLONE_LOW_LEVEL_RETRIES=1 RCLONE_CONTIMEOUT=3s
serve

mkdir -p src/docs/sub src/keep src/empty
echo "stays" >src/keep/same.txt
head -c 3000000 /dev/urandom >src/keep/big.bin
echo "first" >src/docs/changes.txt
echo "old" >src/docs/sub/deleted.txt
echo "twin" >src/docs/README
echo "twin too" >src/keep/README
ln -s ../keep/same.txt src/docs/link
ln src/keep/same.txt src/docs/hard
chmod 640 src/keep/same.txt
chmod 750 src/docs
find src -exec touch -h -d '2 hours ago' {} +
printf 'pass phrase\n' >pw

# A plain backup, whole and in part: its files are uploaded from the tree, a volume at a time.
"$orvcopy" -q backup src rclone:offsite:plain --volume 1M
check "plain backup" 0 $?
state src >before.txt
"$orvcopy" -q restore rclone:offsite:plain whole
check "plain restore" 0 $?
state whole >whole.txt
cmp -s before.txt whole.txt && ok || fail "plain restore differs: $(diff before.txt whole.txt | head -4)"
"$orvcopy" -q restore rclone:offsite:plain part docs
check "restore of one folder" 0 $?
[ "$(cd part && find . | sort | tr '\n' ' ')" = ". ./docs ./docs/README ./docs/changes.txt ./docs/hard ./docs/link ./docs/sub ./docs/sub/deleted.txt " ] &&
  ok || fail "restore of one folder gave $(cd part && find . | sort | tr '\n' ' ')"
"$orvcopy" -q verify rclone:offsite:plain
check "plain verify" 0 $?
[ -z "$(ls "$TMPDIR")" ] && ok || fail "a working folder was left in TMPDIR: $(ls "$TMPDIR")"

# A second backup uploads the changed and the added file only, and deletes the deleted one.
echo "second" >src/docs/changes.txt
echo "added" >src/docs/added.txt
touch -d '1 hour ago' src/docs/changes.txt src/docs/added.txt src/docs
rm src/docs/sub/deleted.txt
"$orvcopy" backup src rclone:offsite:plain --volume 1M 2>second.err
check "second backup" 0 $?
grep -q "2 files uploaded, 4 unchanged, 2 earlier files deleted" second.err && ok ||
  fail "second backup: $(cat second.err)"
[ -z "$(find served/plain/data -name deleted.txt)" ] && ok || fail "a deleted file stays on the remote"
state src >second.txt
"$orvcopy" -q restore rclone:offsite:plain again
check "restore after the second backup" 0 $?
state again >again.txt
cmp -s second.txt again.txt && ok || fail "second restore differs: $(diff second.txt again.txt | head -4)"
"$orvcopy" backup src rclone:offsite:plain --volume 1M 2>third.err
grep -q "nothing changed since the backup" third.err && ok || fail "unchanged backup: $(cat third.err)"

# Encrypted, cut and compressed backups come back whole; the encrypted remote holds no
# plain bytes of the files. A file is named as another's later part.
echo "not a part" >src/keep/big.bin.001
state src >modes.txt
for mode in "--encrypt --password-file pw" "--split 1M" "--compress" "--compress --encrypt --password-file pw"; do
  name=$(echo "$mode" | tr -dc 'a-z1')
  pass=$([[ $mode == *pw* ]] && echo "--password-file pw")
  "$orvcopy" -q backup $mode src "rclone:offsite:$name"
  check "backup $mode" 0 $?
  # shellcheck disable=SC2086
  "$orvcopy" -q restore $pass "rclone:offsite:$name" "out-$name"
  check "restore $mode" 0 $?
  state "out-$name" >"out-$name.txt"
  cmp -s modes.txt "out-$name.txt" && ok || fail "restore $mode differs: $(diff modes.txt "out-$name.txt" | head -4)"
  # shellcheck disable=SC2086
  "$orvcopy" -q verify $pass "rclone:offsite:$name"
  check "verify $mode" 0 $?
done
! grep -rqs "stays" served/encryptpasswordfilepw && ok || fail "plain text on the encrypted remote"
[ -n "$(find served/split1/data -name 'big.bin.002')" ] && ok || fail "the cut backup holds no parts"
# The earlier parts of a changed cut file are deleted, and the file named as one of them stays.
head -c 100 /dev/urandom >>src/keep/big.bin
"$orvcopy" -q backup --split 1M src rclone:offsite:split1
check "second cut backup" 0 $?
"$orvcopy" -q restore rclone:offsite:split1 out-split2
state src >split2.txt
state out-split2 >out-split2.txt
cmp -s split2.txt out-split2.txt && ok || fail "second cut restore differs: $(diff split2.txt out-split2.txt | head -4)"
echo "wrong" >wrong
"$orvcopy" -q restore --password-file wrong rclone:offsite:encryptpasswordfilepw wrong 2>/dev/null
check "wrong password" 4 $?

# Damage on the remote is found (the same size: the server keeps its listings).
echo "STAYS" >served/plain/data/a/docs/hard
"$orvcopy" -q verify rclone:offsite:plain 2>verify.err
check "verify of a damaged remote" 1 $?
grep -q "docs/hard" verify.err && ok || fail "damage not named: $(cat verify.err)"
echo "stays" >served/plain/data/a/docs/hard

# An encrypted file larger than the volume is uploaded as it is written: the temporary folder
# never holds more than the volume and the buffers.
mkdir -p large temp
head -c 30000000 /dev/urandom >large/file.bin
"$orvcopy" -q backup large rclone:offsite:large --encrypt --password-file pw --volume 2M \
  --temp "$work/temp" &
backup=$!
peak=$("$here/../../scripts/disk_peak.sh" $backup temp)
wait $backup
check "encrypted backup of a large file" 0 $?
# The buffers: the library's writer holds three blocks of 1 MiB, the upload reads 1 MiB.
[ "$peak" -le $((6 * 1048576 + 200000)) ] && ok || fail "the temporary folder held $peak bytes"
"$orvcopy" -q restore --password-file pw rclone:offsite:large large-out &&
  cmp -s large/file.bin large-out/file.bin && ok || fail "the large file does not come back"

# The server killed during a backup (while a file is uploaded as it is written): the run fails,
# and the remote keeps its last backup.
head -c 4000000 /dev/urandom >src/keep/new.bin
RCLONE_BWLIMIT=1M "$orvcopy" -q backup src rclone:offsite:encryptpasswordfilepw \
  --encrypt --password-file pw --volume 1M 2>killed.err &
backup=$!
# The server goes once the large file has begun to go up.
for _ in $(seq 200); do
  [ -n "$(find served/encryptpasswordfilepw -name 'new.bin.venc' -size +0)" ] && break
  sleep 0.1
done
stop
wait $backup
code=$?
[ $code = 1 ] || [ $code = 3 ] && ok || fail "backup with the server killed: exit $code"
grep -q "keeps its previous backup" killed.err && ok || fail "killed server: $(cat killed.err)"
serve
"$orvcopy" -q restore --password-file pw rclone:offsite:encryptpasswordfilepw after-kill
check "restore after the killed backup" 0 $?
state after-kill >after-kill.txt
cmp -s modes.txt after-kill.txt && ok || fail "the killed backup changed the remote: $(diff modes.txt after-kill.txt | head -4)"

# orvcopy alone told to stop (kill, not a terminal's Ctrl-C) stops the upload under way too.
RCLONE_BWLIMIT=1M "$orvcopy" -q backup large rclone:offsite:stopped 2>stopped.err &
backup=$!
for _ in $(seq 200); do
  [ -n "$(find served/stopped -name 'file.bin*' -size +0 2>/dev/null)" ] && break
  sleep 0.1
done
kill -TERM $backup
for _ in $(seq 50); do kill -0 $backup 2>/dev/null || break; sleep 0.1; done
kill -0 $backup 2>/dev/null && fail "orvcopy did not stop within 5 s of a kill" && wait $backup
wait $backup
check "backup stopped by a kill" 3 $?
pgrep -f "rclone.*offsite:stopped" >/dev/null && fail "rclone runs on after orvcopy stopped" || ok
# The next run finds the stopped one's mark, and deletes what no manifest lists.
echo "stray" | rclone rcat offsite:stopped/data/b/stray  # (the server keeps its listings)
"$orvcopy" backup large rclone:offsite:stopped 2>restarted.err
check "backup after a stopped one" 0 $?
grep -q "1 file left by a stopped backup deleted" restarted.err && [ ! -e served/stopped/data/b ] &&
  [ ! -e served/stopped/orvcopy-writing ] && ok || fail "after a stopped backup: $(cat restarted.err)"
# A mark of an orvcopy that still runs on this machine (one waiting for its password).
mkfifo pw.fifo
"$orvcopy" -q backup large "$work/waiting" --encrypt --password-file pw.fifo 2>/dev/null &
waiting=$!
echo "orvcopy backup from $(cat /proc/sys/kernel/hostname) process $waiting started 0" | rclone rcat offsite:stopped/orvcopy-writing
"$orvcopy" -q backup large rclone:offsite:stopped 2>running.err
check "backup into a folder another orvcopy writes" 1 $?
grep -q "being written by another orvcopy (process $waiting" running.err && ok ||
  fail "running mark: $(cat running.err)"
kill $waiting 2>/dev/null
exec 3<>pw.fifo && exec 3>&-  # lets it go, if the kill found it reading
wait $waiting 2>/dev/null
# A mark from another machine: a backup may be writing there.
echo "orvcopy backup from elsewhere process 1 started 0" | rclone rcat offsite:stopped/orvcopy-writing
"$orvcopy" -q backup large rclone:offsite:stopped 2>marked.err
check "backup into a folder another machine writes" 1 $?
grep -q "being written by a backup from elsewhere" marked.err && ok || fail "mark: $(cat marked.err)"

# Mistakes: a remote that does not exist, a folder that holds something else, no rclone,
# a temporary folder that cannot be made or is full.
"$orvcopy" -q backup src rclone:nowhere:x 2>nowhere.err
check "unknown remote" 1 $?
grep -q "cannot reach rclone:nowhere:x" nowhere.err && ok || fail "unknown remote: $(cat nowhere.err)"
"$orvcopy" -q backup src rclone:offsite:other 2>other.err
check "foreign remote folder" 1 $?
grep -q "holds no orvcopy backup" other.err && ok || fail "foreign folder: $(cat other.err)"
# rclone lists a file as itself: a file named as the backup folder, and a folder that holds
# only a file of its own name, are told apart.
"$orvcopy" -q restore rclone:offsite:other/file fromfile 2>file.err
check "restore from a file" 1 $?
grep -q "rclone:offsite:other/file is not a folder" file.err && ok || fail "file: $(cat file.err)"
"$orvcopy" -q restore rclone:offsite:nosuch fromnothing 2>nothing.err
check "restore from a folder that is not there" 4 $?
grep -q "no backup in rclone:offsite:nosuch" nothing.err && [ ! -e fromnothing ] && ok ||
  fail "no folder: $(cat nothing.err)"
"$orvcopy" -q backup src rclone:offsite:same 2>same.err
check "backup into a folder that holds a file of its name" 1 $?
grep -q "holds no orvcopy backup" same.err && ok || fail "same name: $(cat same.err)"
ORVCOPY_RCLONE=/nonexistent/rclone "$orvcopy" -q backup src rclone:offsite:plain 2>norclone.err
check "no rclone" 1 $?
grep -q "install rclone" norclone.err && ok || fail "no rclone: $(cat norclone.err)"
"$orvcopy" -q backup src rclone:offsite:plain --temp "$work/none/here" 2>notemp.err
check "no temporary folder" 1 $?
grep -q "cannot make a working folder" notemp.err && ok || fail "no temporary folder: $(cat notemp.err)"
(ulimit -f 1000 && "$orvcopy" -q backup src rclone:offsite:encryptpasswordfilepw --encrypt \
  --password-file pw 2>full.err)
check "full temporary folder" 1 $?
grep -q "failed: keep/new.bin" full.err && ok || fail "full temporary folder: $(cat full.err)"

# A path that turns from a file into a folder and one that turns from a folder into a file
# (the remote keeps the tree's paths), and a name rclone cannot be given.
rm src/docs/changes.txt && mkdir src/docs/changes.txt && echo inside >src/docs/changes.txt/inner
rm -r src/docs/sub && echo "now a file" >src/docs/sub
mkdir src/odd && touch "src/odd/line
break"
stamp=$(date -d '30 minutes ago' '+%Y-%m-%d %H:%M:%S')
touch -d "$stamp" src/docs/changes.txt/inner src/docs/changes.txt src/docs/sub src/docs src/odd
"$orvcopy" backup src rclone:offsite:plain --volume 1M 2>types.err
check "backup after type changes" 0 $?
grep -qF 'skipped (a line break in the name): odd/line\nbreak' types.err && ok ||
  fail "a line break in a name: $(cat types.err)"
rm src/odd/line*
touch -d "$stamp" src/odd
state src >types.txt
"$orvcopy" -q restore rclone:offsite:plain types
check "restore after type changes" 0 $?
state types >types-out.txt
cmp -s types.txt types-out.txt && ok || fail "type changes: $(diff types.txt types-out.txt | head -4)"
finish
