"""Containers as they are shipped, under Wine: made by sfxpack, signed by
osslsigncode with a throw-away certificate, and branded with an icon and
version information.  They verify, unpack and launch exactly like a plain
container; the certificate table behind the end record is never read; and
Windows' own resource functions read the branding from the container."""
import os
import shutil
import subprocess
import sys
import zlib

import pefile
from harness import LauncherCase, TEST_WIN_DIR, main
from sfxcontainer import IMAGE_LENGTH
from winebed import windows_path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sfxpack"))
from images import make_ico  # noqa: E402

SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]


def tool(name):
    path = shutil.which(name)
    if not path:
        raise AssertionError("%s is not installed (run tools/install-deps.sh)" % name)
    return path


class SignedContainer(LauncherCase):
    def sign(self, unsigned, signed):
        key, cert = self.path("key.pem"), self.path("cert.pem")
        subprocess.run([tool("openssl"), "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                        "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=sfx test"],
                       check=True, capture_output=True)
        subprocess.run([tool("osslsigncode"), "sign", "-certs", cert, "-key", key,
                        "-in", unsigned, "-out", signed], check=True, capture_output=True)
        verify = subprocess.run([tool("osslsigncode"), "verify", "-CAfile", cert, "-in", signed],
                                capture_output=True, text=True)
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)

    def pack(self, name, *options):
        """A container of the probe installer and data.bin, made by sfxpack."""
        sfxpack = os.path.join(os.environ["SFX_BUILD_DIR"], "tools", "sfxpack", "sfxpack")
        probe = self.write("setup.exe", self.program("probe.exe"))
        self.write("data.bin", bytes(range(256)) * 400, 0o644)
        subprocess.run([sfxpack, "create", "-o", self.path(name), *options, probe, self.path("data.bin")],
                       check=True)
        return self.path(name)

    def outcome(self, exe):
        """What a run of EXE showed and unpacked, and the probe's SNF."""
        run = self.run_launcher(exe, env=self.probe_env())
        report, files = self.probe_report()
        self.assertEqual(report["snf"].rsplit("\\", 1)[-1], os.path.basename(exe))
        os.remove(self.path("probe-report.txt"))
        return run.exit_code, run.errors, run.texts(), run.position_groups(), sorted(files.items())

    def test_signed_container_runs_like_the_unsigned_one(self):
        sfxpack = os.path.join(os.environ["SFX_BUILD_DIR"], "tools", "sfxpack", "sfxpack")
        unsigned, signed = self.pack("unsigned.exe"), self.path("signed.exe")
        data = self.path("data.bin")
        self.sign(unsigned, signed)
        os.chmod(signed, 0o755)

        with open(unsigned, "rb") as f:
            plain = f.read()
        with open(signed, "rb") as f:
            blob = f.read()
        # The payload is untouched; the table follows it, 8-byte aligned,
        # where the image's security directory points.
        self.assertEqual(blob[IMAGE_LENGTH:len(plain)], plain[IMAGE_LENGTH:])
        security = pefile.PE(data=blob, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
        table, size = security.VirtualAddress, security.Size  # a file offset, not an address
        self.assertEqual(table % 8, 0)
        self.assertGreaterEqual(table, len(plain))
        self.assertEqual(table + size, len(blob))
        listing = subprocess.run([sfxpack, "list", signed], capture_output=True, text=True)
        self.assertEqual(listing.returncode, 0, listing.stderr)
        self.assertIn("certificate table", listing.stdout)

        results = [self.outcome(unsigned), self.outcome(signed)]
        self.assertEqual(results[0], results[1])
        exit_code, errors, texts, _, files = results[1]
        self.assertEqual((exit_code, errors), (0, []))
        self.assertEqual(texts, ["Extracting: setup.exe", "Extracting: data.bin"])
        with open(data, "rb") as f:
            payload = f.read()
        self.assertIn(("data.bin", (len(payload), zlib.crc32(payload))), files)

    def test_branded_signed_container_runs_like_a_plain_one_and_shows_its_branding(self):
        self.write("app.ico", make_ico(), 0o644)  # 16, 32 (32 bpp), 48 (8 bpp), 256 (PNG)
        plain = self.pack("plain.exe")
        branded = self.pack("branded.exe", "--icon", self.path("app.ico"), "--file-version", "2.0.1",
                            "--product-version", "2.0", "--version-string", "CompanyName=Acme Corp",
                            "--version-string", "ProductName=Widget Setup")
        signed = self.path("signed.exe")
        self.sign(branded, signed)
        os.chmod(signed, 0o755)
        self.assertEqual(self.outcome(plain), self.outcome(signed))

        check = os.path.join(TEST_WIN_DIR, "brandcheck.exe")
        for size, pick in ((32, "2 4264"), (256, "4 666")):
            with self.subTest(size=size):
                r = self.bed.run([check, windows_path(signed), str(size), "CompanyName", "ProductName",
                                  "FileVersion", "ProductVersion", "Comments"], timeout=120)
                self.assertEqual(0, r.returncode, r.stdout + r.stderr)
                self.assertEqual(["group 62", f"pick {pick}", f"icon {size} {size}", "fixed 2.0.1.0 2.0.0.0",
                                  "translation 0409 04b0", "string CompanyName Acme Corp",
                                  "string ProductName Widget Setup", "string FileVersion 2.0.1.0",
                                  "string ProductVersion 2.0.0.0", "string Comments (none)"],
                                 r.stdout.decode("latin-1").splitlines())
        r = self.bed.run([check, windows_path(plain), "32"], timeout=120)
        self.assertIn(b"error GetFileVersionInfoSize", r.stdout, "the plain launcher has no version resource")


if __name__ == "__main__":
    main()
