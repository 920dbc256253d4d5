#!/usr/bin/env python3
"""Command-line tests of sfxpack: real processes on real files.

Each case states the exit status and the stderr text it expects.  The
program under test is $SFXPACK; $SFX_LAUNCHER is the launcher image that
sfxpack embeds.
"""
import glob
import hashlib
import http.server
import json
import os
import pty
import re
import resource
import shutil
import signal
import stat
import struct
import subprocess
import tempfile
import termios
import threading
import time
import unittest
import fcntl

import pefile

from images import header, make_ico, make_pe  # noqa: E402
from sfxcontainer import (END_RECORD as END, HEADER_SIZE as HEADER, IMAGE_LENGTH as IMAGE,  # noqa: E402
                          NAME_OFFSET, container, defines)
from testkit import SOURCE_DIR, build_path, main, read  # noqa: E402

SFXPACK = build_path("SFXPACK")
SFX_LAUNCHER = build_path("SFX_LAUNCHER")
# The ids the resource script and the launcher share.
_IDS = defines(os.path.join(SOURCE_DIR, "res", "resource.h"), ("IDI_APPICON", "IDD_PROGRESS"))
IDI_APPICON, IDD_PROGRESS = _IDS["IDI_APPICON"], _IDS["IDD_PROGRESS"]
NAME_RULE = ("is not a plain Windows file name (it must be non-empty, without \\ / : * ? \" < > | "
             "or control characters, not end in a dot or blank, and not be a device name)")


def run(*args, cwd=None, prefix=(), stdin=None, file_limit=None, raw=False, program=None):
    """file_limit plants a write failure: no file may grow beyond that many bytes.
    raw passes the arguments as bytes: what a shell would pass, UTF-8 or not.
    program runs another copy of sfxpack instead of $SFXPACK."""
    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # EFBIG instead of a killed process
        resource.setrlimit(resource.RLIMIT_FSIZE, (file_limit, file_limit))
    if raw:
        args = [a.encode("latin-1") for a in args]
    p = subprocess.run([*prefix, program or SFXPACK, *args], cwd=cwd, capture_output=True, timeout=120, input=stdin,
                       preexec_fn=limit if file_limit else None)
    return p.returncode, p.stdout.decode("utf-8", "surrogateescape"), p.stderr.decode("utf-8", "surrogateescape")


def parse(data):
    """Independent reading of a container: [(name, data)], end offset."""
    pos, records = IMAGE, []
    while True:
        size, = struct.unpack_from("<i", data, pos)
        if size == -1:
            return records, pos
        field = data[pos + NAME_OFFSET:pos + HEADER]
        name = field[:field.index(0)]
        records.append((name, data[pos + HEADER:pos + HEADER + size], field))
        pos += HEADER + size


