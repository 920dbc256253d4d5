#!/usr/bin/env python3
"""Writes the crafted reader inputs in corpus/.

Each input is what fuzz_reader.cc expects: 8 bytes that become the
image's security directory (file offset, size; little-endian), then the
bytes behind the 131072-byte launcher image.
"""
import os
import struct

IMAGE = 0x20000
HERE = os.path.dirname(os.path.abspath(__file__))


def header(size, name):
    return struct.pack("<i", size) + name.ljust(1020, b"\0")


END = header(-1, b"")


def secdir(offset=0, size=0):
    return struct.pack("<II", offset, size)


def cert_entry(content, hidden=b""):
    der = b"\x30" + bytes([len(content)]) + content + hidden
    entry = struct.pack("<IHH", 8 + len(der), 0x0200, 2) + der
    return entry + b"\0" * (-len(entry) % 8)


def signed(payload, entry, pad=None):
    start = IMAGE + len(payload)
    padding = b"\0" * (-start % 8) if pad is None else pad
    return secdir(start + len(padding), len(entry)) + payload + padding + entry


RECORD = header(3, b"a.exe") + b"abc"

CASES = {
    "truncated_header": secdir() + header(3, b"a.exe")[:500],
    "truncated_data": secdir() + header(100, b"a.exe") + b"x" * 50,
    "size_minus_2": secdir() + header(-2, b"a.exe") + END,
    "size_max_no_data": secdir() + header(0x7FFFFFFF, b"big.bin"),
    "name_without_nul": secdir() + struct.pack("<i", 0) + b"n" * 1020 + END,
    "name_with_slash": secdir() + header(0, b"../evil") + END,
    "junk_after_end": secdir() + RECORD + END + b"junk",
    "empty_payload": secdir() + END,
    "two_records": secdir() + RECORD + header(0, b"empty.txt") + END,
    "duplicate_names": secdir() + RECORD + header(1, b"A.EXE") + b"z" + END,
    "fake_cert_table": signed(RECORD + END, cert_entry(b"\x02\x01\x01")),
    "cert_table_then_byte": signed(RECORD + END, cert_entry(b"\x02\x01\x01")) + b"!",
    "cert_hidden_data": signed(RECORD + END, cert_entry(b"\x02\x01\x01", b"HIDDEN")),
    "cert_bad_der": signed(RECORD + END, struct.pack("<IHH", 16, 0x0200, 2) + b"\x30\x85\xff\xff\xff\xff\xff\0"),
    "cert_past_eof": secdir(IMAGE + len(RECORD + END) + 5, 0xFFFFFFF0) + RECORD + END + b"\0" * 5 + b"\x10",
    "cert_zero_length_entry": signed(RECORD + END, b"\0" * 16),
    "secdir_into_image": secdir(64, 8) + RECORD + END + b"12345678",
    "bare_mz": b"MZ" + b"\0" * 58 + struct.pack("<I", 0xFFFFFFF0),
    "bare_pe": b"MZ" + b"\0" * 58 + struct.pack("<I", 64) + b"PE\0\0" + b"\0" * 20 + b"\x0b\x02",
}


def main():
    out = os.path.join(HERE, "corpus")
    os.makedirs(out, exist_ok=True)
    for name, data in sorted(CASES.items()):
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
