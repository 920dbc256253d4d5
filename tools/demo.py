"""Packs a sample installer and runs the container under Wine, printing
what the launcher showed and what the installer received.

The sample installer is the probe program of the tests: it reports its
command line, SNF, its folder and the files beside it.  While the dialog
is at work the test hook holds it still and the demo takes a picture of
it from the Xvfb screen (ImageMagick's import) into
BUILD_DIR/progress-dialog.png."""
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(root, "tests", "e2e"))
from harness import unescape  # noqa: E402
from winebed import Bed, windows_path  # noqa: E402


def pack(build, work):
    """Packs the probe program as setup.exe, a readme and a data file into
    WORK/demo-setup.exe and lists it; returns the container's path."""
    installer = os.path.join(work, "setup.exe")
    shutil.copyfile(os.path.join(build, "windows", "tests", "win", "probe.exe"), installer)
    readme = os.path.join(work, "readme.txt")
    with open(readme, "w") as f:
        f.write("Installed by the sfx demo.\n")
    # Large enough for the progress bar to move through many positions.
    data = os.path.join(work, "app.dat")
    with open(data, "wb") as f:
        f.write(bytes(range(256)) * 4096)
    container = os.path.join(work, "demo-setup.exe")
    sfxpack = os.path.join(build, "tools", "sfxpack", "sfxpack")
    subprocess.run([sfxpack, "create", "-o", container, installer, readme, data], check=True)
    print("$ sfxpack list %s" % container)
    subprocess.run([sfxpack, "list", container], check=True)
    return container


def run_under_wine(build, work, container, picture):
    """Runs the container through the test driver with the hook that logs
    the dialog and holds it still for the picture; the reports land in
    WORK."""
    win = os.path.join(build, "windows", "tests", "win")
    cmdline = os.path.join(work, "cmdline.txt")
    with open(cmdline, "w") as f:
        f.write('"%s" /S /D="C:\\Program Files\\Demo"' % windows_path(container))
    resume = os.path.join(work, "resume")
    hook_log = os.path.join(work, "hook-log.txt")
    bed = Bed(build)
    state = bed._state()
    started_here = not (state and bed._alive(state["xvfb_pid"]))
    display = bed.start()
    print("\nRunning the container under Wine (display %s) ..." % display)
    shooter = threading.Thread(target=take_picture, args=(display, hook_log, picture, resume))
    shooter.start()
    try:
        bed.run([os.path.join(win, "driver.exe"), "--exe", windows_path(container),
                 "--cmdline-file", windows_path(cmdline),
                 "--report", windows_path(os.path.join(work, "driver-report.txt")),
                 "--hook", windows_path(os.path.join(win, "sfxhook.dll")),
                 "--hook-log", windows_path(hook_log), "--set", "TEMP=" + windows_path(os.path.join(work, "temp")),
                 "--set", "SFX_PROBE_REPORT=" + windows_path(os.path.join(work, "installer-report.txt")),
                 "--set", "SFX_HOOK_PAUSE_AT=40", "--set", "SFX_HOOK_RESUME=" + windows_path(resume)],
                timeout=300)
    finally:
        open(resume, "w").close()
        shooter.join()
        # A bed the demo started ends with it: the tests start their own.
        if started_here:
            bed.stop()


def show(work):
    """Prints what the dialog received, what the launcher and the installer
    reported, and what is left in TEMP."""
    print("\nThe progress dialog received:")
    positions = []
    for line in open(os.path.join(work, "hook-log.txt"), encoding="latin-1"):
        if line.startswith("setpos"):
            positions.append(line.split()[1])
            continue
        if not line.startswith(("settext", "close")):
            continue
        if positions:
            print("  setpos " + " ".join(positions))
            positions = []
        print("  " + line.rstrip().rsplit(" ", 1)[0])
    for title, name in (("The launcher", "driver-report.txt"), ("The installer reported", "installer-report.txt")):
        print("\n%s:" % title)
        for line in open(os.path.join(work, name), encoding="latin-1"):
            print("  " + unescape(line.rstrip()).replace("\t", "  "))
    left = os.listdir(os.path.join(work, "temp"))
    print("\nLeft in TEMP after the run: %s" % (left or "nothing"))


def main(build):
    work = tempfile.mkdtemp(prefix="sfx-demo-", dir=build)
    os.makedirs(os.path.join(work, "temp"))
    container = pack(build, work)
    picture = os.path.join(build, "progress-dialog.png")
    if os.path.exists(picture):
        os.remove(picture)
    run_under_wine(build, work, container, picture)
    show(work)
    if not os.path.exists(picture):
        print("\nsfx demo: no picture of the progress dialog was taken", file=sys.stderr)
        return 1
    print("\nA picture of the progress dialog at work: %s" % picture)
    return 0


def take_picture(display, hook_log, picture, resume):
    """Waits until the hook holds the dialog still, takes its part of the
    screen, and lets the dialog go on."""
    try:
        for _ in range(3000):
            if os.path.exists(resume):
                return
            try:
                with open(hook_log, encoding="latin-1") as f:
                    paused = [l.split() for l in f if l.startswith("paused ")]
            except OSError:
                paused = []
            if paused:
                left, top, right, bottom = (int(v) for v in paused[0][1:5])
                tool = ["import"] if shutil.which("import") else ["magick", "import"]
                run = subprocess.run(tool + ["-display", display, "-window", "root", "-crop",
                                             "%dx%d+%d+%d" % (right - left, bottom - top, left, top),
                                             "+repage", picture], capture_output=True, text=True)
                if run.returncode != 0:
                    print("sfx demo: %s: %s" % (" ".join(tool), run.stderr.strip()), file=sys.stderr)
                return
            time.sleep(0.1)
    finally:
        open(resume, "w").close()


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")))
