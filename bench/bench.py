#!/usr/bin/env python3
"""Benchmarks of the launcher and sfxpack.

    bench.py BUILD_DIR [--scale full|small] [--runs N] [--only SECTIONS]
                       [--json FILE]

Prints one table (median, min and max of N runs for every timed figure)
and writes the same figures as JSON, by default to
BUILD_DIR/bench/latest-SCALE.json; a full-scale run of all sections also
replaces bench/results/latest.json.  The full scale (the default) takes
about half an hour on two shared cores, the small one a few minutes.
Sections:

  image    how the launcher's 131,072 bytes are used (PE section table)
  pack     `sfxpack create` against `cat` (the limit) and makensis (the peer)
  digest   `sfxpack list --sha256` of the one-big-file container against
           `sha256sum` of the same file
  extract  the launcher under Wine against `cp` (the limit) and an NSIS
           installer with its progress page (the peer)
  costs    where the launcher's time goes: Windows-side micro-measurements
           of the copy loop without messages, of the progress messages, and
           of the cleanup (the launcher's own, beside a bare DeleteFileA)
  memory   peak resident set of `sfxpack create/verify/extract` for a small
           and a large payload
  pinned   extract and costs again with the whole Wine bed (Xvfb, the
           wineserver, every Wine process, the peer and cp) on CPU 0, as
           `taskset -c 0` would put it

Python standard library only.  Nothing here is a pass/fail test.
"""
import argparse
import json
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from sfxcontainer import CHUNK, FOLDER  # noqa: E402
from winebed import Bed, windows_path  # noqa: E402

MIB = 1 << 20
# FILETIME ticks (100 ns since 1601) to Unix seconds.
FILETIME_UNIX_OFFSET = 11644473600

SCALES = {
    # name: (big file MiB, number of small files, small file KiB, memory payloads MiB)
    "small": (16, 200, 16, (10, 100)),
    "full": (512, 5000, 16, (100, 2048)),
}



def x86_32_execution():
    """'native' when this machine runs 32-bit x86 code itself, 'emulated'
    when tools/install-deps.sh had to hand it to qemu-user."""
    try:
        with open("/proc/sys/fs/binfmt_misc/qemu-i386") as f:
            return "emulated" if f.readline().strip() == "enabled" else "native"
    except OSError:
        return "native"


# Where the Windows programs' peak resident set is measured.
WINE_PROCESS = "qemu+Wine process" if x86_32_execution() == "emulated" else "Wine process"


# -- results -----------------------------------------------------------------
class Table:
    def __init__(self):
        self.rows = []

    def add(self, section, name, unit, values, note=""):
        """A measured figure: the median, min and max of VALUES."""
        values = list(values)
        row = {"section": section, "name": name, "unit": unit,
               "median": statistics.median(values), "min": min(values), "max": max(values),
               "runs": len(values), "values": values, "note": note}
        self.rows.append(row)
        return row

    def add_value(self, section, name, unit, value, note=""):
        """A figure that is not a timing (a byte count, a ratio of medians)."""
        row = {"section": section, "name": name, "unit": unit, "median": value,
               "min": None, "max": None, "runs": None, "values": None, "note": note}
        self.rows.append(row)
        return row

    def find(self, section, name):
        for row in self.rows:
            if row["section"] == section and row["name"] == name:
                return row
        raise KeyError(name)

    @staticmethod
    def fmt(v):
        if v is None:
            return ""
        if isinstance(v, int):
            return "{:,}".format(v)
        if abs(v) >= 100:
            return "%.0f" % v
        if abs(v) >= 10:
            return "%.1f" % v
        return "%.3g" % v

    def markdown(self):
        lines = ["| section | figure | unit | median | min | max | runs | note |",
                 "|---|---|---|---:|---:|---:|---:|---|"]
        for r in self.rows:
            lines.append("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
                r["section"], r["name"], r["unit"], self.fmt(r["median"]), self.fmt(r["min"]),
                self.fmt(r["max"]), r["runs"] or "", r["note"]))
        return "\n".join(lines)


def log(msg):
    print("[bench %s] %s" % (time.strftime("%H:%M:%S"), msg), file=sys.stderr, flush=True)


