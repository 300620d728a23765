#!/usr/bin/env bash
# Renders tavro.mvg (ImageMagick's vector drawing format) into tavro.ico with
# the six sizes the program carries. Needs Debian's imagemagick package.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
convert=/usr/bin/convert
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$convert" -size 256x256 xc:none -draw "$(grep -v "^viewbox" "$here/tavro.mvg")" "PNG32:$work/256.png"
for size in 128 64 48 32 16; do
  "$convert" "$work/256.png" -filter Lanczos -resize "${size}x${size}" "PNG32:$work/$size.png"
done
"$convert" "$work/256.png" "$work/128.png" "$work/64.png" "$work/48.png" "$work/32.png" "$work/16.png" \
  "$here/tavro.ico"
echo "wrote $here/tavro.ico"
