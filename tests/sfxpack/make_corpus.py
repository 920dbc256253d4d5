#!/usr/bin/env python3
"""Writes the crafted inputs of the two fuzz targets.

corpus/: what fuzz_reader.cc expects: 8 bytes that become the image's
security directory (file offset, size; little-endian), then the bytes
behind the launcher image (sfxcontainer.IMAGE_LENGTH).

corpus_resources/: what fuzz_resources.cc reads as an .ico file, a
resource section (mapped at RVA 0x2000), version information and an icon
group, and XORs into its launcher-like image from the optional header on.
"""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from images import make_ico  # noqa: E402
from sfxcontainer import END_RECORD as END, IMAGE_LENGTH, NAME_FIELD, payload, record_header as header  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def secdir(offset=0, size=0):
    return struct.pack("<II", offset, size)


def der(tag, *parts):
    body = b"".join(parts)
    n = len(body)
    length = bytes([n]) if n < 0x80 else bytes([0x80 | ((n.bit_length() + 7) // 8)]) + n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([tag]) + length + body


def oid(dotted):
    first, second, *rest = map(int, dotted.split("."))
    out = bytes([40 * first + second])
    for arc in rest:
        chunk = [arc & 0x7F]
        while arc > 0x7F:
            arc >>= 7
            chunk.insert(0, 0x80 | (arc & 0x7F))
        out += bytes(chunk)
    return der(0x06, out)


SIGNED_DATA = "1.2.840.113549.1.7.2"
SHA256 = "2.16.840.1.101.3.4.2.1"


def authenticode(nested=()):
    """A PKCS#7 SignedData whose content is an SpcIndirectDataContent with a
    SHA-256 digest; no certificates; one signer whose unauthenticated
    attributes hold `nested` signatures."""
    algorithm = der(0x30, oid(SHA256), b"\x05\x00")
    spc = der(0x30, der(0x30, oid("1.3.6.1.4.1.311.2.1.15"), der(0x30)),
              der(0x30, algorithm, der(0x04, bytes(32))))
    content = der(0x30, oid("1.3.6.1.4.1.311.2.1.4"), der(0xA0, spc))
    issuer = der(0x30, der(0x31, der(0x30, oid("2.5.4.3"), der(0x0C, b"x"))))
    unauth = der(0xA1, der(0x30, oid("1.3.6.1.4.1.311.2.4.1"), der(0x31, *nested))) if nested else b""
    signer = der(0x30, der(0x02, b"\x01"), der(0x30, issuer, der(0x02, b"\x01")), algorithm,
                 der(0x30, oid("1.2.840.113549.1.1.1"), b"\x05\x00"), der(0x04, b"sig"), unauth)
    signed = der(0x30, der(0x02, b"\x01"), der(0x31, algorithm), content, der(0x31, signer))
    return der(0x30, oid(SIGNED_DATA), der(0xA0, signed))


def cert_entry(content, hidden=b"", raw=None):
    der = raw if raw is not None else b"\x30" + bytes([len(content)]) + content + hidden
    entry = struct.pack("<IHH", 8 + len(der), 0x0200, 2) + der
    return entry + b"\0" * (-len(entry) % 8)


def signed(payload, entry, pad=None):
    start = IMAGE_LENGTH + len(payload)
    padding = b"\0" * (-start % 8) if pad is None else pad
    return secdir(start + len(padding), len(entry)) + payload + padding + entry


RECORD = payload([(b"a.exe", b"abc")], end=False)

CASES = {
    "truncated_header": secdir() + header(3, b"a.exe")[:500],
    "truncated_data": secdir() + header(100, b"a.exe") + b"x" * 50,
    "size_minus_2": secdir() + header(-2, b"a.exe") + END,
    "size_max_no_data": secdir() + header(0x7FFFFFFF, b"big.bin"),
    "name_without_nul": secdir() + struct.pack("<i", 0) + b"n" * NAME_FIELD + END,
    "name_with_slash": secdir() + header(0, b"../evil") + END,
    "junk_after_end": secdir() + RECORD + END + b"junk",
    "empty_payload": secdir() + END,
    "two_records": secdir() + payload([(b"a.exe", b"abc"), (b"empty.txt", b"")]),
    "duplicate_names": secdir() + payload([(b"a.exe", b"abc"), (b"A.EXE", b"z")]),
    "fake_cert_table": signed(RECORD + END, cert_entry(b"\x02\x01\x01")),
    "cert_table_then_byte": signed(RECORD + END, cert_entry(b"\x02\x01\x01")) + b"!",
    "cert_hidden_data": signed(RECORD + END, cert_entry(b"\x02\x01\x01", b"HIDDEN")),
    "cert_bad_der": signed(RECORD + END, struct.pack("<IHH", 16, 0x0200, 2) + b"\x30\x85\xff\xff\xff\xff\xff\0"),
    "cert_past_eof": secdir(IMAGE_LENGTH + len(RECORD + END) + 5, 0xFFFFFFF0) + RECORD + END + b"\0" * 5 + b"\x10",
    "cert_zero_length_entry": signed(RECORD + END, b"\0" * 16),
    # A ContentInfo that names SignedData and holds none (13 bytes).
    "cert_pkcs7_without_content": signed(RECORD + END, cert_entry(None, raw=der(0x30, oid(SIGNED_DATA)))),
    "cert_authenticode_nested": signed(RECORD + END, cert_entry(None, raw=authenticode([authenticode()]))),
    "cert_many_entries": signed(RECORD + END, struct.pack("<IHH", 8, 0x0200, 1) * 40 + cert_entry(None, raw=authenticode())),
    "der_authenticode_nested": authenticode([authenticode(), der(0x30, oid(SIGNED_DATA))]),
    "secdir_into_image": secdir(64, 8) + RECORD + END + b"12345678",
    "bare_mz": b"MZ" + b"\0" * 58 + struct.pack("<I", 0xFFFFFFF0),
    "bare_pe": b"MZ" + b"\0" * 58 + struct.pack("<I", 64) + b"PE\0\0" + b"\0" * 20 + b"\x0b\x02",
}


def resource_section(data, rva=0x2000, type_id=24, name_id=1, lang=1033):
    """One resource in a three-level tree: root, type, name directories,
    the data entry, then the data."""
    def directory(entry_id, target):
        return struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", entry_id, target)
    tree = (directory(type_id, 0x80000000 | 24) + directory(name_id, 0x80000000 | 48) +
            directory(lang, 72))
    return tree + struct.pack("<IIII", rva + 88, len(data), 0, 0) + data


def version_block(key, value=b"", children=b"", kind=1, value_length=None):
    """A version block: length, value length, type, UTF-16 key, value, children."""
    body = key.encode("utf-16-le") + b"\0\0"
    body += b"\0" * (-(6 + len(body)) % 4) + value
    body += b"\0" * (-(6 + len(body)) % 4) + children
    if value_length is None:
        value_length = len(value) // 2 if kind == 1 else len(value)
    return struct.pack("<HHH", 6 + len(body), value_length, kind) + body


def version_info(strings):
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, 0x10002, 0x30004, 0x10002, 0, 0x3F, 0, 0x40004, 1, 0, 0, 0)
    table = b""
    for key, value in strings:
        block = version_block(key, (value + "\0").encode("utf-16-le"))
        table += block + b"\0" * (-len(block) % 4)
    sfi = version_block("StringFileInfo", children=version_block("040904B0", children=table))
    return version_block("VS_VERSION_INFO", fixed, sfi + b"\0" * (-len(sfi) % 4), kind=0)


ICO = make_ico(((16, 32), (32, 8), (64, 0)))
LOOP = struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", 3, 0x80000000)

RESOURCE_CASES = {
    "ico_bitmap_and_png": ICO,
    "ico_data_outside": ICO[:-1],
    "ico_cursor": ICO[:2] + b"\2\0" + ICO[4:],
    "ico_png_wrong_size": ICO[:6 + 32] + b"\x20" + ICO[6 + 33:],
    "rsrc_manifest": resource_section(b"<assembly/>"),
    "rsrc_data_outside": resource_section(b"<assembly/>", rva=0x1000),
    "rsrc_loop": LOOP,
    "rsrc_named_type": resource_section(b"x" * 8, type_id=0x80000000 | 96) + struct.pack("<H", 2) + "AB".encode("utf-16-le"),
    "version_strings": version_info([("CompanyName", "Acme \u00dc"), ("ProductName", "Widget")]),
    "version_cut": version_info([("CompanyName", "Acme")])[:-10],
    "group_two_images": struct.pack("<HHH", 0, 1, 2) + struct.pack("<BBBBHHIH", 16, 16, 0, 0, 1, 32, 1128, 1) * 2,
    # Zeros leave the fuzzer's image as it is; the flipped bytes move the
    # entry point into the relocations and the text pointer into .rsrc.
    "image_unchanged": bytes(400),
    "image_entry_in_relocations": bytes(16) + struct.pack("<I", 0x1000 ^ 0x3000) + bytes(380),
}


def write_all(folder, cases):
    out = os.path.join(HERE, folder)
    os.makedirs(out, exist_ok=True)
    for name, data in sorted(cases.items()):
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


def main():
    write_all("corpus", CASES)
    write_all("corpus_resources", RESOURCE_CASES)


if __name__ == "__main__":
    main()
