"""Checks the clip and icon generators: every frame decodes, with a decoder of its own, to the
picture that was drawn, and the RIFF structure and index are what players read."""

import random
import struct
import unittest

import make_clip
import make_icon


def decode_rle8(data, width, height):
    """Decodes an RLE8 bitmap into rows, top row first. Raises ValueError on anything a strict
    player would reject: pixels past a row, an unknown escape, no end-of-bitmap, trailing bytes."""
    rows = [bytearray(width) for _ in range(height)]
    x = y = 0                           # y counts from the bottom row
    i = 0
    while True:
        if i + 2 > len(data):
            raise ValueError("stream ends without end-of-bitmap")
        count, value = data[i], data[i + 1]
        i += 2
        if count:
            if y >= height or x + count > width:
                raise ValueError("run past the row at %d" % i)
            rows[y][x:x + count] = bytes([value]) * count
            x += count
        elif value == 0:
            x, y = 0, y + 1
        elif value == 1:
            if i != len(data):
                raise ValueError("bytes after end-of-bitmap")
            break
        elif value == 2:
            x, y = x + data[i], y + data[i + 1]
            i += 2
        else:
            if y >= height or x + value > width or i + value > len(data):
                raise ValueError("absolute run past the row at %d" % i)
            rows[y][x:x + value] = data[i:i + value]
            x += value
            i += value + (value & 1)
    return [bytes(row) for row in reversed(rows)]


def chunks(data, begin, end):
    """(code, list type or None, contents offset, size) of each chunk in [begin, end)."""
    at = begin
    while at + 8 <= end:
        code = data[at:at + 4]
        size = struct.unpack_from("<I", data, at + 4)[0]
        kind = data[at + 8:at + 12] if code in (b"RIFF", b"LIST") else None
        yield code, kind, at + 8, size
        at += 8 + size + (size & 1)


class Rle8Encoder(unittest.TestCase):
    def test_rows_survive_the_round_trip(self):
        generator = random.Random(7)
        cases = {
            "one colour": [5] * 80,
            "alternating": [1, 2] * 40,
            "pairs and singles": [3, 3, 4, 5, 5, 6, 7, 7, 7, 8] * 8,
            "literal of one at the end": [9] * 79 + [1],
            "literal of two at the end": [9] * 78 + [1, 2],
            "odd literal": [1, 2, 3] + [0] * 77,
            "runs longer than 255": [4] * 300 + [6] * 300,
            "literal longer than 255": [i % 251 for i in range(600)],
            "noise": [generator.randrange(4) for _ in range(80)],
        }
        for name, row in cases.items():
            with self.subTest(name):
                rows = [bytes(row), bytes(reversed(row))]
                encoded = make_clip.encode_rle8(rows)
                self.assertEqual(len(encoded) % 2, 0)
                self.assertEqual(decode_rle8(encoded, len(row), 2), rows)

    def test_plain_stretches_compress(self):
        encoded = make_clip.encode_row(bytes([5] * 80))
        self.assertEqual(encoded, bytes([80, 5]))
        self.assertLess(len(make_clip.encode_row(bytes([4] * 300 + [6] * 300))), 12)


