"""The container layout for the Python tests: the launcher image's length,
the record header, the end record and the extraction folder's name, read
from src/payload/container.h, which the launcher and sfxpack compile, so
the tests cannot disagree with them; and the writing of records, payloads
and whole containers."""
import os
import re
import struct

_HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "payload", "container.h")
_NAMES = ("PAYLOAD_OFFSET", "RECORD_HEADER_SIZE", "RECORD_NAME_OFFSET", "RECORD_NAME_SIZE", "END_RECORD_SIZE",
          "COPY_CHUNK_SIZE", "EXTRACT_FOLDER_NAME")


def defines(path, names):
    """The #defines NAMES of the C header at PATH, integers as int and
    strings as written in C (escapes left as they are); a missing header or
    #define stops the test run here, naming the file and what is missing."""
    try:
        with open(path, encoding="ascii") as f:
            text = f.read()
    except OSError as e:
        raise RuntimeError("sfxcontainer: cannot read %s: %s" % (os.path.normpath(path), e.strerror))
    found = {name: int(value, 0) for name, value in re.findall(
        r"^#define[ \t]+(\w+)[ \t]+\(?(-?(?:0x[0-9A-Fa-f]+|[0-9]+))L?\)?", text, re.M)}
    found.update(re.findall(r'^#define[ \t]+(\w+)[ \t]+"((?:[^"\\]|\\.)*)"', text, re.M))
    missing = [name for name in names if name not in found]
    if missing:
        raise RuntimeError("sfxcontainer: %s defines no %s" % (os.path.normpath(path), ", ".join(missing)))
    return found


_D = defines(_HEADER, _NAMES)
IMAGE_LENGTH = _D["PAYLOAD_OFFSET"]     # the launcher image; the payload starts here
HEADER_SIZE = _D["RECORD_HEADER_SIZE"]  # int32 LE size, then the name field
NAME_OFFSET = _D["RECORD_NAME_OFFSET"]  # the name field within the header
NAME_FIELD = _D["RECORD_NAME_SIZE"]
END_SIZE = _D["END_RECORD_SIZE"]        # the size of the end record
CHUNK = _D["COPY_CHUNK_SIZE"]           # the launcher copies data in chunks of this
FOLDER = _D["EXTRACT_FOLDER_NAME"].strip("\\")  # the extraction folder below TEMP


def record_header(size, name):
    """One record header: SIZE as int32 LE, then NAME (bytes, or a str
    written in latin-1) padded with NULs to the name field, cut to it if
    longer."""
    raw = name.encode("latin-1") if isinstance(name, str) else name
    return struct.pack("<i", size) + raw.ljust(NAME_FIELD, b"\0")[:NAME_FIELD]


END_RECORD = record_header(END_SIZE, b"")


def payload(records, end=True):
    """(name, data) records back to back, each behind its header, then the
    end record unless END is false."""
    out = b"".join(record_header(len(data), name) + data for name, data in records)
    return out + END_RECORD if end else out


def container(image, records, end=True, trailing=b""):
    """IMAGE (the launcher image's bytes), the payload of RECORDS, then
    TRAILING."""
    return bytes(image) + payload(records, end) + trailing
