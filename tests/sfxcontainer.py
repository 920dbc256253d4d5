"""The container layout for the Python tests: the launcher image's length
and the record header, read from src/payload/container.h, which the
launcher and sfxpack compile, so the tests cannot disagree with them."""
import os
import re
import struct

_HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "payload", "container.h")


def _defines():
    with open(_HEADER, encoding="ascii") as f:
        text = f.read()
    found = {}
    for name, value in re.findall(r"^#define[ \t]+(\w+)[ \t]+\(?(-?(?:0x[0-9A-Fa-f]+|[0-9]+))L?\)?", text, re.M):
        found[name] = int(value, 0)
    return found


_D = _defines()
IMAGE_LENGTH = _D["PAYLOAD_OFFSET"]    # the launcher image; the payload starts here
HEADER_SIZE = _D["RECORD_HEADER_SIZE"]  # int32 LE size, then the name field
NAME_FIELD = _D["RECORD_NAME_SIZE"]
END_SIZE = _D["END_RECORD_SIZE"]        # the size of the end record
CHUNK = _D["COPY_CHUNK_SIZE"]           # the launcher copies data in chunks of this


def record_header(size, name):
    """One record header: SIZE as int32 LE, then NAME (bytes, or a str
    written in latin-1) padded with NULs to the name field, cut to it if
    longer."""
    raw = name.encode("latin-1") if isinstance(name, str) else name
    return struct.pack("<i", size) + raw.ljust(NAME_FIELD, b"\0")[:NAME_FIELD]


END_RECORD = record_header(END_SIZE, b"")
