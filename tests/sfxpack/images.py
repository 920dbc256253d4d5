"""Small crafted icons, and the images and record headers the sfxpack
tests share with the others."""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from sfxcontainer import record_header as header  # noqa: E402,F401
from testkit import make_pe  # noqa: E402,F401


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
