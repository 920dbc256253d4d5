#!/usr/bin/env python3
"""Checks the built launcher executable: its resources (exactly the dialog,
the icon group with its images and the manifest, all in English (United
States)), the manifest text, the icon images, the dialog template byte for
byte, the image length and layout, the imported DLLs and the security flags.

$SFX_LAUNCHER is the launcher the cross build made.
"""

import os
import struct
import sys
import unittest
import xml.etree.ElementTree as ET

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from sfxcontainer import IMAGE_LENGTH, defines  # noqa: E402
from testkit import SOURCE_DIR, build_path, main, read  # noqa: E402

LAUNCHER = build_path("SFX_LAUNCHER")

RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_MANIFEST = (pefile.RESOURCE_TYPE[t] for t in (
    "RT_ICON", "RT_DIALOG", "RT_GROUP_ICON", "RT_MANIFEST"))
SECURITY, BASERELOC = (pefile.DIRECTORY_ENTRY[d] for d in (
    "IMAGE_DIRECTORY_ENTRY_SECURITY", "IMAGE_DIRECTORY_ENTRY_BASERELOC"))
EN_US = 1033
# The ids the resource script and the launcher share.
IDI_APPICON, IDD_PROGRESS = (defines(os.path.join(SOURCE_DIR, "res", "resource.h"), ("IDI_APPICON", "IDD_PROGRESS"))[n]
                             for n in ("IDI_APPICON", "IDD_PROGRESS"))

# The icon group's images in group order: (width and height, bits per pixel).
ICON_IMAGES = [(48, 4), (32, 4), (24, 4), (16, 4),
               (48, 8), (32, 8), (24, 8), (16, 8),
               (48, 24), (32, 24),
               (48, 32), (32, 32), (24, 32), (16, 32)]

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"


def load_launcher():
    if not os.path.isfile(LAUNCHER):
        raise AssertionError("launcher not built: %s (build the 'windows' target)" % LAUNCHER)
    data = read(LAUNCHER)
    return data, pefile.PE(data=data)


def resource_table(pe):
    """Every resource as {(type, name, language): data}: numeric ids as
    integers, named entries by their name."""
    def key(entry):
        return entry.id if entry.name is None else str(entry.name)
    found = {}
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in rtype.directory.entries:
            for lang in name.directory.entries:
                leaf = lang.data.struct
                found[(key(rtype), key(name), key(lang))] = pe.get_data(leaf.OffsetToData, leaf.Size)
    return found


def raw_end(section):
    return section.PointerToRawData + section.SizeOfRawData


def read_source(relative):
    return read(os.path.join(SOURCE_DIR, relative))


def ico_images(data):
    """The images of an .ico file: [(width, height, colours, planes, bits, bytes)]."""
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        raise AssertionError("not an icon file (header %d, %d)" % (reserved, kind))
    out = []
    for i in range(count):
        w, h, colours, _, planes, bits, size, offset = struct.unpack_from(
            "<BBBBHHII", data, 6 + 16 * i)
        if offset + size > len(data):
            raise AssertionError("icon image %d runs past the end of the file" % (i + 1))
        out.append((w or 256, h or 256, colours, planes, bits, data[offset:offset + size]))
    return out


class ImageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.data, cls.pe = load_launcher()
        cls.resources = resource_table(cls.pe)


class ResourceTableTest(ImageTest):
    def test_exactly_the_dialog_icons_and_manifest_in_english_us(self):
        expected = {(RT_DIALOG, IDD_PROGRESS, EN_US), (RT_GROUP_ICON, IDI_APPICON, EN_US),
                    (RT_MANIFEST, 1, EN_US)}
        expected |= {(RT_ICON, n, EN_US) for n in range(1, 15)}
        self.assertEqual(sorted(self.resources, key=repr), sorted(expected, key=repr))


