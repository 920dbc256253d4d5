"""Helpers for the end-to-end tests: containers built byte by byte, and
runs of a launcher under the test driver in the Wine bed.

Each case gets its own directory with its own TEMP, so cases share the
extraction folder only when they mean to.
"""
import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from winebed import Bed, windows_path  # noqa: E402
import sfxcontainer  # noqa: E402
from sfxcontainer import FOLDER, record_header as header  # noqa: E402,F401  (for the cases)
from testkit import build_path, main  # noqa: E402,F401  (main for the cases)
PROBE_REPORT = "probe-report.txt"
ANOTHER_INSTANCE = ("Unable to open file: %s\nPlease make sure you have necessary "
                    "permissions and that another instance of setup is not running.")

# Makes the launcher see an existing extraction folder with the descriptor
# an elevated run gives it (the hook stands in for Windows, where Wine
# reports every folder's descriptor from its Unix mode bits).
FOLDER_OURS = {"SFX_HOOK_FOLDER_OURS": "1"}

BUILD_DIR = build_path("SFX_BUILD_DIR")
WIN_DIR = os.path.join(BUILD_DIR, "windows")
TEST_WIN_DIR = os.path.join(WIN_DIR, "tests", "win")
LAUNCHER = os.path.join(WIN_DIR, "launcher.exe")


def container(records, stub=None, end=True, trailing=b""):
    """The launcher image followed by (name, data) records."""
    with open(stub or LAUNCHER, "rb") as f:
        return sfxcontainer.container(f.read(), records, end, trailing)


def unescape(value):
    out, i = [], 0
    while i < len(value):
        c = value[i]
        if c == "\\" and i + 1 < len(value):
            nxt = value[i + 1]
            out.append({"n": "\n", "r": "\r", "t": "\t", "\\": "\\"}.get(nxt, nxt))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def read_lines(path):
    """Report lines as (key, value) pairs, values unescaped."""
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        text = f.read().decode("latin-1")
    pairs = []
    # Only "\n" ends a line: names may hold other bytes that Python also
    # takes for line ends (0x0B, 0x0C, 0x1C-0x1E, 0x85).
    for line in text.split("\n"):
        if not line:
            continue
        key, _, value = line.partition(" ")
        pairs.append((key, value))
    return pairs


class Run:
    """What one launcher run showed: driver report and hook log."""

    def __init__(self, report, hook):
        self.report = report
        self.hook = hook

    @property
    def missing_imports(self):
        """Imports the hook was to patch and did not find: the fault it
        was to plant never happened."""
        return [v for k, v in self.hook if k == "missing-import"]

    @property
    def exit_code(self):
        for key, value in self.report:
            if key == "exit":
                return int(value)
            if key == "timeout":
                raise AssertionError("the launcher did not end within the time limit")
        raise AssertionError("the driver reported no exit: %r" % (self.report,))

    @property
    def boxes(self):
        """(caption, text, has_icon) of every message box, in order."""
        out = []
        for key, value in self.report:
            if key == "box":
                caption, text, icon = value.split("\t")
                out.append((unescape(caption), unescape(text), icon == "yes"))
        return out

    @property
    def errors(self):
        return [text for caption, text, _ in self.boxes]

    @property
    def dialog(self):
        """How the progress dialog looked when it was shown, as the hook saw it."""
        for key, value in self.hook:
            if key == "shown":
                caption, style, exstyle, bar = value.split("\t")
                return {"caption": unescape(caption), "style": int(style, 16),
                        "exstyle": int(exstyle, 16), "bar": bar}
        return None

    @property
    def messages(self):
        """The dialog's messages logged by the hook, as (kind, value) pairs."""
        return [(key, unescape(value)) for key, value in self.hook]

    def positions(self):
        return [int(v.split(" ")[0]) for k, v in self.hook if k == "setpos"]

    def position_groups(self):
        """Positions grouped by file: each status text starts a file."""
        groups = []
        for kind, value in self.hook:
            if kind == "settext":
                groups.append([])
            elif kind == "setpos" and groups:
                groups[-1].append(int(value.split(" ")[0]))
        return groups

    def texts(self):
        return [unescape(v.rsplit(" ", 1)[0]) for k, v in self.hook if k == "settext"]


DRIVER = os.path.join(TEST_WIN_DIR, "driver.exe")


