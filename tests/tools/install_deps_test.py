#!/usr/bin/env python3
"""tools/install-deps.sh against stand-ins for apt-get, dpkg, dpkg-query,
locale, localedef and id on PATH: nothing on the machine is touched and no
root is needed.  The stand-ins log each call; the apt-get stand-in fails
`update` with status 100 (a mirror in the middle of a sync) and `install`
unless it is given -t (a lagging architecture), or always."""
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testkit import SOURCE_DIR, main  # noqa: E402

SCRIPT = os.path.join(SOURCE_DIR, "tools", "install-deps.sh")

STANDINS = {
    "apt-get": """echo "apt-get $*" >>"$LOG"
case " $* " in
*" update "*) echo "E: File has unexpected size (211 != 212). Mirror sync in progress?" >&2; exit 100 ;;
*" -t "*) [ -n "$INSTALL_FAILS" ] || exit 0 ;;
esac
echo "E: Unable to correct problems, you have held broken packages." >&2
exit 100""",
    "dpkg-query": "exit 1",                      # nothing is installed
    "dpkg": 'echo "dpkg $*" >>"$LOG"',
    "locale": "exit 0",                          # no locale is generated
    "localedef": 'echo "localedef $*" >>"$LOG"',
    "id": "echo 0",
    "probe": "exit 0",                           # 32-bit Wine starts
}


def codename():
    with open("/etc/os-release") as f:
        return dict(l.rstrip("\n").split("=", 1) for l in f if "=" in l)["VERSION_CODENAME"].strip('"')


class AptHandling(unittest.TestCase):
    def run_script(self, *packages, install_fails=""):
        tmp = tempfile.mkdtemp(prefix="install-deps-test-")
        for name, body in STANDINS.items():
            path = os.path.join(tmp, name)
            with open(path, "w") as f:
                f.write("#!/bin/sh\n" + body + "\n")
            os.chmod(path, 0o755)
        log = os.path.join(tmp, "log")
        open(log, "w").close()
        env = dict(os.environ, PATH=tmp + ":" + os.environ["PATH"], LOG=log, INSTALL_FAILS=install_fails,
                   SFX_APT_TRIES="2", SFX_APT_PAUSE="0", SFX_WINE_PROBE=os.path.join(tmp, "probe"))
        p = subprocess.run(["sh", SCRIPT, *packages], env=env, capture_output=True, text=True, timeout=60)
        with open(log) as f:
            return p, f.read().splitlines()

    def test_failed_update_and_unresolved_install_still_succeed(self):
        p, calls = self.run_script("libssl-dev:arm64")
        self.assertEqual(0, p.returncode, p.stderr)
        self.assertIn("install-deps: apt-get update failed 2 times; going on with the package lists apt has\n",
                      p.stderr)
        self.assertIn("install-deps: the install did not resolve; trying again against %s alone\n" % codename(),
                      p.stderr)
        installs = [c for c in calls if c.startswith("apt-get install")]
        self.assertEqual(["apt-get update -qq"] * 2, [c for c in calls if "update" in c])
        self.assertNotIn(" -t ", installs[0])
        self.assertIn(" -t %s " % codename(), installs[1])
        # The same packages again, only against the release's own suites.
        self.assertEqual(installs[0].split("--no-install-recommends ")[1],
                         installs[1].split(" -t %s " % codename())[1])
        self.assertIn(" wine32:i386 ", installs[1])
        self.assertTrue(installs[1].endswith(" libssl-dev:arm64"), installs[1])
        self.assertIn("dpkg --add-architecture i386", calls)
        self.assertIn("dpkg --add-architecture arm64", calls)
        self.assertEqual(["localedef -i ja_JP -f UTF-8 ja_JP.UTF-8", "localedef -i ko_KR -f UTF-8 ko_KR.UTF-8",
                          "localedef -i en_US -f UTF-8 en_US.UTF-8"], [c for c in calls if c.startswith("localedef")])

    def test_install_that_never_resolves_says_what_apt_said_and_what_was_wanted(self):
        p, calls = self.run_script(install_fails="1")
        self.assertEqual(1, p.returncode)
        self.assertIn("E: Unable to correct problems, you have held broken packages.\n"
                      "install-deps: could not install: cmake g++ make python3", p.stderr)
        self.assertEqual(2, len([c for c in calls if c.startswith("apt-get install")]))


class Mirror(unittest.TestCase):
    def test_added_suites_come_from_the_mirror_the_machine_uses(self):
        apt = tempfile.mkdtemp(prefix="debian-mirror-test-")
        os.mkdir(os.path.join(apt, "sources.list.d"))
        c = codename()
        with open(os.path.join(apt, "sources.list.d", "debian.sources"), "w") as f:
            f.write("Types: deb\nURIs: http://off.example/debian\nSuites: %s\nEnabled: no\n\n"
                    "Types: deb-src deb\nURIs: http://mirror.example/debian/ http://b.example/debian\n"
                    "Suites: %s %s-updates\nComponents: main\n\n"
                    "Types: deb\nURIs: http://mirror.example/security\nSuites: %s-security\n" % (c, c, c, c))
        with open(os.path.join(apt, "sources.list"), "w") as f:
            f.write("deb [arch=amd64] http://other.example/debian otherrelease main\n")
        script = os.path.join(SOURCE_DIR, "tools", "debian-mirror.sh")
        env = dict(os.environ, SFX_APT_DIR=apt)
        got = [subprocess.run(["sh", script, *args], env=env, capture_output=True, text=True, check=True).stdout
               for args in ([], ["--security"])]
        self.assertEqual(["http://mirror.example/debian\n", "http://mirror.example/security\n"], got)


if __name__ == "__main__":
    main()
