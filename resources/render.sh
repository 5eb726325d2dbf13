#!/bin/sh
# Renders the images from their SVG sources (rsvg-convert, ImageMagick). The PNGs and the .ico are
# committed, so a build never needs these tools; run this after editing an SVG.
set -e
cd "$(dirname "$0")"
for spec in logo:64 infousb:32 edit:32 pwd:32 unlock:32 cert3:32 folder:32 keys:32; do
    name=${spec%%:*}
    size=${spec##*:}
    rsvg-convert -w "$size" -h "$size" "$name.svg" -o "$name.png"
done
rsvg-convert -w 200 -h 60 nvlog.svg -o nvlog.png
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for size in 16 32 48; do
    rsvg-convert -w "$size" -h "$size" mgr_op.svg -o "$tmp/$size.png"
done
convert "$tmp/16.png" "$tmp/32.png" "$tmp/48.png" mgr_op.ico
