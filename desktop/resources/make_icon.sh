#!/usr/bin/env bash
# Draws the program icon (icon group 10): 32 x 32 and 16 x 16, 32 bits with
# alpha: a steel-blue tile with a white Q and a green trimmed cell.
#   make_icon.sh OUTPUT.ico
set -euo pipefail
output=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
font=${QUILLET_SPLASH_FONT:-/usr/share/fonts/truetype/wqy/wqy-microhei.ttc}
[ -f "$font" ] || { echo "make_icon.sh: font $font is missing (fonts-wqy-microhei)" >&2; exit 1; }
draw() {  # size radius pointsize cell
  local s=$1 r=$2 p=$3 c=$4 m=$(($1 - 1))
  convert -size "${s}x${s}" xc:none -fill '#4682B4' -draw "roundrectangle 0,0 $m,$m $r,$r" \
    -fill '#00FF40' -draw "rectangle $((s - c - 2)),$((s - c - 2)) $((s - 3)),$((s - 3))" \
    -font "$font" -fill white -pointsize "$p" -gravity center -annotate +0-1 'Q' \
    -define png:color-type=6 "PNG32:$work/icon$s.png"
}
draw 32 6 26 7
draw 16 3 14 3
convert "$work/icon32.png" "$work/icon16.png" "ICO:$output"
