#!/usr/bin/env python3
"""Draws the program's icon, a sheet of paper before a globe, and writes it as a .ico with one
32 x 32 image in 16 colours: 40-byte header, 16-entry palette, 512-byte image, 128-byte mask."""

import math
import os
import struct
import sys

SIZE = 32

# The standard 16-colour palette, so the icon looks the same on any display.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_GREEN, NAVY, SILVER, GREY, GREEN, BLUE, CYAN, WHITE = 0, 2, 4, 7, 8, 10, 12, 14, 15
CLEAR = None                   # no colour: the mask lets the desktop through

CONTINENTS = [(0.5, -0.3, 0.5), (-0.35, 0.1, 0.45), (0.2, 1.1, 0.4), (-0.1, -1.2, 0.35)]


def render():
    """The picture as SIZE rows (top first) of palette indices or CLEAR."""
    rows = [[CLEAR] * SIZE for _ in range(SIZE)]
    cx, cy, radius = 19.0, 13.0, 12.0
    caps = [((math.cos(a) * math.sin(o), math.sin(a), math.cos(a) * math.cos(o)), math.cos(r))
            for a, o, r in CONTINENTS]
    for y in range(SIZE):
        for x in range(SIZE):
            nx = (x + 0.5 - cx) / radius
            ny = (y + 0.5 - cy) / radius
            distance = math.hypot(nx, ny)
            if distance > 1.0:
                continue
            if distance > 1.0 - 1.0 / radius:
                rows[y][x] = BLACK
                continue
            nz = math.sqrt(1.0 - distance * distance)
            land = any(nx * px - ny * py + nz * pz > limit for (px, py, pz), limit in caps)
            light = -0.5 * nx - 0.6 * ny + 0.62 * nz
            if light > 0.975:
                rows[y][x] = CYAN
            elif land:
                rows[y][x] = GREEN if light > 0.45 else DARK_GREEN
            else:
                rows[y][x] = BLUE if light > 0.3 else NAVY

    # The sheet in front, lower left, with a folded corner and lines of writing.
    left, top, right, bottom = 2, 12, 17, 31
    fold = 5
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            if x - left > (right - left) - fold + (y - top):
                continue       # cut away by the fold
            edge = x in (left, right) or y in (top, bottom)
            rows[y][x] = BLACK if edge else WHITE
    for i in range(fold + 1):
        rows[top + i][right - fold + i] = BLACK
        rows[top + fold][right - fold + i] = BLACK
        rows[top + i][right - fold] = BLACK
        for x in range(right - fold + 1, right - fold + i):
            rows[top + i][x] = SILVER
    for y in range(top + 8, bottom - 1, 3):
        for x in range(left + 3, right - 2):
            rows[y][x] = GREY
    return rows


def encode_icon(rows):
    """The .ico file of one 4-bit image with its mask; both bitmaps bottom row first."""
    image = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        for x in range(0, SIZE, 2):
            hi = row[x] if row[x] is not CLEAR else 0
            lo = row[x + 1] if row[x + 1] is not CLEAR else 0
            image.append(hi << 4 | lo)
        bits = 0
        for x in range(SIZE):
            bits = bits << 1 | (1 if row[x] is CLEAR else 0)
        mask += struct.pack(">I", bits)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 4, 0, len(image) + len(mask),
                         0, 0, 0, 0)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    resource = header + colours + bytes(image) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(resource), 6 + 16)
    return directory + entry + resource


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_icon.py OUTPUT.ico\n")
        return 2
    temporary = argv[1] + ".tmp"
    with open(temporary, "wb") as out:
        out.write(encode_icon(render()))
    os.replace(temporary, argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