class ManifestTest(ImageTest):
    def setUp(self):
        self.text = self.resources[(RT_MANIFEST, 1, EN_US)]

    def test_embedded_byte_for_byte_from_the_source_file(self):
        self.assertEqual(self.text, read_source("res/launcher.manifest"))

    def test_source_file_is_kept_from_line_end_conversion(self):
        rules = read_source(".gitattributes").decode("utf-8").splitlines()
        protected = [r for r in rules if r.split() and r.split()[0] == "res/launcher.manifest"
                     and set(r.split()[1:]) & {"-text", "binary", "eol=crlf"}]
        self.assertTrue(protected, "res/launcher.manifest has no -text/binary/eol=crlf rule")

    def test_crlf_line_ends_and_no_xml_declaration(self):
        self.assertFalse(self.text.startswith(b"<?xml"), "has an XML declaration")
        self.assertNotIn(b"<?", self.text)
        self.assertTrue(self.text.endswith(b"\r\n"))
        lines = self.text.split(b"\r\n")
        self.assertGreater(len(lines), 2)
        for line in lines:
            self.assertNotIn(b"\n", line, "bare LF in %r" % line)
            self.assertNotIn(b"\r", line, "bare CR in %r" % line)
        self.assertEqual(self.text, self.text.decode("ascii").encode("ascii"))

    def test_elevation_request_and_nothing_else(self):
        root = ET.fromstring(self.text)
        self.assertEqual(root.tag, "{%s}assembly" % ASM_V1)
        self.assertEqual(root.attrib, {"manifestVersion": "1.0"})
        # The whole tree, depth first: one chain from assembly to the request.
        self.assertEqual([e.tag for e in root.iter()], [
            "{%s}assembly" % ASM_V1,
            "{%s}trustInfo" % ASM_V3,
            "{%s}security" % ASM_V3,
            "{%s}requestedPrivileges" % ASM_V3,
            "{%s}requestedExecutionLevel" % ASM_V3])
        level = root.find(".//{%s}requestedExecutionLevel" % ASM_V3)
        self.assertEqual(level.attrib, {"level": "requireAdministrator", "uiAccess": "false"})
        for e in root.iter():
            self.assertEqual((e.text or "").strip(), "", "text inside %s" % e.tag)

    def test_execution_level_has_an_explicit_end_tag(self):
        text = self.text.decode("ascii")
        self.assertRegex(text, r"<requestedExecutionLevel [^<>]*[^/]></requestedExecutionLevel>")
        self.assertNotRegex(text, r"<requestedExecutionLevel [^<>]*/>")
        self.assertNotIn("dependentAssembly", text)
        self.assertNotIn("compatibility", text)