class Clip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.data = make_clip.make_clip()
        cls.parts = {}
        for code, kind, offset, size in chunks(cls.data, 12, len(cls.data)):
            cls.parts.setdefault(kind or code, []).append((offset, size))

    def test_one_whole_riff_file(self):
        top = list(chunks(self.data, 0, len(self.data)))
        self.assertEqual([(code, kind) for code, kind, _, _ in top], [(b"RIFF", b"AVI ")])
        self.assertEqual(top[0][3] + 8, len(self.data))

    def part(self, name):
        offset, size = self.parts[name][0]
        return offset, size

    def header(self):
        offset, size = self.part(b"hdrl")
        inner = {(kind or code): (o, s) for code, kind, o, s in chunks(self.data, offset + 4, offset + size)}
        stream_offset, stream_size = inner[b"strl"]
        stream = {code: (o, s) for code, _, o, s in
                  chunks(self.data, stream_offset + 4, stream_offset + stream_size)}
        avih = struct.unpack_from("<14I", self.data, inner[b"avih"][0])
        strh = struct.unpack_from("<4s4sIHHIIIIIIIIhhhh", self.data, stream[b"strh"][0])
        strf_offset, strf_size = stream[b"strf"]
        strf = struct.unpack_from("<IiiHHIIiiII", self.data, strf_offset)
        palette = self.data[strf_offset + 40:strf_offset + strf_size]
        return avih, strh, strf, palette

    def frames(self):
        offset, size = self.part(b"movi")
        return [(code, o, s) for code, _, o, s in chunks(self.data, offset + 4, offset + size)]

    def test_layout_of_the_file(self):
        order = [kind or code for code, kind, _, _ in chunks(self.data, 12, len(self.data))]
        self.assertEqual(order, [b"hdrl", b"INFO", b"JUNK", b"movi", b"idx1", b"INFO"])

    def test_headers(self):
        avih, strh, strf, palette = self.header()
        largest = max(size for _, _, size in self.frames())
        self.assertEqual(avih[0], 66666)
        self.assertGreaterEqual(avih[1], 15 * largest)
        self.assertEqual(avih[3] & 0x10, 0x10)
        self.assertEqual(avih[4], 180)
        self.assertEqual(avih[6], 1)
        self.assertEqual(avih[8:10], (80, 80))
        self.assertEqual(strh[:2], (b"vids", b"RLE "))
        self.assertEqual((strh[6], strh[7], strh[9], strh[11]), (1, 15, 180, 10000))
        self.assertEqual(strh[13:], (0, 0, 80, 80))
        self.assertEqual(strf[:7], (40, 80, 80, 1, 8, 1, 12800))
        # Buffers the headers promise hold the largest frame.
        self.assertGreaterEqual(strh[10], largest)
        self.assertGreaterEqual(avih[7], largest)
        self.assertEqual(len(palette), 4 * (strf[9] or 256))

    def test_every_frame_decodes_to_its_picture(self):
        _, _, strf, palette = self.header()
        colours = len(palette) // 4
        frames = self.frames()
        self.assertEqual(len(frames), 180)
        for number, (code, offset, size) in enumerate(frames):
            with self.subTest(frame=number):
                self.assertEqual(code, b"00dc")
                self.assertEqual(size % 2, 0)
                rows = decode_rle8(self.data[offset:offset + size], 80, 80)
                self.assertEqual(rows, make_clip.render_frame(number))
                self.assertLess(max(max(row) for row in rows), colours)

    def test_index_points_at_every_frame(self):
        offset, size = self.part(b"idx1")
        self.assertEqual(size, 180 * 16)
        movi_type = self.part(b"movi")[0]      # offsets count from the "movi" type code
        frames = self.frames()
        for number in range(180):
            code, flags, where, length = struct.unpack_from("<4sIII", self.data, offset + 16 * number)
            with self.subTest(entry=number):
                self.assertEqual(code, b"00dc")
                self.assertEqual(flags & 0x10, 0x10)
                self.assertEqual(self.data[movi_type + where:movi_type + where + 4], b"00dc")
                self.assertEqual(movi_type + where + 8, frames[number][1])
                self.assertEqual(length, frames[number][2])

    def test_picture_moves_and_loops_seamlessly(self):
        pictures = [make_clip.render_frame(n) for n in range(180)]
        for number in range(180):
            self.assertNotEqual(pictures[number], pictures[(number + 15) % 180], number)
        self.assertEqual(make_clip.render_frame(180), pictures[0])


class Icon(unittest.TestCase):
    def test_icon_file_holds_the_drawn_picture(self):
        picture = make_icon.render()
        data = make_icon.encode_icon(picture)
        self.assertEqual(struct.unpack_from("<HHH", data, 0), (0, 1, 1))
        entry = struct.unpack_from("<BBBBHHII", data, 6)
        self.assertEqual(entry, (32, 32, 16, 0, 1, 4, 744, 22))
        self.assertEqual(len(data), 22 + 744)
        header = struct.unpack_from("<IiiHHI", data, 22)
        self.assertEqual(header, (40, 32, 64, 1, 4, 0))
        image = data[22 + 40 + 64:22 + 40 + 64 + 512]
        mask = data[22 + 40 + 64 + 512:]
        for y in range(32):
            row = 31 - y                       # both bitmaps start with the bottom row
            for x in range(32):
                nibble = image[row * 16 + x // 2] >> (4 if x % 2 == 0 else 0) & 0xF
                clear = mask[row * 4 + x // 8] >> (7 - x % 8) & 1
                want = picture[y][x]
                # A clear pixel must be black in the image, or it tints the desktop behind it.
                self.assertEqual((clear, nibble), (1, 0) if want is None else (0, want), (x, y))


if __name__ == "__main__":
    unittest.main()
