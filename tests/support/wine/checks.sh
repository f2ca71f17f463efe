# Sourced by the check scripts: `fail` counts a failed check and
# goes on; `finish MESSAGE` ends the script, with status 1 after a failure.
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
finish() {
  [ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
  echo "$1"
}
