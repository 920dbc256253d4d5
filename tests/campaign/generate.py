"""Hostile containers for the launcher, made from a seed.

generate(case_seed, probe) returns one Case: the payload that follows the
launcher image, and what the run needs besides it (the ANSI code page the
launcher runs in, a security directory to write into the image, entries
planted in the extraction folder).  Every name the generator writes is
labelled with whether the launcher must accept it, so the judge can tell
the expected outcome; names that a mutation made are labelled None.
The same seed always gives the same case.
"""
import os
import random
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from sfxcontainer import (CHUNK, END_RECORD, FOLDER, HEADER_SIZE, IMAGE_LENGTH, NAME_FIELD,  # noqa: E402,F401
                          NAME_OFFSET, record_header)

# TEMP is padded to this many characters, so that the extraction folder's
# path has a known length: folder + "\" + name reaches 260 bytes exactly
# when the name has NAME_LIMIT bytes.
TEMP_LENGTH = 120
NAME_LIMIT = 260 - (TEMP_LENGTH + len("\\" + FOLDER + "\\"))

SIZES = [-2 ** 31, -3, -2, 0, 1, 65535, 65536, 65537, 2 ** 24 - 1, 2 ** 24, 2 ** 24 + 1,
         2 ** 31 - 1]
REFUSED_CHARS = b'\\/:*?"<>|' + bytes(range(1, 32))
DEVICES = [b"CON", b"PRN", b"AUX", b"NUL"] + [port + bytes([digit]) for port in (b"COM", b"LPT")
                                             for digit in b"123456789\xb9\xb2\xb3"]
# Double-byte names of code page 932 whose trail bytes are 0x5C and 0x7C.
DBCS_NAMES = [b"\x83\x5c\x83\x74\x83\x67.exe", b"\x95\x5c.txt", b"\x83\x7c\x83\x43.dat"]
# Lead bytes of code page 932.
LEAD_BYTES = list(range(0x81, 0xA0)) + list(range(0xE0, 0xFD))


class Case:
    def __init__(self, seed, kind):
        self.seed = seed
        self.kind = kind
        self.payload = bytearray()
        self.labels = {}        # name bytes -> must be accepted (True/False/None)
        self.acp = "1252"       # or "932": the locale the launcher runs in
        self.security = None    # (offset, size) for the image's security directory
        self.plant = None       # (kind, record name) planted in the folder
        self.variant = ""       # which way of its kind the case went

    def record(self, name, data, size=None, accept=True, field=None):
        """Appends a header (SIZE defaults to the data's length) and DATA."""
        if field is None:
            field = name + b"\0" + bytes(NAME_FIELD)
        self.labels.setdefault(name, accept)
        self.payload += record_header(len(data) if size is None else size, field) + data

    def end(self):
        self.payload += END_RECORD


def data(rng, size):
    """Record data that no system takes for a program or a script."""
    if size <= 0:
        return b""
    return b"\0" + rng.randbytes(size - 1)


def plain_name(rng, length=None):
    stem = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789_-") for _ in
                   range(length or rng.randint(1, 12)))
    return (stem + rng.choice([".txt", ".bin", ".dat", ""])).encode()


def start(case, rng, probe):
    """The first record: mostly the probe installer, sometimes plain data
    (which the launcher then fails to start)."""
    if rng.random() < 0.75:
        case.record(b"probe.exe", probe)
    else:
        case.record(plain_name(rng), data(rng, rng.randint(0, 300)))


def gen_sizes(case, rng, probe):
    start(case, rng, probe)
    size = rng.choice(SIZES + [rng.randint(-2 ** 31, 2 ** 31 - 1)])
    whole = size <= 65537 or (size <= 2 ** 24 + 1 and rng.random() < 0.15)
    have = max(size, 0) if whole else rng.choice([0, 1, CHUNK - 1, CHUNK, CHUNK + 1, 1000])
    case.record(plain_name(rng), data(rng, min(have, max(size, 0))), size=size)
    if rng.random() < 0.5:
        case.record(plain_name(rng), data(rng, rng.randint(0, 100)))
    if rng.random() < 0.8:
        case.end()


