#!/usr/bin/env bash
# Renders tavro.mvg (ImageMagick's vector drawing format) into tavro.ico with
# the six sizes the program carries: 256, 128 and 64 as PNG images (Windows
# Vista and later), 48, 32 and 16 as classic bitmaps, which keeps the .exe
# small. Needs Debian's imagemagick package and python3.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
convert=/usr/bin/convert
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$convert" -size 256x256 xc:none -draw "$(grep -v "^viewbox" "$here/tavro.mvg")" \
  -define png:exclude-chunks=date,time "PNG32:$work/256.png"
for size in 128 64 48 32 16; do
  "$convert" "$work/256.png" -filter Lanczos -resize "${size}x${size}" \
    -define png:exclude-chunks=date,time "PNG32:$work/$size.png"
done
# Bitmap entries for the small sizes, taken from an .ico ImageMagick writes.
"$convert" "$work/48.png" "$work/32.png" "$work/16.png" "$work/small.ico"
python3 - "$work" "$here/tavro.ico" <<'PY'
import struct, sys
work, out = sys.argv[1], sys.argv[2]
def entries(path):
    data = open(path, "rb").read()
    count = struct.unpack_from("<HHH", data)[2]
    for i in range(count):
        w, h, colors, _, planes, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        yield (w, h, colors, planes, bits, data[offset:offset + size])
images = []
for size in (256, 128, 64):
    png = open("%s/%d.png" % (work, size), "rb").read()
    images.append((size % 256, size % 256, 0, 1, 32, png))
images += list(entries(work + "/small.ico"))
header = struct.pack("<HHH", 0, 1, len(images))
offset = 6 + 16 * len(images)
table, blobs = b"", b""
for w, h, colors, planes, bits, blob in images:
    table += struct.pack("<BBBBHHII", w, h, colors, 0, planes, bits, len(blob), offset + len(blobs))
    blobs += blob
open(out, "wb").write(header + table + blobs)
PY
echo "wrote $here/tavro.ico"
