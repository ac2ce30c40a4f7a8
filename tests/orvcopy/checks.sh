# What the orvcopy test scripts share: the program under test (the script's first argument),
# a fresh folder to work in, removed at the end, and counting checks and naming failed ones.
orvcopy=$(readlink -f "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
passed=0
ok() { passed=$((passed + 1)); }
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
check() {  # check DESCRIPTION EXPECTED_CODE ACTUAL_CODE
  [ "$2" = "$3" ] && ok || fail "$1 (exit $3, expected $2)"
}
finish() {
  echo "$passed passed, $failures failed"
  [ "$failures" = 0 ]
}
gen() {  # gen BACKUP_DIR: the folder of its latest generation
  ls -d "$1"/20*Z* 2>/dev/null | sort | tail -1
}
