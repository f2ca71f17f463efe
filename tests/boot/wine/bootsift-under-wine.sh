#!/usr/bin/env bash
# bootsift-under-wine.sh BOOTSIFT_EXE VERSION_SHORT
# Runs the real boot-time program under Wine (WINEPREFIX set by the caller)
# with no argument, with a drive letter and with two arguments, each time
# after seeding BootExecute, and checks the texts it shows, its exit status
# and the value it leaves. Wine prints each NtDisplayString text on its
# err:ntdll channel, escaped like a C string; the expected texts below are
# in that form. Wine has no keyboard class device and its C: is a folder,
# so the countdown does not wait and the open fails.
set -uo pipefail
exe=$1 version=$2
key='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager'
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../../support/wine/checks.sh"

seed() {
  wine reg add "$key" /v BootExecute /t REG_MULTI_SZ /d "$1" /f >/dev/null 2>&1 || fail "cannot seed BootExecute"
}

# The value as "reg query" lists it: entries joined by \0. Under load a
# query has come back empty once while the server was changing hands; the
# value is never empty here, so an empty answer is asked again.
listed_value() {
  local value= try
  for try in 1 2 3; do
    value=$(wine reg query "$key" /v BootExecute 2>/dev/null | tr -d '\r' |
      sed -n 's/^ *BootExecute  *REG_MULTI_SZ  *//p')
    [ -n "$value" ] && break
    wineserver -w
  done
  printf '%s\n' "$value"
}

# The value's bytes as "reg export" writes them: "hex(7):61,00,...".
exported_value() {
  wine reg export "$key" "$work/key.reg" /y >/dev/null 2>&1 || return
  iconv -f UTF-16 -t UTF-8 "$work/key.reg" | tr -d '\r' |
    awk '/^"BootExecute"=/ { on = 1 } on { line = line $0; if ($0 !~ /\\$/) exit }
         END { gsub(/[\\ ]/, "", line); sub(/^"BootExecute"=/, "", line); print line }'
}

# Runs bootsift with the given arguments; the texts shown go to NAME.shown,
# one per line.
run() {
  local name=$1
  shift
  wine "$exe" "$@" >"$work/$name.out" 2>"$work/$name.err"
  local status=$?
  [ "$status" -eq 0 ] || fail "$name: exit status $status"
  sed -n 's/^.*err:ntdll:NtDisplayString L\{0,1\}"\(.*\)"$/\1/p' "$work/$name.err" >"$work/$name.shown"
}

expect_shown() {
  local name=$1 expected=$2
  if ! diff -u "$expected" "$work/$name.shown" >"$work/$name.diff"; then
    fail "$name: texts shown differ (expected, shown):"
    cat "$work/$name.diff" >&2
    echo "--- stderr of the run:" >&2
    cat "$work/$name.err" >&2
  fi
}

expect_value() {
  local name=$1 expected=$2 actual
  actual=$(listed_value)
  if [ "$actual" != "$expected" ]; then
    fail "$name: BootExecute is '$actual', expected '$expected'; reg query printed:"
    wine reg query "$key" /v BootExecute >&2
  fi
}

printf '%s\n' 'Invalid argument!\n' >"$work/invalid.expected"

# No argument: one line, no banner; other software's entry stays.
seed 'autocheck autochk *\0other thing\0bootsift C'
run no-argument
expect_shown no-argument "$work/invalid.expected"
expect_value no-argument 'autocheck autochk *\0other thing'

# A drive letter: banner, countdown, open; our entry goes, others stay in order.
cat >"$work/letter.expected" <<'TEXTS'
\n
   ____            _   __  __         __\n
  / __ \\  __  __  (_) / / / / ___    / /_\n
 / / / / / / / / / / / / / / / _ \\  / __/\n
/ /_/ / / /_/ / / / / / / / /  __/ / /_\n
\\___\\_\\ \\__,_/ /_/ /_/ /_/  \\___/  \\__/        v@VERSION@\n
___________________________________________________\n\n
                          by the Quillet developers\n\n
\rPress any key to abort..5s
open keyboard failed\n
\rPress any key to abort..4s
open keyboard failed\n
\rPress any key to abort..3s
open keyboard failed\n
\rPress any key to abort..2s
open keyboard failed\n
\rPress any key to abort..1s
open keyboard failed\n
\r
Collecting information for Partition C ...\n
TEXTS
sed -i "s/@VERSION@/$version/" "$work/letter.expected"
seed 'before\0bootsift C\0autocheck autochk *\0BootSift D\0after'
run letter C
# The open ends in status 2 or 3, as Wine's C: has no disk extents.
last=$(tail -n 1 "$work/letter.shown")
case "$last" in
  'Access partition failed! \n' | 'Get partition extents failed! \n') sed -i '$d' "$work/letter.shown" ;;
  *) fail "letter: the run did not end with the open's status message: '$last'" ;;
esac
expect_shown letter "$work/letter.expected"
expect_value letter 'before\0autocheck autochk *\0after'

# Two arguments: one line; the scheduled value becomes exactly the 42-byte
# default list.
seed 'autocheck autochk *\0bootsift C'
run two-arguments C D
expect_shown two-arguments "$work/invalid.expected"
default=hex\(7\):$(printf 'autocheck autochk *' | od -An -tx1 -v | tr -s ' \n' ' ' |
  sed 's/^ //; s/ $//; s/ /,00,/g'),00,00,00,00,00
actual=$(exported_value)
[ "$actual" = "$default" ] || fail "two-arguments: BootExecute bytes are '$actual', expected '$default'"

finish "bootsift under Wine: all checks passed"
