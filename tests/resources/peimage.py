"""A small reader for 32-bit PE images, enough to check what the launcher's
build puts into its executable: headers, sections, data directories, the
import table and the resource tree.  Python standard library only.

Every read is bounds-checked; a malformed image raises PeError saying what
the input is not.
"""

import struct

IMAGE_FILE_MACHINE_I386 = 0x014C
PE32_MAGIC = 0x10B

# Data directory indexes.
DIR_IMPORT = 1
DIR_RESOURCE = 2
DIR_SECURITY = 4

# DllCharacteristics flags.
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100

# Resource types.
RT_ICON = 3
RT_DIALOG = 5
RT_GROUP_ICON = 14
RT_MANIFEST = 24


class PeError(Exception):
    pass


class Section:
    def __init__(self, raw, at):
        (name, self.virtual_size, self.virtual_address, self.raw_size,
         self.raw_pointer) = struct.unpack_from("<8sIIII", raw, at)
        self.name = name.rstrip(b"\0").decode("latin-1")
        self.characteristics = struct.unpack_from("<I", raw, at + 36)[0]

    @property
    def raw_end(self):
        return self.raw_pointer + self.raw_size


class PeImage:
    """A parsed PE32 image held in memory."""

    def __init__(self, data):
        self.data = bytes(data)
        if len(self.data) < 0x40 or self.data[:2] != b"MZ":
            raise PeError("not a PE image (no MZ header)")
        self.pe_offset = self.u32(0x3C)
        if self.data[self.pe_offset:self.pe_offset + 4] != b"PE\0\0":
            raise PeError("not a PE image (no PE signature)")
        coff = self.pe_offset + 4
        (self.machine, section_count, _, _, _, optional_size,
         self.file_characteristics) = struct.unpack_from("<HHIIIHH", self.data, coff)
        self.optional_offset = coff + 20
        opt = self.optional_offset
        self.magic = self.u16(opt)
        if self.magic != PE32_MAGIC:
            raise PeError("not a PE32 image (optional header magic 0x%x)" % self.magic)
        self.section_alignment = self.u32(opt + 32)
        self.file_alignment = self.u32(opt + 36)
        self.size_of_image = self.u32(opt + 56)
        self.size_of_headers = self.u32(opt + 60)
        self.checksum_offset = opt + 64
        self.checksum = self.u32(opt + 64)
        self.subsystem = self.u16(opt + 68)
        self.dll_characteristics = self.u16(opt + 70)
        directory_count = self.u32(opt + 92)
        self.directories_offset = opt + 96
        self.directories = [struct.unpack_from("<II", self.data, opt + 96 + 8 * i)
                            for i in range(directory_count)]
        table = opt + optional_size
        if table + 40 * section_count > len(self.data):
            raise PeError("not a PE image (section table out of range)")
        self.sections = [Section(self.data, table + 40 * i)
                         for i in range(section_count)]

    # Bounds-checked little-endian reads.
    def _check(self, at, size):
        if at < 0 or at + size > len(self.data):
            raise PeError("read of %d bytes at 0x%x is outside the file" % (size, at))

    def u16(self, at):
        self._check(at, 2)
        return struct.unpack_from("<H", self.data, at)[0]

    def u32(self, at):
        self._check(at, 4)
        return struct.unpack_from("<I", self.data, at)[0]

    def bytes_at(self, at, size):
        self._check(at, size)
        return self.data[at:at + size]

    def offset_of(self, rva):
        """File offset of a relative virtual address inside a section's raw data."""
        for s in self.sections:
            if s.virtual_address <= rva < s.virtual_address + max(s.virtual_size, s.raw_size):
                if rva - s.virtual_address >= s.raw_size:
                    raise PeError("RVA 0x%x lies beyond section %s's raw data" % (rva, s.name))
                return s.raw_pointer + rva - s.virtual_address
        raise PeError("RVA 0x%x is in no section" % rva)

    def rva_bytes(self, rva, size):
        return self.bytes_at(self.offset_of(rva), size)

    def c_string(self, rva):
        at = self.offset_of(rva)
        end = self.data.find(b"\0", at)
        if end < 0:
            raise PeError("unterminated string at RVA 0x%x" % rva)
        return self.data[at:end].decode("latin-1")

    # Layout.
    def last_section_by_raw_end(self):
        return max(self.sections, key=lambda s: s.raw_end)

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    # Imports.
    def imported_dlls(self):
        """Names of the imported DLLs, in import table order."""
        rva, size = self.directory(DIR_IMPORT)
        names = []
        if rva == 0:
            return names
        at = rva
        while True:
            entry = self.rva_bytes(at, 20)
            lookup, _, _, name_rva, thunk = struct.unpack("<IIIII", entry)
            if lookup == 0 and name_rva == 0 and thunk == 0:
                return names
            names.append(self.c_string(name_rva))
            at += 20

    # Resources.
    def resources(self):
        """Every resource as {(type, name, language): data bytes}.

        Types and names are integers for numeric ids and strings for named
        entries."""
        rva, size = self.directory(DIR_RESOURCE)
        if rva == 0:
            return {}
        base = self.offset_of(rva)
        found = {}

        def directory_entries(offset):
            named, numbered = struct.unpack_from("<HH", self.bytes_at(base + offset + 12, 4))
            for i in range(named + numbered):
                key, target = struct.unpack(
                    "<II", self.bytes_at(base + offset + 16 + 8 * i, 8))
                if key & 0x80000000:
                    at = base + (key & 0x7FFFFFFF)
                    length = self.u16(at)
                    key = self.bytes_at(at + 2, 2 * length).decode("utf-16-le")
                yield key, target

        for rtype, t in directory_entries(0):
            if not t & 0x80000000:
                raise PeError("resource type %r is a leaf, not a directory" % (rtype,))
            for name, n in directory_entries(t & 0x7FFFFFFF):
                if not n & 0x80000000:
                    raise PeError("resource %r/%r is a leaf, not a directory" % (rtype, name))
                for lang, leaf in directory_entries(n & 0x7FFFFFFF):
                    if leaf & 0x80000000:
                        raise PeError("resource %r/%r/%r is a directory, not data"
                                      % (rtype, name, lang))
                    data_rva, data_size = struct.unpack(
                        "<II", self.bytes_at(base + leaf, 8))
                    found[(rtype, name, lang)] = self.rva_bytes(data_rva, data_size)
        return found


def pe_checksum(data, checksum_offset):
    """The PE header checksum: a 16-bit end-around-carry sum of the file,
    with the checksum field counted as zero, plus the file length."""
    length = len(data)
    words = bytearray(data)
    words[checksum_offset:checksum_offset + 4] = b"\0\0\0\0"
    if length % 2:
        words.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", bytes(words)):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + length) & 0xFFFFFFFF
