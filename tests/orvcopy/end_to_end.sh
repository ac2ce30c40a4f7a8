#!/usr/bin/env bash
# orvcopy end to end on temporary trees: round trips in every mode, names that are not UTF-8,
# wrong passwords, damage in encrypted backups, damaged manifests, missing parts, interrupted
# backups, bad command lines, verify and remove.
#   end_to_end.sh ORVCOPY
set -uo pipefail
source "$(dirname "$0")/checks.sh"  # $orvcopy, and a fresh $work to run in
export ORVCOPY_ITEMS_PER_RUN=3  # the library gets the files a few at a time
same_tree() {  # same_tree DESCRIPTION A B
  diff -r -x link "$2" "$3" >/dev/null && ok ||
    { fail "$1 (trees differ)"; diff -r -x link "$2" "$3" | head -5; }
}

# A tree with nested folders, text and binary files, an empty file, a file over one volume,
# non-ASCII and non-UTF-8 names, names like stored files', and a link that is skipped.
mkdir -p src/docs/deep src/bin
echo "hello" >src/a.txt
: >src/empty
head -c 300000 /dev/urandom >src/bin/large.dat
seq 1 20000 >src/docs/numbers.txt
echo "ünïcödé" >"src/docs/deep/naïve.txt"
printf 'raw name' >"src/docs/$(printf 'caf\xe9-\xff')"
ln -s a.txt src/link
# Names that other entries' stored files take unless told apart: a cut file's later part, and
# an encrypted and a compressed file.
echo "not a part" >src/bin/large.dat.001
mkdir src/a.txt.venc src/a.txt.zip && echo "in" >src/a.txt.venc/in && echo "in" >src/a.txt.zip/in
echo "correct horse" >pw
echo "wrong horse" >bad

# The password options go with encrypted backups only.
pw_of() { case "$*" in *--encrypt*) echo "--password-file pw" ;; esac; }

# A folder in the current folder named like a stored file: the file is still a file.
mkdir -p a.txt

n=0
for mode in "" "--encrypt --jobs 3" "--compress --jobs 4" "--compress --encrypt=128" \
            "--split 100K" "--encrypt=192 --jobs 1"; do
  n=$((n + 1))
  # shellcheck disable=SC2046,SC2086
  "$orvcopy" -q backup src "b$n" $mode $(pw_of $mode) --buffer 64K
  check "backup [$mode]" 0 $?
  # shellcheck disable=SC2046,SC2086
  "$orvcopy" -q verify "b$n" $(pw_of $mode)
  check "verify [$mode]" 0 $?
  # shellcheck disable=SC2046,SC2086
  "$orvcopy" -q restore "b$n" "r$n" $(pw_of $mode) --jobs 3
  check "restore [$mode]" 0 $?
  same_tree "round trip [$mode]" src "r$n"
done

# A trial opens every stored file and writes nothing; a missing one fails it.
"$orvcopy" -q restore b1 trial --trial
check "trial restore" 0 $?
[ ! -e trial ] && ok || fail "a trial wrote"

# A wrong password is refused before anything is written.
"$orvcopy" -q restore b2 wrong --password-file bad 2>/dev/null
check "wrong password" 4 $?
[ ! -e wrong/a.txt ] && ok || fail "wrong password wrote"
ORVCOPY_PW="correct horse" "$orvcopy" -q restore b2 env-restore --password-env ORVCOPY_PW
check "password from the environment" 0 $?

# A disk that fills while restoring: the item is named, the restore ends with exit 1.
(ulimit -f 100; "$orvcopy" -q restore b1 full 2>full.err)
check "full disk while restoring" 1 $?
grep -q "large.dat" full.err && ok || fail "full disk item not named: $(cat full.err)"

# A disk that fills while backing up: the item that did not fit is failed, not kept as done
# with a cut copy; what is listed verifies and restores. A plain stored file changed
# afterwards fails verify's CRC check.
for mode in "" "--compress" "--encrypt"; do
  # shellcheck disable=SC2046,SC2086
  (ulimit -f 100; "$orvcopy" -q backup src "full-b$mode" $mode $(pw_of $mode) 2>full.err)
  check "full disk while backing up [$mode]" 1 $?
  grep -q "failed: bin/large.dat" full.err && ok || fail "full backup item not named [$mode]: $(cat full.err)"
  [ "$mode" = "--compress" ] || grep -q "failed: bin/large.dat: Disk full.*(system error 112)" full.err &&
    ok || fail "no reason for the full disk [$mode]: $(cat full.err)"
  # shellcheck disable=SC2046,SC2086
  "$orvcopy" -q verify "full-b$mode" $(pw_of $mode)
  check "verify after a full disk [$mode]" 0 $?
  # shellcheck disable=SC2046,SC2086
  "$orvcopy" -q restore "full-b$mode" "full-r$mode" $(pw_of $mode)
  check "restore after a full disk [$mode]" 0 $?
  [ ! -e "full-r$mode/bin/large.dat" ] && cmp -s src/a.txt "full-r$mode/a.txt" && ok || fail "restore after a full disk [$mode]"
