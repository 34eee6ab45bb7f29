#!/usr/bin/env python3
"""Draws the program icon as PNGs of the given sizes: the shapes of zelvora.svg (a blue hexagon
with a white play triangle, on a transparent background), with 4x4 supersampling for smooth edges.
Standard library only, so the build needs nothing beyond python3.

usage: make-icons.py OUTDIR SIZE...   writes OUTDIR/SIZExSIZE/apps/zelvora.png
"""
import math
import os
import struct
import sys
import zlib

BLUE = (50, 82, 143)
WHITE = (255, 255, 255)
# The same geometry as zelvora.svg, in a 256-unit square.
HEXAGON = [(128 + 120 * math.sin(math.radians(a)), 128 - 120 * math.cos(math.radians(a))) for a in range(0, 360, 60)]
TRIANGLE = [(100, 76), (100, 180), (190, 128)]


def inside(poly, x, y):
    """Even-odd rule."""
    hit = False
    for (x1, y1), (x2, y2) in zip(poly, poly[1:] + poly[:1]):
        if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
            hit = not hit
    return hit


def render(size):
    sub = 4
    scale = 256.0 / size
    rows = []
    for py in range(size):
        row = bytearray([0])  # filter: none
        for px in range(size):
            r = g = b = a = 0
            for sy in range(sub):
                for sx in range(sub):
                    x = (px + (sx + 0.5) / sub) * scale
                    y = (py + (sy + 0.5) / sub) * scale
                    if inside(TRIANGLE, x, y):
                        colour = WHITE
                    elif inside(HEXAGON, x, y):
                        colour = BLUE
                    else:
                        continue
                    r += colour[0]
                    g += colour[1]
                    b += colour[2]
                    a += 1
            if a:
                # Colour not premultiplied: the average of the covered samples.
                row += bytes((r // a, g // a, b // a, round(255 * a / (sub * sub))))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return rows


def png(size, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"".join(rows), 9))
            + chunk(b"IEND", b""))


def main():
    if len(sys.argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    out = sys.argv[1]
    for size in map(int, sys.argv[2:]):
        folder = os.path.join(out, "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "zelvora.png")
        with open(path + ".tmp", "wb") as f:
            f.write(png(size, render(size)))
        os.replace(path + ".tmp", path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