class Case(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="sfxpack-cli-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, name, data):
        p = self.path(name)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def sfx(self, *args, **kw):
        return run(*args, cwd=self.dir, **kw)

    def expect(self, args, status, stderr, stdout=None, **kw):
        rc, out, err = self.sfx(*args, **kw)
        self.assertEqual((status, stderr), (rc, err), f"sfxpack {' '.join(args)}\nstdout: {out}")
        if stdout is not None:
            self.assertEqual(stdout, out)
        return out

    def refuse(self, args, stderr):
        """create -o c.exe ARGS is refused with `stderr`, leaving nothing behind."""
        self.expect(["create", "-o", "c.exe", *args], 1, stderr)
        self.assertEqual([], glob.glob(self.path("*c.exe*")), "output or temporary file left behind")

    def inputs(self):
        self.write("setup.exe", make_pe(4096))
        self.write("data.bin", bytes(range(256)) * 800)
        self.write("empty.txt", b"")


class Conventions(Case):
    def test_version(self):
        out = self.expect(["--version"], 0, "")
        image = hashlib.sha256(read(SFX_LAUNCHER)).hexdigest()
        self.assertRegex(out, r"^sfxpack \d+\.\d+\.\d+\nLicense: MIT, Copyright \(c\) the sfx authors\n"
                         f"Launcher image SHA-256: {image}\n$")

    def test_help_on_every_subcommand(self):
        for cmd in ("create", "stub", "list", "verify", "extract"):
            for flag in ("--help", "-h"):
                out = self.expect([cmd, flag], 0, "")
                self.assertTrue(out.startswith(f"Usage: sfxpack {cmd} "), out)
            self.expect(["help", cmd], 0, "", out)
        self.assertIn("Exit status: 0 success, 1 bad container", self.expect(["--help"], 0, ""))
        self.expect(["help", "nosuch"], 2, "sfxpack: unknown command 'nosuch'\nTry 'sfxpack --help'.\n", "")
        self.assertIn("\nExit status: 0 when every file was written, 1 when none was (a bad\n",
                      self.expect(["extract", "--help"], 0, ""))

    def test_manual_page_and_completion_name_every_option_and_lint_clean(self):
        tools = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tools/sfxpack")
        page = os.path.join(tools, "sfxpack.1")
        with open(page) as f:
            source = f.read()
        with open(os.path.join(tools, "sfxpack.bash-completion")) as f:
            completion = f.read()
        groups = dict(re.findall(r"local (\w+)='([^']*)'", completion))
        offered = {cmd: set(re.sub(r"\$(\w+)", lambda m: groups[m.group(1)], words).split())
                   for cmd, words in re.findall(r"^ +(\w+)\) options=\"([^\"]*)\"", completion, re.M)}
        for cmd in ("create", "stub", "list", "verify", "extract"):
            options = set(re.findall(r"(?<![\w-])(--?[A-Za-z][\w-]*)", self.expect([cmd, "--help"], 0, "")))
            self.assertEqual(options, offered.get(cmd), f"the completion of '{cmd}' differs from its help")
            for opt in options:
                self.assertTrue(re.search(rf"\bFl {re.escape(opt[1:])}(?![\w-])", source),
                                f"{opt} of '{cmd} --help' is not in the manual page")
        self.assertIn(".Sh SEE ALSO\n.Xr makensis 1 ,\n.Xr osslsigncode 1 ,\n.Xr wixl 1\n", source)
        lint = subprocess.run(["mandoc", "-Tlint", page], capture_output=True, text=True)
        # Whether the pages SEE ALSO names are installed (and indexed) depends
        # on the machine, not on this page.
        seen = r"(makensis|osslsigncode|wixl)"
        report = [line for line in (lint.stdout + lint.stderr).splitlines()
                  if not re.search(rf"(STYLE: referenced manual not found: Xr {seen} 1|mandoc\.db lacks {seen}\(1\) "
                                   r"entry, run makewhatis)", line)]
        self.assertEqual([], report)
        self.assertLessEqual(lint.returncode, 1)  # style messages at most

    def test_no_command(self):
        rc, out, err = self.sfx()
        self.assertEqual((2, ""), (rc, out))
        self.assertTrue(err.startswith("Usage: sfxpack [-q] [--no-progress] [--fatal-warnings] COMMAND"), err)

    def test_common_options_before_the_command(self):
        self.write("data.txt", b"not a program")
        self.expect(["-q", "create", "-o", "q.exe", "data.txt"], 0, "")
        self.expect(["--no-progress", "--fatal-warnings", "create", "-o", "f.exe", "data.txt"], 1,
                    "sfxpack: warning: data.txt: the first file is the one the launcher runs, but it does not look "
                    "like a Windows program (no MZ/PE header)\n"
                    "sfxpack: warnings are treated as errors (--fatal-warnings)\n")
        self.assertFalse(os.path.exists(self.path("f.exe")))
        self.expect(["-q"], 2, "sfxpack: no command given after -q\nTry 'sfxpack --help'.\n")

    def test_usage_errors(self):
        cases = [
            (["frob"], "sfxpack: unknown command 'frob'\nTry 'sfxpack --help'.\n"),
            (["create", "--bogus"], "sfxpack: create: unknown option '--bogus'\nTry 'sfxpack create --help'.\n"),
            (["create", "--outptu", "x"],
             "sfxpack: create: unknown option '--outptu'; did you mean --output?\nTry 'sfxpack create --help'.\n"),
            (["create", "a"], "sfxpack: create: no output given (-o OUT)\nTry 'sfxpack create --help'.\n"),
            (["create", "-o", "x.exe"], "sfxpack: create: no input files\nTry 'sfxpack create --help'.\n"),
            (["create", "a", "-o"], "sfxpack: create: option -o needs a value\nTry 'sfxpack create --help'.\n"),
            (["create", "-o", "x", "--name", "ab"],
             "sfxpack: create: --name needs NAME=PATH, got 'ab'\nTry 'sfxpack create --help'.\n"),
            (["list"], "sfxpack: list: no container given\nTry 'sfxpack list --help'.\n"),
            (["verify", "--sha256", "a"], "sfxpack: verify: unknown option '--sha256'\nTry 'sfxpack verify --help'.\n"),
            (["list", "--codepage", "65001", "a"],
             "sfxpack: list: --codepage '65001' is not a code page sfxpack converts to (874, 932, 936, 949, 950, "
             "1250-1258, or a name such as cp1252, windows-1252 or shift_jis)\nTry 'sfxpack list --help'.\n"),
            (["list", "--codepage", "01252", "a"],
             "sfxpack: list: --codepage '01252' is not a code page sfxpack converts to (874, 932, 936, 949, 950, "
             "1250-1258, or a name such as cp1252, windows-1252 or shift_jis)\nTry 'sfxpack list --help'.\n"),
            (["extract", "-C"], "sfxpack: extract: option -C needs a value\nTry 'sfxpack extract --help'.\n"),
            (["extract"], "sfxpack: extract: no container given\nTry 'sfxpack extract --help'.\n"),
        ]
        for args, err in cases:
            with self.subTest(args=args):
                self.expect(args, 2, err)
        self.assertFalse(os.path.exists(self.path("x.exe")))


class RoundTrip(Case):
    def test_layout_is_byte_exact(self):
        self.inputs()
        self.expect(["create", "-o", "c.exe", "setup.exe", "data.bin", "empty.txt"], 0, "", "")
        data = self.read("c.exe")
        self.assertEqual(read(SFX_LAUNCHER), data[:IMAGE])
        records, end = parse(data)
        self.assertEqual([b"setup.exe", b"data.bin", b"empty.txt"], [r[0] for r in records])
        self.assertEqual([self.read("setup.exe"), self.read("data.bin"), b""], [r[1] for r in records])
        for name, _, field in records:
            self.assertEqual(name + b"\0" * (1020 - len(name)), field)  # zeros after the NUL
        self.assertEqual(IMAGE + 3 * HEADER + 4096 + 204800, end)
        self.assertEqual(b"\xff\xff\xff\xff" + b"\0" * 1020, data[end:])
        self.assertTrue(os.stat(self.path("c.exe")).st_mode & stat.S_IXUSR)

    def test_create_is_reproducible(self):
        self.inputs()
        self.expect(["create", "-o", "one.exe", "setup.exe", "data.bin"], 0, "")
        time.sleep(0.01)
        self.expect(["create", "--sync", "-o", "two.exe", "setup.exe", "data.bin"], 0, "")
        self.assertEqual(self.read("one.exe"), self.read("two.exe"))
        piped = subprocess.run([SFXPACK, "create", "-o", "-", "setup.exe", "data.bin"], cwd=self.dir,
                               capture_output=True, timeout=60)
        self.assertEqual((0, b"", self.read("one.exe")), (piped.returncode, piped.stderr, piped.stdout))

    def test_many_inputs_to_every_kind_of_output(self):
        # Odd sizes put the headers anywhere in the output's pages; the
        # total passes the megabyte that is written at a time many times.
        rng = __import__("random").Random(5)
        sizes = [0, 1, 4095, 4096, 4097, 3 * 1024 * 1024 + 5] + [rng.randrange(20000) for _ in range(400)]
        files = [self.write("f000", make_pe(4096))]
        files += [self.write(f"f{i:03}", rng.randbytes(n)) for i, n in enumerate(sizes, 1)]
        names = [os.path.basename(f) for f in files]
        # Options among the operands: everything after the last one is an
        # operand too, in the order given.
        args = ["create", names[0], "-o", "c.exe", names[1], "--name", "alias.bin=" + names[2], *names[3:]]
        self.expect(args, 0, "")
        data = self.read("c.exe")
        records, _ = parse(data)
        self.assertEqual([n.encode() for n in names[:2]] + [b"alias.bin"] + [n.encode() for n in names[3:]],
                         [r[0] for r in records])
        self.assertTrue([self.read(n) for n in names] == [r[1] for r in records], "record data differs")
        digest = hashlib.sha256(data).hexdigest()
        def outcome(p, out):  # a digest: a failing comparison of megabytes would take minutes to print
            return p.returncode, p.stderr, hashlib.sha256(out).hexdigest()
        # Standard output as a pipe, and as a file opened for appending
        # (which the kernel's splice refuses to write).
        piped = subprocess.run([SFXPACK, *args[:2], "-o", "-", *args[4:]], cwd=self.dir, capture_output=True,
                               timeout=60)
        self.assertEqual((0, b"", digest), outcome(piped, piped.stdout))
        self.write("appended", b"prefix")
        with open(self.path("appended"), "ab") as out:
            appended = subprocess.run([SFXPACK, *args[:2], "-o", "-", *args[4:]], cwd=self.dir, stdout=out,
                                      stderr=subprocess.PIPE, timeout=60)
        self.assertEqual((0, b"", hashlib.sha256(b"prefix" + data).hexdigest()),
                         outcome(appended, self.read("appended")))
        # More inputs than the process may hold open: the rest are opened
        # while packing.
        few = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (100, 100))  # noqa: E731
        limited = subprocess.run([SFXPACK, *args[:2], "-o", "-", *args[4:]], cwd=self.dir, capture_output=True,
                                 timeout=60, preexec_fn=few)
        self.assertEqual((0, b"", digest), outcome(limited, limited.stdout))

    def test_verify_list_extract(self):
        self.inputs()
        self.expect(["create", "-o", "c.exe", "setup.exe", "data.bin", "empty.txt"], 0, "")
        end = IMAGE + 3 * HEADER + 4096 + 204800
        self.expect(["verify", "c.exe"], 0, "",
                    "c.exe: OK: structure checked; this format carries no checksum, so changed content shows only "
                    "once the container is signed or its `list --sha256` is kept\n"
                    "c.exe: record 'setup.exe': unsigned\n"
                    f"c.exe: 3 records, 208896 data bytes; end record at offset {end} ({end:#x}); "
                    "nothing follows the end record\n")
        self.expect(["list", "c.exe"], 0, "",
                    "   data offset         size  name\n"
                    "        132096         4096  setup.exe\n"
                    "                              program: unsigned\n"
                    "        137216       204800  data.bin\n"
                    "        343040            0  empty.txt\n"
                    f"end record at offset {end} ({end:#x})\n"
                    "nothing follows the end record\n"
                    "icon: 48x48 4 bpp, 32x32 4 bpp, 24x24 4 bpp, 16x16 4 bpp, 48x48 8 bpp, 32x32 8 bpp, 24x24 8 bpp, "
                    "16x16 8 bpp, 48x48 24 bpp, 32x32 24 bpp, 48x48 32 bpp, 32x32 32 bpp, 24x24 32 bpp, 16x16 32 bpp\n")
        listing = json.loads(self.expect(["list", "--json", "c.exe"], 0, ""))
        self.assertEqual([("setup.exe", 4096, IMAGE, IMAGE + HEADER),
                          ("data.bin", 204800, IMAGE + HEADER + 4096, IMAGE + 2 * HEADER + 4096),
                          ("empty.txt", 0, end - HEADER, end)],
                         [(r["name"], r["size"], r["header_offset"], r["data_offset"]) for r in listing["records"]])
        self.assertEqual({"kind": "end_record", "offset": end}, {k: listing["end"][k] for k in ("kind", "offset")})
        self.assertEqual("nothing", listing["trailer"]["kind"])
        self.expect(["extract", "-C", "out/new/dir", "c.exe"], 0, "", "")  # parents made too
        for name in ("setup.exe", "data.bin", "empty.txt"):
            self.assertEqual(self.read(name), self.read(os.path.join("out/new/dir", name)), name)

    def test_names_and_list_files(self):
        self.inputs()
        self.write("list.txt", b"data.bin\r\n\n# a comment\n \t\nText.txt=empty.txt\n")
        self.expect(["create", "-o", "c.exe", "--name", "Install Me.exe=setup.exe", "@list.txt"], 0, "")
        self.assertEqual([b"Install Me.exe", b"data.bin", b"Text.txt"], [r[0] for r in parse(self.read("c.exe"))[0]])
        rc, _, err = self.sfx("create", "-o", "stdin.exe", "setup.exe", "@-", stdin=self.read("list.txt"))
        self.assertEqual((0, ""), (rc, err))
        self.assertEqual(self.read("c.exe")[IMAGE + HEADER + 4096:], self.read("stdin.exe")[IMAGE + HEADER + 4096:])
        self.expect(["extract", "-C", "sub", "c.exe", "INSTALL me.exe"], 0, "")  # chosen without regard to case
        self.assertEqual(["Install Me.exe"], os.listdir(self.path("sub")))
        self.expect(["extract", "-C", "sub", "c.exe", "nope.txt"], 1, "sfxpack: c.exe: no record named 'nope.txt'\n")

    def test_first_file_not_a_program_warns(self):
        self.write("readme.txt", b"hello")
        self.expect(["create", "-o", "c.exe", "readme.txt"], 0,
                    "sfxpack: warning: readme.txt: the first file is the one the launcher runs, but it does not "
                    "look like a Windows program (no MZ/PE header)\n")
        self.assertTrue(os.path.exists(self.path("c.exe")))
        self.expect(["create", "-q", "-o", "quiet.exe", "readme.txt"], 0, "")
        self.expect(["create", "--fatal-warnings", "-o", "fatal.exe", "readme.txt"], 1,
                    "sfxpack: warning: readme.txt: the first file is the one the launcher runs, but it does not "
                    "look like a Windows program (no MZ/PE header)\n"
                    "sfxpack: warnings are treated as errors (--fatal-warnings)\n")
        self.assertEqual([], glob.glob(self.path("*fatal.exe*")))


