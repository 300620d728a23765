#!/usr/bin/env python3
"""Converts an uncompressed 24- or 32-bit .bmp (as the window driver writes
them) to a .png, with nothing but the standard library.

usage: bmp_to_png.py in.bmp out.png
"""

import struct
import sys
import zlib

BI_RGB = 0
BI_BITFIELDS = 3


def read_bmp(data):
    """Returns (width, height, rows of RGB bytes, top row first)."""
    if len(data) < 26 or data[:2] != b"BM":
        raise ValueError("not a BMP file")
    (pixel_offset,) = struct.unpack_from("<I", data, 10)
    (header_size,) = struct.unpack_from("<I", data, 14)
    if header_size < 40:
        raise ValueError("unsupported BMP header (size %d)" % header_size)
    width, height, planes, bits, compression = struct.unpack_from("<iiHHI", data, 18)
    if width <= 0 or height == 0 or planes != 1:
        raise ValueError("bad BMP dimensions")
    if bits not in (24, 32):
        raise ValueError("only 24- and 32-bit BMP files are supported, not %d-bit" % bits)
    if compression == BI_BITFIELDS and bits == 32:
        # Only the usual BGRX layout. The masks sit right after the first 40
        # header bytes, whether they belong to a longer header or follow it.
        masks = struct.unpack_from("<III", data, 54)
        if masks != (0x00FF0000, 0x0000FF00, 0x000000FF):
            raise ValueError("unsupported BMP bit fields")
    elif compression != BI_RGB:
        raise ValueError("compressed BMP files are not supported")

    top_down = height < 0
    height = abs(height)
    pixel_size = bits // 8
    stride = (width * pixel_size + 3) & ~3
    if pixel_offset + stride * height > len(data):
        raise ValueError("BMP pixel data is cut short")

    rows = []
    for y in range(height):
        source_row = y if top_down else height - 1 - y
        start = pixel_offset + source_row * stride
        row = data[start:start + width * pixel_size]
        rgb = bytearray(width * 3)
        # BMP stores blue, green, red (and an unused byte at 32 bits).
        rgb[0::3] = row[2::pixel_size]
        rgb[1::3] = row[1::pixel_size]
        rgb[2::3] = row[0::pixel_size]
        rows.append(bytes(rgb))
    return width, height, rows


def png_chunk(kind, payload):
    body = kind + payload
    return struct.pack(">I", len(payload)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def write_png(path, width, height, rows):
    # Filter type 0 on every row: plain, and small enough for screenshots.
    raw = b"".join(b"\x00" + row for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(png_chunk(b"IHDR", header))
        out.write(png_chunk(b"IDAT", zlib.compress(raw, 9)))
        out.write(png_chunk(b"IEND", b""))


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: bmp_to_png.py in.bmp out.png\n")
        return 2
    with open(argv[1], "rb") as source:
        data = source.read()
    try:
        width, height, rows = read_bmp(data)
    except ValueError as error:
        sys.stderr.write("%s: %s\n" % (argv[1], error))
        return 1
    write_png(argv[2], width, height, rows)
    print("width=%d" % width)
    print("height=%d" % height)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
