#!/usr/bin/env bash
# claims-figure-under-wine.sh CLAIMS_FIGURE_EXE [RECORDS REPEATS]
# Runs the native measurement of the bitmap check under Wine (WINEPREFIX
# set by the caller) on a crafted $MFT in a scratch file. Without RECORDS:
# the smoke rows below, each with its exit status and the texts shown.
# With RECORDS and REPEATS: one measurement, its texts printed.
# Wine prints each NtDisplayString text on its err:ntdll channel, escaped
# like a C string.
set -uo pipefail
exe=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../tests/support/wine/checks.sh"
export WINEDEBUG=-all,err+ntdll

# Runs the program on the scratch file; its texts go to $work/shown.
run() {
  wine "$exe" "$1" "Z:${work//\//\\}\\mft.img" "${@:2}" >"$work/out" 2>"$work/err"
  status=$?
  sed -n 's/^.*err:ntdll:NtDisplayString L\{0,1\}"\(.*\)"$/\1/p' "$work/err" >"$work/shown"
}

if [ $# -ge 3 ]; then
  run "$2" "$3"
  while IFS= read -r line; do printf '%b\n' "${line%\\n}"; done <"$work/shown"
  [ -s "$work/shown" ] || cat "$work/err" >&2
  exit "$status"
fi

# records | last argument | exit status | a text that must be shown
rows=(
  "16384|1|0|Through the file: no contradiction, "
  "16384|1|0|In memory: no contradiction, "
  "16384|lie|9|Through the file: cluster 16401 of MFT record 8192 is marked free in \$Bitmap: run chkdsk /f"
  "16384|lie|9|In memory: cluster 16401 of MFT record 8192 is marked free in \$Bitmap: run chkdsk /f"
)
for row in "${rows[@]}"; do
  IFS='|' read -r records last expected text <<<"$row"
  run "$records" "$last"
  [ "$status" -eq "$expected" ] || fail "$records $last: exit status $status, expected $expected"
  grep -qF -- "$text" "$work/shown" || { fail "$records $last: not shown: $text"; cat "$work/err" >&2; }
done
finish "claims_figure: sound and lying bitmaps as expected"
