"""The type list section of the built library: the nineteen full names in
registration order, each NUL-terminated and padded to four bytes."""

import os
import struct
import unittest

LIBRARY = os.environ.get("PHY_LIBRARY", "")

NAMES = [
    "PhyBcm54980ChipConfig", "PhyBcm54980ChipConfigDir", "PhyBcm54980Config", "Event", "Count", "EventOrCount",
    "ConditionOrChanged", "ConditionStat", "EventStat", "CountStat", "EventOrCountStat", "ConditionOrCountStat",
    "ConditionOrChangedStat", "PhyBcm54980Stats", "PhyBcm54980Status", "PhyBcm54980ConfigDir",
    "PhyBcm54980StatusDir", "PhyBcm54980ConfigPtrDir", "PhyBcm54980StatusPtrDir",
]

SHF_WRITE, SHF_ALLOC = 0x1, 0x2


def sections(path):
    """Name, flags, alignment and contents of every section of an ELF64
    little-endian file."""
    data = open(path, "rb").read()
    assert data[:4] == b"\x7fELF" and data[4] == 2 and data[5] == 1, "not an ELF64 little-endian file"
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)
    headers = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    strtab = headers[shstrndx]
    names = data[strtab[4]:strtab[4] + strtab[5]]
    out = {}
    for name_off, _type, flags, _addr, offset, size, _link, _info, align, _ent in headers:
        name = names[name_off:names.index(b"\0", name_off)].decode()
        out[name] = (flags, align, data[offset:offset + size])
    return out


class TypeSectionTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(LIBRARY, "PHY_LIBRARY names the built library")
        self.section = sections(LIBRARY).get(".zef.type")
        self.assertIsNotNone(self.section, "the library has a .zef.type section")

    def test_names_in_registration_order_padded_to_four_bytes(self):
        _flags, _align, data = self.section
        expected = bytearray()
        for i, name in enumerate(NAMES):
            expected += b"Hardware::Phy::" + name.encode() + b"\0"
            if i + 1 < len(NAMES):
                expected += b"\0" * (-len(expected) % 4)
        self.assertEqual(bytes(data), bytes(expected))
        self.assertEqual(len(data), 643)
        self.assertTrue(data.startswith(b"Hardware::Phy::PhyBcm54980ChipConfig\0\0\0\0"))

    def test_allocated_writable_and_aligned_to_four(self):
        flags, align, _data = self.section
        self.assertTrue(flags & SHF_ALLOC)
        self.assertTrue(flags & SHF_WRITE)
        self.assertEqual(align, 4)


if __name__ == "__main__":
    unittest.main()
