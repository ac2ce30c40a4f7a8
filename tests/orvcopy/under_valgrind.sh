#!/usr/bin/env bash
# orvcopy under valgrind's memcheck: a split backup, an encrypted one (backed up again, and the
# first generation forgotten) and a compressed encrypted one, each verified and restored. Any memory error or definite leak fails the test.
#   under_valgrind.sh ORVCOPY SUPPRESSIONS
set -euo pipefail
orvcopy=$(readlink -f "$1")
suppressions=$(readlink -f "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
run() {
  valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
    --suppressions="$suppressions" "$orvcopy" -q "$@"
}

mkdir -p src/docs
head -c 150000 /dev/urandom >src/random.bin
seq 1 5000 >src/docs/numbers.txt
: >src/empty
echo "valgrind horse" >pw
run backup src split --split 64K --buffer 16K
run verify split
run restore split split-out
diff -r src split-out
run backup src encrypted --encrypt --buffer 16K --password-file pw
run verify encrypted --password-file pw
run restore encrypted encrypted-out --password-file pw
diff -r src encrypted-out
run backup src encrypted --encrypt --buffer 16K --password-file pw  # a generation of links
run forget encrypted --keep-last 1
run backup src zipped --compress --encrypt --password-file pw
run restore zipped zipped-out --password-file pw
diff -r src zipped-out
echo "orvcopy under valgrind: clean"