done
cp -r b1 changed && printf 'X' | dd of="$(gen changed)/data/docs/numbers.txt" bs=1 seek=5 conv=notrunc 2>/dev/null
"$orvcopy" -q verify changed 2>/dev/null
check "verify finds a changed byte" 1 $?

# A tree deeper than the system's path limit: the paths past it are named, the rest is backed
# up and restores, the exit code says something was left out.
mkdir -p deep/src && echo top >deep/src/top.txt
(cd deep/src && for _ in $(seq 25); do d=$(printf 'd%.0s' $(seq 200)); mkdir "$d" && cd "$d" || exit 1; done; echo leaf >leaf.txt)
"$orvcopy" -q backup deep/src deep/b 2>deep.err
check "backup of a tree past the path limit" 1 $?
grep -q "File name too long" deep.err && ok || fail "long path not named: $(cat deep.err)"
"$orvcopy" -q restore deep/b deep/r 2>/dev/null
check "restore of a tree past the path limit" 0 $?
cmp -s deep/src/top.txt deep/r/top.txt && ok || fail "deep tree restore"

# A damaged manifest or none at all is refused (the manifest unit tests and the fuzzer try
# many more).
cp -r b1 damaged && head -c 100 "$(gen b1)/orvcopy-manifest.json" >"$(gen damaged)/orvcopy-manifest.json"
"$orvcopy" -q restore damaged x 2>/dev/null
check "truncated manifest" 4 $?
"$orvcopy" -q list nowhere 2>/dev/null
check "no backup at all" 4 $?

# A missing part fails that item (its partial file is set aside) and the rest is restored.
cp -r b5 missing && rm "$(gen missing)/data/bin/large.dat.001"
"$orvcopy" -q restore missing rmissing 2>/dev/null
check "missing part" 1 $?
[ ! -e rmissing/bin/large.dat ] && cmp -s src/a.txt rmissing/a.txt && ok || fail "missing part handling"
"$orvcopy" -q verify missing 2>/dev/null
check "verify finds the missing part" 1 $?
"$orvcopy" -q restore missing trial --trial 2>/dev/null
check "a trial finds the missing part" 1 $?

# An interrupted backup is not listed: restore and verify refuse it (exit 4), and the next
# backup resumes it, keeping what it finished. Small blocks keep the backup busy for a second
# or so; the signal comes once a few files are there.
mkdir -p many
for i in $(seq 1 100); do head -c 1000000 /dev/urandom >"many/f$i"; done
"$orvcopy" -q backup many interrupted --buffer 1K &
pid=$!
for _ in $(seq 1 1000); do
  [ "$(ls interrupted/*/data 2>/dev/null | wc -l)" -ge 3 ] && break
  sleep 0.005
done
kill -INT "$pid"
wait "$pid"
check "interrupted backup (finished before the signal?)" 3 $?
"$orvcopy" -q restore interrupted rinterrupted 2>verify.err
check "restore of an interrupted backup" 4 $?
grep -q "never finished" verify.err && ok || fail "restore does not say the backup never finished"
"$orvcopy" backup many interrupted 2>resume.err
check "backup after an interrupted one" 0 $?
grep -q "resuming the unfinished backup" resume.err && ok || fail "no resume: $(cat resume.err)"
[ "$(ls -d interrupted/20* | wc -l)" = 1 ] && ok || fail "the unfinished generation was left"
"$orvcopy" -q restore interrupted rinterrupted
check "restore of a resumed backup" 0 $?
same_tree "resumed backup" many rinterrupted

