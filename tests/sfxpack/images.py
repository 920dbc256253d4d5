"""Small crafted images and record headers shared by the sfxpack tests."""
import struct

IMAGE = 0x20000


def make_pe(size=IMAGE, security=(0, 0), magic=0x10B):
    """A minimal PE image: MZ header, PE signature, file header, an optional
    header with 16 data directories, all zero but the security directory,
    and one section whose raw data run from 0x400 to the end of the file."""
    img = bytearray(size)
    img[0:2] = b"MZ"
    struct.pack_into("<I", img, 0x3C, 0x80)
    img[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<HH", img, 0x84, 0x14C, 1)
    struct.pack_into("<H", img, 0x84 + 16, 224)
    struct.pack_into("<H", img, 0x98, magic)
    struct.pack_into("<I", img, 0x98 + 92, 16)
    struct.pack_into("<II", img, 0x98 + 96 + 32, *security)
    struct.pack_into("<IIII", img, 0x98 + 224 + 8, size, 0x1000, size - 0x400, 0x400)  # one section
    return bytes(img)


def header(size, name):
    return struct.pack("<i", size) + name.ljust(1020, b"\0")