class Refusals(Case):
    """Every refusal names the input, exits 1 and leaves no output."""

    def test_bad_name_names_the_rule_it_breaks(self):
        self.inputs()
        self.write("sub\\x.txt", b"x")
        self.refuse(["setup.exe", "--name", "a:b=data.bin", "--name", "CON.txt=data.bin", "sub\\x.txt", "data.bin/",
                     "--name", "x. =data.bin"],
                    "sfxpack: data.bin: name 'a:b' holds ':', which Windows does not allow in a file name\n"
                    "sfxpack: data.bin: name 'CON.txt' is a device name\n"
                    "sfxpack: sub\\x.txt: name 'sub\\x.txt' holds a path separator (\\)\n"
                    "sfxpack: data.bin/: name '' is empty\n"
                    "sfxpack: data.bin: name 'x. ' ends in a blank, which Windows drops\n")

    def test_name_length_limit(self):
        self.inputs()
        self.refuse(["setup.exe", "--name", "n" * 1020 + "=data.bin"],
                    "sfxpack: data.bin: name is 1020 bytes, longer than the 1019 a record can hold\n")
        self.expect(["create", "-o", "ok.exe", "setup.exe", "--name", "n" * 171 + "=data.bin"], 0, "")
        self.expect(["create", "-o", "long.exe", "setup.exe", "--name", "n" * 172 + "=data.bin"], 0,
                    "sfxpack: warning: data.bin: name '" + "n" * 172 + "': the name is 172 bytes; a typical system "
                    "has room for 171 (259 bytes of path, less 48 for a TEMP of C:\\Users\\ plus 20 letters plus "
                    "\\AppData\\Local\\Temp and 40 for the extraction folder's name), so the launcher may fail "
                    "with \"The path is too long.\"\n")

    def test_oversize_input(self):
        self.inputs()
        with open(self.path("big.bin"), "wb") as f:
            f.truncate(2**31)  # sparse: nothing is written
        self.refuse(["setup.exe", "big.bin"],
                    "sfxpack: big.bin: 2147483648 bytes, more than a record can hold (2147483647)\n")

    def test_duplicate_names(self):
        self.inputs()
        self.write("sub/DATA.BIN", b"x")
        self.refuse(["setup.exe", "data.bin", "sub/DATA.BIN"],
                    "sfxpack: sub/DATA.BIN: name 'DATA.BIN' names the same file on Windows as 'data.bin' "
                    "(from data.bin)\n")

    def test_unreadable_inputs(self):
        self.inputs()
        os.mkdir(self.path("folder"))
        self.refuse(["setup.exe", "missing.bin", "folder"],
                    "sfxpack: missing.bin: No such file or directory\nsfxpack: folder: not a regular file\n")
        self.refuse(["setup.exe", "@nolist.txt"],
                    "sfxpack: nolist.txt: cannot read the list file: No such file or directory\n")
        self.write("list.txt", b"# inputs\ndata.bin\nmissing.bin\n")
        self.refuse(["setup.exe", "@list.txt"], "sfxpack: list.txt:3: missing.bin: No such file or directory\n")
        self.write("list.txt", b"data.bin\nA=\n")
        self.refuse(["setup.exe", "@list.txt"], "sfxpack: list.txt:2: 'A=' names no file (NAME=PATH needs a PATH)\n")

    def test_fifo_is_refused_without_waiting_for_a_writer(self):
        self.inputs()
        os.mkfifo(self.path("pipe"))
        self.refuse(["setup.exe", "pipe"], "sfxpack: pipe: not a regular file\n")

    def test_output_that_is_a_directory(self):
        self.inputs()
        os.mkdir(self.path("out.exe"))
        for force in ([], ["--force"]):
            self.expect(["create", *force, "-o", "out.exe", "setup.exe"], 1, "sfxpack: out.exe: is a directory\n")
        self.assertEqual([], os.listdir(self.path("out.exe")))
        self.assertEqual([], glob.glob(self.path(".out.exe*")))

    def test_missing_folder_and_file_for_a_folder(self):
        self.inputs()
        self.expect(["create", "-o", "nodir/x.exe", "setup.exe"], 1,
                    "sfxpack: nodir/x.exe: the folder nodir does not exist\n")
        self.expect(["create", "-o", "c.exe", "setup.exe"], 0, "")
        self.expect(["extract", "-C", "setup.exe", "c.exe"], 1, "sfxpack: setup.exe is not a folder\n")

    def test_output_that_is_an_input(self):
        self.inputs()
        before = self.read("data.bin")
        self.expect(["create", "-f", "-o", "data.bin", "setup.exe", "data.bin"], 1,
                    "sfxpack: data.bin: would overwrite input 2 (data.bin); an output must not be one of the inputs\n")
        self.expect(["stub", "-o", "stub.exe"], 0, "")
        os.symlink("stub.exe", self.path("link.exe"))  # the same file by another name
        self.expect(["stub", "-f", "--stub", "stub.exe", "-o", "link.exe"], 1,
                    "sfxpack: link.exe: would overwrite the --stub file (stub.exe); an output must not be one of "
                    "the inputs\n")
        self.expect(["create", "-o", "c.exe", "setup.exe", "--name", "c.exe=data.bin"], 0, "")
        self.expect(["extract", "-f", "c.exe"], 1,
                    "sfxpack: c.exe: would overwrite the container (c.exe); an output must not be one of the inputs\n")
        self.assertEqual(before, self.read("data.bin"))
        self.assertEqual(b"c.exe", parse(self.read("c.exe"))[0][1][0])
        self.assertEqual(["c.exe", "data.bin", "empty.txt", "link.exe", "setup.exe", "stub.exe"],
                         sorted(os.listdir(self.dir)))

    def test_write_failure_names_the_output(self):
        self.inputs()
        rc, _, err = self.sfx("create", "-o", "c.exe", "setup.exe", "data.bin", file_limit=IMAGE + 100_000)
        self.assertEqual((1, "sfxpack: write c.exe: File too large\n"), (rc, err))
        self.assertEqual([], glob.glob(self.path("*c.exe*")))

    def test_input_cut_short_while_being_packed(self):
        self.inputs()
        self.write("big.bin", bytes(3 << 20))
        # Standard output left unread: sfxpack waits there with the first
        # megabyte gathered, and the input is cut short meanwhile.
        proc = subprocess.Popen([SFXPACK, "create", "-o", "-", "setup.exe", "big.bin"], cwd=self.dir,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(1)
        os.truncate(self.path("big.bin"), 10)
        out, err = proc.communicate(timeout=60)
        self.assertEqual(1, proc.returncode)
        self.assertRegex(err.decode(), r"^sfxpack: read big.bin at offset \d+: the file ended early "
                                       r"\(did it change while being packed\?\)\n$")
        self.assertLess(len(out), IMAGE + 2 * HEADER + 4096 + (3 << 20))

    def test_standard_output_that_is_a_terminal(self):
        self.inputs()
        master, slave = pty.openpty()
        p = subprocess.run([SFXPACK, "create", "-o", "-", "setup.exe"], cwd=self.dir, stdout=slave,
                           stderr=subprocess.PIPE, timeout=60)
        os.close(slave)
        os.close(master)
        self.assertEqual((1, b"sfxpack: standard output is a terminal: refusing to write a container there "
                             b"(redirect it, or give -o FILE)\n"), (p.returncode, p.stderr))

    def test_permission_denied(self):
        # As root every file is readable: run sfxpack as nobody then.
        self.inputs()
        os.chmod(self.dir, 0o777)
        os.chmod(self.path("data.bin"), 0)
        prefix, program = [], None
        if os.geteuid() == 0:
            prefix = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
            # The build tree may lie in a folder nobody cannot enter (a home
            # folder is 0700): nobody runs a copy from a folder it can reach.
            bindir = tempfile.mkdtemp(prefix="sfxpack-bin-")
            self.addCleanup(shutil.rmtree, bindir, True)
            os.chmod(bindir, 0o755)
            program = shutil.copy(SFXPACK, bindir)
            os.chmod(program, 0o755)
        self.expect(["create", "-o", "c.exe", "setup.exe", "data.bin"], 1,
                    "sfxpack: data.bin: Permission denied\n", prefix=prefix, program=program)
        self.assertFalse(os.path.exists(self.path("c.exe")))

    def test_existing_output(self):
        self.inputs()
        self.write("c.exe", b"keep me")
        self.expect(["create", "-o", "c.exe", "setup.exe"], 1,
                    "sfxpack: c.exe: already exists (use --force to replace it)\n")
        self.assertEqual(b"keep me", self.read("c.exe"))
        self.expect(["create", "--force", "-o", "c.exe", "setup.exe"], 0, "")
        self.assertEqual(b"setup.exe", parse(self.read("c.exe"))[0][0][0])
        self.assertEqual(["c.exe", "data.bin", "empty.txt", "setup.exe"], sorted(os.listdir(self.dir)))

    def test_stub_checks(self):
        self.inputs()
        self.write("short.exe", make_pe(IMAGE - 1))
        self.refuse(["--stub", "short.exe", "setup.exe"],
                    f"sfxpack: short.exe: not a launcher image (file is {IMAGE - 1} bytes, expected {IMAGE})\n")
        self.write("zeros.exe", bytes(IMAGE))
        self.refuse(["--stub", "zeros.exe", "setup.exe"],
                    "sfxpack: zeros.exe: not a PE image (no MZ header at offset 0)\n")
        self.write("signed.exe", make_pe(security=(IMAGE, 1024)))
        self.refuse(["--stub", "signed.exe", "setup.exe"],
                    "sfxpack: signed.exe: already signed (its security directory points to 1024 bytes at offset "
                    f"{IMAGE}): the payload would break that signature; pack an unsigned launcher and sign the "
                    "finished container instead\n")
        self.write("signed.exe", make_pe(security=(IMAGE, 1024)) + bytes(1024))  # the table behind the image
        self.refuse(["--stub", "signed.exe", "setup.exe"],
                    "sfxpack: signed.exe: already signed (its security directory points to 1024 bytes at offset "
                    f"{IMAGE}): the payload would break that signature; pack an unsigned launcher and sign the "
                    "finished container instead\n")
        self.refuse(["--stub", "none.exe", "setup.exe"], "sfxpack: none.exe: No such file or directory\n")

    def test_custom_stub_is_used(self):
        self.inputs()
        stub = make_pe()
        self.write("stub.exe", stub)
        self.expect(["create", "--stub", "stub.exe", "-o", "c.exe", "setup.exe"], 0, "")
        self.assertEqual(stub, self.read("c.exe")[:IMAGE])


class Branding(Case):
    """Icon and version information: read back by an independent parser
    (Debian's python3-pefile), and every refusal."""

    ICO = make_ico()  # 16x16 and 32x32 at 32 bpp, 48x48 at 8 bpp, 256x256 PNG
    OPTIONS = ["--icon", "app.ico", "--file-version", "1.2.3", "--product-version", "4.5.6.7",
               "--version-string", "CompanyName=Acme \u00dcmlaut", "--version-string", "ProductName=Widget",
               "--version-string", "LegalCopyright=(c) 2026"]

    def setUp(self):
        super().setUp()
        self.write("app.ico", self.ICO)
        self.launcher = read(SFX_LAUNCHER)

    @staticmethod
    def resources(pe):
        """{(type, name, language): bytes} of an image's resources."""
        out = {}
        for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
            for n in t.directory.entries:
                for lang in n.directory.entries:
                    d = lang.data.struct
                    out[(t.id, n.id, lang.id)] = pe.get_data(d.OffsetToData, d.Size)
        return out

    def test_without_options_the_image_is_the_launcher(self):
        self.expect(["stub", "-o", "s.exe"], 0, "", "")
        self.assertEqual(self.launcher, self.read("s.exe"))
        self.assertTrue(os.stat(self.path("s.exe")).st_mode & stat.S_IXUSR)

    def test_branded_image_read_by_pefile(self):
        self.expect(["stub", "-o", "s.exe", *self.OPTIONS], 0, "", "")
        data = self.read("s.exe")
        self.assertEqual(IMAGE, len(data))
        pe, old = pefile.PE(data=data), pefile.PE(data=self.launcher)
        last = max(pe.sections, key=lambda s: s.PointerToRawData)
        self.assertEqual(IMAGE, last.PointerToRawData + last.SizeOfRawData)
        self.assertEqual(pe.generate_checksum(), pe.OPTIONAL_HEADER.CheckSum)
        end = max(s.VirtualAddress + s.Misc_VirtualSize for s in pe.sections)
        self.assertEqual((end + 0xFFF) & ~0xFFF, pe.OPTIONAL_HEADER.SizeOfImage)
        relocs = [[(e.rva, e.type) for e in b.entries] for b in pe.DIRECTORY_ENTRY_BASERELOC]
        self.assertEqual([[(e.rva, e.type) for e in b.entries] for b in old.DIRECTORY_ENTRY_BASERELOC], relocs)
        self.assertEqual([s.get_data() for s in old.sections[:3]], [s.get_data() for s in pe.sections[:3]])

        res, before = self.resources(pe), self.resources(old)
        self.assertEqual(before[(5, IDD_PROGRESS, 1033)], res[(5, IDD_PROGRESS, 1033)])
        self.assertEqual(before[(24, 1, 1033)], res[(24, 1, 1033)])
        count, = struct.unpack_from("<H", self.ICO, 4)
        group = res[(14, IDI_APPICON, 1033)]
        self.assertEqual(struct.pack("<HHH", 0, 1, count), group[:6])
        for i in range(count):
            w, h, colours, _, planes, bits, size, offset = struct.unpack_from("<BBBBHHII", self.ICO, 6 + 16 * i)
            entry = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            self.assertEqual((w, h, colours, 0, planes, bits, size), entry[:7])
            self.assertEqual(self.ICO[offset:offset + size], res[(3, entry[7], 1033)])
        self.assertEqual(count, len([k for k in res if k[0] == 3]), "the old images are gone")

        fixed = pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((0x10002, 0x30000, 0x40005, 0x60007),
                         (fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS))
        tables = [t for info in pe.FileInfo[0] if info.Key == b"StringFileInfo" for t in info.StringTable]
        self.assertEqual([b"040904B0"], [t.LangID for t in tables])
        self.assertEqual({b"CompanyName": "Acme \u00dcmlaut".encode(), b"ProductName": b"Widget",
                          b"LegalCopyright": b"(c) 2026", b"FileVersion": b"1.2.3.0",
                          b"ProductVersion": b"4.5.6.7"}, tables[0].entries)
        self.assertIn("Acme \u00dcmlaut".encode("utf-16-le"), res[(16, 1, 1033)])
        var = [v for info in pe.FileInfo[0] if info.Key == b"VarFileInfo" for v in info.Var]
        self.assertEqual([{b"Translation": "0x0409 0x04b0"}], [v.entry for v in var])

        self.expect(["stub", "-o", "again.exe", *self.OPTIONS], 0, "")
        self.assertEqual(data, self.read("again.exe"), "same inputs, same bytes")
        self.write("setup.exe", make_pe(4096))
        self.expect(["create", "-o", "c.exe", *self.OPTIONS, "setup.exe"], 0, "")
        self.assertEqual(data, self.read("c.exe")[:IMAGE])
        self.expect(["create", "-o", "d.exe", "--stub", "s.exe", "setup.exe"], 0, "")
        self.assertEqual(self.read("c.exe"), self.read("d.exe"))

    def test_list_and_verify_show_the_branding(self):
        self.write("setup.exe", make_pe(4096))
        self.expect(["create", "-o", "c.exe", *self.OPTIONS, "setup.exe"], 0, "")
        out = self.expect(["list", "c.exe"], 0, "")
        self.assertEqual(["icon: 16x16 32 bpp, 32x32 32 bpp, 48x48 8 bpp, 256x256 32 bpp",
                          "file version 1.2.3.0, product version 4.5.6.7",
                          "CompanyName: Acme \u00dcmlaut", "ProductName: Widget", "LegalCopyright: (c) 2026",
                          "FileVersion: 1.2.3.0", "ProductVersion: 4.5.6.7"], out.splitlines()[5:])
        image = json.loads(self.expect(["list", "--json", "c.exe"], 0, ""))["image"]
        self.assertEqual([(16, 32), (32, 32), (48, 8), (256, 32)], [(i["width"], i["bit_count"]) for i in image["icon"]])
        self.assertEqual(("1.2.3.0", "4.5.6.7", {"key": "CompanyName", "value": "Acme \u00dcmlaut"}),
                         (image["version"]["file_version"], image["version"]["product_version"],
                          image["version"]["strings"][0]))
        self.expect(["verify", "c.exe"], 0, "")
        # The group's first entry names an RT_ICON id that is not there.
        data = bytearray(self.read("c.exe"))
        pe = pefile.PE(data=bytes(data[:IMAGE]))
        group = [e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries if e.id == 14][0].directory.entries[0]
        at = pe.get_offset_from_rva(group.directory.entries[0].data.struct.OffsetToData)
        struct.pack_into("<H", data, at + 6 + 12, 99)
        self.write("c.exe", bytes(data))
        self.expect(["verify", "c.exe"], 1, f"sfxpack: c.exe: offset {at} ({at:#x}): icon group {IDI_APPICON} names image 99 "
                                            "of 1128 bytes, which is missing\n")

    def test_refusals(self):
        cases = [
            (["--file-version", "1.x"], 2, "sfxpack: stub: --file-version: part 'x' of '1.x' is not a number\n"
                                          "Try 'sfxpack stub --help'.\n"),
            (["--product-version", "1.65536"], 2, "sfxpack: stub: --product-version: part 65536 of '1.65536' is "
                                                  "above 65535\nTry 'sfxpack stub --help'.\n"),
            (["--version-string", "CompanyName"], 2, "sfxpack: stub: --version-string needs KEY=VALUE, got "
                                                      "'CompanyName'\nTry 'sfxpack stub --help'.\n"),
            (["--version-string", "ProductName=caf\xe9"], 2, "sfxpack: stub: --version-string 'ProductName=caf\\xe9' "
                                                             "is not valid UTF-8 (byte 16)\nTry 'sfxpack stub --help'.\n"),
        ]
        for args, status, err in cases:
            with self.subTest(args=args):
                rc, out, got = run("stub", "-o", "s.exe", *args, cwd=self.dir, raw=True)
                self.assertEqual((status, err), (rc, got))
        icos = {
            "cursor.ico": (self.ICO[:2] + b"\2\0" + self.ICO[4:], "offset 0 (0x0): not an .ico file (a cursor file, type 2)"),
            "none.ico": (self.ICO[:4] + b"\0\0", "offset 4 (0x4): not an .ico file (it holds no image)"),
            "cut.ico": (self.ICO[:-1], f"offset 62 (0x3e): not an .ico file (image 4's data (666 bytes at offset "
                                       f"{len(self.ICO) - 666}) lie outside the file of {len(self.ICO) - 1} bytes)"),
            "wide.ico": (self.ICO[:22] + b"\x30" + self.ICO[23:], "offset 22 (0x16): not an .ico file (image 2's "
                                                                "directory entry says 48x32, but its bitmap header says 32x32)"),
        }
        for name, (data, err) in icos.items():
            with self.subTest(ico=name):
                self.write(name, data)
                self.expect(["stub", "-o", "s.exe", "--icon", name], 1, f"sfxpack: {name}: {err}\n")
        self.write("signed.exe", make_pe(security=(IMAGE, 1024)))
        self.expect(["stub", "-o", "s.exe", "--stub", "signed.exe", "--icon", "app.ico"], 1,
                    "sfxpack: signed.exe: already signed (its security directory points to 1024 bytes at offset "
                    f"{IMAGE}): the payload would break that signature; pack an unsigned launcher and sign the "
                    "finished container instead\n")
        # The import table moved into .reloc: that section can no longer move.
        pe = pefile.PE(data=self.launcher, fast_load=True)
        last = pe.sections[-1]
        reloc = last.get_file_offset()
        pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]].VirtualAddress = \
            last.VirtualAddress
        self.write("imports.exe", bytes(pe.write()))
        self.expect(["stub", "-o", "s.exe", "--stub", "imports.exe", "--file-version", "1"], 1,
                    f"sfxpack: imports.exe: offset {reloc} ({reloc:#x}): section '.reloc' behind the resources cannot "
                    "be moved: it holds the import table (data directory 1)\n")
        self.assertFalse(os.path.exists(self.path("s.exe")))

    def test_resources_that_do_not_fit_say_how_many_bytes_are_missing(self):
        def attempt(size):
            png = make_ico(((256, 0),))
            self.write("big.ico", png[:14] + struct.pack("<I", len(png) - 22 + size) + png[18:] + bytes(size))
            return run("stub", "--force", "-o", "s.exe", "--icon", "big.ico", cwd=self.dir)
        rc, _, err = attempt(120000)
        self.assertEqual(1, rc)
        match = re.fullmatch(r"sfxpack: built-in launcher: offset \d+ \(0x[0-9a-f]+\): the resources do not fit in "
                             r"the image: (\d+) bytes missing \(the resource section would need \d+ bytes\)\n", err)
        self.assertTrue(match, err)
        self.assertFalse(os.path.exists(self.path("s.exe")))
        missing = int(match.group(1))
        self.assertEqual(0, attempt(120000 - missing)[0], "that many bytes fewer fit")
        self.assertEqual(1, attempt(120000 - missing + 512 + 8)[0], "a file alignment more does not")


