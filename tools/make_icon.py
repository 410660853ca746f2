#!/usr/bin/env python3
"""Writes the program icon (resource ICON 128), resources/kdx4610_update.ico.

A chip outline with a downward arrow (firmware going into the chip), drawn at every size
Windows picks from up to 200 % scaling (16 to 64 pixels as 32-bit images with an alpha
channel and an AND mask; 256 pixels as PNG, as Windows stores that size). The output is
deterministic: running this again gives the same bytes.

  usage: make_icon.py [OUTPUT]   (default: resources/kdx4610_update.ico beside this tool)
"""
import os
import struct
import sys
import zlib

SIZES = (16, 20, 24, 32, 40, 48, 64, 256)
PNG_FROM = 256  # sizes from this one up are stored as PNG
BODY = (0x2E, 0x5C, 0x8A, 0xFF)   # chip body (RGBA)
PIN = (0xB0, 0xB8, 0xC0, 0xFF)    # chip pins
ARROW = (0xFF, 0xFF, 0xFF, 0xFF)  # the arrow
CLEAR = (0, 0, 0, 0)


def pixel(size, x, y):
    """The colour at (x, y), y counted from the top, on a 16-unit grid scaled to size."""
    u = x * 16.0 / size + 8.0 / size
    v = y * 16.0 / size + 8.0 / size
    if 3 <= u < 13 and 3 <= v < 13:
        # Arrow: a shaft from the top of the body and a head pointing down.
        if 7 <= u < 9 and 4 <= v < 9:
            return ARROW
        if 9 <= v < 12 and abs(u - 8) < (12 - v) * 1.2:
            return ARROW
        return BODY
    # Pins on all four sides, two units apart.
    in_side_x = 3 <= u < 13 and (1 <= v < 3 or 13 <= v < 15)
    in_side_y = 3 <= v < 13 and (1 <= u < 3 or 13 <= u < 15)
    if in_side_x and int(u) % 2 == 0:
        return PIN
    if in_side_y and int(v) % 2 == 0:
        return PIN
    return CLEAR


def image(size):
    """One icon image: BITMAPINFOHEADER, BGRA rows bottom-up, 1-bit AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    for y in reversed(range(size)):
        row_mask = bytearray(mask_stride)
        for x in range(size):
            r, g, b, a = pixel(size, x, y)
            colour += bytes((b, g, r, a))
            if a == 0:
                row_mask[x // 8] |= 0x80 >> (x % 8)
        mask += row_mask
    return header + bytes(colour) + bytes(mask)


def png(size):
    """One icon image as PNG: 8-bit RGBA rows top-down, no filter."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + bytes(c for x in range(size) for c in pixel(size, x, y)) for y in range(size))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9))
            + chunk(b"IEND", b""))


def icon_file():
    images = [png(s) if s >= PNG_FROM else image(s) for s in SIZES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    return bytes(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources", "kdx4610_update.ico")
    with open(path, "wb") as f:
        f.write(icon_file())


if __name__ == "__main__":
    main()
