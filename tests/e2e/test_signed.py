"""A signed container under Wine: made by sfxpack, signed by osslsigncode
with a throw-away certificate, it verifies and unpacks and launches exactly
like the unsigned one; the certificate table behind the end record is
never read."""
import os
import shutil
import struct
import subprocess
import unittest
import zlib

from harness import LauncherCase


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

    def test_signed_container_runs_like_the_unsigned_one(self):
        sfxpack = os.path.join(os.environ["SFX_BUILD_DIR"], "tools", "sfxpack", "sfxpack")
        probe = self.write("setup.exe", self.program("probe.exe"))
        data = self.write("data.bin", bytes(range(256)) * 400, 0o644)
        unsigned, signed = self.path("unsigned.exe"), self.path("signed.exe")
        subprocess.run([sfxpack, "create", "-o", unsigned, probe, data], check=True)
        self.sign(unsigned, signed)
        os.chmod(signed, 0o755)

        with open(unsigned, "rb") as f:
            plain = f.read()
        with open(signed, "rb") as f:
            blob = f.read()
        # The payload is untouched; the table follows it, 8-byte aligned,
        # where the image's security directory points.
        self.assertEqual(blob[0x20000:len(plain)], plain[0x20000:])
        pe = struct.unpack_from("<I", blob, 0x3C)[0]
        table, size = struct.unpack_from("<II", blob, pe + 24 + 128)
        self.assertEqual(table % 8, 0)
        self.assertGreaterEqual(table, len(plain))
        self.assertEqual(table + size, len(blob))
        listing = subprocess.run([sfxpack, "list", signed], capture_output=True, text=True)
        self.assertEqual(listing.returncode, 0, listing.stderr)
        self.assertIn("certificate table", listing.stdout)

        results = []
        for exe in (unsigned, signed):
            run = self.run_launcher(exe, env=self.probe_env())
            report, files = self.probe_report()
            results.append((run.exit_code, run.errors, run.texts(), run.position_groups(),
                            sorted(files.items())))
            self.assertEqual(report["snf"].rsplit("\\", 1)[-1], os.path.basename(exe))
            os.remove(self.path("probe-report.txt"))
        self.assertEqual(results[0], results[1])
        exit_code, errors, texts, _, files = results[1]
        self.assertEqual((exit_code, errors), (0, []))
        self.assertEqual(texts, ["Extracting: setup.exe", "Extracting: data.bin"])
        with open(data, "rb") as f:
            payload = f.read()
        self.assertIn(("data.bin", (len(payload), zlib.crc32(payload))), files)


if __name__ == "__main__":
    unittest.main(verbosity=2)