class Interrupt(Case):
    def test_signal_leaves_no_output(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig.name):
                self.interrupt(sig)

    def interrupt(self, sig):
        # Sparse inputs make a container far too large to finish before the
        # signal; the temporary file exists as soon as writing has begun.
        self.write("setup.exe", make_pe(4096))
        for i in range(3):
            with open(self.path(f"part{i}.bin"), "wb") as f:
                f.truncate(2_000_000_000)
        # Windows starts no program file of more than 4 GiB less 512: refused, --force or not.
        with open(self.path("part2.bin"), "wb") as f:
            f.truncate(2 ** 32 - 512 + 1 - 4_000_139_264 - HEADER)
        self.expect(["create", "-f", "-o", "c.exe", "setup.exe", "part0.bin", "part1.bin", "part2.bin"], 1,
                    "sfxpack: c.exe: the container would be 4294966785 bytes; Windows does not start a program "
                    "file of more than 4294966784 bytes (4 GiB less 512); nothing written\n")
        proc = subprocess.Popen([SFXPACK, "create", "-o", "c.exe", "setup.exe", "part0.bin", "part1.bin"],
                                cwd=self.dir, stderr=subprocess.PIPE)
        temp = []
        deadline = time.monotonic() + 60
        while not temp and proc.poll() is None and time.monotonic() < deadline:
            temp = [t for t in glob.glob(self.path(".c.exe.sfxpack-*")) if os.path.getsize(t) > IMAGE]
            time.sleep(0.001)
        proc.send_signal(sig)
        err = proc.communicate(timeout=60)[1].decode()
        self.assertTrue(temp, "sfxpack finished before it could be interrupted")
        self.assertEqual(-sig, proc.returncode)
        self.assertEqual("sfxpack: warning: c.exe: the container will be 4000139264 bytes, over 2 GiB: "
                         "code-signing tools reject files that large\n", err)
        self.assertEqual(["part0.bin", "part1.bin", "part2.bin", "setup.exe"], sorted(os.listdir(self.dir)))

    def test_interrupted_extract_leaves_nothing(self):
        # A small file, then a sparse 2 GiB - 1 record that takes long to write.
        with open(self.path("big.exe"), "wb") as f:
            f.write(make_pe() + header(5, b"small.txt") + b"small" + header(0x7FFFFFFF, b"big.bin"))
            f.seek(0x7FFFFFFF, os.SEEK_CUR)
            f.write(END)
        proc = subprocess.Popen([SFXPACK, "extract", "-C", "new/out", "big.exe"], cwd=self.dir,
                                stderr=subprocess.PIPE)
        deadline = time.monotonic() + 60
        while proc.poll() is None and time.monotonic() < deadline and \
                not any(os.path.getsize(t) > 1 << 20 for t in glob.glob(self.path("new/out/.sfxpack-*"))):
            time.sleep(0.001)
        proc.send_signal(signal.SIGINT)
        err = proc.communicate(timeout=60)[1]
        self.assertEqual((-signal.SIGINT, b""), (proc.returncode, err))
        self.assertEqual(["big.exe"], os.listdir(self.dir))  # not even the folders it made

    def test_ignored_signals_stay_ignored(self):
        # As under nohup: SIGHUP and SIGINT ignored by the parent.  sfxpack
        # blocks writing to a pipe nobody reads yet, receives both, and must
        # finish the container.
        self.inputs()
        def ignore():
            signal.signal(signal.SIGHUP, signal.SIG_IGN)
            signal.signal(signal.SIGINT, signal.SIG_IGN)
        proc = subprocess.Popen([SFXPACK, "create", "-o", "-", "setup.exe", "data.bin"], cwd=self.dir,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=ignore)
        first = os.read(proc.stdout.fileno(), 2)  # writing has begun
        for sig in (signal.SIGHUP, signal.SIGINT):
            proc.send_signal(sig)
        time.sleep(0.2)
        out, err = proc.communicate(timeout=60)
        self.assertEqual((0, b""), (proc.returncode, err))
        self.expect(["create", "-o", "c.exe", "setup.exe", "data.bin"], 0, "")
        self.assertEqual(self.read("c.exe"), first + out)


