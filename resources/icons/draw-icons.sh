#!/usr/bin/env bash
# Draws the panel's icon (a laser module sending a beam across a dark tile) with ImageMagick:
# 16, 32 and 48 pixels for the window, 64 and 128 more for the desktop's menus and software
# centre. The PNGs are committed; run this only to change the design. They are 8 bits per
# channel: Windows icon resources take them as they are, and Wine refuses 16-bit PNG icons.
# Usage: draw-icons.sh [size...]   (default: every size)
set -euo pipefail
cd "$(dirname "$0")"

draw() {
    local n=$1 s
    s=$(awk "BEGIN{print $n/48}")
    # Coordinates are laid out on a 48-pixel grid and scaled, so every size has the same design.
    sc() { awk "BEGIN{printf \"%.2f\", $1*$s}"; }
    convert -size "${n}x${n}" xc:none \
        -fill '#1c2a3a' -stroke '#0d151e' -strokewidth "$(sc 1)" \
        -draw "roundrectangle $(sc 1),$(sc 1) $(sc 46.5),$(sc 46.5) $(sc 8),$(sc 8)" \
        -fill '#9fb3c8' -stroke none \
        -draw "roundrectangle $(sc 5),$(sc 15) $(sc 20),$(sc 33) $(sc 2),$(sc 2)" \
        -fill '#5b7089' \
        -draw "rectangle $(sc 8),$(sc 19) $(sc 17),$(sc 21)" \
        -draw "rectangle $(sc 8),$(sc 24) $(sc 17),$(sc 26)" \
        -fill '#ff5a3c' \
        -draw "rectangle $(sc 20),$(sc 22) $(sc 43),$(sc 26)" \
        -fill '#ffd2c4' \
        -draw "rectangle $(sc 20),$(sc 23.4) $(sc 43),$(sc 24.6)" \
        -fill '#ff5a3c' \
        -draw "circle $(sc 41),$(sc 24) $(sc 45),$(sc 24)" \
        -fill '#fff3ee' \
        -draw "circle $(sc 41),$(sc 24) $(sc 42.6),$(sc 24)" \
        -depth 8 -define png:exclude-chunks=date,time -strip "PNG32:varnel-$n.png"
}

sizes=("$@")
[ $# -gt 0 ] || sizes=(16 32 48 64 128)
for n in "${sizes[@]}"; do draw "$n"; done
