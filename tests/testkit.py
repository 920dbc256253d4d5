"""What the Python tests share: the source tree and the build's paths, which
CTest hands over in environment variables; the run of a test file's cases,
which fails when none ran; a command run that fails the test with the
command's output; and a minimal PE image to pack, pad and check."""
import os
import struct
import subprocess
import sys
import unittest

from sfxcontainer import IMAGE_LENGTH

SOURCE_DIR = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

_needed = []


def build_path(name):
    """The path in environment variable NAME, which the test's CTest entry
    sets; main() refuses to run while one of them is unset."""
    _needed.append(name)
    return os.environ.get(name, "")


def main():
    """Runs the test cases of the file run as a script (unittest's options
    from the command line) and exits: 2 when a build path is unset, 1 when
    a case failed or none ran, else 0."""
    missing = [name for name in _needed if not os.environ.get(name)]
    if missing:
        sys.stderr.write("%s: set %s (CTest sets it from the build tree)\n"
                         % (os.path.basename(sys.argv[0]), ", ".join(missing)))
        sys.exit(2)
    result = unittest.main(module="__main__", exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)


def read(path):
    """The bytes of the file at PATH."""
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    """Makes the file at PATH hold the bytes DATA."""
    with open(path, "wb") as f:
        f.write(data)


def sh(*args, check=True, timeout=240, cwd=None):
    """Runs a command (in CWD), its output captured as text; with CHECK, a
    non-zero exit fails the test, showing the command and its output."""
    p = subprocess.run(args, capture_output=True, text=True, timeout=timeout, cwd=cwd)
    if check and p.returncode != 0:
        raise AssertionError(f"{' '.join(args)} exited {p.returncode}\n{p.stdout}\n{p.stderr}")
    return p


# The layout of make_pe's images.
PE_AT = 0x80                          # e_lfanew: the PE signature, then the file header
OPTIONAL_AT = PE_AT + 24              # the optional header, 224 bytes (PE32, 16 data directories)
SECTION_TABLE_AT = OPTIONAL_AT + 224  # 40 bytes per section
HEADERS_SIZE = 0x400                  # the first section's raw data start here
FILE_ALIGNMENT = 0x200
SECTION_ALIGNMENT = 0x1000


def make_pe(size=IMAGE_LENGTH, security=(0, 0), magic=0x10B, sections=None, trailing=b""):
    """A minimal PE image: the headers in the first HEADERS_SIZE bytes (the
    data directories all zero but the security directory), then each
    section's raw data, zeros, then TRAILING.  SECTIONS: [(name, virtual
    size, raw size)], laid out in order from RVA 0x1000 on; by default one
    unnamed section whose raw data run to SIZE bytes."""
    if sections is None:
        sections = [(b"", size, size - HEADERS_SIZE)]
    headers = bytearray(HEADERS_SIZE)
    headers[0:2] = b"MZ"
    struct.pack_into("<I", headers, 0x3C, PE_AT)
    headers[PE_AT:PE_AT + 4] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", headers, PE_AT + 4, 0x014C, len(sections), 0, 0, 0, 224, 0x0102)
    virtual, raw = SECTION_ALIGNMENT, HEADERS_SIZE
    for i, (name, vsize, rsize) in enumerate(sections):
        struct.pack_into("<8sIIII", headers, SECTION_TABLE_AT + 40 * i, name, vsize, virtual, rsize, raw)
        struct.pack_into("<I", headers, SECTION_TABLE_AT + 40 * i + 36, 0x40000040)
        virtual += (max(vsize, rsize) + SECTION_ALIGNMENT - 1) // SECTION_ALIGNMENT * SECTION_ALIGNMENT
        raw += rsize
    opt = OPTIONAL_AT
    struct.pack_into("<HBB", headers, opt, magic, 2, 0)
    struct.pack_into("<II", headers, opt + 32, SECTION_ALIGNMENT, FILE_ALIGNMENT)
    struct.pack_into("<II", headers, opt + 56, virtual, HEADERS_SIZE)  # SizeOfImage, SizeOfHeaders
    struct.pack_into("<HH", headers, opt + 68, 2, 0x0140)               # GUI subsystem; ASLR, NX
    struct.pack_into("<I", headers, opt + 92, 16)
    struct.pack_into("<II", headers, opt + 96 + 32, *security)
    return bytes(headers) + bytes(raw - HEADERS_SIZE) + trailing