class DamagedContainers(Case):
    def container(self):
        self.inputs()
        self.expect(["create", "-o", "c.exe", "setup.exe", "data.bin"], 0, "")
        return self.read("c.exe")

    def test_truncated_data(self):
        data = self.container()
        self.write("c.exe", data[:IMAGE + HEADER + 4096 + HEADER + 100])
        bad = IMAGE + HEADER + 4096
        msg = (f"sfxpack: c.exe: offset {bad} ({bad:#x}): record 'data.bin' declares 204800 data bytes, "
               "but only 100 remain in the file\n")
        self.expect(["verify", "c.exe"], 1, msg, "")
        out = self.expect(["list", "c.exe"], 1, msg)
        self.assertIn(f"bad record at offset {bad} ({bad:#x}): record 'data.bin' declares", out)
        self.expect(["extract", "-C", "out", "c.exe"], 1, msg[:-1] + "; nothing extracted\n")
        self.assertFalse(os.path.exists(self.path("out")))

    def test_missing_end_record(self):
        data = self.container()
        self.write("c.exe", data[:-HEADER])
        end = len(data) - HEADER
        self.expect(["verify", "c.exe"], 1,
                    f"sfxpack: c.exe: offset {end} ({end:#x}): no end record: the file ends at offset {end} "
                    f"({end:#x}) (the launcher reads this as complete)\n")
        warn = (f"sfxpack: warning: c.exe: offset {end} ({end:#x}): no end record: the file ends at offset {end} "
                f"({end:#x}) (the launcher reads this as complete)\n")
        self.expect(["extract", "-C", "out", "c.exe"], 0, warn)  # read as complete, as the launcher does
        self.assertIn("no end record", self.expect(["list", "c.exe"], 0, warn))
        self.assertEqual(self.read("data.bin"), self.read("out/data.bin"))

    def test_junk_after_end_record(self):
        data = self.container()
        self.write("c.exe", data + b"hidden")
        self.expect(["verify", "c.exe"], 1,
                    f"sfxpack: c.exe: offset {len(data)} ({len(data):#x}): data after the end record: the image's "
                    "security directory is empty, so nothing should follow the end record\n")
        out = self.expect(["list", "c.exe"], 0, "")
        self.assertIn(f"6 bytes after the end record at offset {len(data)} ({len(data):#x}): unexplained data", out)

    def test_not_a_container(self):
        self.write("small.bin", b"0123456789")
        self.expect(["verify", "small.bin"], 1,
                    f"sfxpack: small.bin: offset 0 (0x0): not a container (image is 10 bytes, expected {IMAGE})\n")
        self.expect(["list", "small.bin"], 1,
                    f"sfxpack: small.bin: not a container (image is 10 bytes, expected {IMAGE})\n", "")
        self.expect(["verify", "nothere.exe"], 1, "sfxpack: nothere.exe: No such file or directory\n")

    def test_list_json_has_an_entry_for_every_container(self):
        single = json.loads(self.expect(["list", "--json", "nothere.exe"], 1,
                                        "sfxpack: nothere.exe: No such file or directory\n"))
        self.assertEqual({"container": "nothere.exe", "error": "nothere.exe: No such file or directory"}, single)
        self.write("c.exe", container(make_pe(), [(b"a.exe", b"x")]))
        good = json.loads(self.expect(["list", "--json", "c.exe"], 0, ""))
        self.write("small.bin", b"0123456789")
        docs = json.loads(self.expect(["list", "--json", "c.exe", "nothere.exe", "small.bin"], 1,
                                      "sfxpack: nothere.exe: No such file or directory\n"
                                      f"sfxpack: small.bin: not a container (image is 10 bytes, expected {IMAGE})\n"))
        self.assertEqual([good, single, {"container": "small.bin", "error": "small.bin: not a container (image is "
                                                                             f"10 bytes, expected {IMAGE})"}], docs)

    def test_duplicate_names_warn(self):
        self.write("d.exe", container(make_pe(), [(b"a.txt", b"1"), (b"A.txt", b"2")]))
        second = IMAGE + HEADER + 1
        warn = (f"sfxpack: warning: d.exe: offset {second} ({second:#x}): duplicate name 'A.txt' (same file on "
                f"Windows as 'a.txt' at offset {IMAGE}): the launcher keeps the later one\n")
        self.expect(["verify", "d.exe"], 0, warn)
        self.expect(["extract", "-C", "out", "d.exe"], 0, warn)
        self.assertEqual((["A.txt"], b"2"), (os.listdir(self.path("out")), self.read("out/A.txt")))

    def test_signature_without_content_is_a_finding(self):
        body = header(0, b"a.exe") + END
        table = IMAGE + len(body)  # a multiple of 8
        entry = struct.pack("<IHH", 8 + 13, 0x200, 2) + bytes.fromhex("300b06092a864886f70d010702") + bytes(3)
        self.write("s.exe", make_pe(security=(table, len(entry))) + body + entry)
        self.expect(["verify", "s.exe"], 1,
                    f"sfxpack: s.exe: offset {table} ({table:#x}): the signature cannot be checked: the signature's "
                    "PKCS#7 ContentInfo holds no SignedData\n", "")

    def test_bad_name_is_never_extracted(self):
        self.write("e.exe", container(make_pe(), [(b"../evil", b"evil")]))
        self.expect(["extract", "-C", "out", "e.exe"], 1,
                    f"sfxpack: e.exe: offset {IMAGE} ({IMAGE:#x}): record name '../evil' {NAME_RULE}; nothing extracted\n")
        self.assertFalse(os.path.exists(self.path("evil")))