class IconTest(ImageTest):
    def setUp(self):
        self.group = self.resources[(RT_GROUP_ICON, IDI_APPICON, EN_US)]
        reserved, kind, count = struct.unpack_from("<HHH", self.group, 0)
        self.assertEqual((reserved, kind), (0, 1))
        self.assertEqual(len(self.group), 6 + 14 * count)
        self.entries = [struct.unpack_from("<BBBBHHIH", self.group, 6 + 14 * i)
                        for i in range(count)]

    def test_group_lists_fourteen_images_in_order(self):
        listed = [(w, h, bits) for w, h, _, _, _, bits, _, _ in self.entries]
        self.assertEqual(listed, [(s, s, b) for s, b in ICON_IMAGES])
        for w, h, colours, reserved, planes, bits, size, image_id in self.entries:
            self.assertEqual(colours, 16 if bits == 4 else 0, "colour count, %dx%d %d bpp" % (w, h, bits))
            self.assertEqual((reserved, planes), (0, 1))

    def test_group_entries_name_images_one_to_fourteen_with_their_sizes(self):
        self.assertEqual([e[7] for e in self.entries], list(range(1, 15)))
        for e in self.entries:
            self.assertEqual(e[6], len(self.resources[(RT_ICON, e[7], EN_US)]),
                             "byte count of image %d" % e[7])

    def test_images_are_the_icon_files_images_in_file_order(self):
        # windres numbers the images as it meets them in the .ico file.
        source = ico_images(read_source("res/app.ico"))
        self.assertEqual(len(source), 14)
        for n, (w, h, colours, planes, bits, data) in enumerate(source, start=1):
            self.assertEqual((w, h, bits), (ICON_IMAGES[n - 1][0],) * 2 + ICON_IMAGES[n - 1][1:])
            self.assertEqual(self.resources[(RT_ICON, n, EN_US)], data,
                             "RT_ICON %d differs from app.ico image %d" % (n, n))

    def test_each_image_is_a_bitmap_of_its_listed_size_and_depth(self):
        for n, (size, bits) in enumerate(ICON_IMAGES, start=1):
            with self.subTest(image=n):
                data = self.resources[(RT_ICON, n, EN_US)]
                (header, width, height, planes, bit_count, compression, _, _, _,
                 used, _) = struct.unpack_from("<IiiHHIIiiII", data, 0)
                self.assertEqual((header, width, height, planes, bit_count, compression),
                                 (40, size, 2 * size, 1, bits, 0))
                palette = (used or 1 << bits) if bits <= 8 else 0
                xor_stride = (size * bits + 31) // 32 * 4
                and_stride = (size + 31) // 32 * 4
                self.assertEqual(len(data), 40 + 4 * palette + size * (xor_stride + and_stride))

    def test_each_image_has_transparent_corners_and_an_opaque_mark(self):
        for n, (size, bits) in enumerate(ICON_IMAGES, start=1):
            with self.subTest(image=n):
                data = self.resources[(RT_ICON, n, EN_US)]
                and_stride = (size + 31) // 32 * 4
                mask = data[len(data) - size * and_stride:]
                transparent = [[bool(mask[(size - 1 - y) * and_stride + x // 8] & (0x80 >> x % 8))
                                for x in range(size)] for y in range(size)]
                count = sum(map(sum, transparent))
                self.assertTrue(transparent[0][0] and transparent[size - 1][size - 1])
                self.assertTrue(0 < count < size * size // 2, "%d transparent pixels" % count)
                if bits == 32:
                    # The mask and the alpha channel agree.
                    for y in range(size):
                        for x in range(size):
                            alpha = data[40 + 4 * ((size - 1 - y) * size + x) + 3]
                            self.assertEqual(transparent[y][x], alpha == 0, (x, y))


def dialog_template():
    """The progress dialog's DLGTEMPLATEEX, assembled field by field."""
    def text(s):
        return s.encode("utf-16-le") + b"\0\0"

    def align(b):
        return b + b"\0" * (-len(b) % 4)
    t = struct.pack("<HHIIIHhhhh", 1, 0xFFFF, 0, 0, 0x80C008C8, 2, 0, 0, 322, 54)
    t += struct.pack("<HH", 0, 0)                               # no menu, default class
    t += text("Extracting files, please wait...")
    t += struct.pack("<HHBB", 8, 400, 0, 1) + text("MS Shell Dlg")
    t = align(t)
    t += struct.pack("<IIIhhhhI", 0, 0, 0x50800000, 7, 33, 308, 14, 1000)
    t += text("msctls_progress32") + text("") + struct.pack("<H", 0)
    t = align(t)
    t += struct.pack("<IIIhhhhi", 0, 0, 0x50020000, 7, 7, 308, 16, -1)
    t += struct.pack("<HH", 0xFFFF, 0x0082) + text("Static") + struct.pack("<H", 0)
    return t


def parse_dialog(data):
    """Decodes a DLGTEMPLATEEX into plain values, for readable differences."""
    at = 0

    def take(fmt):
        nonlocal at
        values = struct.unpack_from(fmt, data, at)
        at += struct.calcsize(fmt)
        return values

    def sz_or_ord():
        nonlocal at
        if struct.unpack_from("<H", data, at)[0] == 0xFFFF:
            return take("<HH")[1]
        end = at
        while data[end:end + 2] != b"\0\0":
            end += 2
        s = data[at:end].decode("utf-16-le")
        at = end + 2
        return s
    version, signature, help_id, ex_style, style, count, x, y, cx, cy = take("<HHIIIHhhhh")
    d = {"version": version, "signature": hex(signature), "help": help_id,
         "exstyle": hex(ex_style), "style": hex(style), "rect": (x, y, cx, cy),
         "menu": sz_or_ord(), "class": sz_or_ord(), "caption": sz_or_ord()}
    d["font"] = take("<HHBB") + (sz_or_ord(),)
    controls = []
    for _ in range(count):
        at += -at % 4
        help_id, ex_style, style, x, y, cx, cy, cid = take("<IIIhhhhi")
        c = {"help": help_id, "exstyle": hex(ex_style), "style": hex(style),
             "rect": (x, y, cx, cy), "id": cid, "class": sz_or_ord(), "text": sz_or_ord()}
        c["extra"] = take("<H")[0]
        controls.append(c)
    d["controls"] = controls
    d["trailing"] = len(data) - at
    return d


class DialogTest(ImageTest):
    def setUp(self):
        self.template = self.resources[(RT_DIALOG, IDD_PROGRESS, EN_US)]

    def test_fields(self):
        self.assertEqual(parse_dialog(self.template), {
            "version": 1, "signature": "0xffff", "help": 0, "exstyle": "0x0",
            "style": "0x80c008c8", "rect": (0, 0, 322, 54), "menu": "", "class": "",
            "caption": "Extracting files, please wait...",
            "font": (8, 400, 0, 1, "MS Shell Dlg"),
            "controls": [
                {"help": 0, "exstyle": "0x0", "style": "0x50800000", "rect": (7, 33, 308, 14),
                 "id": 1000, "class": "msctls_progress32", "text": "", "extra": 0},
                {"help": 0, "exstyle": "0x0", "style": "0x50020000", "rect": (7, 7, 308, 16),
                 "id": -1, "class": 0x0082, "text": "Static", "extra": 0},
            ],
            "trailing": 0})

    def test_bytes(self):
        self.assertEqual(self.template, dialog_template())


class LayoutTest(ImageTest):
    def test_image_is_exactly_the_image_length(self):
        self.assertEqual(len(self.data), IMAGE_LENGTH)

    def test_last_sections_raw_data_ends_at_the_image_end(self):
        last = max(self.pe.sections, key=raw_end)
        self.assertEqual(raw_end(last), IMAGE_LENGTH, "section %r" % last.Name)
        self.assertIs(last, self.pe.sections[-1], "the last section in the table ends last")
        self.assertEqual(last.PointerToRawData % self.pe.OPTIONAL_HEADER.FileAlignment, 0)

    def test_sections_do_not_overlap_and_lie_within_the_image(self):
        spans = sorted((s.PointerToRawData, raw_end(s), s.Name) for s in self.pe.sections if s.SizeOfRawData)
        self.assertGreaterEqual(spans[0][0], self.pe.OPTIONAL_HEADER.SizeOfHeaders)
        for (_, end, name), (start, _, next_name) in zip(spans, spans[1:]):
            self.assertLessEqual(end, start, "%r overlaps %r" % (name, next_name))

    def test_size_of_image_covers_the_last_section(self):
        s = max(self.pe.sections, key=lambda s: s.VirtualAddress)
        a = self.pe.OPTIONAL_HEADER.SectionAlignment
        end = s.VirtualAddress + max(s.Misc_VirtualSize, s.SizeOfRawData)
        self.assertEqual(self.pe.OPTIONAL_HEADER.SizeOfImage, (end + a - 1) // a * a)

    def test_checksum_matches_the_file(self):
        self.assertEqual(self.pe.OPTIONAL_HEADER.CheckSum, self.pe.generate_checksum())

    def test_unsigned_image_has_no_certificate_table(self):
        security = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
        self.assertEqual((security.VirtualAddress, security.Size), (0, 0))

    def test_32_bit_gui_program_for_windows_vista_and_later(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"])
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, pefile.OPTIONAL_HEADER_MAGIC_PE)
        opt = self.pe.OPTIONAL_HEADER
        self.assertEqual(opt.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"])
        # Operating system and subsystem versions: older systems refuse it.
        self.assertEqual([opt.MajorOperatingSystemVersion, opt.MinorOperatingSystemVersion,
                          opt.MajorSubsystemVersion, opt.MinorSubsystemVersion], [6, 0, 6, 0])


class SecurityTest(ImageTest):
    def test_imports_only_known_system_dlls(self):
        # comctl32 is loaded from the system folder at run time instead: a
        # static import could be satisfied by a planted DLL beside the file.
        dlls = [entry.dll.decode("latin-1") for entry in self.pe.DIRECTORY_ENTRY_IMPORT]
        self.assertEqual(sorted(dlls), sorted(["ADVAPI32.dll", "KERNEL32.dll", "msvcrt.dll",
                                               "SHLWAPI.dll", "USER32.dll"]))
        self.assertNotIn("comctl32.dll", [d.lower() for d in dlls])

    def test_address_space_randomisation_and_no_execute(self):
        flags = self.pe.OPTIONAL_HEADER.DllCharacteristics
        self.assertTrue(flags & pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"], hex(flags))
        self.assertTrue(flags & pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"], hex(flags))

    def test_relocations_present_so_the_image_can_move(self):
        self.assertGreater(self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[BASERELOC].Size, 0)
        self.assertFalse(self.pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"],
                         "relocations stripped")


if __name__ == "__main__":
    main()
