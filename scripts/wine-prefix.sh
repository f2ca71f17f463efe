#!/usr/bin/env bash
# Makes a fresh Wine prefix for one test run: wine-prefix.sh DIR win32|win64
# Runs once per test run (a CTest fixture); later tests reuse the prefix.
set -euo pipefail
prefix=$1 arch=$2
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1
wineserver -w
test -d "$prefix/drive_c/windows/system32"