class ProgressBar(Case):
    """A bar on stderr only when stderr is a terminal and the work exceeds 64 MiB."""

    def on_terminal(self, *args, columns=None):
        master, slave = pty.openpty()
        if columns:
            fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        proc = subprocess.Popen([SFXPACK, *args], cwd=self.dir, stdout=subprocess.PIPE, stderr=slave)
        os.close(slave)
        chunks = []
        while True:
            try:
                data = os.read(master, 65536)
            except OSError:  # EIO: the program has closed the terminal
                break
            if not data:
                break
            chunks.append(data)
        os.close(master)
        out = proc.communicate(timeout=120)[0]
        return proc.returncode, out.decode(), b"".join(chunks).decode()

    def test_bar_threshold_and_terminal(self):
        self.write("setup.exe", make_pe(4096))
        for name, size in (("limit.bin", (64 << 20) - 4096), ("over.bin", (64 << 20) - 4095)):
            with open(self.path(name), "wb") as f:
                f.truncate(size)
        self.assertEqual((0, "", ""), self.on_terminal("create", "-o", "limit.exe", "setup.exe", "limit.bin"))
        rc, out, err = self.on_terminal("create", "-o", "over.exe", "setup.exe", "over.bin")
        self.assertEqual((0, ""), (rc, out))
        self.assertIn("\rsfxpack: packing over.exe [..............................]   0%", err)
        self.assertIn("\rsfxpack: packing over.exe [##############################] 100%", err)
        self.assertTrue(err.endswith("\r"), repr(err[-20:]))  # the bar is wiped at the end
        self.expect(["extract", "-C", "piped", "over.exe"], 0, "")  # stderr a pipe: no bar
        rc, out, err = self.on_terminal("extract", "-C", "tty", "over.exe")
        self.assertEqual((0, ""), (rc, out))
        self.assertIn("\rsfxpack: extracting over.exe [##############################] 100%", err)
        for flag in ("--no-progress", "-q"):
            self.assertEqual((0, "", ""), self.on_terminal("extract", flag, "-C", flag, "over.exe"))

    def test_bar_fits_the_terminal(self):
        self.write("setup.exe", make_pe(4096))
        with open(self.path("a-rather-long-file-name.bin"), "wb") as f:
            f.truncate(65 << 20)
        rc, out, err = self.on_terminal("create", "-o", "a-rather-long-container-name.exe", "setup.exe",
                                        "a-rather-long-file-name.bin", columns=40)
        self.assertEqual((0, ""), (rc, out))
        lines = err.split("\r")
        self.assertIn("sfxpack: packing a-ra [##########] 100%", lines)  # 39 columns
        self.assertLessEqual(max(map(len, lines)), 39, lines)  # the last column is never written


class LargeOffsets(Case):
    def test_offsets_beyond_4_gib(self):
        # A sparse container: two records of 2 GiB - 1 whose data are holes.
        big = 0x7FFFFFFF
        with open(self.path("big.exe"), "wb") as f:
            f.write(make_pe())
            for i in (1, 2):
                f.write(header(big, b"part%d.bin" % i))
                f.seek(big, os.SEEK_CUR)
            f.write(header(3, b"last.txt") + b"end" + END)
        last = IMAGE + 3 * HEADER + 2 * big
        out = self.expect(["list", "big.exe"], 0, "")
        self.assertEqual([f"{IMAGE + HEADER:14d} {big:12d}  part1.bin",
                          f"{IMAGE + 2 * HEADER + big:14d} {big:12d}  part2.bin",
                          f"{last:14d} {3:12d}  last.txt",
                          f"end record at offset {last + 3} ({last + 3:#x})"], out.splitlines()[1:5])
        self.expect(["verify", "big.exe"], 0, "")
        self.expect(["extract", "-C", "out", "big.exe", "last.txt"], 0, "")
        self.assertEqual(b"end", self.read("out/last.txt"))


class ExtractSafety(Case):
    def setUp(self):
        super().setUp()
        self.write("setup.exe", make_pe(4096))
        self.write("data.bin", b"new data")
        self.expect(["create", "-o", "c.exe", "setup.exe", "data.bin"], 0, "")
        os.mkdir(self.path("out"))
        self.write("outside.txt", b"precious")
        os.symlink(self.path("outside.txt"), self.path("out", "data.bin"))

    def test_existing_link_is_refused(self):
        self.expect(["extract", "-C", "out", "c.exe"], 1,
                    "sfxpack: out/data.bin: already exists (use --force to replace it)\n")
        self.assertEqual(["data.bin"], os.listdir(self.path("out")))  # nothing written at all
        self.assertEqual(b"precious", self.read("outside.txt"))

    def test_force_replaces_link_not_target(self):
        self.expect(["extract", "--force", "-C", "out", "c.exe"], 0, "")
        self.assertFalse(os.path.islink(self.path("out", "data.bin")))
        self.assertEqual(b"new data", self.read("out/data.bin"))
        self.assertEqual(b"precious", self.read("outside.txt"))


    def test_failed_extract_changes_nothing(self):
        # data.bin cannot be written whole; setup.exe, written first, must not
        # replace the file that is there.
        self.write("setup.exe", make_pe(4096))
        self.write("data.bin", bytes(200_000))
        self.expect(["create", "--force", "-o", "c.exe", "setup.exe", "data.bin"], 0, "")
        os.remove(self.path("out", "data.bin"))
        self.write("out/setup.exe", b"old")
        rc, _, err = self.sfx("extract", "--force", "-C", "out", "c.exe", file_limit=100_000)
        self.assertEqual((1, "sfxpack: copy c.exe to out/data.bin: File too large\n"), (rc, err))
        self.assertEqual((["setup.exe"], b"old"), (os.listdir(self.path("out")), self.read("out/setup.exe")))

    def test_force_leaves_a_directory_alone(self):
        os.remove(self.path("out", "data.bin"))
        os.mkdir(self.path("out", "data.bin"))
        self.write("out/data.bin/inside.txt", b"kept")
        self.expect(["extract", "--force", "-C", "out", "c.exe", "data.bin"], 1,
                    "sfxpack: out/data.bin: is a directory\n")
        self.assertEqual(b"kept", self.read("out/data.bin/inside.txt"))


class CodePages(Case):
    def test_name_outside_ascii_needs_a_code_page(self):
        self.inputs()
        self.write("café.txt", b"x")
        self.refuse(["setup.exe", "café.txt"],
                    "sfxpack: café.txt: name 'café.txt' is not ASCII: give the ANSI code page of the systems that "
                    "will run the container, e.g. --codepage 1252\n")

    def test_names_are_stored_in_the_code_page_and_read_back(self):
        self.inputs()
        self.write("表.txt", b"kanji")
        self.write("café.txt", b"accent")
        self.expect(["create", "--codepage", "932", "-o", "j.exe", "setup.exe", "表.txt"], 0, "")
        self.expect(["create", "--codepage=1252", "-o", "w.exe", "setup.exe", "café.txt"], 0, "")
        self.assertEqual(b"\x95\x5c.txt", parse(self.read("j.exe"))[0][1][0])  # trail byte 5C is no separator
        self.assertEqual(b"caf\xe9.txt", parse(self.read("w.exe"))[0][1][0])
        for cp, like in (("Shift_JIS", "j.exe"), ("cp932", "j.exe"), ("CP1252", "w.exe"), ("windows-1252", "w.exe")):
            self.expect(["create", "-f", "--codepage", cp, "-o", "n.exe", "setup.exe", "表.txt" if like == "j.exe"
                         else "café.txt"], 0, "")
            self.assertEqual(self.read(like), self.read("n.exe"), cp)
        at = IMAGE + HEADER + 4096
        self.expect(["verify", "j.exe"], 1,  # read as single-byte, 5C is a backslash
                    f"sfxpack: j.exe: offset {at} ({at:#x}): record name '\\x95\\\\.txt' {NAME_RULE}; it is one in "
                    "code page 932, 936, 949 or 950: give the container's code page with --codepage\n")
        out = self.expect(["list", "--codepage", "932", "j.exe"], 0, "")
        self.assertIn("            5  表.txt\n", out)
        doc = json.loads(self.expect(["list", "--json", "--codepage", "1252", "w.exe"], 0, ""))
        self.assertEqual("café.txt", doc["records"][1]["name"])
        self.assertIn("  caf\\xe9.txt\n", self.expect(["list", "w.exe"], 0, ""))  # no code page: bytes
        self.expect(["extract", "--codepage", "932", "-C", "out", "j.exe", "表.txt"], 0, "")
        self.assertEqual(["表.txt"], os.listdir(self.path("out")))
        self.assertEqual(b"kanji", self.read("out/表.txt"))

    def test_name_outside_ascii_is_not_extracted_without_a_code_page(self):
        self.write("w.exe", container(make_pe(), [(b"setup.exe", b"x"), (b"caf\xe9.txt", b"accent")]))
        at = IMAGE + HEADER + 1 + 4 + 3  # the byte E9 of the second name
        self.expect(["extract", "-C", "out", "w.exe"], 1,
                    f"sfxpack: w.exe: offset {at} ({at:#x}): record name 'caf\\xe9.txt' is not ASCII: give the code "
                    "page the container was made with, e.g. --codepage 1252; nothing extracted\n")
        self.assertFalse(os.path.exists(self.path("out")))

    def test_character_the_code_page_cannot_hold(self):
        self.inputs()
        self.write("ā.txt", b"x")  # best fit would store "a.txt"
        self.refuse(["--codepage", "1252", "setup.exe", "ā.txt"],
                    "sfxpack: ā.txt: name 'ā.txt' cannot be stored in code page 1252: 'ā' (U+0101) has no "
                    "character in code page 1252\n")

    def test_names_equal_without_regard_to_case_beyond_ascii(self):
        self.inputs()
        self.write("café.txt", b"x")
        self.refuse(["--codepage", "1252", "setup.exe", "café.txt", "--name", "CAFÉ.TXT=data.bin"],
                    "sfxpack: data.bin: name 'CAFÉ.TXT' names the same file on Windows as 'café.txt' (from "
                    "café.txt)\n")

    def test_device_name_in_the_code_page_s_bytes(self):
        # "COM¹" is "COM" A9 F6 in code page 949: Windows opens COM1 for it.
        self.inputs()
        self.write("COM¹", b"x")
        self.refuse(["--codepage", "949", "setup.exe", "COM¹"],
                    "sfxpack: COM¹: name 'COM¹' is a device name in code page 949\n")
        self.write("c.exe", container(make_pe(), [(b"COM\xa9\xf6", b"x")]))
        at = IMAGE + 4
        msg = f"sfxpack: c.exe: offset {at} ({at:#x}): record name 'COM¹' is a device name in code page 949"
        self.expect(["verify", "--codepage", "949", "c.exe"], 1, msg + "\n")
        self.expect(["extract", "--codepage", "949", "-C", "out", "c.exe"], 1, msg + "; nothing extracted\n")
        self.assertFalse(os.path.exists(self.path("out")))

    def test_stored_name_not_valid_in_the_code_page(self):
        # 81 7F passes the name rule (a lead byte and a byte above 0x3F) but
        # is no character of code page 932.
        self.write("c.exe", container(make_pe(), [(b"caf\x81\x7f.txt", b"x")]))
        at = IMAGE + 4 + 3
        msg = f"sfxpack: c.exe: offset {at} ({at:#x}): record name 'caf\\x81\\x7f.txt' is not valid in code page 932"
        self.assertIn("caf\\x81\\x7f.txt", self.expect(["list", "--codepage", "932", "c.exe"], 1, msg + "\n"))
        self.expect(["verify", "--codepage", "932", "c.exe"], 1, msg + "\n")
        self.expect(["extract", "--codepage", "932", "-C", "out", "c.exe"], 1, msg + "; nothing extracted\n")
        self.assertFalse(os.path.exists(self.path("out")))


