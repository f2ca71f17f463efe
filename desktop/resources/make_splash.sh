#!/usr/bin/env bash
# Draws the splash picture (bitmap 102): 600 x 300, 8 bits per pixel with a
# palette of 65 colours: a steel-blue field, the product name in large white
# type, a line on the supported Windows versions, the notice in the corners.
# ImageMagick renders the lettering as a coverage mask; splash_bmp.py turns
# the mask into 65 shades between the field and white.
#   make_splash.sh OUTPUT.bmp
set -euo pipefail
output=$1
here=$(cd "$(dirname "$0")" && pwd)
font=${QUILLET_SPLASH_FONT:-/usr/share/fonts/truetype/wqy/wqy-microhei.ttc}
[ -f "$font" ] || { echo "make_splash.sh: font $font is missing (fonts-wqy-microhei)" >&2; exit 1; }
mask=$(mktemp)
trap 'rm -f "$mask"' EXIT
convert -size 600x300 xc:black -font "$font" -fill white \
  -gravity center -pointsize 88 -annotate +0-28 'Quillet' \
  -pointsize 17 -annotate +0+48 '支持所有 Windows 版本  x86 / x64' \
  -gravity southwest -pointsize 11 -annotate +10+8 'Quillet 1.0  SSD TRIM 工具' \
  -gravity southeast -pointsize 11 -annotate +10+8 '版权所有 (C) Quillet 开发者' \
  -colorspace Gray -depth 8 "GRAY:$mask"
python3 "$here/splash_bmp.py" "$mask" "$output"
