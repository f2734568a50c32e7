# The payload files must be exactly the sizes asked for, and the framed twin exactly the bytes the
# program sends for them, or the comparison with the plain peer measures different work.
import hashlib
import os
import struct
import tempfile
import unittest

import payloads


class TextBlockTest(unittest.TestCase):
    def test_exact_sizes_and_line_ends(self):
        for size in (0, 1, 2, 3, 121, 4096, payloads.BLOCK_SIZE):
            with self.subTest(size=size):
                block = payloads.make_text_block(size, seed=3)
                self.assertEqual(len(block), size)
                self.assertNotIn(b"\0", block)
                self.assertNotIn(b"\x1a", block)
                # Every CR is half of a CR LF: translation only drops those CRs.
                self.assertEqual(block.count(b"\r"), block.count(b"\r\n"))
                if size >= 2:
                    self.assertTrue(block.endswith(b"\r\n"))

    def test_same_seed_same_text(self):
        self.assertEqual(payloads.make_text_block(5000, 7), payloads.make_text_block(5000, 7))
        self.assertNotEqual(payloads.make_text_block(5000, 7), payloads.make_text_block(5000, 8))


class PayloadFileTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)

    def test_framed_file_is_what_the_program_sends(self):
        # Two whole blocks and a tail: the translation must hold across the block seams.
        size = 2 * payloads.BLOCK_SIZE + 777
        payload = payloads.Payload(self.directory.name, size, client_id=-2).ensure()
        with open(payload.path, "rb") as f:
            text = f.read()
        with open(payload.framed_path, "rb") as f:
            framed = f.read()
        self.assertEqual(len(text), size)
        expected = text.replace(b"\r\n", b"\n")
        self.assertEqual(payload.payload_length, len(expected))
        self.assertEqual(framed[:12], struct.pack("<iII", -2, 1, len(expected)))
        self.assertEqual(framed[12:-8], expected)
        self.assertEqual(framed[-8:], bytes(8))
        self.assertEqual(payload.sha256, hashlib.sha256(expected).hexdigest())

    def test_reuses_matching_files_and_remakes_changed_ones(self):
        payload = payloads.Payload(self.directory.name, 5000, client_id=1).ensure()
        first = os.stat(payload.path).st_mtime_ns
        again = payloads.Payload(self.directory.name, 5000, client_id=1).ensure()
        self.assertEqual(os.stat(again.path).st_mtime_ns, first)
        self.assertEqual((again.payload_length, again.sha256), (payload.payload_length, payload.sha256))
        # A file cut short by an interrupted run must not be taken for a finished one.
        with open(payload.path, "r+b") as f:
            f.truncate(100)
        remade = payloads.Payload(self.directory.name, 5000, client_id=1).ensure()
        self.assertEqual(os.path.getsize(remade.path), 5000)
        # Another client id changes the framed bytes, so the files are written again.
        other = payloads.Payload(self.directory.name, 5000, client_id=9).ensure()
        with open(other.framed_path, "rb") as f:
            self.assertEqual(struct.unpack("<i", f.read(4))[0], 9)
        other.remove()
        self.assertFalse(os.path.exists(other.path) or os.path.exists(other.framed_path))


class SizeTextTest(unittest.TestCase):
    def test_round_trip(self):
        for text, size, label in (("1M", 1 << 20, "1 MiB"), ("64m", 64 << 20, "64 MiB"),
                                  ("1G", 1 << 30, "1 GiB"), ("4K", 4096, "4 KiB"), ("1000", 1000, "1000 B")):
            with self.subTest(text=text):
                self.assertEqual(payloads.parse_size(text), size)
                self.assertEqual(payloads.human_size(size), label)


if __name__ == "__main__":
    unittest.main()