def gen_cuts(case, rng, probe):
    start(case, rng, probe)
    for _ in range(rng.randint(0, 3)):
        case.record(plain_name(rng), data(rng, rng.choice([0, 3, CHUNK, CHUNK + 1, 70000])))
    case.end()
    # Boundaries: every header start and data start, and around them.
    marks, pos = [], 0
    while pos + HEADER_SIZE <= len(case.payload):
        size = struct.unpack_from("<i", case.payload, pos)[0]
        marks += [pos, pos + 1, pos + NAME_OFFSET, pos + NAME_OFFSET + 1, pos + HEADER_SIZE - 1, pos + HEADER_SIZE]
        if size < 0:
            break
        body = pos + HEADER_SIZE
        marks += [body + size - 1, body + min(size, CHUNK), body + min(size, CHUNK) + 1]
        pos = body + size
    cut = rng.choice([m for m in marks if 0 <= m <= len(case.payload)])
    del case.payload[cut:]


def refused_name(rng):
    """A name the rule must refuse, and the class of its refusal."""
    stem = plain_name(rng, rng.randint(1, 6))
    at = rng.randint(0, len(stem))
    device = bytes(c | 0x20 if rng.random() < 0.5 else c for c in rng.choice(DEVICES))
    makers = {
        "character": lambda: stem[:at] + bytes([rng.choice(REFUSED_CHARS)]) + stem[at:],
        "trailing": lambda: stem + rng.choice([b".", b" ", b". ", b" ."]),
        "dots": lambda: rng.choice([b".", b"..", b"...", b" "]),
        "device": lambda: device + rng.choice([b"", b".txt", b" .txt", b".tar.gz", b" "]),
        "parent": lambda: b"..\\" + stem,
        "drive": lambda: b"C:" + stem,
        "slash": lambda: b"sub/" + stem,
        # 0x5C and 0x7C after bytes that are no lead bytes in any code page.
        "sbcs-5c-7c": lambda: b"a" + rng.choice([b"\\", b"|"]) + stem,
        "high-5c-7c": lambda: b"\xE9" * rng.randint(0, 3) + rng.choice([b"\\", b"|"]) + b".txt",
    }
    kind = rng.choice(sorted(makers))
    return makers[kind](), kind


def accepted_name(rng):
    choice = rng.randrange(6)
    if choice == 0:
        return plain_name(rng)
    if choice == 1:
        # Device names that are not devices.
        return rng.choice([b"COM0", b"LPT0", b"CONSOLE", b"NULL.txt", b"COM10", b"AUXI", b"xCON"])
    if choice == 2:
        return bytes(rng.randint(0x80, 0xFF) for _ in range(rng.randint(1, 8))) + b".txt"
    if choice == 3:
        return b" lead" + plain_name(rng, 3)
    if choice == 4:
        return b".hidden" + plain_name(rng, 2)
    return b"x" * rng.randint(NAME_LIMIT - 3, NAME_LIMIT - 1)


def gen_names(case, rng, probe):
    start(case, rng, probe)
    for _ in range(rng.randint(0, 2)):
        name = accepted_name(rng)
        case.record(name, data(rng, rng.randint(0, 50)))
    if rng.random() < 0.15:
        # No NUL within the field.
        name = plain_name(rng, 4) * 300
        case.record(name[:NAME_FIELD], b"abc", field=name, accept=False)
        case.variant = "no-nul"
    elif rng.random() < 0.15:
        case.record(b"y" * rng.randint(NAME_LIMIT, NAME_LIMIT + 2), b"long", accept=True)
        case.variant = "long"
    else:
        name, case.variant = refused_name(rng)
        case.record(name, b"refused", accept=False)
    case.end()


def is_cp932_text(raw):
    try:
        raw.decode("cp932")
        return True
    except UnicodeDecodeError:
        return False


