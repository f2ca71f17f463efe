#!/usr/bin/env bash
# Makes a fresh Wine prefix for one test run: wine-prefix.sh DIR win32|win64
# Runs once per test run (a CTest fixture); later tests reuse the prefix.
set -euo pipefail
prefix=$1 arch=$2
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine wineboot -i >/dev/null 2>&1
wineserver -w
test -d "$prefix/drive_c/windows/system32"
# Window captions draw their buttons with the Marlett glyphs; Wine ships the
# font but does not put it in the prefix, and without it the buttons read
# "0 1 r" in every screenshot.
marlett=
for dir in /usr/share/wine/fonts /usr/lib/wine/fonts /opt/wine*/share/wine/fonts; do
    [ -f "$dir/marlett.ttf" ] && { marlett=$dir/marlett.ttf; break; }
done
[ -n "$marlett" ] || { echo "wine-prefix.sh: Wine's marlett.ttf is missing (fonts-wine)" >&2; exit 1; }
cp "$marlett" "$prefix/drive_c/windows/Fonts/"
