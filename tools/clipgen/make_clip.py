#!/usr/bin/env python3
"""Draws the progress dialog's animation and writes it as an 80 x 80 RLE8 AVI: sheets of paper
fly from a computer into a turning globe, three sheets in a seamless 12-second loop."""

import math
import os
import struct
import sys

WIDTH = 80
HEIGHT = 80
FRAMES = 180
RATE = 15                      # frames a second; 180 frames make the 12-second loop
TRIP = 60                      # frames per sheet: three sheets a loop
MICROSECONDS_PER_FRAME = 66666

# Buffer sizes and rate the headers promise; raised at build time if any frame outgrows them.
STREAM_BUFFER = 6400
MAIN_BUFFER = 32768
MAX_BYTES_PER_SECOND = 153600
# The format's image size: room for any RLE8 frame of this size (the worst is about 6.8 KB).
IMAGE_SIZE = 12800

AVIF_HASINDEX = 0x10
AVIIF_KEYFRAME = 0x10
BI_RLE8 = 1

# Palette indices of the picture.
(BACK, FLOOR, OUTLINE, CASE, CASE_DARK, SCREEN, SCREEN_TEXT, PAPER, INK, OCEAN, OCEAN_DARK,
 LAND, LAND_DARK, SHINE, SHADOW, TRAIL) = range(16)

COLOURS = [
    (236, 240, 246),  # BACK
    (216, 222, 232),  # FLOOR
    (40, 44, 52),     # OUTLINE
    (196, 198, 202),  # CASE
    (132, 136, 146),  # CASE_DARK
    (24, 64, 140),    # SCREEN
    (120, 184, 255),  # SCREEN_TEXT
    (255, 255, 255),  # PAPER
    (110, 120, 150),  # INK
    (40, 110, 210),   # OCEAN
    (24, 70, 150),    # OCEAN_DARK
    (60, 170, 80),    # LAND
    (34, 112, 54),    # LAND_DARK
    (190, 220, 255),  # SHINE
    (196, 202, 214),  # SHADOW
    (150, 164, 196),  # TRAIL
]


def palette():
    """The 256 colours of the clip. Entries past the picture's own are a grey ramp, so every
    index a decoder may meet has a defined colour."""
    entries = list(COLOURS)
    while len(entries) < 256:
        level = len(entries)
        entries.append((level, level, level))
    return entries


class Canvas:
    """Palette indices, top row first."""

    def __init__(self, colour):
        self.rows = [bytearray([colour]) * WIDTH for _ in range(HEIGHT)]

    def put(self, x, y, colour):
        if 0 <= x < WIDTH and 0 <= y < HEIGHT:
            self.rows[y][x] = colour

    def fill(self, x0, y0, x1, y1, colour):
        """Fills the rectangle with corners (x0, y0) inclusive and (x1, y1) exclusive."""
        for y in range(max(y0, 0), min(y1, HEIGHT)):
            for x in range(max(x0, 0), min(x1, WIDTH)):
                self.rows[y][x] = colour

    def box(self, x0, y0, x1, y1, inside, edge=OUTLINE):
        self.fill(x0, y0, x1, y1, edge)
        self.fill(x0 + 1, y0 + 1, x1 - 1, y1 - 1, inside)

    def pixels(self):
        return [bytes(row) for row in self.rows]


# Screen text: line lengths cycle with a period that divides the loop, so the scroll is seamless.
SCREEN_LINES = [11, 7, 10, 5, 12, 8, 11, 6, 9, 12, 5, 10]
SCROLL_FRAMES = 5              # one pixel of scroll every five frames: 36 pixels a loop


