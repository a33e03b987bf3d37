#!/bin/sh
# Draws the tray icon at every size of icon group 101 and packs the images into tindrel.ico;
# also keeps the 48 px image as tindrel.png for the Linux front, which embeds it.
#   tray/res/make-icon.sh            (needs ImageMagick and icotool)
# The artwork: a teal rounded square with a white "Z" whose ends carry two amber nodes.
# Shapes are drawn from coordinates, never from fonts, and PNG time chunks are left out, so
# the same tools give the same bytes on every run.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# draw WIDTH HEIGHT FORMAT OUT: FORMAT is png8 (palette) or png32 (RGBA).
draw() {
    w=$1 h=$2
    # Scale the unit-square drawing to the image; awk does the arithmetic.
    eval "$(awk -v w="$w" -v h="$h" 'BEGIN {
        s = (w < h) ? w : h
        printf "r=%.2f sw=%.2f nr=%.2f\n", s * 0.18, (s * 0.13 < 1.5) ? 1.5 : s * 0.13, s * 0.09
        printf "x1=%.2f x2=%.2f y1=%.2f y2=%.2f\n", w * 0.27, w * 0.73, h * 0.29, h * 0.71
        printf "right=%.2f bottom=%.2f\n", w - 1, h - 1
    }')"
    convert -size "${w}x${h}" xc:none \
        -fill '#17607d' -stroke '#0d3b4d' -strokewidth 1 \
        -draw "roundrectangle 0.5,0.5 $right,$bottom $r,$r" \
        -fill none -stroke white -strokewidth "$sw" \
        -draw "stroke-linejoin round stroke-linecap round polyline $x1,$y1 $x2,$y1 $x1,$y2 $x2,$y2" \
        -fill '#f2a541' -stroke none \
        -draw "circle $x2,$y1 $(awk -v x="$x2" -v n="$nr" 'BEGIN { printf "%.2f", x + n }'),$y1" \
        -draw "circle $x1,$y2 $(awk -v x="$x1" -v n="$nr" 'BEGIN { printf "%.2f", x + n }'),$y2" \
        +set date:create +set date:modify -define png:exclude-chunks=date,time \
        "$3:$4"
}

draw 53 57 png8 "$tmp/i53.png"
for s in 48 32 24 20 16; do
    draw "$s" "$s" png32 "$tmp/i$s.png"
done
icotool -c -o "$here/tindrel.ico" -b 8 "$tmp/i53.png" -b 32 "$tmp/i48.png" "$tmp/i32.png" \
    "$tmp/i24.png" "$tmp/i20.png" "$tmp/i16.png"
cp "$tmp/i48.png" "$here/tindrel.png"
icotool -l "$here/tindrel.ico"
