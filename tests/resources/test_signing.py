#!/usr/bin/env python3
"""Signs a copy of the padded launcher with osslsigncode, using a throw-away
self-signed certificate made with openssl, and checks that the signature
verifies and that the certificate table sits right behind the image, where
the security directory points.  Both tools are required: a missing one is
a failure.

$SFX_LAUNCHER is the launcher the cross build made.
"""

import os
import shutil
import struct
import sys
import tempfile
import unittest

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from sfxcontainer import IMAGE_LENGTH  # noqa: E402
from testkit import build_path, main, read, sh, write  # noqa: E402

LAUNCHER = build_path("SFX_LAUNCHER")
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002


def run(*args):
    return sh(*args, check=False, timeout=60)


class SigningTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for tool in ("openssl", "osslsigncode"):
            if shutil.which(tool) is None:
                raise AssertionError("%s is not installed (tools/install-deps.sh installs it)" % tool)
        cls.original = read(LAUNCHER)
        cls.dir = tempfile.mkdtemp(prefix="sign-test-")
        cls.key = os.path.join(cls.dir, "key.pem")
        cls.cert = os.path.join(cls.dir, "cert.pem")
        r = run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                "-keyout", cls.key, "-out", cls.cert, "-days", "2",
                "-subj", "/CN=sfx launcher test signer",
                "-addext", "extendedKeyUsage=codeSigning")
        if r.returncode != 0:
            raise AssertionError("openssl could not make a certificate:\n" + r.stderr)
        unsigned = os.path.join(cls.dir, "launcher.exe")
        shutil.copyfile(LAUNCHER, unsigned)
        cls.signed_path = os.path.join(cls.dir, "signed.exe")
        cls.sign = run("osslsigncode", "sign", "-certs", cls.cert, "-key", cls.key,
                       "-h", "sha256", "-n", "sfx launcher", "-in", unsigned,
                       "-out", cls.signed_path)
        cls.signed = b""
        if os.path.exists(cls.signed_path):
            cls.signed = read(cls.signed_path)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def verify(self, path):
        return run("osslsigncode", "verify", "-CAfile", self.cert, "-in", path)

    def test_signing_succeeds(self):
        self.assertEqual(self.sign.returncode, 0, self.sign.stdout + self.sign.stderr)
        self.assertGreater(len(self.signed), IMAGE_LENGTH)

    def test_signature_verifies(self):
        r = self.verify(self.signed_path)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("Signature verification: ok", r.stdout)
        self.assertIn("Subject: /CN=sfx launcher test signer", r.stdout)

    def test_altered_code_fails_verification(self):
        text = pefile.PE(data=self.signed, fast_load=True).sections[0]
        tampered = bytearray(self.signed)
        tampered[text.PointerToRawData + 16] ^= 0xFF
        path = os.path.join(self.dir, "tampered.exe")
        write(path, tampered)
        r = self.verify(path)
        self.assertNotEqual(r.returncode, 0, r.stdout)
        self.assertNotIn("Signature verification: ok", r.stdout)

    def test_certificate_table_follows_the_image(self):
        security = pefile.PE(data=self.signed, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
        # The security directory holds a file offset, not an address.
        offset, size = security.VirtualAddress, security.Size
        self.assertEqual(offset, IMAGE_LENGTH)
        self.assertEqual(offset + size, len(self.signed))
        length, revision, kind = struct.unpack_from("<IHH", self.signed, offset)
        self.assertEqual((revision, kind), (WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA))
        self.assertLessEqual(length, size)
        self.assertEqual((length + 7) // 8 * 8, size)
        # The certificate is DER: a SEQUENCE (0x30) with a long length.
        self.assertEqual(self.signed[offset + 8], 0x30)

    def test_image_itself_is_unchanged_but_for_checksum_and_security_directory(self):
        pe = pefile.PE(data=self.signed, fast_load=True)
        checksum = pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
        security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY].get_file_offset()
        allowed = set(range(checksum, checksum + 4)) | set(range(security, security + 8))
        head = self.signed[:IMAGE_LENGTH]
        changed = {i for i in range(IMAGE_LENGTH) if head[i] != self.original[i]}
        self.assertTrue(changed)
        self.assertLessEqual(changed, allowed, sorted(hex(i) for i in changed - allowed))
        self.assertEqual(max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections), IMAGE_LENGTH)

    def test_signed_checksum_is_recomputed(self):
        pe = pefile.PE(data=self.signed, fast_load=True)
        self.assertEqual(pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())


if __name__ == "__main__":
    main()
