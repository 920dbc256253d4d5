#!/usr/bin/env python3
"""Tests of a release: tools/release.sh run once into a temporary folder,
then its Debian package, Windows zip, Linux tarballs, source tarball and
SHA256SUMS looked at with the tools a user would use (dpkg-deb, lintian,
sha256sum, tar, readelf) and the packaged programs run: the static ones
in an empty root too (chroot; the aarch64 one through qemu's binfmt
entry), and all four sfxpack builds (Debian, static x86_64 and aarch64,
Windows under Wine) on the same inputs.

$SFX_RELEASE_BUILD is the Release build tree to (re)use, $CMAKE the cmake
program and $SFX_BUILD_DIR the build tree whose Wine bed runs the Windows
sfxpack.exe.
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

from images import make_ico, make_pe  # noqa: E402
from cross_sample import check_cross_sample  # noqa: E402
import testkit  # noqa: E402
from testkit import SOURCE_DIR as SOURCE, build_path, read  # noqa: E402

sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
from winebed import Bed  # noqa: E402

CMAKE = build_path("CMAKE")
BUILD_DIR = build_path("SFX_BUILD_DIR")
build_path("SFX_RELEASE_BUILD")     # read by tools/release.sh
# The Linux tarballs' architectures, and how readelf names each machine.
LINUX = {"x86_64": "Advanced Micro Devices X86-64", "aarch64": "AArch64"}
# An OpenSSL configuration that loads a provider and an engine from disk:
# the static sfxpack must not read it.
HOSTILE_OPENSSL_CNF = """openssl_conf = init
[init]
providers = providers
engines = engines
[providers]
legacy = legacy
[legacy]
module = /lib/legacy.so
activate = 1
[engines]
probe = probe
[probe]
dynamic_path = /lib/probe.so
init = 1
"""


def sh(*args, cwd=None, check=True):
    """A release step may take long: building the static binaries."""
    return testkit.sh(*args, cwd=cwd, check=check, timeout=900)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def put(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def outcome(p):
    """Exit status, stdout and stderr (bytes, line ends made Unix)."""
    return p.returncode, p.stdout.replace(b"\r\n", b"\n"), p.stderr.replace(b"\r\n", b"\n")


def run(argv, cwd=None, env=None):
    return outcome(subprocess.run(argv, cwd=cwd, env=env, capture_output=True, timeout=300))


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
        cls.sfxpack = os.path.join(cls.root, "usr/bin/sfxpack")
        cls.static = {}
        for arch in LINUX:
            sh("tar", "-C", cls.tmp, "-xf", os.path.join(cls.out, f"sfxpack-{cls.version}-linux-{arch}.tar.gz"))
            cls.static[arch] = os.path.join(cls.tmp, f"sfxpack-{cls.version}-linux-{arch}", "bin", "sfxpack")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, True)

    def test_artifacts_and_their_sums(self):
        names = [f"sfx-{self.version}.tar.gz", f"sfxpack-{self.version}-windows-x86.zip",
                 os.path.basename(self.deb)] + [f"sfxpack-{self.version}-linux-{arch}.tar.gz" for arch in LINUX]
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
        package = ["lib/", "lib/cmake/", "lib/cmake/sfxpack/", "lib/cmake/sfxpack/sfxpackConfig.cmake",
                   "lib/cmake/sfxpack/sfxpackConfigVersion.cmake"]
        with zipfile.ZipFile(os.path.join(self.out, f"sfxpack-{self.version}-windows-x86.zip")) as z:
            self.assertEqual([top + n for n in ["", "LICENSE.txt", "README.md", "bin/", "bin/sfxpack.exe"] + package +
                              ["sfxpack.txt", "share/", "share/sfxpack/", "share/sfxpack/launcher.exe"]], z.namelist())
            with open(os.path.join(self.root, "usr/share/sfxpack/launcher.exe"), "rb") as f:
                self.assertEqual(f.read(), z.read(top + "share/sfxpack/launcher.exe"))
            self.assertEqual(b"MZ", z.read(top + "bin/sfxpack.exe")[:2])
            manual = z.read(top + "sfxpack.txt").decode("ascii")
            self.assertTrue(manual.startswith("SFXPACK(1)"), manual[:80])
            self.assertIn("EXIT STATUS", manual)
            self.assertNotIn("\b", manual)
            with open(os.path.join(SOURCE, "LICENSE"), "rb") as f:
                self.assertEqual(f.read(), z.read(top + "LICENSE.txt"))
            links = re.findall(r"\]\(([^)]+)\)", z.read(top + "README.md").decode())
            self.assertTrue(links)
            self.assertEqual([], [link for link in links if top + link not in z.namelist()], "links out of the zip")

    def test_linux_tarballs(self):
        epoch = int(os.environ.get("SOURCE_DATE_EPOCH") or sh("git", "-C", SOURCE, "log", "-1", "--format=%ct").stdout)
        files = {"bin/sfxpack": None, "lib/cmake/sfxpack/sfxpackConfig.cmake": "cmake/sfxpackConfig.cmake",
                 "lib/cmake/sfxpack/sfxpackConfigVersion.cmake": None,
                 "share/bash-completion/completions/sfxpack": "tools/sfxpack/sfxpack.bash-completion",
                 "share/doc/sfxpack/LICENSE": "LICENSE", "share/man/man1/sfxpack.1": "tools/sfxpack/sfxpack.1",
                 "share/sfxpack/launcher.exe": None}
        folders = {os.path.dirname(name) for name in files}
        folders |= {os.path.dirname(name) for name in folders}
        folders |= {os.path.dirname(name) for name in folders}
        for arch, machine in LINUX.items():
            with self.subTest(arch=arch):
                top = f"sfxpack-{self.version}-linux-{arch}"
                with tarfile.open(os.path.join(self.out, top + ".tar.gz")) as t:
                    members = [(m.name, m.mode, m.uid, m.gid, m.mtime) for m in t.getmembers()]
                expected = [(f"{top}/{name}".rstrip("/"), 0o755 if name in folders or name.startswith("bin/") else 0o644,
                             0, 0, epoch) for name in sorted(files.keys() | folders)]
                self.assertEqual(expected, members)
                for name, source in files.items():
                    if source:
                        self.assertEqual(read(os.path.join(SOURCE, source)), read(os.path.join(self.tmp, top, name)))
                self.assertEqual(read(os.path.join(self.root, "usr/share/sfxpack/launcher.exe")),
                                 read(os.path.join(self.tmp, top, "share/sfxpack/launcher.exe")))
                # Fully static and stripped: no interpreter, no dynamic
                # section (so nothing NEEDED), no symbol table.
                elf = self.static[arch]
                self.assertIn(f"Machine:                           {machine}\n", sh("readelf", "-h", elf).stdout)
                self.assertEqual("\nThere is no dynamic section in this file.\n", sh("readelf", "-d", elf).stdout)
                self.assertNotIn("INTERP", sh("readelf", "-lW", elf).stdout)
                self.assertNotIn(".symtab", sh("readelf", "-SW", elf).stdout)

    def test_cmake_package_of_the_tarball_packs_a_cross_build(self):
        prefix = os.path.join(self.tmp, f"sfxpack-{self.version}-linux-x86_64")
        check_cross_sample(self, CMAKE, prefix, tempfile.mkdtemp(dir=self.tmp, prefix="cross-"))

    def empty_root(self, arch):
        """A folder holding only the static sfxpack, its inputs and /tmp."""
        root = tempfile.mkdtemp(dir=self.tmp, prefix=f"empty-{arch}-")
        shutil.copy(self.static[arch], os.path.join(root, "sfxpack"))
        os.mkdir(os.path.join(root, "tmp"))
        os.chmod(os.path.join(root, "tmp"), 0o1777)
        put(os.path.join(root, "installer.exe"), make_pe(2048))
        put(os.path.join(root, "caf\u00e9.txt"), b"accent")
        return root

    def test_static_sfxpack_in_an_empty_root(self):
        chroot = shutil.which("chroot")
        self.assertTrue(chroot, "chroot not found")
        for arch in LINUX:
            with self.subTest(arch=arch):
                root = self.empty_root(arch)
                mirror = shutil.copytree(root, root + "-native", ignore=shutil.ignore_patterns("sfxpack"))
                commands = [
                    ["--version"],
                    ["create", "--codepage", "1252", "-o", "tmp/c.exe", "installer.exe", "caf\u00e9.txt"],
                    ["list", "--codepage", "1252", "tmp/c.exe"],
                    ["verify", "tmp/c.exe"],
                    ["extract", "--codepage", "1252", "-C", "tmp/out", "tmp/c.exe"],
                    ["create", "-o", "tmp/no.exe", "missing.bin"],
                    ["create", "--bogus"],
                ]
                statuses = []
                for args in commands:
                    got = run([chroot, root, "/sfxpack", *args], env={})
                    self.assertEqual(run([self.sfxpack, *args], cwd=mirror), got, args)
                    statuses.append(got[0])
                self.assertEqual([0, 0, 0, 0, 0, 1, 2], statuses)
                self.assertEqual(read(os.path.join(mirror, "tmp/c.exe")), read(os.path.join(root, "tmp/c.exe")))
                self.assertEqual(["caf\u00e9.txt", "installer.exe"], sorted(os.listdir(os.path.join(root, "tmp/out"))))
                self.assertEqual(b"accent", read(os.path.join(root, "tmp/out/caf\u00e9.txt")))

    def test_static_sfxpack_opens_only_its_inputs(self):
        # Signed, so that verify reads the PKCS#7 signature and digests the
        # image, with OpenSSL configurations that would load code from disk.
        root = self.empty_root("x86_64")
        sh(self.sfxpack, "create", "-o", "tmp/c.exe", "installer.exe", cwd=root)
        sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out", "cert.pem",
           "-days", "2", "-subj", "/CN=sfxpack release test", cwd=self.tmp)
        sh("osslsigncode", "sign", "-certs", os.path.join(self.tmp, "cert.pem"), "-key",
           os.path.join(self.tmp, "key.pem"), "-in", "tmp/c.exe", "-out", "tmp/signed.exe", cwd=root)
        for cnf in ("etc/ssl/openssl.cnf", "usr/lib/ssl/openssl.cnf"):
            put(os.path.join(root, cnf), HOSTILE_OPENSSL_CNF.encode())
        log = os.path.join(self.tmp, "strace.log")
        status, out, err = run(["strace", "-f", "-qq", "-e", "trace=open,openat,execve", "-o", log,
                                "chroot", root, "/sfxpack", "verify", "tmp/signed.exe"],
                               env={"PATH": os.environ["PATH"], "OPENSSL_CONF": "/etc/ssl/openssl.cnf"})
        self.assertEqual(0, status, err)
        self.assertIn(b"SHA-256 digest matches the signature", out)
        with open(log) as f:
            calls = f.read().split('execve("/sfxpack"', 1)[1].splitlines()[1:]
        self.assertEqual(['"tmp/signed.exe"'], sorted({re.search(r'"[^"]*"', c).group(0) for c in calls}), calls)

    def test_four_builds_write_the_same_containers(self):
        work = tempfile.mkdtemp(dir=self.tmp, prefix="four-")
        for name, data in (("installer.exe", make_pe(2048)), ("app.ico", make_ico(((32, 32),))),
                           ("\u8868.txt", b"kanji"), ("\ud55c.txt", b"hangul"), ("caf\u00e9.txt", b"accent")):
            put(os.path.join(work, name), data)
        bed = Bed(BUILD_DIR)
        exe = os.path.join(work, "sfxpack.exe")
        with zipfile.ZipFile(os.path.join(self.out, f"sfxpack-{self.version}-windows-x86.zip")) as z:
            put(exe, z.read(f"sfxpack-{self.version}-windows-x86/bin/sfxpack.exe"))
        builds = {
            "native": lambda *args: run([self.sfxpack, *args], cwd=work),
            "x86_64": lambda *args: run([self.static["x86_64"], *args], cwd=work),
            "aarch64": lambda *args: run([self.static["aarch64"], *args], cwd=work),
            "windows": lambda *args: outcome(bed.run([exe, *args], cwd=work, timeout=300)),
        }
        for cp, name in (("932", "\u8868.txt"), ("949", "\ud55c.txt"), ("1252", "caf\u00e9.txt")):
            for build, sfxpack in builds.items():
                with self.subTest(codepage=cp, build=build):
                    self.assertEqual((0, b"", b""), sfxpack(
                        "create", "--codepage", cp, "--icon", "app.ico", "--file-version", "1.2.3.4",
                        "--version-string", "ProductName=W\u00efdget", "-o", f"{build}{cp}.exe",
                        "installer.exe", name))
                    self.assertEqual(read(os.path.join(work, f"native{cp}.exe")),
                                     read(os.path.join(work, f"{build}{cp}.exe")))
                    for cmd in (["list", "--codepage", cp, "--sha256", f"native{cp}.exe"],
                                ["verify", f"native{cp}.exe"]):
                        self.assertEqual(builds["native"](*cmd), sfxpack(*cmd), cmd)

    def test_source_tarball(self):
        with tarfile.open(os.path.join(self.out, f"sfx-{self.version}.tar.gz")) as t:
            names = t.getnames()
        self.assertIn(f"sfx-{self.version}/tools/release.sh", names)
        self.assertIn(f"sfx-{self.version}/LICENSE", names)


if __name__ == "__main__":
    testkit.main()