def driver_args(exe, report, hook_log=None, temp=None, timeout_ms=60000, env=None, unset=(),
                cmdline_file=None, close_dialog=False, utf8=False, early_hook=False):
    """The driver's options for one run of EXE (Linux paths): its report,
    the hook's log, TEMP, the time limit and the environment; with UTF8 the
    launcher's path, TEMP and the values are handed over as UTF-8."""
    argv = ["--exe", windows_path(exe), "--report", windows_path(report),
            "--timeout", str(timeout_ms)]
    if cmdline_file:
        argv += ["--cmdline-file", windows_path(cmdline_file)]
    if hook_log:
        argv += ["--hook", windows_path(os.path.join(TEST_WIN_DIR, "sfxhook.dll")),
                 "--hook-log", windows_path(hook_log)]
    if temp:
        argv += ["--set", "TEMP=" + windows_path(temp)]
    for name, value in (env or {}).items():
        argv += ["--set", "%s=%s" % (name, value)]
    for name in unset:
        argv += ["--unset", name]
    if close_dialog:
        argv.append("--close-dialog")
    if utf8:
        argv.append("--utf8")
    if early_hook:
        argv.append("--early-hook")
    return argv


def run_batch(bed, runs, batch_file, wine_env=None, timeout=3600):
    """Runs the driver once for a list of runs, each a driver_args() list;
    the runs go one after the other in one Wine process."""
    with open(batch_file, "wb") as f:
        for argv in runs:
            if any("\t" in a or "\n" in a for a in argv):
                raise ValueError("a batch line cannot hold tabs or line breaks: %r" % (argv,))
            f.write("\t".join(argv).encode("latin-1") + b"\n")
    result = bed.run([DRIVER, "--batch", windows_path(batch_file)], extra_env=wine_env,
                     timeout=timeout, cwd=os.path.dirname(batch_file))
    if result.returncode not in (0, 3):
        raise AssertionError("the test driver failed with status %d: %s"
                             % (result.returncode, result.stderr.decode("latin-1")))


def read_probe_report(path):
    """The probe's report: (lines as a dict, {file name: (size, crc32)})."""
    pairs = read_lines(path)
    files = {}
    for key, value in pairs:
        if key == "file":
            name, size, crc = value.split("\t")
            files[unescape(name)] = (int(size), int(crc, 16))
    return {k: unescape(v) for k, v in pairs if k != "file"}, files


class PendingRun:
    def __init__(self, proc, report, hook_log, timeout):
        self.proc, self.report, self.hook_log, self.timeout = proc, report, hook_log, timeout

    def wait(self):
        code = self.proc.wait(timeout=self.timeout)
        if code not in (0, 3):
            raise AssertionError("the test driver failed with status %d" % code)
        run = Run(read_lines(self.report), read_lines(self.hook_log))
        if run.missing_imports:
            raise AssertionError("the launcher has no import of %s for the hook to patch"
                                 % ", ".join(run.missing_imports))
        return run


