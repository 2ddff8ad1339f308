# Counting checks for the shell tests; sourced, not run.
#   check NAME COMMAND...   passes when the command succeeds
#   pass / fail MESSAGE     count one check by hand
#   wait_for SECONDS COMMAND...  retries the command every 0.1 s
#   finish                  prints the counts; fails when any check failed
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
  echo "FAILED: $*"
  failed=$((failed + 1))
}
check() {
  local name="$1"
  shift
  if "$@"; then pass; else fail "$name"; fi
}
wait_for() {
  local tries=$(($1 * 10))
  shift
  for _ in $(seq "$tries"); do
    "$@" > /dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
