#!/usr/bin/env python3
"""Draws the dialog's icon, a yellow lightning bolt on a rounded dark-blue square, as vector
shapes and writes it as PNG at 16, 32, 48 and 256 pixels beside this file (the Linux icons), and
as the Windows icon of both programs, src/app/quillon.ico: 16, 24, 32, 48 and 256 pixels in 32-bit
colour (the 256-pixel image PNG-compressed, the others as bitmaps with their mask).

    packaging/icons/make_icons.py

The PNGs are committed, so the build needs neither this script nor Python. Python 3 and zlib
only; the output is the same byte for byte on every run.
"""

import math
import os
import struct
import zlib

SIZES = (16, 32, 48, 256)
ICO_SIZES = (16, 24, 32, 48, 256)

# The design on a 32-unit square, as in src/app/gui/quillon_32.xpm.
BORDER = (0x0B, 0x1A, 0x33)
UPPER = (0x2A, 0x4D, 0x86)
LOWER = (0x1F, 0x3A, 0x68)
BOLT = (0xFF, 0xD2, 0x1F)
BOLT_EDGE = (0xB8, 0x78, 0x00)
CORNER_RADIUS = 4.0
BORDER_WIDTH = 1.0
SPLIT_Y = 16.0  # the lower, darker half starts here
BOLT_OUTLINE = (
    (18.0, 2.0), (23.0, 2.0), (17.5, 11.0), (25.0, 11.0), (19.5, 18.5),
    (12.0, 28.5), (14.5, 18.5), (7.0, 18.5),
)
BOLT_EDGE_WIDTH = 1.0


def inside_rounded_square(x, y, inset):
    """Whether (x, y) lies inside the rounded square [0, 32] shrunk by `inset`."""
    lo, hi = inset, 32.0 - inset
    r = max(CORNER_RADIUS - inset, 0.0)
    if not (lo <= x <= hi and lo <= y <= hi):
        return False
    cx = min(max(x, lo + r), hi - r)
    cy = min(max(y, lo + r), hi - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def inside_polygon(x, y, points):
    inside = False
    n = len(points)
    for i in range(n):
        (x1, y1), (x2, y2) = points[i], points[(i + 1) % n]
        if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
            inside = not inside
    return inside


def distance_to_outline(x, y, points):
    best = math.inf
    n = len(points)
    for i in range(n):
        (x1, y1), (x2, y2) = points[i], points[(i + 1) % n]
        dx, dy = x2 - x1, y2 - y1
        t = max(0.0, min(1.0, ((x - x1) * dx + (y - y1) * dy) / (dx * dx + dy * dy)))
        best = min(best, math.hypot(x - (x1 + t * dx), y - (y1 + t * dy)))
    return best


def sample(x, y, scale):
    """The colour at design point (x, y), or None outside the square. The border keeps at
    least one pixel's width, so the 16-pixel icon still shows it."""
    border = max(BORDER_WIDTH, 1.0 / scale)
    if not inside_rounded_square(x, y, 0.0):
        return None
    if not inside_rounded_square(x, y, border):
        return BORDER
    if inside_polygon(x, y, BOLT_OUTLINE):
        return BOLT_EDGE if distance_to_outline(x, y, BOLT_OUTLINE) < BOLT_EDGE_WIDTH else BOLT
    return UPPER if y < SPLIT_Y else LOWER


def render(size):
    """RGBA rows; each pixel averages a grid of samples (straight alpha)."""
    scale = size / 32.0
    grid = 4 if size <= 48 else 3
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            r = g = b = covered = 0
            for sy in range(grid):
                for sx in range(grid):
                    colour = sample((px + (sx + 0.5) / grid) / scale,
                                    (py + (sy + 0.5) / grid) / scale, scale)
                    if colour is not None:
                        r, g, b, covered = r + colour[0], g + colour[1], b + colour[2], covered + 1
            if covered == 0:
                row += bytes(4)
            else:
                row += bytes((round(r / covered), round(g / covered), round(b / covered),
                              round(255 * covered / (grid * grid))))
        rows.append(bytes(row))
    return rows


def png(size, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\x00" + row for row in rows)  # filter type 0 on every row
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def bitmap(size, rows):
    """A 32-bit icon image: the header (double height: colours and mask), BGRA rows bottom-up,
    then the 1-bit mask (set where the pixel is transparent), each row padded to 32 bits."""
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    colours = b"".join(bytes(b for px in range(size) for b in (row[4 * px + 2], row[4 * px + 1],
                                                               row[4 * px], row[4 * px + 3]))
                       for row in reversed(rows))
    stride = (size + 31) // 32 * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(stride)
        for px in range(size):
            if row[4 * px + 3] == 0:
                bits[px // 8] |= 0x80 >> (px % 8)
        mask += bytes(bits)
    return header + colours + mask


def ico(images):
    """An icon file of (size, data) images."""
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, data in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return directory + entries + b"".join(data for _, data in images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for size in SIZES:
        path = os.path.join(here, "quillon-reconfigurator-%d.png" % size)
        with open(path, "wb") as out:
            out.write(png(size, render(size)))
        print(path)
    images = [(size, png(size, render(size)) if size == 256 else bitmap(size, render(size)))
              for size in ICO_SIZES]
    path = os.path.join(here, "..", "..", "src", "app", "quillon.ico")
    with open(path, "wb") as out:
        out.write(ico(images))
    print(os.path.normpath(path))


if __name__ == "__main__":
    main()
