#!/usr/bin/env bash
# The real Quillet.exe under Wine and Xvfb with the platform's browser
# control (Wine's HTML engine switched off, so that it offers no download):
# quillet_start_driver.exe answers the start-page question, checks the
# window, the banner pane and the list, and closes the program. The two
# pictures it takes land in WORK/screenshots as PNG files.
#
#   quillet_start_test.sh DRIVER QUILLET WORK
# WINEPREFIX comes from CTest.
set -euo pipefail
driver=$1 quillet=$2 work=$3
out=$work/out-quillet-start
rm -rf "$out"
mkdir -p "$out" "$work/screenshots"

# Code page 936 needs a Chinese locale; one is made under the build tree
# when the system has none.
if ! locale -a | grep -qix 'zh_CN.utf8'; then
    if [ ! -d "$work/locale/zh_CN.UTF-8" ]; then
        mkdir -p "$work/locale"
        localedef -i zh_CN -f UTF-8 "$work/locale/zh_CN.UTF-8" || true
    fi
    export LOCPATH=$work/locale
fi
chinese=(env LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8)

# Windows' Chinese fonts come from WenQuanYi Micro Hei.
fonts=$work/quillet-start-fonts.reg
printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
    '[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]' \
    '"SimSun"="WenQuanYi Micro Hei"' '"宋体"="WenQuanYi Micro Hei"' '"NSimSun"="WenQuanYi Micro Hei"' |
    iconv -f UTF-8 -t UTF-16 > "$fonts"
"${chinese[@]}" wine regedit /S "Z:$fonts"
wineserver -w

# Wine's own desktop draws window frames as Windows does (Xvfb has no
# window manager); it does not pass the driver's status on, so the driver's
# last line tells the outcome.
set +e
"${chinese[@]}" timeout 180 xvfb-run -a -s "-screen 0 1024x768x24" wine explorer /desktop=QuilletStart,800x600 \
    "$driver" "Z:$out" "Z:$quillet" > "$out/driver.log" 2>&1
set -e
wineserver -w
cat "$out/driver.log"
grep -q '^all steps done' "$out/driver.log" || { echo "the driver did not finish its steps" >&2; exit 1; }
for picture in question window; do
    convert "$out/$picture.bmp" -strip "$work/screenshots/quillet-start-$picture.png"
done
