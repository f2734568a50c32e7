"""The application manifest as the loader finds it: read from parvolet.exe's own resource section
(the file named by PARVOLET_EXE), not from the source, so a second manifest added by the link or a
resource that never made it into the executable is caught."""
import os
import struct
import unittest
import xml.etree.ElementTree as ElementTree

RT_MANIFEST = 24
CREATEPROCESS_MANIFEST_RESOURCE_ID = 1

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"

SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "10 and 11",
}


class PeResources:
    """The resource tree of a PE file: {type id: {name id: {language: bytes}}}; named entries
    are kept under their name string."""

    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        self.rva, _ = struct.unpack_from("<II", data, directories + 2 * 8)
        self.sections = []
        for i in range(sections):
            header = optional + optional_size + 40 * i
            size, address, raw_size, raw_offset = struct.unpack_from("<IIII", data, header + 8)
            self.sections.append((address, max(size, raw_size), raw_offset))
        if self.rva == 0:  # no resource section at all
            self.tree = {}
            return
        self.base = self.offset(self.rva)
        self.tree = self.directory(0, 3)

    def offset(self, rva):
        for address, size, raw in self.sections:
            if address <= rva < address + size:
                return raw + rva - address
        raise ValueError("address %#x is in no section" % rva)

    def name(self, value):
        if not value & 0x80000000:
            return value
        at = self.base + (value & 0x7FFFFFFF)
        length = struct.unpack_from("<H", self.data, at)[0]
        return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")

    def directory(self, at, levels):
        named, numbered = struct.unpack_from("<HH", self.data, self.base + at + 12)
        entries = {}
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", self.data, self.base + at + 16 + 8 * i)
            key = self.name(name)
            if key in entries:
                raise ValueError("resource %r listed twice" % (key,))
            if target & 0x80000000:
                entries[key] = self.directory(target & 0x7FFFFFFF, levels - 1)
            else:
                rva, size = struct.unpack_from("<II", self.data, self.base + target)
                start = self.offset(rva)
                entries[key] = self.data[start:start + size]
        return entries


class EmbeddedManifest(unittest.TestCase):
    def test_one_manifest_asking_for_no_elevation_classic_controls_and_dpi_scaling(self):
        with open(os.environ["PARVOLET_EXE"], "rb") as exe:
            resources = PeResources(exe.read()).tree

        # Exactly one manifest, under the number the loader reads for a process, in one language.
        self.assertIn(RT_MANIFEST, resources)
        self.assertEqual(list(resources[RT_MANIFEST]), [CREATEPROCESS_MANIFEST_RESOURCE_ID])
        languages = resources[RT_MANIFEST][CREATEPROCESS_MANIFEST_RESOURCE_ID]
        self.assertEqual(len(languages), 1, "manifest languages: %r" % list(languages))
        text = next(iter(languages.values()))
        root = ElementTree.fromstring(text)
        self.assertEqual(root.tag, ASM_V1 + "assembly")
        self.assertEqual(root.get("manifestVersion"), "1.0")

        levels = root.findall(".//%srequestedExecutionLevel" % ASM_V3)
        self.assertEqual([(e.get("level"), e.get("uiAccess")) for e in levels],
                         [("asInvoker", "false")])

        path = ".//%sapplication/%ssupportedOS" % (COMPATIBILITY, COMPATIBILITY)
        found = [e.get("Id") for e in root.findall(path)]
        self.assertEqual(sorted(found), sorted(SUPPORTED_OS),
                         "missing: %r" % [SUPPORTED_OS[g] for g in SUPPORTED_OS if g not in found])

        settings = root.find("%sapplication/%swindowsSettings" % (ASM_V3, ASM_V3))
        self.assertIsNotNone(settings)
        self.assertEqual(settings.findtext(SETTINGS_2005 + "dpiAware"), "true")
        self.assertEqual(settings.findtext(SETTINGS_2016 + "dpiAwareness"), "system")

        # Classic controls: no dependency on any side-by-side assembly, common controls 6 least.
        self.assertEqual(root.findall(".//%sdependency" % ASM_V1), [])
        self.assertNotIn(b"Common-Controls", text)


if __name__ == "__main__":
    unittest.main()