def timed(argv, **kwargs):
    """Runs argv; returns (seconds, rusage)."""
    t0 = time.perf_counter()
    proc = subprocess.Popen(argv, **kwargs)
    _, status, usage = os.wait4(proc.pid, 0)
    dt = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError("%s failed with status %d" % (argv[0], proc.returncode))
    return dt, usage


def timed_rss(argv, **kwargs):
    """Runs argv under GNU time; returns (seconds, peak resident set in KiB).
    (The rusage of a direct child would include the forking Python's own
    resident set, which Linux carries over exec.)"""
    out = argv[0] + ".bench-rss"
    try:
        dt, _ = timed(["/usr/bin/time", "-f", "%M", "-o", out] + list(argv), **kwargs)
        with open(out) as f:
            kib = int(f.read().split()[-1])
    finally:
        rmtree(out)
    return dt, kib


def rmtree(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


def fresh(path):
    """Removes an earlier output and writes back what earlier runs left
    dirty, so that every timed packer starts from the same page cache."""
    rmtree(path)
    os.sync()


# -- inputs ------------------------------------------------------------------
class Inputs:
    """The helper programs, the payload files and the containers built from them."""

    def __init__(self, build_dir, work, scale):
        self.build_dir = build_dir
        self.work = work
        self.big_mib, self.nfiles, self.small_kib, self.mem_mibs = SCALES[scale]
        self.launcher = os.path.join(build_dir, "windows", "launcher.exe")
        self.sfxpack = os.path.join(build_dir, "tools", "sfxpack", "sfxpack")
        self.win = os.path.join(work, "win")
        self.mark = os.path.join(self.win, "mark.exe")
        self.timer = os.path.join(self.win, "timer.exe")
        self.costs = os.path.join(self.win, "costs.exe")
        self.datasets = {}

    def build_helpers(self):
        os.makedirs(self.win, exist_ok=True)
        cc = "i686-w64-mingw32-gcc"
        # costs.exe calls the launcher's own cleanup, so it is C++ and
        # links the launcher's sources.
        run_dir = os.path.join(os.path.dirname(HERE), "src", "run")
        payload_dir = os.path.join(os.path.dirname(HERE), "src", "payload")
        launcher_parts = [os.path.join(run_dir, n) for n in ("launch.cpp", "links.cpp", "error.cpp",
                                                             "paths.cpp")]
        launcher_parts.append(os.path.join(payload_dir, "folder.cpp"))
        for name, extra in (("mark", ["-mwindows"]), ("timer", ["-lpsapi"]),
                            ("costs", ["-mwindows", "-I", run_dir]
                             + launcher_parts + ["-lcomctl32", "-lshlwapi", "-ladvapi32"])):
            src = os.path.join(HERE, "win", name + ".c")
            out = os.path.join(self.win, name + ".exe")
            inputs = [src] + [p for p in extra if p.endswith(".cpp")]
            if os.path.exists(out) and all(os.path.getmtime(out) >= os.path.getmtime(p)
                                           for p in inputs):
                continue
            compiler = "i686-w64-mingw32-g++" if name == "costs" else cc
            subprocess.run([compiler, "-O2", "-s", "-static", "-o", out, src] + extra, check=True)

    @staticmethod
    def _fill(path, size, seed):
        """SIZE bytes that do not compress: a random MiB, varied per MiB."""
        if os.path.exists(path) and os.path.getsize(path) == size:
            return
        block = bytearray(os.urandom(MIB))
        with open(path + ".part", "wb") as f:
            left, n = size, 0
            while left:
                struct.pack_into("<II", block, 0, seed, n)
                k = min(left, MIB)
                f.write(block[:k])
                left -= k
                n += 1
        os.replace(path + ".part", path)

    def make_datasets(self):
        """'big': one large file; 'many': many small files; 'many1': the same
        bytes as 'many' in one file (tells per-file from per-byte costs)."""
        data = os.path.join(self.work, "data")
        big = os.path.join(data, "big")
        os.makedirs(big, exist_ok=True)
        self._fill(os.path.join(big, "payload.bin"), self.big_mib * MIB, 1)
        many = os.path.join(data, "many")
        os.makedirs(many, exist_ok=True)
        names = ["f%05d.bin" % i for i in range(self.nfiles)]
        have = set(os.listdir(many))
        size = self.small_kib * 1024
        for i, n in enumerate(names):
            if n not in have or os.path.getsize(os.path.join(many, n)) != size:
                with open(os.path.join(many, n), "wb") as f:
                    f.write(struct.pack("<I", i) * (size // 4 - 1) + os.urandom(4))
        one = os.path.join(data, "many1")
        os.makedirs(one, exist_ok=True)
        self._fill(os.path.join(one, "payload.bin"), self.nfiles * size, 2)
        self.datasets = {
            "big": [self.mark, os.path.join(big, "payload.bin")],
            "many": [self.mark] + [os.path.join(many, n) for n in names],
            "many1": [self.mark, os.path.join(one, "payload.bin")],
            "none": [self.mark],
        }

    def payload_bytes(self, ds):
        return sum(os.path.getsize(p) for p in self.datasets[ds])

    def label(self, ds):
        if ds == "big":
            return "1 x %d MiB" % self.big_mib
        if ds == "many":
            return "%d x %d KiB" % (self.nfiles, self.small_kib)
        if ds == "none":
            return "launched program only"
        return "1 x %d KiB" % (self.nfiles * self.small_kib)

    # -- the three ways to pack ------------------------------------------
    def container(self, ds):
        return os.path.join(self.work, "pack", "sfx-%s.exe" % ds)

    def nsis_installer(self, ds):
        return os.path.join(self.work, "pack", "nsis-%s.exe" % ds)

    def nsis_script(self, ds):
        """An uncompressed NSIS installer with its progress page, closing by
        itself: unpack into $TEMP\\FOLDER, run the first file, remove the folder
        (the same work as the launcher)."""
        path = os.path.join(self.work, "pack", "nsis-%s.nsi" % ds)
        files = self.datasets[ds]
        lines = [
            "Unicode true",
            'Name "bench"',
            'OutFile "%s"' % self.nsis_installer(ds),
            "SetCompress off",
            "CRCCheck off",
            # the default compares each file with all stored before it: quadratic
            "SetDatablockOptimize off",
            "RequestExecutionLevel user",
            "AutoCloseWindow true",
            "Page instfiles",
            "Section",
            '  SetOutPath "$TEMP\\%s"' % FOLDER,
        ]
        lines.append('  File "%s"' % files[0])
        rest = files[1:]
        folder = os.path.dirname(rest[0]) if rest else None
        if len(rest) > 1 and all(os.path.dirname(f) == folder for f in rest) and \
                len(os.listdir(folder)) == len(rest):
            # One wildcard command: makensis takes tens of milliseconds per
            # File command (minutes for thousands), not per file it matches.
            lines.append('  File "%s/*"' % folder)
        else:
            lines += ['  File "%s"' % f for f in rest]
        lines += [
            '  ExecWait \'"$TEMP\\%s\\%s"\'' % (FOLDER, os.path.basename(files[0])),
            '  SetOutPath "$TEMP"',
            '  RMDir /r "$TEMP\\%s"' % FOLDER,
            "SectionEnd",
        ]
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")
        return path

    def pack_sfx(self, ds, out=None, options=()):
        out = out or self.container(ds)
        fresh(out)
        return timed([self.sfxpack, "create", *options, "-o", out] + self.datasets[ds],
                     stdout=subprocess.DEVNULL)

    def pack_cat(self, ds, out):
        fresh(out)
        with open(out, "wb") as f:
            return timed(["cat", self.launcher] + self.datasets[ds], stdout=f)

    def pack_cat_sync(self, ds, out):
        """cat, then the output flushed to disk (what sfxpack --sync does
        before renaming its output into place)."""
        fresh(out)
        t0 = time.perf_counter()
        with open(out, "wb") as f:
            timed(["cat", self.launcher] + self.datasets[ds], stdout=f)
            os.fsync(f.fileno())
        return time.perf_counter() - t0

    def pack_nsis(self, ds):
        script = self.nsis_script(ds)
        fresh(self.nsis_installer(ds))
        return timed(["makensis", "-V1", script], stdout=subprocess.DEVNULL)


# -- sections ----------------------------------------------------------------
def section_image(inp, table):
    with open(inp.launcher, "rb") as f:
        d = f.read()
    pe = struct.unpack_from("<I", d, 0x3C)[0]
    nsect = struct.unpack_from("<H", d, pe + 6)[0]
    optsize = struct.unpack_from("<H", d, pe + 20)[0]
    opt = pe + 24
    headers = struct.unpack_from("<I", d, opt + 60)[0]
    ndirs = struct.unpack_from("<I", d, opt + 92)[0]
    dirs = [struct.unpack_from("<II", d, opt + 96 + 8 * i) for i in range(ndirs)]
    table.add_value("image", "file size", "bytes", len(d))
    used_headers = opt + optsize + 40 * nsect
    table.add_value("image", "headers (used / file-aligned)", "bytes", used_headers,
                    "%d bytes as aligned on disk" % headers)
    groups = {}
    raw_total = headers
    for i in range(nsect):
        name, vsize, va, rsize, rptr = struct.unpack_from("<8sIIII", d, opt + optsize + 40 * i)
        name = name.rstrip(b"\0").decode("latin-1")
        raw_total += rsize
        if name == ".reloc" and ndirs > 5:
            content = dirs[5][1]  # the base relocation directory's size
        else:
            content = min(vsize, rsize) if rsize else 0
        if name == ".text":
            g = "code (.text)"
        elif name == ".rsrc":
            g = "resources (.rsrc)"
        elif name == ".reloc":
            g = "relocations (.reloc)"
        elif name == ".idata":
            g = "imports (.idata)"
        else:
            g = "data (.data .rdata .eh_frame .CRT .tls)"
        groups.setdefault(g, [0, 0])
        groups[g][0] += content
        groups[g][1] += rsize
    for g, (content, raw) in groups.items():
        table.add_value("image", g, "bytes", content, "%d bytes on disk with alignment" % raw)
    used = used_headers + sum(c for c, _ in groups.values())
    table.add_value("image", "padding (alignment and fill to 131,072)", "bytes", len(d) - used,
                    "sections end at %d" % raw_total)


class PeakSampler(threading.Thread):
    """Follows the Wine process whose program ends with NAME (the first word
    of its command line, or the third under qemu: qemu, wine, program), and
    keeps its VmHWM (peak resident set, kB) as last read before it went
    away."""

    def __init__(self, name):
        super().__init__(daemon=True)
        self.target = name.encode() if isinstance(name, str) else name
        self.peak_kib = None
        self.done = threading.Event()

    def _find(self):
        for p in os.listdir("/proc"):
            if not p.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % p, "rb") as f:
                    words = f.read().split(b"\0")
            except OSError:
                continue
            if any(w.endswith(self.target) for w in words[:3]):
                return p
        return None

    def run(self):
        pid = None
        while pid is None and not self.done.is_set():
            pid = self._find()
            if pid is None:
                time.sleep(0.01)
        while pid is not None:
            try:
                with open("/proc/%s/status" % pid) as f:
                    for line in f:
                        if line.startswith("VmHWM:"):
                            self.peak_kib = int(line.split()[1])
            except OSError:
                break
            if self.done.wait(0.05):
                break


class WineRunner:
    def __init__(self, inp):
        self.inp = inp
        self.bed = Bed(inp.build_dir)
        self.bed.start()
        self.temp = os.path.join(inp.work, "temp")
        self.report = os.path.join(inp.work, "timer-report.txt")
        self.markfile = os.path.join(inp.work, "mark.txt")

    def run(self, exe, sample=False, timeout_s=1200):
        """Runs EXE under timer.exe with TEMP and TMP set; returns a dict of
        seconds: total (start to exit), extract (start until the launched
        program's first instruction), after (from there to exit), plus the
        peak resident set in KiB when SAMPLE."""
        rmtree(self.temp)
        os.makedirs(self.temp)
        for p in (self.report, self.markfile):
            rmtree(p)
        sampler = None
        if sample:
            sampler = PeakSampler(windows_path(exe).encode())
            sampler.start()
        res = self.bed.run([self.inp.timer, windows_path(self.report), str(timeout_s * 1000),
                            windows_path(exe),
                            "--set", "TEMP=" + windows_path(self.temp),
                            "--set", "TMP=" + windows_path(self.temp),
                            "--set", "BENCH_MARK=" + windows_path(self.markfile)],
                           timeout=timeout_s + 60)
        if sampler:
            sampler.done.set()
            sampler.join()
        if res.returncode != 0:
            raise RuntimeError("timer.exe failed (%d): %r" % (res.returncode, res.stderr[-500:]))
        rep = dict(line.split(" ", 1) for line in open(self.report).read().splitlines())
        if rep.get("exit") != "0":
            raise RuntimeError("%s did not exit with 0: %r" % (exe, rep))
        if not os.path.exists(self.markfile):
            raise RuntimeError("%s did not run the launched program" % exe)
        mark = int(open(self.markfile).read().split()[1])
        begin, end = int(rep["begin"]), int(rep["end"])
        if os.path.exists(os.path.join(self.temp, FOLDER)):
            raise RuntimeError("%s left the extraction folder behind" % exe)
        out = {"total": (end - begin) / 1e7, "extract": (mark - begin) / 1e7,
               "after": (end - mark) / 1e7}
        if sampler:
            out["peak_kib"] = sampler.peak_kib
        return out


def section_pack(inp, table, runs):
    os.makedirs(os.path.join(inp.work, "pack"), exist_ok=True)
    catout = os.path.join(inp.work, "pack", "cat.out")
    for ds in ("big", "many"):
        nbytes = inp.payload_bytes(ds)
        t = {"sfxpack": [], "cat": [], "sfxpack --sync": [], "cat+fsync": [], "makensis": []}
        packers = [
            ("cat", lambda: inp.pack_cat(ds, catout)[0]),
            ("cat+fsync", lambda: inp.pack_cat_sync(ds, catout)),
            ("sfxpack", lambda: inp.pack_sfx(ds)[0]),
            ("sfxpack --sync", lambda: inp.pack_sfx(ds, options=["--sync"])[0]),
            ("makensis", lambda: inp.pack_nsis(ds)[0]),
        ]
        for i in range(runs):
            log("pack %s run %d/%d" % (ds, i + 1, runs))
            # A different order each run: no packer always follows the same one.
            for name, pack in packers[i % len(packers):] + packers[:i % len(packers)]:
                t[name].append(pack())
        rmtree(catout)
        lab = inp.label(ds)
        tools = tuple(t)
        for tool in tools:
            table.add("pack " + lab, tool + " time", "s", t[tool])
        for tool in tools:
            table.add("pack " + lab, tool + " throughput", "MiB/s",
                      [nbytes / MIB / x for x in t[tool]])
        med = {k: statistics.median(v) for k, v in t.items()}
        table.add_value("pack " + lab, "sfxpack/cat (limit) throughput", "ratio",
                        med["cat"] / med["sfxpack"], "target >= 0.95")
        table.add_value("pack " + lab, "sfxpack --sync/(cat+fsync) throughput", "ratio",
                        med["cat+fsync"] / med["sfxpack --sync"])
        table.add_value("pack " + lab, "sfxpack/makensis (peer) throughput", "ratio",
                        med["makensis"] / med["sfxpack"])


def section_digest(inp, table, runs):
    """SHA-256 of the one-big-file container: sfxpack list --sha256 (each
    record's digest and the whole file's, so it reads the data twice)
    beside sha256sum of the same file.  The throughput counts the big
    record once, which understates sfxpack."""
    container = inp.container("big")
    os.makedirs(os.path.dirname(container), exist_ok=True)
    inp.pack_sfx("big", out=container)
    nbytes = inp.payload_bytes("big")
    t = {"sfxpack list --sha256": [], "sha256sum": []}
    for i in range(runs):
        log("digest run %d/%d" % (i + 1, runs))
        t["sha256sum"].append(timed(["sha256sum", container], stdout=subprocess.DEVNULL)[0])
        t["sfxpack list --sha256"].append(
            timed([inp.sfxpack, "list", "--sha256", container], stdout=subprocess.DEVNULL)[0])
    sec = "digest " + inp.label("big")
    for tool, vals in t.items():
        table.add(sec, tool + " time", "s", vals)
        table.add(sec, tool + " throughput", "MiB/s", [nbytes / MIB / x for x in vals])
    med = {k: statistics.median(v) for k, v in t.items()}
    table.add_value(sec, "sfxpack/sha256sum throughput", "ratio",
                    med["sha256sum"] / med["sfxpack list --sha256"], "target >= 0.8")


def cp_limit(inp, ds, temp):
    rmtree(temp)
    dest = os.path.join(temp, FOLDER)
    os.makedirs(dest)
    dt, _ = timed(["cp"] + inp.datasets[ds] + [dest])
    rmtree(temp)
    return dt


def section_extract(inp, table, runs, wine, prefix=""):
    # The cost of starting a Windows process at all under this Wine: the
    # launched program run directly.
    start = []
    for i in range(runs):
        start.append(wine.run(inp.mark)["extract"])
    table.add(prefix + "extract", "process start (mark.exe run directly)", "s", start,
              "included in every extraction time below")
    for ds in ("none", "big", "many", "many1"):
        nbytes = inp.payload_bytes(ds)
        if not os.path.exists(inp.container(ds)):
            inp.pack_sfx(ds)
        if ds != "many1" and not os.path.exists(inp.nsis_installer(ds)):
            inp.pack_nsis(ds)
        lab = inp.label(ds)
        sfx, nsis, cp = [], [], []
        for i in range(runs):
            log("extract %s run %d/%d" % (ds, i + 1, runs))
            sfx.append(wine.run(inp.container(ds), sample=True))
            if ds in ("none", "big", "many"):
                nsis.append(wine.run(inp.nsis_installer(ds), sample=True))
            cp.append(cp_limit(inp, ds, wine.temp))
        sec = prefix + "extract " + lab
        table.add(sec, "launcher: extraction", "s", [r["extract"] for r in sfx],
                  "start until the launched program runs")
        table.add(sec, "launcher: launch wait + cleanup", "s", [r["after"] for r in sfx])
        table.add(sec, "launcher: total", "s", [r["total"] for r in sfx])
        table.add(sec, "launcher: extraction throughput", "MiB/s",
                  [nbytes / MIB / r["extract"] for r in sfx])
        if nsis:
            table.add(sec, "NSIS: extraction", "s", [r["extract"] for r in nsis])
            table.add(sec, "NSIS: launch wait + cleanup", "s", [r["after"] for r in nsis])
            table.add(sec, "NSIS: total", "s", [r["total"] for r in nsis])
            table.add(sec, "NSIS: extraction throughput", "MiB/s",
                      [nbytes / MIB / r["extract"] for r in nsis])
        table.add(sec, "cp (limit)", "s", cp)
        table.add(sec, "cp throughput", "MiB/s", [nbytes / MIB / x for x in cp])
        m_sfx = statistics.median(r["extract"] for r in sfx)
        if nsis:
            m_nsis = statistics.median(r["extract"] for r in nsis)
            table.add_value(sec, "launcher/NSIS (peer) extraction throughput", "ratio",
                            m_nsis / m_sfx, "target >= 1.2")
            table.add_value(sec, "launcher/NSIS (peer) total throughput", "ratio",
                            statistics.median(r["total"] for r in nsis) /
                            statistics.median(r["total"] for r in sfx))
        table.add_value(sec, "launcher/cp (limit) extraction throughput", "ratio",
                        statistics.median(cp) / m_sfx)
        peaks = [r["peak_kib"] / 1024 for r in sfx if r.get("peak_kib")]
        if peaks:
            table.add(sec, "launcher: peak RSS (%s)" % WINE_PROCESS, "MiB", peaks,
                      "VmHWM sampled from /proc")
        peaks = [r["peak_kib"] / 1024 for r in nsis if r.get("peak_kib")]
        if peaks:
            table.add(sec, "NSIS: peak RSS (%s)" % WINE_PROCESS, "MiB", peaks,
                      "VmHWM sampled from /proc")
    if "many" in inp.datasets:
        per_file = (statistics.median(
            table.find(prefix + "extract " + inp.label("many"), "launcher: extraction")["values"]) -
            statistics.median(
            table.find(prefix + "extract " + inp.label("none"), "launcher: extraction")["values"]))
        table.add_value(prefix + "extract", "launcher: extraction cost per small file", "ms",
                        per_file / inp.nfiles * 1000,
                        "(%s - launched program only) / %d" % (inp.label("many"), inp.nfiles))
    # Baseline for the peak resident set: a program that does nothing.
    base = [wine.run(inp.mark, sample=True).get("peak_kib") for _ in range(runs)]
    base = [b / 1024 for b in base if b]
    if base:
        table.add(prefix + "extract", "mark.exe alone: peak RSS (%s)" % WINE_PROCESS, "MiB", base,
                  "baseline of any Windows process here")


def section_costs(inp, table, runs, wine, prefix=""):
    """Windows-side measurements with costs.exe: the launcher's copy loop
    without messages, and N synchronous cross-thread messages to a dialog
    with a progress bar (as the launcher sends) or to a bare window."""
    rep = os.path.join(inp.work, "costs.txt")
    big = inp.datasets["big"][1]
    # The fixed folder's name: the launcher's cleanup removes the folder
    # by that name in the folder above.
    out = os.path.join(inp.work, "costs-out", FOLDER)
    many = inp.datasets["many"][1:][:1000]
    nmsg = 1024
    listfile = os.path.join(inp.work, "costs-list.txt")
    with open(listfile, "w") as f:
        f.write("\n".join(windows_path(p) for p in many) + "\n")
    modes = [
        ("copy", ["copy", windows_path(big), windows_path(out)],
         "copy loop, 1 x %d MiB, 64 KiB chunks, no messages" % inp.big_mib),
        ("files", ["files", windows_path(listfile), windows_path(out)],
         "copy loop, %d x %d KiB files, no messages" % (len(many), inp.small_kib)),
        ("delete", ["delete", windows_path(listfile), windows_path(out)],
         "create then delete %d files (delete timed)" % len(many)),
        ("cleanup", ["cleanup", windows_path(listfile), windows_path(out)],
         "the same %d files deleted by the launcher's cleanup" % len(many)),
        ("msg-progress", ["msg", str(nmsg), "progress"],
         "%d SendMessage to a dialog, each setting a progress bar" % nmsg),
        ("msg-fixed", ["msg", str(nmsg), "fixed"],
         "%d SendMessage to the same dialog, progress bar position unchanged" % nmsg),
        ("msg-bare", ["msg", str(nmsg), "bare"],
         "%d SendMessage to a window that does nothing" % nmsg),
    ]
    for key, args, note in modes:
        vals = []
        for i in range(runs):
            rmtree(out)
            os.makedirs(out)
            rmtree(rep)
            res = wine.bed.run([inp.costs, windows_path(rep)] + args, timeout=1200)
            if res.returncode != 0:
                raise RuntimeError("costs.exe %s failed: %d" % (key, res.returncode))
            vals.append(float(open(rep).read().split()[1]))
        rmtree(os.path.dirname(out))
        sec = prefix + "costs"
        row = table.add(sec, key, "s", vals, note)
        if key.startswith("msg"):
            table.add_value(sec, key + " per message", "ms", row["median"] / nmsg * 1000)
        elif key in ("files", "delete", "cleanup"):
            table.add_value(sec, key + " per file", "ms", row["median"] / len(many) * 1000)
    # 1024 messages move the bar through 100 positions (99 repaints more
    # than with the position fixed).
    repaint = (table.find(prefix + "costs", "msg-progress")["median"] -
               table.find(prefix + "costs", "msg-fixed")["median"]) / 99
    table.add_value(prefix + "costs", "progress bar repaint", "ms", repaint * 1000,
                    "(msg-progress - msg-fixed) / 99 position changes")


def section_pinned(inp, table, runs, wine):
    """extract and costs again with the Wine bed restarted on CPU 0 alone.
    The affinity is set on this process before the bed starts, so Xvfb,
    the wineserver and every Wine process inherit it, as they would from
    `taskset -c 0`; a cross-thread message then needs no wake-up of
    another CPU."""
    wine.bed.stop()
    everywhere = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {0})
    pinned = None
    try:
        pinned = WineRunner(inp)
        section_extract(inp, table, runs, pinned, "pinned ")
        section_costs(inp, table, runs, pinned, "pinned ")
    finally:
        if pinned:
            pinned.bed.stop()
        os.sched_setaffinity(0, everywhere)


def section_memory(inp, table, runs):
    mem = os.path.join(inp.work, "mem")
    for mib in inp.mem_mibs:
        rmtree(mem)
        os.makedirs(mem)
        # A record holds less than 2 GiB: payloads are split into files of
        # at most 1 GiB, sparse so that reading them costs no disk.
        nparts = (mib + 1023) // 1024
        srcs = []
        for k in range(nparts):
            src = os.path.join(mem, "payload%d.bin" % k)
            with open(src, "wb") as f:
                f.truncate(mib * MIB // nparts)
            srcs.append(src)
        out = os.path.join(mem, "c.exe")
        xdir = os.path.join(mem, "x")
        peaks = {"create": [], "verify": [], "extract": []}
        times = {"create": [], "verify": [], "extract": []}
        for i in range(runs):
            log("memory %d MiB run %d/%d" % (mib, i + 1, runs))
            rmtree(out)
            dt, kib = timed_rss([inp.sfxpack, "create", "-o", out, inp.mark] + srcs,
                                stdout=subprocess.DEVNULL)
            peaks["create"].append(kib / 1024)
            times["create"].append(dt)
            dt, kib = timed_rss([inp.sfxpack, "verify", out], stdout=subprocess.DEVNULL)
            peaks["verify"].append(kib / 1024)
            times["verify"].append(dt)
            rmtree(xdir)
            dt, kib = timed_rss([inp.sfxpack, "extract", "-C", xdir, out],
                                stdout=subprocess.DEVNULL)
            peaks["extract"].append(kib / 1024)
            times["extract"].append(dt)
            rmtree(xdir)
        rmtree(mem)
        for cmd in ("create", "verify", "extract"):
            table.add("memory %d MiB payload" % mib, "sfxpack %s peak RSS" % cmd, "MiB",
                      peaks[cmd], "target < 16")
        for cmd in ("create", "verify", "extract"):
            table.add("memory %d MiB payload" % mib, "sfxpack %s throughput" % cmd, "MiB/s",
                      [mib / x for x in times[cmd]])


SECTIONS = "image,pack,digest,extract,costs,pinned,memory"


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("build_dir")
    ap.add_argument("--scale", choices=sorted(SCALES), default="full")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--only", default=SECTIONS)
    ap.add_argument("--json", default=None, help="default: BUILD_DIR/bench/latest-SCALE.json")
    args = ap.parse_args(argv)
    build = os.path.abspath(args.build_dir)
    work = os.path.join(build, "bench", args.scale)
    os.makedirs(work, exist_ok=True)
    inp = Inputs(build, work, args.scale)
    sections = args.only.split(",")
    table = Table()
    t0 = time.time()
    load_at_start = list(os.getloadavg())
    log("32-bit x86 code runs %s here; load average %.2f %.2f %.2f" % ((x86_32_execution(),) + tuple(load_at_start)))
    log("helpers and inputs")
    inp.build_helpers()
    inp.make_datasets()
    wine = None
    failed = []

    def run(name, fn, *fargs):
        if name not in sections:
            return
        try:
            fn(*fargs)
        except Exception as e:  # report the others' figures all the same
            log("section %s failed: %s" % (name, e))
            failed.append("%s: %s" % (name, e))

    run("image", section_image, inp, table)
    run("memory", section_memory, inp, table, args.runs)
    run("pack", section_pack, inp, table, args.runs)
    run("digest", section_digest, inp, table, args.runs)
    if "extract" in sections or "costs" in sections or "pinned" in sections:
        wine = WineRunner(inp)
    run("extract", section_extract, inp, table, args.runs, wine)
    run("costs", section_costs, inp, table, args.runs, wine)
    run("pinned", section_pinned, inp, table, args.runs, wine)
    print(table.markdown())
    result = {
        "scale": args.scale, "runs": args.runs,
        "sizes": {"big_mib": inp.big_mib, "files": inp.nfiles, "file_kib": inp.small_kib,
                  "memory_mib": list(inp.mem_mibs)},
        "date": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
        "seconds": round(time.time() - t0, 1),
        "machine": {"cpus": os.cpu_count(), "arch": platform.machine(),
                    "kernel": platform.release(), "x86_32": x86_32_execution(),
                    "load_average_at_start": load_at_start,
                    "load_average_at_end": list(os.getloadavg())},
        "rows": table.rows,
        "failed": failed,
    }
    paths = [args.json or os.path.join(build, "bench", "latest-%s.json" % args.scale)]
    if args.scale == "full" and set(sections) == set(SECTIONS.split(",")):
        paths.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", "latest.json"))
    for path in paths:
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        with open(path, "w") as f:
            json.dump(result, f, indent=1)
            f.write("\n")
    log("done in %.0f s; JSON in %s" % (time.time() - t0, " and ".join(paths)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
