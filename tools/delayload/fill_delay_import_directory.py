#!/usr/bin/env python3
"""Writes the delay-import entry of a linked PE image's data directory.

MinGW-w64's linker (GNU ld 2.40) links the descriptors of dlltool's delay-import libraries into the
image but leaves data directory entry 13 empty, so tools that list an image's delay-loaded DLLs
(and our own import check) would not see them. The linker's map tells where the descriptors are;
they lie back to back and the program ends them with a zero record. Usage:

    fill_delay_import_directory.py IMAGE MAP_FILE

Fails, changing nothing, when the descriptors are missing, not back to back, not ended by a zero
record, or do not name a DLL. Running it again gives the same bytes.
"""

import re
import struct
import sys

DELAY_IMPORT_ENTRY = 13
DESCRIPTOR_SIZE = 32  # eight 32-bit fields at either width
SYMBOL = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+_+DELAY_IMPORT_DESCRIPTOR_\w+\s*$")


def fail(message):
    sys.exit("fill_delay_import_directory: " + message)


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            fail("not a PE image")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            fail("not a PE image")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        self.optional = pe + 24
        magic = struct.unpack_from("<H", data, self.optional)[0]
        if magic == 0x10B:
            self.image_base = struct.unpack_from("<I", data, self.optional + 28)[0]
            directories = self.optional + 92
        elif magic == 0x20B:
            self.image_base = struct.unpack_from("<Q", data, self.optional + 24)[0]
            directories = self.optional + 108
        else:
            fail("unknown optional header 0x%x" % magic)
        count = struct.unpack_from("<I", data, directories)[0]
        if count <= DELAY_IMPORT_ENTRY:
            fail("the image has no delay-import directory entry")
        self.entry = directories + 4 + 8 * DELAY_IMPORT_ENTRY
        table = self.optional + optional_size
        self.sections = [struct.unpack_from("<8xIIII", data, table + 40 * i) for i in range(sections)]

    def offset(self, rva, length):
        """File offset of length bytes at rva, all inside one section's file data."""
        for size, address, raw_size, raw_pointer in self.sections:
            if address <= rva and rva + length <= address + min(size, raw_size):
                return raw_pointer + rva - address
        fail("RVA 0x%x is not in the file's data" % rva)

    def read(self, rva, length):
        start = self.offset(rva, length)
        return self.data[start:start + length]

    def dll_name(self, rva):
        start = self.offset(rva, 1)
        end = self.data.find(b"\0", start, start + 260)
        if end <= start:
            fail("a descriptor names no DLL")
        return self.data[start:end].decode("latin-1")


def checksum(data, checksum_at):
    """The PE image checksum: 16-bit words summed with end-around carry, the checksum field taken
    as zero, plus the file's length."""
    padded = bytes(data[:checksum_at]) + b"\0\0\0\0" + bytes(data[checksum_at + 4:])
    if len(padded) % 2:
        padded += b"\0"
    total = sum(struct.unpack("<%dH" % (len(padded) // 2), padded))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def main(image_path, map_path):
    with open(map_path, encoding="latin-1") as f:
        addresses = sorted({int(m.group(1), 16) for m in map(SYMBOL.match, f) if m})
    if not addresses:
        fail("no delay-import descriptor in %s" % map_path)
    with open(image_path, "rb") as f:
        image = Image(bytearray(f.read()))
    rvas = [address - image.image_base for address in addresses]
    first = rvas[0]
    if rvas != [first + DESCRIPTOR_SIZE * i for i in range(len(rvas))]:
        fail("the descriptors are not back to back: %s" % ", ".join("0x%x" % r for r in rvas))
    names = []
    for rva in rvas:
        fields = struct.unpack("<8I", image.read(rva, DESCRIPTOR_SIZE))
        if fields[0] != 1:
            fail("descriptor at 0x%x does not hold RVAs" % rva)
        names.append(image.dll_name(fields[1]))
    end = first + DESCRIPTOR_SIZE * len(rvas)
    if any(image.read(end, DESCRIPTOR_SIZE)):
        fail("no zero record ends the descriptors at 0x%x" % end)
    # The linker writes the image's checksum; it must still hold afterwards. Checking the old one
    # first shows that the sum is computed the way the linker computes it.
    checksum_at = image.optional + 64
    old_checksum = struct.unpack_from("<I", image.data, checksum_at)[0]
    if old_checksum not in (0, checksum(image.data, checksum_at)):
        fail("the image's checksum does not match its bytes")
    struct.pack_into("<II", image.data, image.entry, first, end + DESCRIPTOR_SIZE - first)
    if old_checksum:
        struct.pack_into("<I", image.data, checksum_at, checksum(image.data, checksum_at))
    with open(image_path, "r+b") as f:
        f.write(image.data)
    return names


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