class Digests(Case):
    def test_sha256_of_every_record_and_the_file(self):
        self.inputs()
        self.expect(["create", "-o", "c.exe", "setup.exe", "data.bin", "empty.txt"], 0, "")
        sha = {n: hashlib.sha256(self.read(n)).hexdigest() for n in ("setup.exe", "data.bin", "empty.txt", "c.exe")}
        out = self.expect(["list", "--sha256", "c.exe"], 0, "")
        self.assertIn(f"        137216       204800  {sha['data.bin']}  data.bin\n", out)
        self.assertIn(f"        343040            0  {sha['empty.txt']}  empty.txt\n", out)
        self.assertIn(f"sha256 of the file: {sha['c.exe']}\n", out)
        doc = json.loads(self.expect(["list", "--json", "--sha256", "c.exe"], 0, ""))
        self.assertEqual([sha["setup.exe"], sha["data.bin"], sha["empty.txt"]], [r["sha256"] for r in doc["records"]])
        self.assertEqual(sha["c.exe"], doc["sha256"])
        self.expect(["create", "-o", "d.exe", "empty.txt"], 0,
                    "sfxpack: warning: empty.txt: the first file is the one the launcher runs, but it does not look "
                    "like a Windows program (no MZ/PE header)\n")
        docs = json.loads(self.expect(["list", "--json", "--sha256", "c.exe", "d.exe"], 0, ""))
        self.assertEqual([sha["c.exe"], hashlib.sha256(self.read("d.exe")).hexdigest()], [d["sha256"] for d in docs])
        out = self.expect(["list", "c.exe", "d.exe"], 0, "")
        self.assertTrue(out.startswith("c.exe:\n   data offset"), out)
        self.assertIn(" bpp\n\nd.exe:\n   data offset         size  name\n", out)


def security_directory(data):
    """Offset of the security directory entry, and the table it points to."""
    pe = pefile.PE(data=data, fast_load=True)
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    return entry.get_file_offset(), entry.VirtualAddress, entry.Size


def authenticode_digest(data, algorithm):
    """The PE image hash, computed independently: every byte before the
    certificate table except the CheckSum field and the security entry."""
    checksum = pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
    entry, table, _ = security_directory(data)
    return hashlib.new(algorithm, data[:checksum] + data[checksum + 4:entry] + data[entry + 8:table]).hexdigest()


class Signed(Case):
    SIGNED_OK = ("signed.exe: OK: structure checked; SHA-256 digest matches the signature and the signature is intact; "
                 "trust was not judged (name the certificates to trust with --ca FILE to judge it)\n")

    def sign(self, algorithm="sha256", source="c.exe", out="signed.exe", nest=False):
        if not os.path.exists(self.path("c.exe")):
            self.write("setup.exe", make_pe(4099))  # the signing tool pads the container to a multiple of 8
            self.expect(["create", "-o", "c.exe", "setup.exe"], 0, "")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem",
                            "-out", "cert.pem", "-days", "2", "-subj", "/CN=sfxpack test"],
                           cwd=self.dir, check=True, capture_output=True)
        subprocess.run(["osslsigncode", "sign", "-certs", "cert.pem", "-key", "key.pem", "-h", algorithm,
                        *(["-nest"] if nest else []), "-in", source, "-out", out],
                       cwd=self.dir, check=True, capture_output=True)
        data = self.read(out)
        _, table, size = security_directory(data)
        return data, table, size

    def test_signed_with_sha256_and_sha1_verify(self):
        data, table, _ = self.sign()
        out = self.expect(["verify", "signed.exe"], 0, "")
        self.assertTrue(out.startswith(self.SIGNED_OK), out)
        self.sign("sha1", out="sha1.exe")
        out = self.expect(["verify", "sha1.exe"], 0, "")
        self.assertTrue(out.startswith("sha1.exe: OK: structure checked; SHA-1 digest matches the signature and"), out)
        self.sign("sha1", source="signed.exe", out="nested.exe", nest=True)
        out = self.expect(["verify", "nested.exe"], 0, "")
        self.assertIn("SHA-256 digest matches the signature", out)
        self.assertIn("nested.exe: nested signature 1: SHA-1 digest matches the signature and the signature is "
                      "intact; trust was not judged", out)

    def test_changed_content_fails(self):
        data, table, size = self.sign()
        signed = authenticode_digest(data, "sha256")
        held = data.index(bytes.fromhex(signed), table)  # the digest inside the signature
        for what, at in (("payload byte", IMAGE + HEADER + 100), ("image byte", 0x400),
                         ("byte of the signed digest", held + 5)):
            with self.subTest(what):
                bad = bytearray(data)
                bad[at] ^= 0x01
                self.write("bad.exe", bytes(bad))
                now = authenticode_digest(bytes(bad), "sha256")
                holds = bytes(bad[held:held + 32]).hex()
                self.expect(["verify", "bad.exe"], 1,
                            f"sfxpack: bad.exe: offset {table} ({table:#x}): the signed content has changed since "
                            f"signing (SHA-256 of the file {now}, the signature holds {holds})\n", "")
        check = subprocess.run(["osslsigncode", "verify", "-CAfile", "cert.pem", "-in", "bad.exe"], cwd=self.dir,
                               capture_output=True)
        self.assertNotEqual(0, check.returncode)  # the signing tool agrees

    def test_verify_json_for_several_containers(self):
        data, table, _ = self.sign()
        bad = bytearray(data)
        bad[IMAGE + HEADER] ^= 0x01
        self.write("bad.exe", bytes(bad))
        self.write("empty.exe", container(make_pe(), []))
        rc, out, err = self.sfx("verify", "--json", "signed.exe", "bad.exe", "empty.exe")
        self.assertEqual((1, ""), (rc, err))
        docs = json.loads(out)
        self.assertEqual(["signed.exe", "bad.exe", "empty.exe"], [d["container"] for d in docs])
        self.assertEqual([True, False, True], [d["ok"] for d in docs])
        self.assertEqual(["matches", "changed", "unsigned"], [d["signature"]["state"] for d in docs])
        self.assertEqual(authenticode_digest(data, "sha256"), docs[0]["signature"]["file_digest"])
        self.assertEqual([table], [f["offset"] for f in docs[1]["findings"]])
        self.assertEqual([{"offset": IMAGE, "message": "the container holds no record: the launcher would find "
                                                       "nothing to run and show \"Unable to launch\""}],
                         docs[2]["warnings"])
        rc, out, err = self.sfx("verify", "signed.exe", "empty.exe")
        self.assertEqual((0, f"sfxpack: warning: empty.exe: offset {IMAGE} ({IMAGE:#x}): the container holds no record: "
                             "the launcher would find nothing to run and show \"Unable to launch\"\n"), (rc, err))
        self.assertTrue(out.startswith(self.SIGNED_OK), out)
        self.assertIn("\nempty.exe: OK: structure checked; this format carries no checksum", out)

    def test_signed_container_verifies_and_lists_table(self):
        data, table, size = self.sign()
        trailer = os.path.getsize(self.path("c.exe"))
        self.assertEqual(len(data), table + size)
        desc = (f"{len(data) - trailer} bytes after the end record: {table - trailer} bytes of zero padding, "
                f"then certificate table ({size} bytes) at offset {table} ({table:#x}), referenced by the "
                "image's security directory")
        if table == trailer:
            desc = desc.replace(f"{table - trailer} bytes of zero padding, then ", "")
        out = self.expect(["verify", "signed.exe"], 0, "")
        self.assertIn("\nsigned.exe: 1 record, 4099 data bytes; ", out)  # not "1 records"
        self.assertIn(desc, out)
        self.assertIn(desc + "\n", self.expect(["list", "signed.exe"], 0, ""))
        self.expect(["extract", "-C", "out", "signed.exe"], 0, "")
        self.assertEqual(self.read("setup.exe"), self.read("out/setup.exe"))

    def test_large_certificate_table_is_counted_not_listed(self):
        data, table, size = self.sign()
        count = (16 << 20) // 8  # 16 MiB of empty entries of type 1 behind the signature
        pad = -size % 8
        entries = bytes(pad) + struct.pack("<IHH", 8, 0x200, 1) * count
        entry, _, _ = security_directory(data)
        grown = bytearray(data + entries)
        struct.pack_into("<I", grown, entry + 4, size + len(entries))
        self.write("signed.exe", bytes(grown))
        out = self.expect(["verify", "signed.exe"], 0, "")
        also = [line for line in out.splitlines() if line.startswith("signed.exe: also signed: ")]
        first = table + size + pad
        self.assertEqual(f"signed.exe: also signed: a further certificate entry (type 1) at offset {first}, not checked",
                         also[0])
        self.assertEqual([f"signed.exe: also signed: {count - 15} more certificate entries, not checked"],
                         also[15:])

    def test_byte_after_signature_fails(self):
        data, table, size = self.sign()
        self.write("signed.exe", data + b"\0")
        self.expect(["verify", "signed.exe"], 1,
                    f"sfxpack: signed.exe: offset {len(data)} ({len(data):#x}): data after the end record: 1 byte "
                    f"after the certificate table ({size} bytes at offset {table})\n")


PKI_EXTENSIONS = """[ca]
basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign
[leaf]
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
[tsa]
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,nonRepudiation
extendedKeyUsage=critical,timeStamping
[ts]
default_tsa=tsa_config
[tsa_config]
serial=tsaserial
signer_cert=tsa.pem
signer_key=tsa.key
certs=tsa.pem
default_policy=1.2.3.4.1
digests=sha256
signer_digest=sha256
ess_cert_id_alg=sha256
accuracy=secs:1
"""


