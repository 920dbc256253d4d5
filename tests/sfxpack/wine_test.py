#!/usr/bin/env python3
"""Tests of the Windows sfxpack.exe under Wine, in the project's Wine bed.

The Windows build must behave like the native one: the same container
bytes, the same listings, the same refusals, and 64-bit offsets although
it is a 32-bit program.  Its own code paths are the Windows ones: names
converted by WideCharToMultiByte and MultiByteToWideChar from the wide
command line, digests by BCrypt, signatures parsed by CryptoAPI; each must
give what iconv, libcrypto and OpenSSL give natively.

$SFXPACK is the native sfxpack, $SFXPACK_EXE the Windows one,
$SFX_BUILD_DIR the build tree whose Wine bed is used.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

from images import header, make_ico, make_pe  # noqa: E402
from sfxcontainer import END_RECORD as END, HEADER_SIZE as HEADER, IMAGE_LENGTH as IMAGE  # noqa: E402
from testkit import SOURCE_DIR, build_path, main, read, write  # noqa: E402

sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))
from winebed import Bed  # noqa: E402

SFXPACK = build_path("SFXPACK")
SFXPACK_EXE = build_path("SFXPACK_EXE")
BUILD = build_path("SFX_BUILD_DIR")




class WindowsSfxpack(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bed = Bed(BUILD)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="sfxpack-wine-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.put("setup.exe", make_pe(3000))
        self.put("data.bin", bytes(range(256)) * 300)
        self.put("empty.txt", b"")
        self.put("app.ico", make_ico())

    def put(self, name, data):
        write(os.path.join(self.dir, name), data)

    def get(self, name):
        return read(os.path.join(self.dir, name))

    def wine(self, *args):
        """Exit status, stdout and stderr of sfxpack.exe, line ends made Unix."""
        r = self.bed.run([SFXPACK_EXE, *args], cwd=self.dir, timeout=300)
        return r.returncode, r.stdout.decode("latin-1").replace("\r\n", "\n"), \
            r.stderr.decode("latin-1").replace("\r\n", "\n")

    def native(self, *args):
        r = subprocess.run([SFXPACK, *args], cwd=self.dir, capture_output=True, timeout=120)
        return r.returncode, r.stdout.decode("latin-1"), r.stderr.decode("latin-1")

    def test_same_container_listing_and_files_as_native(self):
        # Branded, so that the resource section is rebuilt by the 32-bit code
        # too; the Windows build reads the version string from the wide
        # command line.
        inputs = ["--icon", "app.ico", "--file-version", "3.1", "--version-string", "ProductName=W\u00efdget",
                  "setup.exe", "--name", "Data File.bin=data.bin", "empty.txt"]
        self.assertEqual((0, "", ""), self.wine("create", "-o", "win.exe", *inputs))
        self.assertEqual((0, "", ""), self.native("create", "-o", "native.exe", *inputs))
        self.assertEqual(self.get("native.exe"), self.get("win.exe"))
        for cmd in (["list", "win.exe"], ["list", "--json", "win.exe"], ["verify", "win.exe"]):
            with self.subTest(cmd=cmd):
                self.assertEqual(self.native(*cmd), self.wine(*cmd))
        self.assertEqual((0, "", ""), self.wine("extract", "-C", "out", "win.exe"))
        for name, source in (("setup.exe", "setup.exe"), ("Data File.bin", "data.bin"), ("empty.txt", "empty.txt")):
            self.assertEqual(self.get(source), self.get(os.path.join("out", name)), name)

    def test_refusals(self):
        self.put("c.exe", b"keep")
        self.assertEqual((1, "", "sfxpack: c.exe: already exists (use --force to replace it)\n"),
                         self.wine("create", "-o", "c.exe", "setup.exe"))
        self.assertEqual(b"keep", self.get("c.exe"))
        self.put("short.exe", make_pe(IMAGE - 8))
        self.assertEqual((1, "", f"sfxpack: short.exe: not a launcher image (file is {IMAGE - 8} bytes, expected "
                                 f"{IMAGE})\n"),
                         self.wine("create", "--stub", "short.exe", "-o", "d.exe", "setup.exe"))
        self.assertEqual((1, "", "sfxpack: data.bin: name 'A.BIN' names the same file on Windows as 'a.bin' "
                                 "(from setup.exe)\n"),
                         self.wine("create", "-o", "d.exe", "--name", "a.bin=setup.exe", "--name", "A.BIN=data.bin"))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "d.exe")))
        leftovers = [n for n in os.listdir(self.dir) if ".tmp" in n or "sfxpack-" in n]
        self.assertEqual([], leftovers)

    def test_force_replaces_output_and_extracted_files(self):
        self.put("c.exe", b"old")
        self.assertEqual((0, "", ""), self.wine("create", "--force", "-o", "c.exe", "setup.exe"))
        self.assertEqual(make_pe(3000), self.get("c.exe")[IMAGE + HEADER:IMAGE + HEADER + 3000])
        os.mkdir(os.path.join(self.dir, "out"))
        self.put("out/setup.exe", b"old")
        self.assertEqual((1, "", "sfxpack: out/setup.exe: already exists (use --force to replace it)\n"),
                         self.wine("extract", "-C", "out", "c.exe"))
        self.assertEqual((0, "", ""), self.wine("extract", "--force", "-C", "out", "c.exe"))
        self.assertEqual(make_pe(3000), self.get("out/setup.exe"))

    def test_code_page_names_like_native(self):
        self.put("表.txt", b"kanji")
        self.put("café.txt", b"accent")
        self.put("ā.txt", b"")
        for cp, name in (("932", "表.txt"), ("1252", "café.txt")):
            with self.subTest(codepage=cp):
                args = ["create", "--codepage", cp, "-o", f"win{cp}.exe", "setup.exe", name]
                self.assertEqual((0, "", ""), self.wine(*args))
                self.assertEqual((0, "", ""), self.native(*[a.replace("win", "native") for a in args]))
                self.assertEqual(self.get(f"native{cp}.exe"), self.get(f"win{cp}.exe"))
                for cmd in (["list", "--codepage", cp, "--sha256", f"win{cp}.exe"],
                            ["list", "--json", "--codepage", cp, f"win{cp}.exe"]):
                    self.assertEqual(self.native(*cmd), self.wine(*cmd))
                self.assertEqual((0, "", ""), self.wine("extract", "--codepage", cp, "-C", f"out{cp}", f"win{cp}.exe"))
                self.assertEqual(sorted(["setup.exe", name]), sorted(os.listdir(os.path.join(self.dir, f"out{cp}"))))
        for refusal in (["create", "--codepage", "1252", "-o", "no.exe", "setup.exe", "ā.txt"],
                        ["create", "--codepage", "1252", "-o", "no.exe", "café.txt", "--name", "CAFÉ.TXT=setup.exe"]):
            self.assertEqual(1, self.native(*refusal)[0])
            self.assertEqual(self.native(*refusal), self.wine(*refusal))

    def test_signature_check_like_native(self):
        self.assertEqual((0, "", ""), self.native("create", "-o", "c.exe", "setup.exe", "data.bin"))
        tool = {"cwd": self.dir, "check": True, "capture_output": True}
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem",
                        "-out", "cert.pem", "-days", "2", "-subj", "/CN=sfxpack wine test"], **tool)
        sign = ["osslsigncode", "sign", "-certs", "cert.pem", "-key", "key.pem"]
        subprocess.run([*sign, "-h", "sha256", "-in", "c.exe", "-out", "signed.exe"], **tool)
        subprocess.run([*sign, "-h", "sha1", "-nest", "-in", "signed.exe", "-out", "nested.exe"], **tool)
        subprocess.run([*sign, "-h", "sha1", "-in", "c.exe", "-out", "sha1.exe"], **tool)
        bad = bytearray(self.get("signed.exe"))
        bad[IMAGE + HEADER + 7] ^= 0x01
        self.put("bad.exe", bytes(bad))
        # A byte of the signed attributes: the digest still matches, CryptoAPI's check of the signature fails.
        tampered = bytearray(self.get("signed.exe"))
        at = tampered.index(bytes.fromhex("06092a864886f70d010903"))  # the contentType attribute
        tampered[at + 15] ^= 0x01
        self.put("tampered.exe", bytes(tampered))
        cmd = ["verify", "nested.exe", "sha1.exe", "bad.exe", "tampered.exe"]
        rc, out, err = self.native(*cmd)
        self.assertEqual(1, rc)
        self.assertIn("nested signature 1: SHA-1 digest matches the signature and the signature is intact", out)
        self.assertIn("the signed content has changed since signing", err)
        self.assertIn("tampered.exe: offset", err)
        self.assertIn("the signature does not hold: the signature over the signed attributes does not verify", err)
        self.assertEqual((rc, out, err), self.wine(*cmd))
        self.assertEqual(self.native("verify", "--json", *cmd[1:]), self.wine("verify", "--json", *cmd[1:]))
        self.assertEqual(self.native("list", "--sha256", "bad.exe"), self.wine("list", "--sha256", "bad.exe"))
        # A ContentInfo that names SignedData and holds none: a finding for CryptoAPI's reader too.
        body = header(0, b"a.exe") + END
        table = IMAGE + len(body)
        entry = struct.pack("<IHH", 8 + 13, 0x200, 2) + bytes.fromhex("300b06092a864886f70d010702") + bytes(3)
        self.put("empty7.exe", make_pe(security=(table, len(entry))) + body + entry)
        rc, out, err = self.wine("verify", "empty7.exe")
        self.assertEqual((1, ""), (rc, out))
        self.assertTrue(err.startswith(f"sfxpack: empty7.exe: offset {table} ({table:#x}): the signature cannot be "
                                       "checked: the signature"), err)

    def test_offsets_beyond_4_gib(self):
        # Two records of 2 GiB - 1 and one small one, as a sparse file: only
        # the headers are written.  A 32-bit program must still read past
        # 4 GiB.
        big = 0x7FFFFFFF
        with open(os.path.join(self.dir, "big.exe"), "wb") as f:
            f.write(make_pe(IMAGE))
            for i in (1, 2):
                f.write(header(big, b"part%d.bin" % i))
                f.seek(big, os.SEEK_CUR)
            f.write(header(3, b"last.txt") + b"end" + END)
        last = IMAGE + 3 * HEADER + 2 * big
        rc, out, err = self.wine("list", "big.exe")
        self.assertEqual((0, ""), (rc, err))
        self.assertIn(f"{last:14d} {3:12d}  last.txt\n", out)
        self.assertIn(f"end record at offset {last + 3} ({last + 3:#x})\n", out)
        self.assertEqual(self.native("verify", "big.exe"), self.wine("verify", "big.exe"))
        self.assertEqual((0, "", ""), self.wine("extract", "-C", "out", "big.exe", "last.txt"))
        self.assertEqual(b"end", self.get("out/last.txt"))


if __name__ == "__main__":
    main()
