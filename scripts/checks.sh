# Sourced by the test scripts: pass, fail and check count what they print as "ok: ..." and
# "FAIL: ..." lines in $passed and $failed, which the caller reports at its end.
passed=0 failed=0
pass() {
  echo "ok: $1"
  passed=$((passed + 1))
}
fail() {
  echo "FAIL: $1"
  failed=$((failed + 1))
}
check() { # check DESCRIPTION COMMAND...: passes when the command succeeds
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