# Damage in an encrypted backup: a changed, cut or missing stored file and an edited manifest
# are found by verify and by restore (exit 1), the file named and set aside as NAME.partial.
damage() {  # damage NAME COMMAND [CODE [BACKUP]]: a copy of BACKUP (b2) damaged by COMMAND
  rm -rf "d-$1" "rd-$1" && cp -r "${4:-b2}" "d-$1" && (cd "$(gen "d-$1")" && eval "$2")
  "$orvcopy" -q verify "d-$1" --password-file pw 2>"d-$1.verify"
  check "verify finds damage [$1]" "${3:-1}" $?
  "$orvcopy" -q restore "d-$1" "rd-$1" --password-file pw 2>"d-$1.restore"
  check "restore finds damage [$1]" "${3:-1}" $?
}
damage flipped 'printf X | dd of=data/docs/numbers.txt.venc bs=1 seek=70000 conv=notrunc 2>/dev/null'
grep -q "failed: docs/numbers.txt: it was changed" d-flipped.restore && [ -e rd-flipped/docs/numbers.txt.partial ] &&
  [ ! -e rd-flipped/docs/numbers.txt ] && cmp -s src/a.txt rd-flipped/a.txt && ok ||
  fail "a changed file is not set aside: $(cat d-flipped.restore)"
damage header 'printf X | dd of=data/a.txt.venc bs=1 seek=60 conv=notrunc 2>/dev/null'
damage cut 'truncate -s -16 data/bin/large.dat.venc'
damage longer 'printf 0123456789abcdef >>data/bin/large.dat.venc'
damage deleted 'rm data/a.txt.venc'
damage manifest "sed -i 's/\"size\": 6,/\"size\": 7,/' orvcopy-manifest.json"
# Manifests changed to pass for something else: a plain backup (refused as damaged, exit 4),
# one of version 1 without tags, another salt. None restores what it lists unchecked.
damage plain "sed -i 's/\"encrypt\": 256/\"encrypt\": 0/' orvcopy-manifest.json" 4
mkdir files && cp src/a.txt src/empty files/ && "$orvcopy" -q backup files bfiles --encrypt --password-file pw
damage downgraded "sed -i -e 's/\"version\": 2/\"version\": 1/' -e 's/, \"tag\": \"[0-9a-f]*\"//' orvcopy-manifest.json" 1 bfiles
damage salt "sed -i 's/\"salt\": \"[0-9a-f]*\"/\"salt\": \"00000000000000000000000000000000\"/' orvcopy-manifest.json"
grep -q "manifest .* was changed" d-manifest.verify && [ ! -e rd-manifest ] && ok ||
  fail "an edited manifest: $(cat d-manifest.verify)"
# A stored file that is a link leads nowhere: a changed plain backup cannot make a restore
# copy what the link points to.
cp -r b1 linked && ln -sf "$work/pw" "$(gen linked)/data/a.txt"
"$orvcopy" -q verify linked 2>/dev/null
check "verify refuses a stored link" 1 $?
"$orvcopy" -q restore linked rlinked 2>/dev/null
check "restore refuses a stored link" 1 $?
[ ! -e rlinked/a.txt ] && ok || fail "a stored link was followed"
# Two backups of one tree with one password share no stored bytes.
"$orvcopy" -q backup src again --encrypt=192 --password-file pw --buffer 64K
cmp -s "$(gen b6)/data/a.txt.venc" "$(gen again)/data/a.txt.venc" && fail "two backups encrypt alike" || ok

# Bad command lines: usage errors are 2, failures at run time 1.
usage() {  # usage EXPECTED_CODE ARGUMENTS...
  local expected=$1
  shift
  "$orvcopy" -q "$@" >/dev/null 2>usage.err
  local code=$?
  [ "$code" = "$expected" ] && [ -s usage.err ] && ! grep -q -i "terminate\|abort" usage.err && ok ||
    fail "orvcopy $* (exit $code, expected $expected): $(cat usage.err)"
}
usage 2 backup
usage 2 backup src ''
usage 2 restore '' x
usage 2 backup src x --split -5
usage 2 backup src x --split 1
usage 2 backup src x --split 99999999999999999999
usage 2 backup src x --password-env PW
usage 2 backup src x --encrypt --password-env PW --password-file pw
usage 2 backup src x --encrypt --split 1M --password-file pw
usage 2 backup src b2
usage 2 backup src "$(gen b1)"
usage 2 backup src b1 --compress
usage 2 backup src x --checksum --compress
usage 2 backup src x --split 1M --jobs 2
usage 2 backup src x --jobs 0
usage 1 backup nowhere x
usage 1 backup src x --encrypt --password-env ORVCOPY_UNSET_VARIABLE
usage 4 verify b2 --password-file bad
[ ! -e x ] && ok || fail "a refused backup made its folder"
# The backup folder inside the source is not backed up into itself.
"$orvcopy" -q backup src src/self
check "backup into a folder inside the source" 0 $?
! grep -q '"path": "self' "$(gen src/self)/orvcopy-manifest.json" && ok || fail "the backup holds itself"
rm -rf src/self

# Removal.
"$orvcopy" -q remove b1
check "remove" 0 $?
[ ! -e b1 ] && ok || fail "remove left b1"

finish
