"""Packs a sample installer and runs the container under Wine, printing
what the launcher showed and what the installer received.

The sample installer is the probe program of the tests: it reports its
command line, SNF, its folder and the files beside it."""
import os
import subprocess
import sys
import tempfile

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(root, "tests", "e2e"))
from harness import unescape  # noqa: E402
from winebed import Bed, windows_path  # noqa: E402


def main(build):
    win = os.path.join(build, "windows", "tests", "win")
    work = tempfile.mkdtemp(prefix="sfx-demo-", dir=build)
    temp = os.path.join(work, "temp")
    os.makedirs(temp)
    installer = os.path.join(work, "setup.exe")
    with open(os.path.join(win, "probe.exe"), "rb") as src, open(installer, "wb") as dst:
        dst.write(src.read())
    readme = os.path.join(work, "readme.txt")
    with open(readme, "w") as f:
        f.write("Installed by the sfx demo.\n")
    container = os.path.join(work, "demo-setup.exe")
    sfxpack = os.path.join(build, "tools", "sfxpack", "sfxpack")
    subprocess.run([sfxpack, "create", "-o", container, installer, readme], check=True)
    print("$ sfxpack list %s" % container)
    subprocess.run([sfxpack, "list", container], check=True)

    report = os.path.join(work, "installer-report.txt")
    driver_report = os.path.join(work, "driver-report.txt")
    hook_log = os.path.join(work, "hook-log.txt")
    cmdline = os.path.join(work, "cmdline.txt")
    with open(cmdline, "w") as f:
        f.write('"%s" /S /D="C:\\Program Files\\Demo"' % windows_path(container))
    bed = Bed(build)
    print("\nRunning the container under Wine (display %s) ..." % bed.start())
    bed.run([os.path.join(win, "driver.exe"), "--exe", windows_path(container),
             "--cmdline-file", windows_path(cmdline), "--report", windows_path(driver_report),
             "--hook", windows_path(os.path.join(win, "sfxhook.dll")),
             "--hook-log", windows_path(hook_log), "--set", "TEMP=" + windows_path(temp),
             "--set", "SFX_PROBE_REPORT=" + windows_path(report)], timeout=300)

    print("\nThe progress dialog received:")
    for line in open(hook_log, encoding="latin-1"):
        if line.startswith(("settext", "setpos", "close")):
            print("  " + line.rstrip().rsplit(" ", 1)[0])
    print("\nThe launcher:")
    for line in open(driver_report, encoding="latin-1"):
        print("  " + unescape(line.rstrip()).replace("\t", "  "))
    print("\nThe installer reported:")
    for line in open(report, encoding="latin-1"):
        print("  " + unescape(line.rstrip()).replace("\t", "  "))
    left = os.listdir(temp)
    print("\nLeft in TEMP after the run: %s" % (left or "nothing"))
    return 0


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")))
