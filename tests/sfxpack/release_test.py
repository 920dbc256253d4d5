#!/usr/bin/env python3
"""Tests of a release: tools/release.sh run once into a temporary folder,
then its Debian package, Windows zip, source tarball and SHA256SUMS looked
at with the tools a user would use (dpkg-deb, lintian, sha256sum) and the
packaged sfxpack run.

$SFX_SOURCE_DIR is the checkout, $SFX_RELEASE_BUILD the Release build
tree to (re)use, $CMAKE the cmake program.
"""
import hashlib
import os
import re
import shutil
import subprocess
import tarfile
import tempfile
import unittest
import zipfile

from images import make_ico, make_pe  # noqa: E402

SOURCE = os.environ.get("SFX_SOURCE_DIR", "")
CMAKE = os.environ.get("CMAKE", "cmake")


def sh(*args, cwd=None, check=True):
    p = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=900)
    if check and p.returncode != 0:
        raise AssertionError(f"{' '.join(args)} exited {p.returncode}\n{p.stdout}\n{p.stderr}")
    return p


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="sfx-release-")
        cls.out = os.path.join(cls.tmp, "dist")
        sh(os.path.join(SOURCE, "tools", "release.sh"), cls.out)
        with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
            cls.version = re.search(r"project\(sfx VERSION ([0-9.]+)", f.read()).group(1)
        cls.arch = sh("dpkg", "--print-architecture").stdout.strip()
        cls.deb = os.path.join(cls.out, f"sfxpack_{cls.version}_{cls.arch}.deb")
        cls.root = os.path.join(cls.tmp, "root")
        sh("dpkg", "-x", cls.deb, cls.root)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, True)

    def test_artifacts_and_their_sums(self):
        names = [f"sfx-{self.version}.tar.gz", f"sfxpack-{self.version}-windows-x86.zip",
                 os.path.basename(self.deb)]
        self.assertEqual(sorted(names + ["SHA256SUMS"]), sorted(os.listdir(self.out)))
        check = sh("sha256sum", "-c", "SHA256SUMS", cwd=self.out)
        self.assertEqual([f"{n}: OK" for n in names], check.stdout.splitlines())

    def test_deb_control_and_files(self):
        fields = dict(line.split(": ", 1) for line in
                      sh("dpkg-deb", "-f", self.deb, "Package", "Version", "Architecture").stdout.splitlines())
        self.assertEqual({"Package": "sfxpack", "Version": self.version, "Architecture": self.arch}, fields)
        depends = sh("dpkg-deb", "-f", self.deb, "Depends").stdout
        self.assertRegex(depends, r"libc6 \(>= [0-9.]+\)")
        self.assertRegex(depends, r"libssl3")
        files = {}
        for line in sh("dpkg-deb", "-c", self.deb).stdout.splitlines():
            mode, owner, _size, _date, _time, path = line.split(None, 5)
            self.assertEqual("root/root", owner, path)
            if not mode.startswith("d"):
                files[path] = mode
        self.assertEqual({
            "./usr/bin/sfxpack": "-rwxr-xr-x",
            "./usr/lib/cmake/sfxpack/sfxpackConfig.cmake": "-rw-r--r--",
            "./usr/lib/cmake/sfxpack/sfxpackConfigVersion.cmake": "-rw-r--r--",
            "./usr/share/bash-completion/completions/sfxpack": "-rw-r--r--",
            "./usr/share/doc/sfxpack/changelog.gz": "-rw-r--r--",
            "./usr/share/doc/sfxpack/copyright": "-rw-r--r--",
            "./usr/share/man/man1/sfxpack.1.gz": "-rw-r--r--",
            "./usr/share/sfxpack/launcher.exe": "-rw-r--r--",
        }, files)

    def test_lintian_finds_no_errors(self):
        p = sh("lintian", self.deb, check=False)
        self.assertEqual([], [line for line in p.stdout.splitlines() if line.startswith("E:")], p.stdout)
        self.assertEqual(0, p.returncode, p.stdout + p.stderr)

    def test_packaged_sfxpack_packs_and_verifies(self):
        sfxpack = os.path.join(self.root, "usr/bin/sfxpack")
        launcher = os.path.join(self.root, "usr/share/sfxpack/launcher.exe")
        version = sh(sfxpack, "--version").stdout
        self.assertIn(f"sfxpack {self.version}\nLicense: MIT", version)
        self.assertIn(f"Launcher image SHA-256: {sha256(launcher)}\n", version, "the deb carries another launcher")
        work = tempfile.mkdtemp(dir=self.tmp)
        with open(os.path.join(work, "installer.exe"), "wb") as f:
            f.write(make_pe(2048))
        out = os.path.join(work, "setup.exe")
        sh(sfxpack, "create", "--stub", launcher, "-o", out, os.path.join(work, "installer.exe"))
        self.assertEqual(0, sh(sfxpack, "verify", out).returncode)

        # The CMake package of the extracted files packs a sample project.
        src = os.path.join(work, "project")
        shutil.copytree(os.path.join(SOURCE, "tests/sfxpack/sample"), src)
        for name, data in (("installer.exe", make_pe(2048)), ("data.cab", b"cab"), ("app.ico", make_ico(((32, 32),)))):
            with open(os.path.join(src, name), "wb") as f:
                f.write(data)
        sh(CMAKE, "-S", src, "-B", os.path.join(src, "build"), f"-DCMAKE_PREFIX_PATH={self.root}/usr")
        sh(CMAKE, "--build", os.path.join(src, "build"))
        self.assertEqual(0, sh(sfxpack, "verify", os.path.join(src, "build", "setup.exe")).returncode)

    def test_windows_zip(self):
        top = f"sfxpack-{self.version}-windows-x86/"
        with zipfile.ZipFile(os.path.join(self.out, f"sfxpack-{self.version}-windows-x86.zip")) as z:
            self.assertEqual([top] + [top + n for n in ("LICENSE.txt", "README.md", "launcher.exe", "sfxpack.exe",
                                                        "sfxpack.txt")], z.namelist())
            with open(os.path.join(self.root, "usr/share/sfxpack/launcher.exe"), "rb") as f:
                self.assertEqual(f.read(), z.read(top + "launcher.exe"))
            self.assertEqual(b"MZ", z.read(top + "sfxpack.exe")[:2])
            manual = z.read(top + "sfxpack.txt").decode("ascii")
            self.assertTrue(manual.startswith("SFXPACK(1)"), manual[:80])
            self.assertIn("EXIT STATUS", manual)
            self.assertNotIn("\b", manual)
            with open(os.path.join(SOURCE, "LICENSE"), "rb") as f:
                self.assertEqual(f.read(), z.read(top + "LICENSE.txt"))

    def test_source_tarball(self):
        with tarfile.open(os.path.join(self.out, f"sfx-{self.version}.tar.gz")) as t:
            names = t.getnames()
        self.assertIn(f"sfx-{self.version}/tools/release.sh", names)
        self.assertIn(f"sfx-{self.version}/LICENSE", names)


if __name__ == "__main__":
    if not SOURCE:
        raise SystemExit("set SFX_SOURCE_DIR")
    unittest.main(verbosity=2)
