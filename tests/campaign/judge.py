"""What a launcher run must show for a generated container, and whether it
did.

A case runs in its own directory:
    setup.exe           the container
    canary.txt          beside the container, and canary/ with files
                        (planted links point at two of them)
    t.....              TEMP, its name padded to generate.TEMP_LENGTH
    report.txt, hook.txt, probe.txt
prepare() makes that directory, driver_run() gives the driver's options,
and judge() reads what the run left and returns (outcome, failures).
"""
import json
import os
import re
import struct
import sys
import zlib

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from harness import FOLDER, FOLDER_OURS, Run, driver_args, read_lines, read_probe_report, windows_path  # noqa
from generate import HEADER_SIZE, NAME_OFFSET, TEMP_LENGTH, Case  # noqa: E402

CANARIES = {"canary.txt": b"beside the container\n",
            os.path.join("canary", "hard.txt"): b"target of a planted hard link\n",
            os.path.join("canary", "soft.txt"): b"target of a planted symbolic link\n",
            os.path.join("canary", "other.bin"): bytes(range(256))}
ANOTHER_INSTANCE = ("\nPlease make sure you have necessary permissions and that another "
                    "instance of setup is not running.")
# Every text the launcher shows.
LAUNCHER_TEXTS = [re.compile(p, re.S) for p in (
    r"Unable to open file: .*\nError number: \d+",
    r"Unable to open file: .*" + re.escape(ANOTHER_INSTANCE),
    r"Unable to open file: .*\nThe path is too long\.",
    r"Unable to seek into file: .*",
    r"Unable to read file: .*",
    r"Unable to write to file: .*",
    r"Invalid file name in payload: .*",
    r"Unable to launch .*\nError number -?\d+",
    r"Unable to launch .*\nOut of memory\.",
    r"Unable to extract files!\n(TEMP is not set\.|Out of memory\.|Thread creation failed!|"
    r"The progress window could not be created\.|The folder .* is a link\.)")]
MESSAGE_TEXT_SIZE = 1000


def temp_dir(case_dir):
    """TEMP of a case: a name that makes its Windows path TEMP_LENGTH long."""
    pad = TEMP_LENGTH - len(windows_path(case_dir)) - 1
    if pad < 1:
        raise RuntimeError("the case directory %s is too long for TEMP" % case_dir)
    return os.path.join(case_dir, "t" * pad)


def prepare(case, case_dir, image):
    """Writes the case's directory: container, canaries, TEMP, plants."""
    os.makedirs(os.path.join(case_dir, "canary"))
    for rel, content in CANARIES.items():
        with open(os.path.join(case_dir, rel), "wb") as f:
            f.write(content)
    if case.security:
        pe = pefile.PE(data=bytes(image), fast_load=True)
        security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
        security.VirtualAddress, security.Size = case.security
        image = pe.write()
    exe = os.path.join(case_dir, "setup.exe")
    with open(exe, "wb") as f:
        f.write(bytes(image) + case.payload)
    os.chmod(exe, 0o755)
    temp = temp_dir(case_dir)
    os.makedirs(temp)
    if case.plant:
        kind, name = case.plant
        folder = os.path.join(temp, FOLDER)
        os.makedirs(folder)
        where = os.path.join(folder, name)
        if kind == "leftover":
            with open(where, "wb") as f:
                f.write(b"left over by an earlier run")
        elif kind == "symlink":
            os.symlink(os.path.join(case_dir, "canary", "soft.txt"), where)
        elif kind == "hardlink":
            os.link(os.path.join(case_dir, "canary", "hard.txt"), where)
        else:
            os.makedirs(where)
    return exe


def driver_run(case_dir, timeout_ms):
    """The driver's options for the case.  A folder planted in advance
    counts as one an elevated run made, so that what is planted in it
    meets the launcher's look at each record's name."""
    return driver_args(os.path.join(case_dir, "setup.exe"), os.path.join(case_dir, "report.txt"),
                       os.path.join(case_dir, "hook.txt"), temp_dir(case_dir), timeout_ms,
                       dict(FOLDER_OURS,
                            SFX_PROBE_REPORT=windows_path(os.path.join(case_dir, "probe.txt"))))


def shown(text):
    """TEXT as the launcher's fixed message buffer shows it."""
    return text[:MESSAGE_TEXT_SIZE - 1]


class Expected:
    """The outcome the launcher must reach, found by reading the payload
    the way the launcher does."""

    def __init__(self, outcome, error=None, texts=(), files=None, launch=None):
        self.outcome, self.error, self.texts = outcome, error, list(texts)
        self.files, self.launch = files or {}, launch


