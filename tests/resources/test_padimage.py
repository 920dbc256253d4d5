#!/usr/bin/env python3
"""Checks the image padding step (padimage IMAGE LENGTH) on small PE images
made here, and on a copy of the built launcher.

    test_padimage.py PADIMAGE LAUNCHER [unittest options]
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from sfxcontainer import IMAGE_LENGTH  # noqa: E402

PADIMAGE = None
LAUNCHER = None

FILE_ALIGNMENT = 0x200
SECTION_ALIGNMENT = 0x1000


def make_pe(sections, trailing=b""):
    """A minimal PE32 image: headers in the first 0x200 bytes, then each
    section's raw data.  SECTIONS: [(name, virtual size, raw size)], laid
    out in order, each raw block filled with a distinct byte."""
    headers = bytearray(FILE_ALIGNMENT)
    headers[0:2] = b"MZ"
    struct.pack_into("<I", headers, 0x3C, 0x40)
    headers[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", headers, 0x44, 0x014C, len(sections), 0, 0, 0, 224, 0x0102)
    opt = 0x58
    virtual, raw = SECTION_ALIGNMENT, FILE_ALIGNMENT
    table = opt + 224
    body = b""
    for i, (name, vsize, rsize) in enumerate(sections):
        struct.pack_into("<8sIIII", headers, table + 40 * i, name, vsize, virtual, rsize, raw)
        struct.pack_into("<I", headers, table + 40 * i + 36, 0x40000040)
        body += bytes([0x11 * (i + 1)]) * rsize
        virtual += (max(vsize, rsize) + SECTION_ALIGNMENT - 1) // SECTION_ALIGNMENT * SECTION_ALIGNMENT
        raw += rsize
    struct.pack_into("<HBB", headers, opt, 0x10B, 2, 0)
    struct.pack_into("<II", headers, opt + 32, SECTION_ALIGNMENT, FILE_ALIGNMENT)
    struct.pack_into("<II", headers, opt + 56, virtual, FILE_ALIGNMENT)   # image, headers
    struct.pack_into("<HH", headers, opt + 68, 2, 0x0140)
    struct.pack_into("<I", headers, opt + 92, 16)
    return bytes(headers) + body + trailing


class PadTest(unittest.TestCase):
    def setUp(self):
        if not os.path.isfile(PADIMAGE):
            self.fail("padimage not built: %s" % PADIMAGE)
        self.dir = tempfile.mkdtemp(prefix="padimage-test-")
        self.path = os.path.join(self.dir, "image.exe")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def write(self, data):
        with open(self.path, "wb") as f:
            f.write(data)

    def read(self):
        with open(self.path, "rb") as f:
            return f.read()

    def pad(self, length):
        return subprocess.run([PADIMAGE, self.path, str(length)],
                              capture_output=True, text=True, timeout=20)

    def assertRefused(self, data, length, message):
        """padimage fails with MESSAGE and leaves the file as it was."""
        self.write(data)
        r = self.pad(length)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(r.stderr, "padimage: %s: %s\n" % (self.path, message))
        self.assertEqual(r.stdout, "")
        self.assertEqual(self.read(), data, "the file was changed")


class PaddingTest(PadTest):
    def test_grows_the_last_section_to_the_exact_length(self):
        original = make_pe([(b".text", 0x180, 0x200), (b".reloc", 0x20, 0x200)])
        self.write(original)
        r = self.pad(0x2000)
        self.assertEqual((r.returncode, r.stderr, r.stdout), (0, "", ""))
        padded = self.read()
        self.assertEqual(len(padded), 0x2000)
        pe = pefile.PE(data=padded, fast_load=True)
        text, reloc = pe.sections
        self.assertEqual((text.PointerToRawData, text.SizeOfRawData, text.Misc_VirtualSize), (0x200, 0x200, 0x180))
        self.assertEqual((reloc.PointerToRawData, reloc.SizeOfRawData), (0x400, 0x2000 - 0x400))
        self.assertEqual(reloc.Misc_VirtualSize, 0x2000 - 0x400)
        # .reloc starts at 0x2000 and now spans 0x1C00 bytes: 0x4000 once aligned.
        self.assertEqual(pe.OPTIONAL_HEADER.SizeOfImage, 0x4000)
        self.assertEqual(padded[len(original):], b"\0" * (0x2000 - len(original)))
        self.assertEqual(pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())
        self.assertNotEqual(pe.OPTIONAL_HEADER.CheckSum, 0)
        # Only the grown section's sizes, the image size and the checksum change.
        changed = [i for i in range(len(original)) if original[i] != padded[i]]
        reloc_entry = 0x58 + 224 + 40
        allowed = set(range(reloc_entry + 8, reloc_entry + 12)) | set(range(reloc_entry + 16, reloc_entry + 20))
        allowed |= set(range(0x58 + 56, 0x58 + 60)) | set(range(0x58 + 64, 0x58 + 68))
        self.assertTrue(changed)
        self.assertLessEqual(set(changed), allowed, [hex(i) for i in changed])

    def test_keeps_a_larger_virtual_size(self):
        self.write(make_pe([(b".text", 0x200, 0x200), (b".bss", 0x5000, 0x200)]))
        self.assertEqual(self.pad(0x1000).returncode, 0)
        pe = pefile.PE(data=self.read(), fast_load=True)
        self.assertEqual((pe.sections[1].SizeOfRawData, pe.sections[1].Misc_VirtualSize), (0xC00, 0x5000))
        self.assertEqual(pe.OPTIONAL_HEADER.SizeOfImage, 0x7000)

    def test_image_already_at_the_length_is_unchanged(self):
        with open(LAUNCHER, "rb") as f:
            launcher = f.read()
        self.write(launcher)
        r = self.pad(IMAGE_LENGTH)
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertEqual(self.read(), launcher)

    def test_launcher_checksum_is_the_recomputed_one(self):
        with open(LAUNCHER, "rb") as f:
            launcher = f.read()
        pe = pefile.PE(data=launcher, fast_load=True)
        self.assertEqual(pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())


class RefusalTest(PadTest):
    def test_image_longer_than_the_length(self):
        data = make_pe([(b".text", 0x200, 0x200), (b".data", 0x200, 0x400)])
        self.assertRefused(data, 0x600, "the image is 2048 bytes, 512 more than "
                                        "the 1536 bytes it must fit in")

    def test_launcher_longer_than_a_smaller_length(self):
        with open(LAUNCHER, "rb") as f:
            launcher = f.read()
        self.assertRefused(launcher, 65536, "the image is %d bytes, %d more than the 65536 "
                                            "bytes it must fit in" % (len(launcher), len(launcher) - 65536))

    def test_bytes_behind_the_last_section(self):
        data = make_pe([(b".text", 0x200, 0x200)], trailing=b"extra")
        self.assertRefused(data, 0x1000, "has 5 bytes behind its last section; "
                                         "pad the bare linked image")

    def test_padded_image_with_a_payload_behind_it(self):
        with open(LAUNCHER, "rb") as f:
            launcher = f.read()
        self.assertRefused(launcher + b"\0" * 1024, IMAGE_LENGTH,
                           "has 1024 bytes behind its last section; pad the bare linked image")

    def test_not_a_pe_file(self):
        self.assertRefused(b"#!/bin/sh\necho this is no executable image\n" * 4, 0x1000,
                           "not a PE image (no MZ header)")

    def test_dos_program_without_pe_header(self):
        data = bytearray(make_pe([(b".text", 0x200, 0x200)]))
        data[0x40:0x44] = b"NE\0\0"
        self.assertRefused(bytes(data), 0x1000, "not a PE image (no PE signature)")

    def test_pe_offset_past_the_end(self):
        data = bytearray(make_pe([(b".text", 0x200, 0x200)]))
        struct.pack_into("<I", data, 0x3C, 0xFFFFFFE8)  # wraps to 0 in 32 bits once the headers are added
        self.assertRefused(bytes(data), 0x1000, "not a PE image (no PE signature)")

    def test_section_table_past_the_end(self):
        data = bytearray(make_pe([(b".text", 0x200, 0x200)]))
        struct.pack_into("<H", data, 0x46, 0xFFFF)  # 65535 sections
        self.assertRefused(bytes(data), 0x1000, "not a PE image (section table out of range)")

    def test_empty_file(self):
        self.assertRefused(b"", 0x1000, "not a PE image (no MZ header)")

    def test_length_off_the_file_alignment(self):
        data = make_pe([(b".text", 0x200, 0x200)])
        self.assertRefused(data, 0x1000 + 0x10, "length is not a multiple of the file alignment")

    def test_file_alignment_of_zero(self):
        data = bytearray(make_pe([(b".text", 0x200, 0x200)]))
        struct.pack_into("<I", data, 0x58 + 36, 0)
        self.assertRefused(bytes(data), 0x1000, "length is not a multiple of the file alignment")

    def test_missing_file(self):
        r = subprocess.run([PADIMAGE, os.path.join(self.dir, "absent.exe"), "4096"],
                           capture_output=True, text=True, timeout=20)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "padimage: %s: cannot open\n" % os.path.join(self.dir, "absent.exe"))

    def test_wrong_arguments(self):
        r = subprocess.run([PADIMAGE, self.path], capture_output=True, text=True, timeout=20)
        self.assertEqual((r.returncode, r.stderr), (2, "usage: padimage IMAGE LENGTH\n"))


def main():
    global PADIMAGE, LAUNCHER
    if len(sys.argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    PADIMAGE, LAUNCHER = sys.argv[1], sys.argv[2]
    program = unittest.main(argv=[sys.argv[0]] + sys.argv[3:], exit=False)
    result = program.result
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
