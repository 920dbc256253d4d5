#!/usr/bin/python3
"""The launcher against generated hostile containers, under Wine.

    tests/campaign/run.py [BUILD_DIR] [--seed N] [--count N] [--jobs N]
                          [--case CASE_SEED]... [--corpus DIR]

Runs COUNT containers (default 2,000) made from SEED through the real
launcher of BUILD_DIR (default: build) with the test driver, a batch of
cases per Wine process and JOBS batches at a time on one wineserver, and
judges every run (see judge.py).  Prints the containers tried by kind and
by outcome, and every failure with the case seed that makes it again
(--case SEED runs just that one).  --corpus writes the smallest case of
each outcome and kind, at most 50, to DIR.  Failing cases stay in
BUILD_DIR/campaign/cases; the others are deleted.  Not a CTest test.
"""
import argparse
import collections
import concurrent.futures
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import generate  # noqa: E402
from winebed import WINE, Bed  # noqa: E402

# The harness finds the driver through SFX_BUILD_DIR when it is imported.
harness = judge = None

CHUNK = 25
CORPUS_LIMIT = 50
CORPUS_CASE_BYTES = 1536 * 1024
LOCALES = {"1252": "en_US.UTF-8", "932": "ja_JP.UTF-8"}


def timeout_ms(case):
    return 30000 + len(case.payload) // 100


def run_chunk(bed, image, probe, work, number, cases):
    """Runs CASES in one driver process; returns [(case, outcome, failures)]."""
    chunk_dir = os.path.join(work, "%05d" % number)
    os.makedirs(chunk_dir)
    runs = []
    for i, case in enumerate(cases):
        case_dir = os.path.join(chunk_dir, "%02d" % i)
        judge.prepare(case, case_dir, image)
        runs.append(judge.driver_run(case_dir, timeout_ms(case)))
    locale = LOCALES[cases[0].acp]
    harness.run_batch(bed, runs, os.path.join(chunk_dir, "batch.txt"),
              wine_env={"LC_ALL": locale, "LANG": locale},
              timeout=sum(timeout_ms(c) for c in cases) / 1000 + 120)
    results, keep = [], False
    for i, case in enumerate(cases):
        case_dir = os.path.join(chunk_dir, "%02d" % i)
        try:
            outcome, failures = judge.judge(case, case_dir, probe)
        except (ValueError, KeyError, IndexError) as e:
            outcome, failures = "unreadable", ["the run's reports cannot be read: %r" % e]
        results.append((case, outcome, failures))
        if failures:
            keep = True
        else:
            shutil.rmtree(case_dir, ignore_errors=True)
    if not keep:
        shutil.rmtree(chunk_dir, ignore_errors=True)
    return results


def quiet_crashes(bed):
    """A crashing launcher should end with its status, not wait in Wine's
    crash dialog until the time limit."""
    marker = os.path.join(bed.prefix, ".campaign-ready")
    if os.path.exists(marker):
        return
    subprocess.run([WINE, "reg", "add", "HKCU\\Software\\Wine\\WineDbg", "/v", "ShowCrashDialog",
                    "/t", "REG_DWORD", "/d", "0", "/f"], env=bed.env(bed.start()), check=True,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    open(marker, "w").close()


def write_corpus(directory, results, probe):
    """The smallest case of each outcome first, then of each kind and
    outcome, then of each kind, variant and outcome, up to CORPUS_LIMIT."""
    def stored(case):
        return len(case.payload) - (judge.probe_bytes_in(case, probe) or 0)
    small = sorted((r for r in results if not r[2] and stored(r[0]) <= CORPUS_CASE_BYTES),
                   key=lambda r: (stored(r[0]), r[0].seed))
    chosen = []
    for key in (lambda c, o: o, lambda c, o: (c.kind, o), lambda c, o: (c.kind, c.variant, o)):
        taken = {key(c, o) for c, o in chosen}
        for case, outcome, _ in small:
            if len(chosen) < CORPUS_LIMIT and key(case, outcome) not in taken:
                taken.add(key(case, outcome))
                chosen.append((case, outcome))
    chosen.sort(key=lambda c: (c[1], c[0].kind, c[0].variant))
    shutil.rmtree(directory, ignore_errors=True)
    judge.save_corpus(directory, chosen, probe)
    return len(chosen)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[1])
    ap.add_argument("build", nargs="?", default="build")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--count", type=int, default=2000)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--case", type=int, action="append", default=[])
    ap.add_argument("--corpus")
    args = ap.parse_args()

    build = os.path.abspath(args.build)
    os.environ["SFX_BUILD_DIR"] = build
    global harness, judge
    import harness
    import judge
    with open(os.path.join(build, "windows", "launcher.exe"), "rb") as f:
        image = f.read()
    with open(os.path.join(build, "windows", "tests", "win", "probe.exe"), "rb") as f:
        probe = f.read()
    bed = Bed(os.path.join(build, "campaign"))
    bed.start()
    quiet_crashes(bed)
    work = os.path.join(bed.build_dir, "cases")
    shutil.rmtree(work, ignore_errors=True)

    seeds = args.case or [args.seed * 1000000 + i for i in range(args.count)]
    cases = [generate.generate(s, probe) for s in seeds]
    chunks = []
    for acp in LOCALES:
        same = [c for c in cases if c.acp == acp]
        chunks += [same[i:i + CHUNK] for i in range(0, len(same), CHUNK)]

    began = time.time()
    results = []
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        futures = [pool.submit(run_chunk, bed, image, probe, work, n, chunk)
                   for n, chunk in enumerate(chunks)]
        for done, future in enumerate(concurrent.futures.as_completed(futures), 1):
            results += future.result()
            print("\r%d of %d batches" % (done, len(chunks)), end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)
    elapsed = time.time() - began

    failed = [r for r in results if r[2]]
    print("launcher campaign: seed %d, %d containers in %.0f s (%d jobs)"
          % (args.seed, len(results), elapsed, args.jobs))
    print("by kind:    " + ", ".join("%s %d" % kv for kv in
                                     sorted(collections.Counter(c.kind for c, _, _ in results)
                                            .items())))
    print("by outcome: " + ", ".join("%s %d" % kv for kv in
                                     sorted(collections.Counter(o for _, o, _ in results)
                                            .items())))
    print("failures:   %d" % len(failed))
    for case, outcome, failures in sorted(failed, key=lambda r: r[0].seed):
        print("  case seed %d (%s, %s, code page %s): %s"
              % (case.seed, case.kind, outcome, case.acp, "; ".join(failures)))
    if args.corpus:
        print("corpus:     %d cases written to %s" % (write_corpus(args.corpus, results, probe),
                                                      args.corpus))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
