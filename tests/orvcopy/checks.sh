# What the orvcopy test scripts share: counting checks and naming the failed ones.
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