def gen_dbcs(case, rng, probe):
    """Names in code page 932, and the same bytes under 1252."""
    case.acp = rng.choice(["932", "1252"])
    start(case, rng, probe)
    name = rng.choice(DBCS_NAMES)
    case.record(name, data(rng, 20), accept=case.acp == "932")
    choice = rng.randrange(3)
    case.variant = case.acp + "-" + ["lead-at-end", "no-trail-byte", "pair"][choice]
    if choice == 0:
        # A lead byte right before the NUL, or at the end of the field.
        lead = bytes([rng.choice(LEAD_BYTES)])
        if rng.random() < 0.5:
            case.record(b"name" + lead, b"lead", accept=case.acp == "1252")
        else:
            field = b"n" * (NAME_FIELD - 2) + lead + b"\0"
            case.record(field[:-1], b"lead", field=field, accept=case.acp == "1252")
    elif choice == 1:
        # A lead byte before a byte that can be no trail byte.
        lead = bytes([rng.choice(LEAD_BYTES)])
        bad = bytes([rng.choice(b'/:*?"<>' + bytes(range(1, 32)))])
        case.record(b"a" + lead + bad + b"b.txt", b"pair", accept=False)
    else:
        # Code page 932 has no character for some pairs (84 ED, say): the
        # launcher refuses those names.  Python's cp932 codec has the same
        # table as the system's.
        pair = bytes([rng.choice(LEAD_BYTES), rng.randint(0x40, 0xFC)])
        case.record(pair + b".txt", b"pair", accept=case.acp == "1252" or is_cp932_text(pair))
    case.end()


def gen_duplicates(case, rng, probe):
    start(case, rng, probe)
    name = plain_name(rng, rng.randint(2, 8))
    for _ in range(rng.randint(2, 4)):
        variant = bytes(c ^ 0x20 if chr(c).isalpha() and rng.random() < 0.5 else c for c in name)
        case.record(variant, data(rng, rng.randint(0, 3000)))
    case.end()


def gen_many(case, rng, probe):
    case.record(b"probe.exe", probe)
    same = rng.random() < 0.3
    for i in range(rng.randint(1000, 3000)):
        case.record(b"same.txt" if same else b"e%05d" % i, b"")
    if rng.random() < 0.8:
        case.end()


def gen_trailing(case, rng, probe):
    start(case, rng, probe)
    case.end()
    choice = rng.randrange(3)
    case.variant = ["junk", "hidden-record", "bad-length"][choice]
    if choice == 0:
        case.payload += rng.randbytes(rng.randint(1, 5000))
    elif choice == 1:
        case.payload += bytes(rng.randint(0, 7))
        case.record(b"hidden.txt", b"hidden", accept=True)
    else:
        case.payload += record_header(-2, b"")


def gen_security(case, rng, probe):
    """The image's security directory points into the payload."""
    start(case, rng, probe)
    case.record(plain_name(rng), data(rng, rng.randint(0, 5000)))
    case.end()
    offset = IMAGE_LENGTH + rng.randint(0, len(case.payload) + 16)
    size = rng.choice([0, 8, rng.randint(1, 2 ** 31), len(case.payload)])
    case.security = (offset, size)


def gen_mutant(case, rng, probe):
    """A sound container with a few bytes of its headers changed."""
    case.record(b"probe.exe", probe)
    heads = []
    for _ in range(rng.randint(1, 3)):
        heads.append(len(case.payload))
        case.record(plain_name(rng), data(rng, rng.randint(0, 2000)))
    case.end()
    for _ in range(rng.randint(1, 4)):
        at = rng.choice(heads) + rng.choice([0, 1, 2, 3, 4, 5, 6, rng.randint(4, 40)])
        case.payload[at] = rng.randrange(256)
    for at in heads:
        field = bytes(case.payload[at + NAME_OFFSET:at + HEADER_SIZE])
        name = field.split(b"\0", 1)[0]
        if name not in case.labels or case.labels[name] is not True:
            case.labels[name] = None


def gen_plant(case, rng, probe):
    """An entry already in the extraction folder under a record's name."""
    start(case, rng, probe)
    name = plain_name(rng, 5)
    case.record(name, data(rng, rng.randint(0, 3000)))
    case.end()
    case.plant = (rng.choice(["leftover", "symlink", "hardlink", "folder"]), name.decode())
    case.variant = case.plant[0]


KINDS = [("sizes", gen_sizes, 4), ("cuts", gen_cuts, 4), ("names", gen_names, 5),
         ("dbcs", gen_dbcs, 2), ("duplicates", gen_duplicates, 1), ("many", gen_many, 0.1),
         ("trailing", gen_trailing, 1), ("security", gen_security, 1), ("mutant", gen_mutant, 3),
         ("plant", gen_plant, 1)]


def generate(case_seed, probe):
    rng = random.Random(case_seed)
    name, fn, _ = rng.choices(KINDS, weights=[w for _, _, w in KINDS])[0]
    case = Case(case_seed, name)
    fn(case, rng, probe)
    case.payload = bytes(case.payload)
    return case
