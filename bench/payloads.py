# Payload files for the benchmark: plain text with CR LF line ends of exact sizes, and the framed
# byte stream the program would send for each, so a plain TCP peer can send the very same bytes.
import hashlib
import os
import random
import struct

BLOCK_SIZE = 1 << 20
_WORDS = (b"parcel", b"volet", b"line", b"server", b"client", b"register", b"software", b"window",
          b"status", b"transfer", b"the", b"a", b"of", b"and", b"to", b"in", b"record", b"name",
          b"address", b"street", b"city", b"licence", b"serial", b"1994", b"42", b"0x1f", b"id=7",
          b"Tamsk", b"OK", b"connection", b"information", b"complete", b"retry", b"cancel")
_GENERATOR_VERSION = 2


def make_text_block(size, seed=1):
    """Exactly size bytes of words in lines of 0 to about 120 characters, each ended by CR LF.

    No NUL, Ctrl-Z or lone CR appears, so text-mode reading only turns each CR LF into LF.
    A block of at least two bytes ends with CR LF, so repeated blocks translate block by block."""
    rng = random.Random(seed)
    out = bytearray()
    while len(out) < size:
        room = size - len(out)
        if room <= 2:
            out += b"\r\n"[-room:] if room == 2 else b"x"
            break
        target = min(rng.randint(0, 120), room - 2)
        line = bytearray()
        while len(line) < target:
            if line:
                line += b" "
            line += rng.choice(_WORDS)
        del line[target:]
        # A line cut inside a word may end in a space; that is still plain text.
        out += line + b"\r\n"
    return bytes(out[:size])


def translate(data):
    """What text-mode reading delivers for bytes made by make_text_block."""
    return data.replace(b"\r\n", b"\n")


def frame(client_id, payload_length):
    """The words around a payload: (head, tail) with the identifier, {1, L} and {0, 0}."""
    head = struct.pack("<iII", client_id, 1, payload_length)
    tail = struct.pack("<II", 0, 0)
    return head, tail


class Payload:
    """A text file of a given size and its framed, translated twin, both under directory."""

    def __init__(self, directory, size, client_id, seed=1):
        self.size = size
        self.client_id = client_id
        self.seed = seed
        self.path = os.path.join(directory, "payload-%s.txt" % size_label(size).lower())
        self.framed_path = os.path.join(directory, "framed-%s.bin" % size_label(size).lower())
        self.payload_length = None  # L, the translated length
        self.sha256 = None  # of the L payload bytes, as the receiver digests them

    def _stamp(self):
        return "%d %d %d %d\n" % (_GENERATOR_VERSION, self.size, self.seed, self.client_id)

    def ensure(self):
        """Writes both files unless an earlier run left matching ones; returns self."""
        stamp_path = self.path + ".stamp"
        try:
            with open(stamp_path) as f:
                fields = f.read().split("|")
            if (fields[0] == self._stamp() and os.path.getsize(self.path) == self.size
                    and os.path.getsize(self.framed_path) == int(fields[1]) + 20):
                self.payload_length = int(fields[1])
                self.sha256 = fields[2]
                return self
        except (OSError, IndexError, ValueError):
            pass
        if os.path.exists(stamp_path):
            os.remove(stamp_path)
        self.payload_length, self.sha256 = self._write()
        # Written last: files from an interrupted run have no stamp and are made again.
        with open(stamp_path, "w") as f:
            f.write("%s|%d|%s" % (self._stamp(), self.payload_length, self.sha256))
        return self

    def _write(self):
        full, rest = divmod(self.size, BLOCK_SIZE)
        block = make_text_block(BLOCK_SIZE, self.seed) if full else b""
        tail = make_text_block(rest, self.seed + 1) if rest else b""
        block_t, tail_t = translate(block), translate(tail)
        length = full * len(block_t) + len(tail_t)
        head, trailer = frame(self.client_id, length)
        digest = hashlib.sha256()
        with open(self.path, "wb") as text, open(self.framed_path, "wb") as framed:
            framed.write(head)
            for _ in range(full):
                text.write(block)
                framed.write(block_t)
                digest.update(block_t)
            text.write(tail)
            framed.write(tail_t)
            digest.update(tail_t)
            framed.write(trailer)
        return length, digest.hexdigest()

    def remove(self):
        for path in (self.path, self.framed_path, self.path + ".stamp"):
            if os.path.exists(path):
                os.remove(path)


def parse_size(text):
    """'64M' -> 67108864; K, M and G are binary multiples."""
    text = text.strip().upper()
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    if text and text[-1] in units:
        return int(text[:-1]) * units[text[-1]]
    return int(text)


def size_label(size):
    for unit, scale in (("G", 1 << 30), ("M", 1 << 20), ("K", 1 << 10)):
        if size >= scale and size % scale == 0:
            return "%d%s" % (size // scale, unit)
    return "%dB" % size


def human_size(size):
    """'1 GiB', '64 MiB', '512 B' for tables and plots."""
    label = size_label(size)
    return label[:-1] + " " + label[-1] + "iB" if label[-1] in "KMG" else label[:-1] + " B"