def expect(case, exe_path, folder_path, probe, run):
    """The expected outcome.  A name the generator did not label is judged
    by the run: refused if the run refused it at that record."""
    payload, pos, texts, files, launch, first_key = case.payload, 0, [], {}, None, None
    seen_texts = [t[len("Extracting: "):] for t in run.texts()]
    first_error = run.errors[0] if run.errors else None
    read_failed = "Unable to read file: " + exe_path

    def stop(outcome, error):
        return Expected(outcome, shown(error), texts, files, launch)

    while len(payload) - pos >= HEADER_SIZE:
        size = struct.unpack_from("<i", payload, pos)[0]
        if size == -1:
            break
        if size < -1:
            return stop("bad-length", read_failed)
        field = payload[pos + NAME_OFFSET:pos + HEADER_SIZE]
        nul = field.find(b"\0")
        name = field[:nul] if nul >= 0 else field
        invalid = "Invalid file name in payload: " + name.decode("latin-1")
        accept = False if nul <= 0 else case.labels.get(name)
        if accept is None:
            accept = not (len(texts) == len(seen_texts) and first_error == shown(invalid))
        if not accept:
            return stop("invalid-name", invalid)
        text_name = name.decode("latin-1")
        path = folder_path + "\\" + text_name
        if len(path) >= 260:
            return stop("path-too-long", "Unable to open file: %s\nThe path is too long." % path)
        if launch is None:
            launch, first_key = path, name.lower()
        if case.plant and case.plant[1].encode() == name and case.plant[0] in ("symlink", "folder"):
            return stop("planted-" + case.plant[0], "Unable to open file: " + path +
                        ANOTHER_INSTANCE)
        texts.append(text_name)
        body = payload[pos + HEADER_SIZE:pos + HEADER_SIZE + size]
        key = name.lower()
        files[key] = (files.get(key, (name, b""))[0], body)
        if len(body) < size:
            return stop("data-cut-short", read_failed)
        pos += HEADER_SIZE + size
    if launch is None:
        return Expected("nothing-to-launch", re.compile(r"Unable to launch \nError number \d+"))
    first = files[first_key]
    if first[1] == probe and first[0].lower().endswith(b".exe"):
        return Expected("launched", None, texts, files, launch)
    return Expected("launch-failed",
                    re.compile(re.escape("Unable to launch " + launch) + r"\nError number \d+"),
                    texts, files, launch)


def through_code_page(text):
    """TEXT as a pattern that allows for what a double-byte code page
    makes of it on its way through the box: a lead byte takes the byte
    after it, and a pair that is no character comes back changed."""
    parts = re.split(r"([\x80-\xff][\s\S]?)", text)
    return re.compile("".join(r"[\s\S]{0,2}" if i % 2 else re.escape(p)
                              for i, p in enumerate(parts)))


def listing(top):
    """Every path below TOP, relative, with links and folders marked."""
    out = set()
    for root, dirs, names in os.walk(top):
        for n in dirs + names:
            p = os.path.join(root, n)
            rel = os.path.relpath(p, top)
            out.add(rel + ("@" if os.path.islink(p) else "/" if os.path.isdir(p) else ""))
    return out


def judge(case, case_dir, probe):
    """Reads the case's directory after the run: (outcome, [failures])."""
    run = Run(read_lines(os.path.join(case_dir, "report.txt")),
              read_lines(os.path.join(case_dir, "hook.txt")))
    keys = [k for k, _ in run.report]
    if "timeout" in keys:
        return "timeout", ["the launcher did not end within its time limit"]
    if "exit" not in keys:
        return "no-report", ["the driver reported no exit: %r" % (run.report,)]
    failures = ["the hook found no import of %s" % name for name in run.missing_imports]
    if run.exit_code != 0:
        failures.append("exit status %d (0x%X)" % (run.exit_code, run.exit_code))
    for caption, text, _ in run.boxes:
        if caption != "Error" or not any(p.fullmatch(text) for p in LAUNCHER_TEXTS):
            failures.append("a box that is not the launcher's: %r %r" % (caption, text))

    exe_path = windows_path(os.path.join(case_dir, "setup.exe"))
    temp = temp_dir(case_dir)
    folder_path = windows_path(temp) + "\\" + FOLDER
    want = expect(case, exe_path, folder_path, probe, run)

    got_error = run.errors[0] if run.errors else None
    if isinstance(want.error, str) and case.acp != "1252":
        want.error = through_code_page(want.error)
    if isinstance(want.error, re.Pattern):
        if got_error is None or not want.error.fullmatch(got_error):
            failures.append("error %r, expected one matching %r" % (got_error, want.error.pattern))
    elif got_error != want.error:
        failures.append("error %r, expected %r" % (got_error, want.error))
    if len(run.errors) > 1:
        failures.append("more than one error box: %r" % (run.errors,))
    got_texts = [t[len("Extracting: "):] for t in run.texts()]
    if got_texts != want.texts and case.acp == "1252":
        failures.append("status texts %r, expected %r" % (got_texts[:5], want.texts[:5]))
    closes = [v for k, v in run.messages if k == "close"]
    if closes != ["sent"]:
        failures.append("WM_CLOSE sent %d times" % len(closes))

    probe_path = os.path.join(case_dir, "probe.txt")
    if want.outcome == "launched":
        if not os.path.exists(probe_path):
            failures.append("the installer did not run")
        else:
            failures += compare_files(case, want, read_probe_report(probe_path)[1])
    elif os.path.exists(probe_path):
        failures.append("the installer ran after a failure")

    for rel, content in CANARIES.items():
        p = os.path.join(case_dir, rel)
        if not os.path.isfile(p) or open(p, "rb").read() != content:
            failures.append("canary %s changed" % rel)
    allowed = {"setup.exe", "canary/", "canary.txt", "report.txt", "hook.txt", "probe.txt",
               os.path.basename(temp) + "/"} | {c for c in CANARIES}
    extra = {p for p in listing(case_dir) if not p.startswith(os.path.basename(temp) + os.sep)}
    if extra - allowed:
        failures.append("written outside the extraction folder: %s" % sorted(extra - allowed))
    left = listing(temp)
    kept = set()
    if case.plant and case.plant[0] in ("symlink", "folder"):
        kept = {FOLDER + "/", os.path.join(FOLDER, case.plant[1]) +
                ("@" if case.plant[0] == "symlink" else "/")}
    if left != kept:
        failures.append("TEMP holds %s afterwards" % sorted(left - kept)[:5]
                        if left - kept else "TEMP lost %s" % sorted(kept - left))
    return want.outcome, failures