class TimeStampAuthority(http.server.BaseHTTPRequestHandler):
    """An RFC 3161 responder: each request is answered by `openssl ts -reply`,
    under faketime when the test sets a clock."""
    folder = None
    clock = None

    def do_POST(self):
        query = os.path.join(self.folder, "query.tsq")
        with open(query, "wb") as f:
            f.write(self.rfile.read(int(self.headers["Content-Length"])))
        command = ["openssl", "ts", "-reply", "-config", "ext.cnf", "-section", "tsa_config", "-queryfile", query,
                   "-out", "reply.tsr"]
        subprocess.run((["faketime", self.clock] if self.clock else []) + command, cwd=self.folder, check=True,
                       capture_output=True)
        body = read(os.path.join(self.folder, "reply.tsr"))
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class Trust(Case):
    """A root, an intermediate and code-signing leaves made with openssl, a
    time-stamp authority on 127.0.0.1, and every verdict held beside
    osslsigncode's on the same file."""

    @classmethod
    def setUpClass(cls):
        cls.pki = tempfile.mkdtemp(prefix="sfxpack-pki-")
        with open(os.path.join(cls.pki, "ext.cnf"), "w") as f:
            f.write(PKI_EXTENSIONS)
        with open(os.path.join(cls.pki, "tsaserial"), "w") as f:
            f.write("01\n")
        cls.ca("root", None, "2019-01-01", 7300)
        cls.ca("other", None, "2019-01-01", 7300)
        cls.ca("int", "root", "2019-01-01", 7300)
        cls.ca("tsa", "root", "2019-01-01", 7300, "tsa")
        cls.ca("leaf", "int", "2019-01-01", 3650, "leaf")
        cls.ca("old", "int", "2019-06-01", 365, "leaf")  # expired in 2020
        cls.ca("stranger", "other", "2019-01-01", 3650, "leaf")
        TimeStampAuthority.folder = cls.pki
        cls.server = http.server.HTTPServer(("127.0.0.1", 0), TimeStampAuthority)
        threading.Thread(target=cls.server.serve_forever, daemon=True).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()
        shutil.rmtree(cls.pki, True)

    @classmethod
    def ca(cls, name, issuer, start, days, extensions="ca"):
        run = lambda *a: subprocess.run(["faketime", start, "openssl", *a], cwd=cls.pki, check=True,
                                        capture_output=True)
        if issuer is None:
            run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.pem",
                "-days", str(days), "-subj", f"/CN=Test {name}", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
            return
        run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
            "-subj", f"/O=Test Ltd/CN=Test {name}")
        run("x509", "-req", "-in", f"{name}.csr", "-CA", f"{issuer}.pem", "-CAkey", f"{issuer}.key", "-set_serial",
            str(abs(hash(name)) % 100000), "-out", f"{name}.pem", "-days", str(days), "-extfile", "ext.cnf",
            "-extensions", extensions)
        chain = read(os.path.join(cls.pki, f"{name}.pem")) + read(os.path.join(cls.pki, f"{issuer}.pem"))
        with open(os.path.join(cls.pki, f"{name}-chain.pem"), "wb") as f:
            f.write(chain)

    def sign(self, source, out, leaf="leaf", clock=None, stamp=True):
        TimeStampAuthority.clock = clock
        port = self.server.server_address[1]
        subprocess.run(["osslsigncode", "sign", "-certs", os.path.join(self.pki, f"{leaf}-chain.pem"),
                        "-key", os.path.join(self.pki, f"{leaf}.key"), "-h", "sha256",
                        *(["-ts", f"http://127.0.0.1:{port}"] if stamp else []), "-in", source, "-out", out],
                       cwd=self.dir, check=True, capture_output=True)

    def verdicts(self, name, ca="root", packed=False):
        """sfxpack's verdict and osslsigncode's on the same file; a program
        is judged by sfxpack inside an unsigned container, c-NAME."""
        ca = os.path.join(self.pki, f"{ca}.pem")
        if packed and not os.path.exists(self.path(f"c-{name}")):
            self.expect(["create", "-o", f"c-{name}", name], 0, "")
        ours = self.sfx("verify", "--ca", ca, "--tsa-ca", os.path.join(self.pki, "root.pem"),
                        f"c-{name}" if packed else name)
        theirs = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-TSA-CAfile",
                                 os.path.join(self.pki, "root.pem"), "-in", name], cwd=self.dir, capture_output=True)
        self.assertEqual(theirs.returncode == 0, ours[0] == 0, (name, ours, theirs.stdout.decode()[-600:]))
        return ours

    def test_programs_inside_and_the_chain_judged_like_osslsigncode(self):
        self.write("plain.exe", make_pe(4099))
        self.sign("plain.exe", "setup.exe")
        self.write("notes.txt", b"text")
        self.expect(["create", "-o", "c.exe", "setup.exe", "plain.exe", "notes.txt"], 0, "")
        self.sign("c.exe", "signed.exe")
        rc, out, err = self.verdicts("signed.exe")
        self.assertEqual((0, ""), (rc, err))
        self.assertIn(f"signed.exe: OK: structure checked; SHA-256 digest matches the signature and the signature is "
                      f"intact; its chain leads to CN=Test root of {self.pki}/root.pem, valid at the time stamp's "
                      "time\n", out)
        self.assertRegex(out, "signed.exe: signer: CN=Test leaf, O=Test Ltd, valid 2019-01-01 00:00:0\\d UTC to ")
        self.assertRegex(out, "signed.exe: issuer: CN=Test int, O=Test Ltd, valid 2019-01-01 00:00:0\\d UTC to ")
        self.assertRegex(out, r"signed.exe: time stamp: RFC 3161, 20\d\d-\d\d-\d\d \d\d:\d\d:\d\d UTC by "
                              r"CN=Test tsa, O=Test Ltd\n")
        self.assertIn("signed.exe: record 'plain.exe': unsigned\n", out)
        self.assertIn("signed.exe: record 'setup.exe': SHA-256 digest matches the signature and the signature is "
                      "intact; its chain leads to CN=Test root", out)
        self.assertNotIn("notes.txt", out)
        records = json.loads(self.expect(["list", "--json", "signed.exe"], 0, ""))["records"]
        self.assertEqual([("matches", "CN=Test leaf, O=Test Ltd", "not judged"), ("unsigned", None, None),
                          ("not a program", None, None)],
                         [(r["program"]["state"], r["program"].get("signer"), r["program"].get("trust"))
                          for r in records])
        self.assertEqual((1, ""), self.verdicts("signed.exe", ca="other")[:2])
        self.assertIn(f"its chain does not lead to a certificate of {self.pki}/other.pem",
                      self.sfx("verify", "--ca", os.path.join(self.pki, "other.pem"), "signed.exe")[2])
        # --require-signed, both ways, for verify and create.
        self.expect(["verify", "--require-signed", "signed.exe"], 1,
                    f"sfxpack: signed.exe: offset {IMAGE + 2 * HEADER + len(self.read('setup.exe'))} "
                    f"({IMAGE + 2 * HEADER + len(self.read('setup.exe')):#x}): record 'plain.exe': unsigned "
                    "(--require-signed asks for a signature)\n")
        self.expect(["create", "--require-signed", "-o", "d.exe", "setup.exe", "plain.exe"], 1,
                    "sfxpack: plain.exe: unsigned (--require-signed asks for a signature)\n"
                    "sfxpack: d.exe: a program is not signed as --require-signed asks; nothing written\n")
        self.assertFalse(os.path.exists(self.path("d.exe")))
        self.expect(["create", "--require-signed", "--ca", os.path.join(self.pki, "root.pem"), "-o", "d.exe",
                     "setup.exe", "notes.txt"], 0, "")
        self.sign("d.exe", "e.exe")
        self.expect(["verify", "--require-signed", "e.exe"], 0, "")

    def test_expiry_judged_at_the_time_stamp_s_time(self):
        self.write("plain.exe", make_pe(4099))
        self.sign("plain.exe", "stamped.exe", leaf="old", clock="2020-01-01 12:00:00")  # inside the validity
        self.sign("plain.exe", "late.exe", leaf="old")  # stamped now, after it expired
        self.sign("plain.exe", "bare.exe", leaf="old", stamp=False)
        self.assertEqual(0, self.verdicts("stamped.exe", packed=True)[0])
        for name, when in (("late.exe", "at the time stamp's time"), ("bare.exe", "now")):
            rc, out, err = self.verdicts(name, packed=True)
            # faketime's clock runs on: the certificate was made a second or two after midnight.
            self.assertRegex(err, f"the signature is not trusted: certificate CN=Test old, O=Test Ltd is valid from "
                                  f"2019-06-01 00:00:0\\d UTC to 2020-05-31 00:00:0\\d UTC, not {when} \\(")
        self.assertEqual(1, self.verdicts("stamped.exe", ca="other", packed=True)[0])

    def test_changed_record_and_tampered_signed_attributes(self):
        self.write("plain.exe", make_pe(4099))
        self.sign("plain.exe", "setup.exe", stamp=False)
        data = bytearray(self.read("setup.exe"))
        data[0x400] ^= 1  # a signed byte of the program
        self.write("changed.exe", bytes(data))
        data = bytearray(self.read("setup.exe"))
        at = data.index(b"\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x09\x03")  # the contentType attribute
        data[at + 11 + 4] ^= 1  # inside the signed attributes: the digest still matches
        self.write("tampered.exe", bytes(data))
        for name, problem in (("changed.exe", "the signed content has changed since signing"),
                              ("tampered.exe", "the signature does not hold: the signature over the signed "
                                               "attributes does not verify with the signer's key")):
            self.assertEqual(1, self.verdicts(name, packed=True)[0])
            rc, out, err = self.sfx("verify", f"c-{name}")
            self.assertEqual(1, rc)
            self.assertIn(f"c-{name}: offset ", err)
            self.assertIn(f": record '{name}': {problem}", err)


if __name__ == "__main__":
    main()
