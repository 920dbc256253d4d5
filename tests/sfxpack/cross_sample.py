"""The cross-compiled sample project (sample/cross) built against an
installed sfxpack: its installer made with the mingw toolchain file,
packed with a data file, a configured file and a code page 1252 name,
and signed with osslsigncode and a throw-away certificate.  The package
test runs it on `cmake --install`'s prefix, the release test on the
unpacked static tarball."""
import os
import shutil

from testkit import SOURCE_DIR, sh

SAMPLE = os.path.join(SOURCE_DIR, "tests", "sfxpack", "sample", "cross")
TOOLCHAIN = os.path.join(SOURCE_DIR, "cmake", "mingw-i686.cmake")


def check_cross_sample(test, cmake, prefix, work):
    """Builds the sample in WORK with the sfxpack package under PREFIX: a
    key that fails to sign leaves no setup.exe; the right one gives a
    container that `sfxpack verify` passes."""
    src = shutil.copytree(SAMPLE, os.path.join(work, "cross"))
    build = os.path.join(work, "cross-build")
    sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out", "cert.pem",
       "-days", "2", "-subj", "/CN=sfxpack package test", cwd=work)
    configure = [cmake, "-S", src, "-B", build, f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}",
                 f"-DCMAKE_PREFIX_PATH={prefix}", f"-DSIGN_CERT={work}/cert.pem"]
    sh(*configure, f"-DSIGN_KEY={work}/cert.pem")
    failed = sh(cmake, "--build", build, check=False)
    test.assertNotEqual(0, failed.returncode, "a key that is no key signs nothing")
    container = os.path.join(build, "setup.exe")
    test.assertFalse(os.path.exists(container), "an unsigned container is left at OUTPUT")

    sh(*configure, f"-DSIGN_KEY={work}/key.pem")
    built = sh(cmake, "--build", build)
    test.assertIn("Packing and signing setup.exe", built.stdout)
    sfxpack = os.path.join(prefix, "bin", "sfxpack")
    verified = sh(sfxpack, "verify", container)
    test.assertIn("SHA-256 digest matches the signature", verified.stdout)
    listing = sh(sfxpack, "list", "--codepage", "1252", container).stdout.splitlines()
    test.assertEqual(["installer.exe", "data.txt", "version.txt", "caf\u00e9.txt"],
                     [line.split()[-1] for line in listing[1:]
                      if not line.lstrip().startswith("program:")][:4])
    test.assertEqual(["setup.exe"], [n for n in os.listdir(build) if n.startswith("setup.")])