def compare_files(case, want, seen):
    """The installer's view of its folder against the records written."""
    expected = {}
    for name, body in want.files.values():
        expected[name.decode("latin-1")] = (len(body), zlib.crc32(body))
    if case.acp != "1252":
        # Names outside ASCII come back through the code page: compare
        # their contents only.
        def split(d):
            plain = {k: v for k, v in d.items() if k.isascii()}
            return plain, sorted(v for k, v in d.items() if not k.isascii())
        expected, seen = split(expected), split(seen)
    if expected != seen:
        return ["the installer found %s, expected %s" % (str(seen)[:300], str(expected)[:300])]
    return []


# -- the corpus: cases kept as files -------------------------------------------
# A case's file holds its payload without the probe installer's bytes
# behind the first header (the replay puts in those of its own build),
# and index.json holds the rest of the case and its outcome.

def probe_bytes_in(case, probe):
    """How many bytes of the probe follow the first header, or None if
    the first record is not the probe."""
    body = case.payload[HEADER_SIZE:HEADER_SIZE + len(probe)]
    if len(case.payload) < HEADER_SIZE or case.payload[4:14] != b"probe.exe\0" or \
            not probe.startswith(body):
        return None
    return len(body)


def save_corpus(directory, chosen, probe):
    """Writes the (case, outcome) pairs of CHOSEN and the index."""
    os.makedirs(directory, exist_ok=True)
    index = []
    for n, (case, outcome) in enumerate(chosen):
        name = "%02d-%s-%s.bin" % (n, "-".join(filter(None, (case.kind, case.variant))), outcome)
        held = probe_bytes_in(case, probe)
        payload = case.payload
        if held is not None:
            payload = payload[:HEADER_SIZE] + payload[HEADER_SIZE + held:]
        with open(os.path.join(directory, name), "wb") as f:
            f.write(payload)
        index.append({"file": name, "seed": case.seed, "kind": case.kind, "outcome": outcome,
                      "variant": case.variant, "acp": case.acp, "security": case.security,
                      "plant": case.plant, "probe": held,
                      "labels": {k.hex(): v for k, v in sorted(case.labels.items())}})
    with open(os.path.join(directory, "index.json"), "w") as f:
        json.dump(index, f, indent=1)
        f.write("\n")


def load_corpus(directory, probe):
    """The corpus as [(case, outcome)], with this build's probe put in."""
    with open(os.path.join(directory, "index.json")) as f:
        index = json.load(f)
    out = []
    for entry in index:
        case = Case(entry["seed"], entry["kind"])
        with open(os.path.join(directory, entry["file"]), "rb") as f:
            payload = f.read()
        held = entry["probe"]
        if held is not None:
            head = bytearray(payload[:HEADER_SIZE])
            if held == struct.unpack_from("<i", head)[0]:
                held = len(probe)       # the whole probe, as long as it is now
                struct.pack_into("<i", head, 0, held)
            payload = bytes(head) + probe[:held] + payload[HEADER_SIZE:]
        case.payload = payload
        case.acp, case.variant = entry["acp"], entry["variant"]
        case.security = tuple(entry["security"]) if entry["security"] else None
        case.plant = tuple(entry["plant"]) if entry["plant"] else None
        case.labels = {bytes.fromhex(k): v for k, v in entry["labels"].items()}
        out.append((case, entry["outcome"]))
    return out