class LauncherCase(unittest.TestCase):
    """A test case with its own directory, TEMP and container."""

    bed = None

    @classmethod
    def setUpClass(cls):
        if not BUILD_DIR or not os.path.exists(LAUNCHER):
            raise AssertionError("SFX_BUILD_DIR must name a build tree with windows/launcher.exe")
        cls.bed = Bed(BUILD_DIR)
        cls.bed.start()

    def setUp(self):
        base = os.path.join(BUILD_DIR, "e2e-cases")
        os.makedirs(base, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix=self.id().rsplit(".", 1)[-1] + "-", dir=base)
        self.temp = os.path.join(self.dir, "temp")
        os.makedirs(self.temp)
        self.folder = os.path.join(self.temp, FOLDER)

    def tearDown(self):
        if not self._outcome_failed():
            shutil.rmtree(self.dir, ignore_errors=True)

    def _outcome_failed(self):
        outcome = getattr(self, "_outcome", None)
        errors = getattr(outcome, "errors", None) or []
        result = getattr(outcome, "result", None)
        if result is not None and (result.failures or result.errors):
            return True
        return any(exc for _, exc in errors)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, name, data, mode=0o755):
        p = self.path(name)
        with open(p, "wb") as f:
            f.write(data)
        os.chmod(p, mode)
        return p

    def make(self, extra=(), name="setup.exe", **kwargs):
        """A container in the case's directory: the probe installer as the
        first record, then the (name, data) records of EXTRA; kwargs go to
        container()."""
        records = [("probe.exe", self.program("probe.exe"))] + list(extra)
        return self.write(name, container(records, **kwargs))

    def program(self, name):
        with open(os.path.join(TEST_WIN_DIR, name), "rb") as f:
            return f.read()

    def run_launcher(self, exe, **kwargs):
        """Runs EXE under the driver and returns what it showed."""
        return self.start_launcher(exe, **kwargs).wait()

    def start_launcher(self, exe, cmdline=None, env=None, unset=(), temp=True, timeout_ms=60000,
                       hook=True, close_dialog=False, wine_env=None, tag="", cwd=None,
                       foreign_folder=False, temp_dir=None, utf8=False, early_hook=False):
        """Starts EXE under the driver; cmdline is the exact command line
        (bytes or str), by default the quoted Windows path alone; temp_dir
        replaces the case's TEMP.  With utf8 the run goes to the driver as
        a UTF-8 batch line, so paths and TEMP may hold characters the ANSI
        code page lacks; with early_hook the hook is loaded before WinMain.  Runs started at the same time need different
        tags.  An extraction folder that exists before the run counts as
        one an earlier elevated run made, as Windows would show it (Wine
        reports no descriptor of its own), unless foreign_folder is set."""
        if hook and not foreign_folder:
            env = dict(env or {}, **FOLDER_OURS)
        report = self.path("driver-report%s.txt" % tag)
        hook_log = self.path("hook-log%s.txt" % tag)
        for p in (report, hook_log):
            if os.path.exists(p):
                os.remove(p)
        cmdfile = None
        if cmdline is not None:
            raw = cmdline.encode("latin-1") if isinstance(cmdline, str) else cmdline
            cmdfile = self.write("cmdline%s.txt" % tag, raw, 0o644)
        args = driver_args(exe, report, hook_log if hook else None,
                           (temp_dir or self.temp) if temp else None, timeout_ms, env, unset,
                           cmdfile, close_dialog, utf8, early_hook)
        if utf8:
            # The driver's own command line reaches it in the code page.
            batch = self.write("batch%s.txt" % tag, "\t".join(args).encode("utf-8") + b"\n",
                               0o644)
            args = ["--batch", windows_path(batch)]
        proc = self.bed.popen([DRIVER] + args, extra_env=wine_env, cwd=cwd or self.dir)
        return PendingRun(proc, report, hook_log, timeout_ms / 1000 + 60)

    # -- the probe installer -------------------------------------------------
    def probe_env(self, **settings):
        """Environment for the probe: where to report, and SFX_PROBE_<KEY>
        settings given as keyword arguments."""
        env = {"SFX_PROBE_REPORT": windows_path(self.path(PROBE_REPORT))}
        for key, value in settings.items():
            env["SFX_PROBE_" + key.upper()] = str(value)
        return env

    def probe_report(self):
        """The probe's report: (lines as a dict, {file name: (size, crc32)})."""
        return read_probe_report(self.path(PROBE_REPORT))

    def probe_ran(self):
        return os.path.exists(self.path(PROBE_REPORT))

    def out_path(self, name):
        """The Windows path of an extracted file."""
        return windows_path(self.temp) + "\\" + FOLDER + "\\" + name

    def wait_for(self, path, seconds=60):
        end = time.time() + seconds
        while not os.path.exists(path):
            if time.time() > end:
                raise AssertionError("%s did not appear" % path)
            time.sleep(0.05)

    def hold(self, path):
        """Starts holder.exe on PATH; returns a function that lets go."""
        # The signal files live outside the extraction folder, where the
        # launcher's cleanup cannot reach them.
        tag = os.path.basename(path)
        ready, release = self.path(tag + ".ready"), self.path(tag + ".release")
        for p in (ready, release):
            if os.path.exists(p):
                os.remove(p)
        proc = self.bed.popen([os.path.join(TEST_WIN_DIR, "holder.exe"), windows_path(path),
                               windows_path(ready), windows_path(release), "120000"])
        self.wait_for(ready)

        def release_it():
            open(release, "w").close()
            proc.wait(timeout=60)
            os.remove(release)
            os.remove(ready)
        return release_it

    def run_with_move(self, exe, at, move, env, **kwargs):
        """Runs EXE and makes MOVE (a function) while the launcher's thread
        waits in the hook at the moment AT (made, delete, launch)."""
        ready, go = self.path("hook.ready"), self.path("hook.go")
        pending = self.start_launcher(exe, env=dict(env, SFX_HOOK_WAIT_AT=at,
                                                    SFX_HOOK_WAIT_READY=windows_path(ready),
                                                    SFX_HOOK_WAIT_GO=windows_path(go)), **kwargs)
        self.wait_for(ready)
        move()
        open(go, "w").close()
        return pending.wait()

    def listing(self, folder=None):
        folder = folder or self.folder
        if not os.path.isdir(folder):
            return None
        return sorted(os.listdir(folder))
