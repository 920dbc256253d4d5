"""The Windows test bed: Wine in Xvfb, one prefix per build tree.

As a script, it starts and stops the bed for a CTest run, for the build
tree in $SFX_BUILD_DIR (which CTest sets, as for every test):
    winebed.py start               Xvfb on a free display, the prefix made
                                   once, a persistent wineserver
    winebed.py stop                wineserver and Xvfb ended
    winebed.py run PROGRAM [ARGS...]  a Windows program run in the bed
As a module, it runs Windows programs in that bed (Bed.run), starting it
first if no CTest fixture did.

Wine's first start in a new prefix takes a while, so the prefix lives in
BUILD_DIR/wineprefix and is reused; a persistent wineserver keeps later
starts short.
"""
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

WINE = shutil.which("wine") or "wine"
WINE64 = "/usr/lib/wine/wine64"
WINESERVER = shutil.which("wineserver") or "wineserver"


def windows_path(path):
    """The Windows name of a Linux path through Wine's Z: drive."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Bed:
    def __init__(self, build_dir):
        self.build_dir = os.path.abspath(build_dir)
        self.prefix = os.path.join(self.build_dir, "wineprefix")
        self.state_file = os.path.join(self.build_dir, "winebed.json")
        self.lock_file = os.path.join(self.build_dir, "winebed.lock")

    # -- environment ----------------------------------------------------
    def env(self, display=None, extra=None):
        env = dict(os.environ)
        env.update({
            "WINEPREFIX": self.prefix,
            "WINEDEBUG": "-all",
            # No Mono or Gecko install prompts, no menu entries.
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            "WINEARCH": "win64" if os.path.exists(WINE64) else "win32",
        })
        if display:
            env["DISPLAY"] = display
        if extra:
            env.update(extra)
        return env

    def _state(self):
        try:
            with open(self.state_file) as f:
                return json.load(f)
        except (OSError, ValueError):
            return None

    @staticmethod
    def _alive(pid):
        try:
            os.kill(pid, 0)
            return True
        except OSError:
            return False

    # -- start and stop -----------------------------------------------------
    def start(self):
        os.makedirs(self.build_dir, exist_ok=True)
        with open(self.lock_file, "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            state = self._state()
            if state and self._alive(state["xvfb_pid"]):
                return state["display"]
            display, pid = self._start_xvfb()
            self._make_prefix(display)
            # Nothing that outlives this call may hold the caller's output
            # open: CTest waits for its test's pipes to close.
            subprocess.run([WINESERVER, "-p"], env=self.env(display), check=True,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            # The first program starts Wine's system processes, which stay
            # for the server's lifetime; start them here, away from any
            # caller's pipes.
            warm = [WINE64 if os.path.exists(WINE64) else WINE, "cmd", "/c", "rem"]
            subprocess.run(warm, env=self.env(display), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
            with open(self.state_file, "w") as f:
                json.dump({"display": display, "xvfb_pid": pid}, f)
            return display

    def stop(self):
        state = self._state()
        subprocess.run([WINESERVER, "-k"], env=self.env(), stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=self.env(), stderr=subprocess.DEVNULL)
        if state and self._alive(state["xvfb_pid"]):
            os.kill(state["xvfb_pid"], signal.SIGTERM)
        if os.path.exists(self.state_file):
            os.remove(self.state_file)

    def _start_xvfb(self):
        xvfb = shutil.which("Xvfb")
        if not xvfb:
            raise RuntimeError("Xvfb is not installed (run tools/install-deps.sh)")
        for number in range(90, 190):
            if os.path.exists("/tmp/.X%d-lock" % number) or \
               os.path.exists("/tmp/.X11-unix/X%d" % number):
                continue
            # Started through a shell that exits at once, so that the server
            # belongs to no Python process and outlives this one.
            launched = subprocess.run(
                ["sh", "-c", 'setsid "$0" "$@" </dev/null >/dev/null 2>&1 & echo $!', xvfb,
                 ":%d" % number, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                capture_output=True, text=True, check=True)
            pid = int(launched.stdout.strip())
            for _ in range(100):
                if os.path.exists("/tmp/.X11-unix/X%d" % number):
                    return ":%d" % number, pid
                if not self._alive(pid):
                    break
                time.sleep(0.05)
            if self._alive(pid):
                os.kill(pid, signal.SIGKILL)
        raise RuntimeError("could not start Xvfb on any display from :90 to :189")

    def _make_prefix(self, display):
        marker = os.path.join(self.prefix, ".sfx-ready-2")
        if os.path.exists(marker):
            return
        shutil.rmtree(self.prefix, ignore_errors=True)
        boot = [WINE64 if os.path.exists(WINE64) else WINE, "wineboot", "-i"]
        subprocess.run(boot, env=self.env(display), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
        # Xvfb has no window manager: unmanaged windows spare Wine a two
        # second wait for the manager every time a window is hidden.
        reg = boot[:1] + ["reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed",
                          "/d", "N", "/f"]
        subprocess.run(reg, env=self.env(display), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
        subprocess.run([WINESERVER, "-w"], env=self.env(display), timeout=600)
        open(marker, "w").close()

    # -- running programs ---------------------------------------------------
    def run(self, argv, extra_env=None, timeout=120, cwd=None):
        """Runs a Windows program; returns the CompletedProcess.

        Output goes through files, not pipes: a process that Wine starts
        on the way and keeps running would hold a pipe open for ever."""
        display = self.start()
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.Popen([WINE] + list(argv), env=self.env(display, extra_env),
                                    cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                    start_new_session=True)
            try:
                proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                raise
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(proc.args, proc.returncode, out.read(), err.read())

    def popen(self, argv, extra_env=None, cwd=None):
        display = self.start()
        return subprocess.Popen([WINE] + list(argv), env=self.env(display, extra_env),
                                cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)


def main(argv):
    command = argv[1] if len(argv) > 1 else ""
    build = os.environ.get("SFX_BUILD_DIR", "")
    if not build or not (command in ("start", "stop") and len(argv) == 2
                         or command == "run" and len(argv) >= 3):
        print("usage: SFX_BUILD_DIR=BUILD_DIR winebed.py start|stop | run PROGRAM [ARGS...]",
              file=sys.stderr)
        return 2
    bed = Bed(build)
    if argv[1] == "start":
        print("winebed: display %s, prefix %s" % (bed.start(), bed.prefix))
    elif argv[1] == "stop":
        bed.stop()
    else:
        result = bed.run(argv[2:])
        sys.stdout.buffer.write(result.stdout)
        sys.stderr.buffer.write(result.stderr)
        return result.returncode
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
