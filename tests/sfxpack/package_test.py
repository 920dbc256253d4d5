#!/usr/bin/env python3
"""Tests of the installed sfxpack: `cmake --install` into a temporary
prefix, then a sample project that finds the package and packs a
container, rebuilt when an input changes, and a cross-compiled one that
packs and signs its own installer.

$SFXPACK_BUILD_DIR is the native build tree, $CMAKE the cmake program.
"""
import os
import shutil
import tempfile
import time
import unittest

from images import make_ico, make_pe  # noqa: E402
from cross_sample import check_cross_sample  # noqa: E402
from sfxcontainer import IMAGE_LENGTH as IMAGE  # noqa: E402
from testkit import SOURCE_DIR, build_path, main, read, sh, write  # noqa: E402

BUILD = build_path("SFXPACK_BUILD_DIR")
CMAKE = build_path("CMAKE")
SAMPLE = os.path.join(SOURCE_DIR, "tests", "sfxpack", "sample")


class InstalledPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="sfxpack-package-")
        cls.prefix = os.path.join(cls.tmp, "prefix")
        sh(CMAKE, "--install", BUILD, "--prefix", cls.prefix)
        cls.sfxpack = os.path.join(cls.prefix, "bin", "sfxpack")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, True)

    def setUp(self):
        self.src = tempfile.mkdtemp(dir=self.tmp)
        shutil.copy(os.path.join(SAMPLE, "CMakeLists.txt"), self.src)
        self.bin = os.path.join(self.src, "build")
        self.put("installer.exe", make_pe(2048))
        self.put("data.cab", b"cabinet v1")
        self.put("app.ico", make_ico(((32, 32),)))

    def put(self, name, data):
        write(os.path.join(self.src, name), data)

    def build(self):
        sh(CMAKE, "--build", self.bin)
        return read(os.path.join(self.bin, "setup.exe"))

    def test_installed_files(self):
        for rel in ("bin/sfxpack", "lib/cmake/sfxpack/sfxpackConfig.cmake",
                    "lib/cmake/sfxpack/sfxpackConfigVersion.cmake"):
            self.assertTrue(os.path.isfile(os.path.join(self.prefix, rel)), rel)
        self.assertEqual(IMAGE, os.path.getsize(os.path.join(self.prefix, "share/sfxpack/launcher.exe")))
        self.assertTrue(os.access(self.sfxpack, os.X_OK))

    def test_container_is_built_and_rebuilt(self):
        sh(CMAKE, "-S", self.src, "-B", self.bin, f"-DCMAKE_PREFIX_PATH={self.prefix}")
        first = self.build()
        expected = os.path.join(self.tmp, "expected-stub.exe")
        sh(self.sfxpack, "stub", "--force", "-o", expected, "--icon", os.path.join(self.src, "app.ico"),
           "--file-version", "1.2.3.4", "--product-version", "1.2", "--version-string", "CompanyName=Sample Company",
           "--version-string", "ProductName=Sample Setup")
        self.assertEqual(read(expected), first[:IMAGE], "the image is branded as the arguments say")
        container = os.path.join(self.bin, "setup.exe")
        self.assertEqual(0, sh(self.sfxpack, "verify", container).returncode)
        listing = sh(self.sfxpack, "list", container).stdout.splitlines()
        self.assertEqual("program: unsigned", listing[2].strip())  # below the installer's line
        del listing[2]
        self.assertEqual(["installer.exe", "data.cab"], [line.split()[-1] for line in listing[1:3]])
        self.assertEqual(["icon: 32x32 32 bpp", "file version 1.2.3.4, product version 1.2.0.0",
                          "CompanyName: Sample Company", "ProductName: Sample Setup", "FileVersion: 1.2.3.4",
                          "ProductVersion: 1.2.0.0"], listing[5:])
        self.assertIn(b"cabinet v1", first)

        stamp = os.path.getmtime(container)
        time.sleep(1.1)
        self.assertEqual(first, self.build())
        self.assertEqual(stamp, os.path.getmtime(container), "rebuilt although nothing changed")

        self.put("data.cab", b"cabinet v2, longer")
        second = self.build()
        self.assertNotIn(b"cabinet v1", second)
        self.assertIn(b"cabinet v2, longer", second)
        self.assertEqual(len(first) + 8, len(second))

        self.put("app.ico", make_ico(((16, 32), (48, 32))))
        self.build()
        self.assertIn("icon: 16x16 32 bpp, 48x48 32 bpp\n", sh(self.sfxpack, "list", container).stdout,
                      "a changed icon packs again")

    def test_cross_compiled_installer_is_packed_and_signed(self):
        check_cross_sample(self, CMAKE, self.prefix, self.src)

    def test_mistakes_fail_at_configure_time(self):
        for option, message in (("-DSAMPLE_ICON=", "sfxpack_add_container(setup): ICON given without a value"),
                                ("-DSAMPLE_DATA=missing.cab", "sfxpack_add_container(setup): input 'missing.cab' "
                                 "is neither a target, nor a file in " + self.src)):
            with self.subTest(option=option):
                p = sh(CMAKE, "-S", self.src, "-B", os.path.join(self.src, option[2:13]),
                       f"-DCMAKE_PREFIX_PATH={self.prefix}", option, check=False)
                self.assertNotEqual(0, p.returncode)
                self.assertIn(message, " ".join(p.stderr.split()))

    def test_incompatible_version_is_not_found(self):
        p = sh(CMAKE, "-S", self.src, "-B", self.bin, f"-DCMAKE_PREFIX_PATH={self.prefix}",
               "-DSAMPLE_SFXPACK_VERSION=2.0", check=False)
        self.assertNotEqual(0, p.returncode)
        self.assertIn("sfxpackConfig.cmake, version: 1.0.0", p.stderr)


if __name__ == "__main__":
    main()
