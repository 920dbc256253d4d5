"""Small crafted images and record headers shared by the sfxpack tests."""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from sfxcontainer import IMAGE_LENGTH, record_header as header  # noqa: E402,F401


def make_pe(size=IMAGE_LENGTH, security=(0, 0), magic=0x10B):
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


def _bitmap_image(size, bits, shade):
    """A DIB icon image: BITMAPINFOHEADER (height doubled), colour table,
    XOR pixels and AND mask, rows padded to 4 bytes."""
    palette = (1 << bits) * 4 if bits <= 8 else 0
    row = (size * bits + 31) // 32 * 4
    mask_row = (size + 31) // 32 * 4
    pixels = bytes([shade]) * (row * size)
    info = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bits, 0, len(pixels) + mask_row * size, 0, 0, 0, 0)
    return info + bytes(palette) + pixels + bytes(mask_row * size)


def _png_image(size, shade):
    """An RGBA PNG of one colour, as Windows Vista and later read in icons."""
    import zlib

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + bytes([shade, 0, 255 - shade, 255]) * size for _ in range(size))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def make_ico(images=((16, 32), (32, 32), (48, 8), (256, 0))):
    """An .ico file of (size, bits) images in that order; bits 0 makes a PNG
    image.  Returns the file's bytes."""
    blobs = [_png_image(size, 40 + i) if bits == 0 else _bitmap_image(size, bits, 40 + i)
             for i, (size, bits) in enumerate(images)]
    offset = 6 + 16 * len(images)
    out = struct.pack("<HHH", 0, 1, len(images))
    for (size, bits), blob in zip(images, blobs):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, bits or 32, len(blob), offset)
        offset += len(blob)
    return out + b"".join(blobs)