def draw_computer(canvas, frame):
    canvas.fill(10, 65, 38, 67, SHADOW)
    canvas.box(12, 33, 35, 53, CASE)
    canvas.fill(13, 51, 34, 52, CASE_DARK)
    canvas.box(15, 36, 32, 50, SCREEN)
    scroll = frame // SCROLL_FRAMES
    for y in range(37, 49):
        position = y - 37 + scroll
        if position % 3 == 0:
            length = SCREEN_LINES[(position // 3) % len(SCREEN_LINES)]
            canvas.fill(18, y, 18 + length, y + 1, SCREEN_TEXT)
    canvas.box(20, 53, 27, 56, CASE_DARK)
    canvas.box(16, 55, 31, 59, CASE)
    canvas.box(12, 60, 36, 65, CASE)
    for x in range(14, 35, 3):
        canvas.put(x, 62, CASE_DARK)


GLOBE_X = 57.5
GLOBE_Y = 42.0
GLOBE_RADIUS = 11.5

# Continents as caps on the sphere: (latitude, longitude, angular radius), in radians.
CONTINENTS = [
    (0.55, 0.0, 0.45), (0.1, 0.6, 0.35), (-0.45, 0.3, 0.42), (0.35, 2.2, 0.55),
    (-0.3, 2.7, 0.35), (0.65, 4.0, 0.5), (-0.2, 4.5, 0.45), (0.05, 5.5, 0.3),
]
_CAPS = [((math.cos(lat) * math.sin(lon), math.sin(lat), math.cos(lat) * math.cos(lon)),
          math.cos(radius)) for lat, lon, radius in CONTINENTS]
_LIGHT = (-0.5 / 0.9958, -0.6 / 0.9958, 0.62 / 0.9958)


def draw_globe(canvas, frame):
    canvas.fill(46, 65, 70, 67, SHADOW)
    canvas.box(55, 53, 60, 60, CASE_DARK)
    canvas.box(49, 59, 66, 63, CASE)
    turn = 2.0 * math.pi * frame / FRAMES
    cos_t, sin_t = math.cos(turn), math.sin(turn)
    for y in range(int(GLOBE_Y - GLOBE_RADIUS) - 1, int(GLOBE_Y + GLOBE_RADIUS) + 2):
        for x in range(int(GLOBE_X - GLOBE_RADIUS) - 1, int(GLOBE_X + GLOBE_RADIUS) + 2):
            nx = (x + 0.5 - GLOBE_X) / GLOBE_RADIUS
            ny = (y + 0.5 - GLOBE_Y) / GLOBE_RADIUS
            distance = math.hypot(nx, ny)
            if distance > 1.0:
                continue
            if distance > 1.0 - 1.0 / GLOBE_RADIUS:
                canvas.put(x, y, OUTLINE)
                continue
            nz = math.sqrt(1.0 - distance * distance)
            # Turn the surface point back by the globe's rotation to find what lies under it.
            sx = nx * cos_t - nz * sin_t
            sz = nx * sin_t + nz * cos_t
            sy = -ny
            land = any(sx * cx + sy * cy + sz * cz > limit for (cx, cy, cz), limit in _CAPS)
            light = nx * _LIGHT[0] + ny * _LIGHT[1] + nz * _LIGHT[2]
            if light > 0.94:
                colour = SHINE
            elif light < 0.3:
                colour = LAND_DARK if land else OCEAN_DARK
            else:
                colour = LAND if land else OCEAN
            canvas.put(x, y, colour)


# The sheet's flight: a quadratic curve from the screen over the top into the globe.
FLIGHT_START = (23.5, 43.0)
FLIGHT_PEAK = (40.0, -4.0)
FLIGHT_END = (57.5, 36.0)
EMERGE_FRAMES = 8              # the sheet grows out of the screen
FLIGHT_FRAMES = 40
SINK_FRAMES = 8                # the sheet shrinks into the globe; the rest of a trip is a pause


def flight_point(u):
    a = (1 - u) * (1 - u)
    b = 2 * (1 - u) * u
    c = u * u
    return (a * FLIGHT_START[0] + b * FLIGHT_PEAK[0] + c * FLIGHT_END[0],
            a * FLIGHT_START[1] + b * FLIGHT_PEAK[1] + c * FLIGHT_END[1])


def draw_sheet(canvas, cx, cy, scale):
    width = max(2, round(9 * scale))
    height = max(2, round(11 * scale))
    x0 = round(cx - width / 2)
    y0 = round(cy - height / 2)
    canvas.box(x0, y0, x0 + width, y0 + height, PAPER)
    if width >= 6:
        fold = width // 3
        for i in range(fold):
            for j in range(fold - i):
                canvas.put(x0 + width - 1 - j, y0 + i, BACK if j < fold - i - 1 else OUTLINE)
            canvas.put(x0 + width - fold + i, y0 + i, OUTLINE)
    if height >= 7:
        for y in range(y0 + 3, y0 + height - 2, 2):
            canvas.fill(x0 + 2, y, x0 + width - 2, y + 1, INK)


def draw_trip(canvas, t):
    if t < EMERGE_FRAMES:
        draw_sheet(canvas, FLIGHT_START[0], FLIGHT_START[1], 0.3 + 0.7 * (t + 1) / EMERGE_FRAMES)
        return
    t -= EMERGE_FRAMES
    if t < FLIGHT_FRAMES:
        u = (t + 1) / FLIGHT_FRAMES
        dots = 16
        for k in range(1, dots):
            if k / dots < u - 0.08:
                x, y = flight_point(k / dots)
                canvas.put(round(x), round(y), TRAIL)
        x, y = flight_point(u)
        draw_sheet(canvas, x, y, 1.0)
        return
    t -= FLIGHT_FRAMES
    if t < SINK_FRAMES:
        draw_sheet(canvas, FLIGHT_END[0], FLIGHT_END[1] + t, 1.0 - (t + 1) / (SINK_FRAMES + 1))


def render_frame(frame):
    """The picture of one frame as HEIGHT rows of palette indices, top row first."""
    canvas = Canvas(BACK)
    canvas.fill(0, 59, WIDTH, HEIGHT, FLOOR)
    draw_computer(canvas, frame)
    draw_globe(canvas, frame)
    draw_trip(canvas, frame % TRIP)
    return canvas.pixels()


def encode_row(row):
    """One row in RLE8: runs of a repeated index as (count, index), mixed stretches as absolute
    runs (0, count, indices..., pad to a word). Absolute runs need three or more indices, so one
    or two odd ones out are written as runs of one."""
    out = bytearray()
    i = 0
    n = len(row)
    while i < n:
        run = 1
        while i + run < n and run < 255 and row[i + run] == row[i]:
            run += 1
        if run >= 2:
            out += bytes((run, row[i]))
            i += run
            continue
        # Collect a mixed stretch up to the next run worth its own code.
        end = i
        while end < n and end - i < 255:
            if end + 2 < n and row[end] == row[end + 1] == row[end + 2]:
                break
            end += 1
        literal = row[i:end]
        if len(literal) >= 3:
            out += bytes((0, len(literal))) + bytes(literal)
            if len(literal) % 2:
                out.append(0)
        else:
            for value in literal:
                out += bytes((1, value))
        i = end
    return bytes(out)


def encode_rle8(rows):
    """A whole bitmap, given top row first, in RLE8 order (bottom row first): an end-of-line code
    after each row but the last, which the end-of-bitmap code closes. The result is always an
    even number of bytes."""
    out = bytearray()
    bottom_up = list(reversed(rows))
    for index, row in enumerate(bottom_up):
        out += encode_row(row)
        out += b"\x00\x01" if index == len(bottom_up) - 1 else b"\x00\x00"
    return bytes(out)


def chunk(fourcc, data):
    padding = b"\x00" if len(data) % 2 else b""
    return fourcc + struct.pack("<I", len(data)) + data + padding


def riff_list(kind, *parts):
    return chunk(b"LIST", kind + b"".join(parts))


def info_list(*entries):
    return riff_list(b"INFO", *(chunk(tag, text.encode("ascii") + b"\x00") for tag, text in entries))


def build_avi(frames):
    """The whole RIFF file for the given encoded frames."""
    largest = max(len(f) for f in frames)
    stream_buffer = max(STREAM_BUFFER, (largest + 1023) // 1024 * 1024)
    main_buffer = max(MAIN_BUFFER, stream_buffer)
    max_rate = max(MAX_BYTES_PER_SECOND, largest * RATE)

    avih = struct.pack("<14I", MICROSECONDS_PER_FRAME, max_rate, 0, AVIF_HASINDEX, len(frames), 0,
                       1, main_buffer, WIDTH, HEIGHT, 0, 0, 0, 0)
    strh = struct.pack("<4s4sIHHIIIIIIIIhhhh", b"vids", b"RLE ", 0, 0, 0, 0, 1, RATE, 0,
                       len(frames), stream_buffer, 10000, 0, 0, 0, WIDTH, HEIGHT)
    colours = palette()
    strf = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 8, BI_RLE8, IMAGE_SIZE, 0, 0,
                       len(colours), 0)
    strf += b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in colours)
    header = riff_list(b"hdrl", chunk(b"avih", avih),
                       riff_list(b"strl", chunk(b"strh", strh), chunk(b"strf", strf)))
    about = info_list((b"ISFT", "Parvolet clip generator"))

    # Pad so that the frame list starts on a 2 KiB boundary of the file, as capture tools do.
    before = 12 + len(header) + len(about)
    junk_size = (-(before + 8)) % 2048
    junk = chunk(b"JUNK", bytes(junk_size))

    movi_parts = []
    index = bytearray()
    offset = 4                 # offsets count from the list's "movi" type code
    for data in frames:
        piece = chunk(b"00dc", data)
        index += struct.pack("<4sIII", b"00dc", AVIIF_KEYFRAME, offset, len(data))
        offset += len(piece)
        movi_parts.append(piece)
    movi = riff_list(b"movi", *movi_parts)
    idx1 = chunk(b"idx1", bytes(index))
    credits = info_list((b"INAM", "Sending"), (b"ICMT", "Progress loop, 12 seconds"))

    body = b"AVI " + header + about + junk + movi + idx1 + credits
    return b"RIFF" + struct.pack("<I", len(body)) + body


def make_clip():
    return build_avi([encode_rle8(render_frame(f)) for f in range(FRAMES)])


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_clip.py OUTPUT.avi\n")
        return 2
    data = make_clip()
    # Write beside the target and rename, so an interrupted build never leaves half a clip.
    temporary = argv[1] + ".tmp"
    with open(temporary, "wb") as out:
        out.write(data)
    os.replace(temporary, argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
