#!/usr/bin/env python3
"""Checks the image padding step (padimage IMAGE LENGTH) on small PE images
made here, and on a copy of the built launcher.

$PADIMAGE is the padding step, $SFX_LAUNCHER the launcher the cross build
made.
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
from testkit import OPTIONAL_AT, PE_AT, SECTION_TABLE_AT, build_path, main, make_pe, read, write  # noqa: E402

PADIMAGE = build_path("PADIMAGE")
LAUNCHER = build_path("SFX_LAUNCHER")


class PadTest(unittest.TestCase):
    def setUp(self):
        if not os.path.isfile(PADIMAGE):
            self.fail("padimage not built: %s" % PADIMAGE)
        self.dir = tempfile.mkdtemp(prefix="padimage-test-")
        self.path = os.path.join(self.dir, "image.exe")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def write(self, data):
        write(self.path, data)

    def read(self):
        return read(self.path)

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
        original = make_pe(sections=[(b".text", 0x180, 0x200), (b".reloc", 0x20, 0x200)])
        self.write(original)
        r = self.pad(0x2000)
        self.assertEqual((r.returncode, r.stderr, r.stdout), (0, "", ""))
        padded = self.read()
        self.assertEqual(len(padded), 0x2000)
        pe = pefile.PE(data=padded, fast_load=True)
        text, reloc = pe.sections
        self.assertEqual((text.PointerToRawData, text.SizeOfRawData, text.Misc_VirtualSize), (0x400, 0x200, 0x180))
        self.assertEqual((reloc.PointerToRawData, reloc.SizeOfRawData), (0x600, 0x2000 - 0x600))
        self.assertEqual(reloc.Misc_VirtualSize, 0x2000 - 0x600)
        # .reloc starts at 0x2000 and now spans 0x1A00 bytes: 0x4000 once aligned.
        self.assertEqual(pe.OPTIONAL_HEADER.SizeOfImage, 0x4000)
        self.assertEqual(padded[len(original):], b"\0" * (0x2000 - len(original)))
        self.assertEqual(pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())
        self.assertNotEqual(pe.OPTIONAL_HEADER.CheckSum, 0)
        # Only the grown section's sizes, the image size and the checksum change.
        changed = [i for i in range(len(original)) if original[i] != padded[i]]
        reloc_entry = SECTION_TABLE_AT + 40
        allowed = set(range(reloc_entry + 8, reloc_entry + 12)) | set(range(reloc_entry + 16, reloc_entry + 20))
        allowed |= set(range(OPTIONAL_AT + 56, OPTIONAL_AT + 60)) | set(range(OPTIONAL_AT + 64, OPTIONAL_AT + 68))
        self.assertTrue(changed)
        self.assertLessEqual(set(changed), allowed, [hex(i) for i in changed])

    def test_keeps_a_larger_virtual_size(self):
        self.write(make_pe(sections=[(b".text", 0x200, 0x200), (b".bss", 0x5000, 0x200)]))
        self.assertEqual(self.pad(0x1000).returncode, 0)
        pe = pefile.PE(data=self.read(), fast_load=True)
        self.assertEqual((pe.sections[1].SizeOfRawData, pe.sections[1].Misc_VirtualSize), (0xA00, 0x5000))
        self.assertEqual(pe.OPTIONAL_HEADER.SizeOfImage, 0x7000)

    def test_image_already_at_the_length_is_unchanged(self):
        launcher = read(LAUNCHER)
        self.write(launcher)
        r = self.pad(IMAGE_LENGTH)
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertEqual(self.read(), launcher)

    def test_launcher_checksum_is_the_recomputed_one(self):
        launcher = read(LAUNCHER)
        pe = pefile.PE(data=launcher, fast_load=True)
        self.assertEqual(pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())


class RefusalTest(PadTest):
    def test_image_longer_than_the_length(self):
        data = make_pe(sections=[(b".text", 0x200, 0x200), (b".data", 0x200, 0x400)])
        self.assertRefused(data, 0x600, "the image is 2560 bytes, 1024 more than "
                                        "the 1536 bytes it must fit in")

    def test_launcher_longer_than_a_smaller_length(self):
        launcher = read(LAUNCHER)
        self.assertRefused(launcher, 65536, "the image is %d bytes, %d more than the 65536 "
                                            "bytes it must fit in" % (len(launcher), len(launcher) - 65536))

    def test_bytes_behind_the_last_section(self):
        data = make_pe(sections=[(b".text", 0x200, 0x200)], trailing=b"extra")
        self.assertRefused(data, 0x1000, "has 5 bytes behind its last section; "
                                         "pad the bare linked image")

    def test_padded_image_with_a_payload_behind_it(self):
        launcher = read(LAUNCHER)
        self.assertRefused(launcher + b"\0" * 1024, IMAGE_LENGTH,
                           "has 1024 bytes behind its last section; pad the bare linked image")

    def test_not_a_pe_file(self):
        self.assertRefused(b"#!/bin/sh\necho this is no executable image\n" * 4, 0x1000,
                           "not a PE image (no MZ header at offset 0)")

    def test_dos_program_without_pe_header(self):
        data = bytearray(make_pe(sections=[(b".text", 0x200, 0x200)]))
        data[PE_AT:PE_AT + 4] = b"NE\0\0"
        self.assertRefused(bytes(data), 0x1000, "not a PE image (no PE signature at offset %d)" % PE_AT)

    def test_pe_offset_past_the_end(self):
        data = bytearray(make_pe(sections=[(b".text", 0x200, 0x200)]))
        struct.pack_into("<I", data, 0x3C, 0xFFFFFFE8)  # wraps to 0 in 32 bits once the headers are added
        self.assertRefused(bytes(data), 0x1000, "not a PE image (e_lfanew 4294967272 points past the image)")

    def test_section_table_past_the_end(self):
        data = bytearray(make_pe(sections=[(b".text", 0x200, 0x200)]))
        struct.pack_into("<H", data, PE_AT + 6, 0xFFFF)  # 65535 sections
        self.assertRefused(bytes(data), 0x1000,
                           "not a PE image (section table at offset %d runs past the image)" % SECTION_TABLE_AT)

    def test_last_section_past_the_end(self):
        data = make_pe(sections=[(b".text", 0x200, 0x200)])[:-0x100]
        self.assertRefused(data, 0x1000, "its last section's raw data end at offset 1536, past the file's 1280 bytes")

    def test_empty_file(self):
        self.assertRefused(b"", 0x1000, "not a PE image (no MZ header at offset 0)")

    def test_length_off_the_file_alignment(self):
        data = make_pe(sections=[(b".text", 0x200, 0x200)])
        self.assertRefused(data, 0x1000 + 0x10, "length is not a multiple of the file alignment")

    def test_file_alignment_of_zero(self):
        data = bytearray(make_pe(sections=[(b".text", 0x200, 0x200)]))
        struct.pack_into("<I", data, OPTIONAL_AT + 36, 0)
        self.assertRefused(bytes(data), 0x1000, "length is not a multiple of the file alignment")

    def test_missing_file(self):
        r = subprocess.run([PADIMAGE, os.path.join(self.dir, "absent.exe"), "4096"],
                           capture_output=True, text=True, timeout=20)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "padimage: %s: cannot open\n" % os.path.join(self.dir, "absent.exe"))

    def test_wrong_arguments(self):
        r = subprocess.run([PADIMAGE, self.path], capture_output=True, text=True, timeout=20)
        self.assertEqual((r.returncode, r.stderr), (2, "usage: padimage IMAGE LENGTH\n"))


if __name__ == "__main__":
    main()
