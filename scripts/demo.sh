#!/usr/bin/env bash
# Demonstration: draws a picture, encodes it with cjpeg, decodes it with
# djpeg into a Windows bitmap and reports what each step wrote.
set -euo pipefail
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
awk 'BEGIN { w = 320; h = 200; printf "P3\n%d %d\n255\n", w, h;
  for (y = 0; y < h; y++) for (x = 0; x < w; x++)
    printf "%d %d %d\n", int(255 * x / (w - 1)), int(255 * y / (h - 1)), int(128 + 127 * ((x / 20 + y / 20) % 2)) }' > "$work/picture.ppm"
"$build/tools/cjpeg" -quality 90 "$work/picture.ppm" "$work/picture.jpg"
"$build/tools/djpeg" -bmp "$work/picture.jpg" "$work/picture.bmp"
for f in picture.ppm picture.jpg picture.bmp; do
  printf '%-12s %8d bytes  %s\n' "$f" "$(stat -c %s "$work/$f")" "$(head -c 2 "$work/$f" | od -An -c | tr -s ' ')"
done
echo "demonstration finished"
