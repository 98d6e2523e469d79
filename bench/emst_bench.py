# SPDX-License-Identifier: MIT
"""Benchmark of lumo.emst and lumo.single_linkage against the EMST libraries on the package index.

Every call runs in a fresh child process that makes the points (seeded), imports the library
and reports the call's wall time, its CPU time (user + system) and the peak resident memory above
what the process held before the call (ru_maxrss). The calls of one row go round-robin, --reps
rounds, and each figure is the median over them, so that the load of a shared machine falls on
all alike. quitefastmst's threads are set with OMP_NUM_THREADS; mlpack's emst runs on one thread.
The table is printed and appended to bench/RESULTS.md as its own section.

    PYTHONPATH=build-bench .venv-bench/bin/python bench/emst_bench.py [--n 1000000] [--big 10000000]
        [--reps 3] [--quick]
"""
import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import json, resource, sys, time
import numpy as np
kind, n, d, method, workers = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], int(sys.argv[5])
rng = np.random.default_rng(12345)
if kind == "uniform":
    x = rng.random((n, d))
else:  # 20 Gaussian clusters of different spreads in the unit cube
    centres = rng.random((20, d))
    which = rng.integers(0, 20, n)
    x = centres[which] + rng.normal(0.0, 1.0, (n, d)) * (0.002 + 0.02 * rng.random(20))[which, None]
x = np.ascontiguousarray(x)
if method.startswith("lumo"):
    import lumo
    call = (lambda: lumo.emst(x, workers=workers)) if method == "lumo.emst" else (lambda: lumo.single_linkage(x, workers=workers))
elif method == "quitefastmst":
    import quitefastmst
    call = lambda: quitefastmst.mst_euclid(x)
else:
    import mlpack
    call = lambda: mlpack.emst(input_=x)
before = resource.getrusage(resource.RUSAGE_SELF)
t = time.perf_counter()
out = call()
seconds = time.perf_counter() - t
after = resource.getrusage(resource.RUSAGE_SELF)
cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
print(json.dumps({"seconds": seconds, "cpu": cpu, "peak_mib": (after.ru_maxrss - before.ru_maxrss) / 1024.0}))
"""


def measure(kind, n, d, method, workers):
    env = dict(os.environ, OMP_NUM_THREADS=str(workers))
    out = subprocess.run([sys.executable, "-c", CHILD, kind, str(n), str(d), method, str(workers)],
                         env=env, capture_output=True, text=True, timeout=3600)
    if out.returncode != 0:
        print(out.stderr, file=sys.stderr)
        return None
    return json.loads(out.stdout.strip().splitlines()[-1])


def median_of(runs):
    runs = [r for r in runs if r is not None]
    if not runs:
        return None
    return {key: statistics.median(r[key] for r in runs) for key in runs[0]}


def round_robin(kind, n, d, calls, reps):
    """calls: {name: (method, workers)}; each named figure the median over reps rounds."""
    runs = {name: [] for name in calls}
    for _ in range(reps):
        for name, (method, workers) in calls.items():
            runs[name].append(measure(kind, n, d, method, workers))
    return {name: median_of(r) for name, r in runs.items()}


def versions():
    code = ("import importlib.metadata as m\n"
            "for p in ('quitefastmst', 'mlpack', 'numpy'):\n"
            "    try: print(p, m.version(p))\n"
            "    except Exception: print(p, 'missing')\n")
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout.split("\n")


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1000000)
    parser.add_argument("--big", type=int, default=10000000)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="n = 1e5, no big run, one rep")
    parser.add_argument("--no-mlpack", action="store_true")
    args = parser.parse_args(argv)
    if args.quick:
        args.n, args.big, args.reps = 100000, 0, 1
    rows = []
    started = datetime.datetime.now()
    for kind in ("uniform", "clusters"):
        for d in (2, 3, 5):
            row = {"set": kind, "d": d, "n": args.n}
            calls = {"emst 1w": ("lumo.emst", 1), "qfm 1w": ("quitefastmst", 1), "linkage 1w": ("lumo.single_linkage", 1),
                     "emst 2w": ("lumo.emst", 2), "qfm 2w": ("quitefastmst", 2)}
            row.update(round_robin(kind, args.n, d, calls, args.reps))
            if not args.no_mlpack and d <= 3:
                row["mlpack 1w"] = measure(kind, args.n, d, "mlpack", 1)
            rows.append(row)
            print(json.dumps(row), flush=True)
    big = []
    if args.big:
        for method in ("lumo.emst", "quitefastmst"):
            for workers in (1, 2):
                big.append((method, workers, measure("uniform", args.big, 2, method, workers)))
                print(big[-1], flush=True)
    write(rows, big, args, (datetime.datetime.now() - started).total_seconds())


def cell(result, key="seconds", scale=1.0, digits=2):
    if result is None:
        return ""
    return f"{result[key] * scale:.{digits}f}"


def ratio(a, b, key="seconds"):
    if a is None or b is None:
        return ""
    return f"**{a[key] / b[key]:.2f}**"


def write(rows, big, args, elapsed):
    lines = [
        "",
        "## Euclidean minimum spanning tree and single linkage",
        "",
        f"Date: {datetime.date.today()}; machine: {os.cpu_count()} cores, {platform.platform()}; "
        + ", ".join(v for v in versions() if v) + f"; the run took {elapsed / 60:.1f} min.  ",
        f"Command: `bench/emst_bench.py --n {args.n} --big {args.big} --reps {args.reps}`",
        "",
        "Seconds per call, the median over round-robin rounds, each call in a fresh process on the same "
        "seeded points: `lumo.emst` and `lumo.single_linkage` with `workers`, `quitefastmst.mst_euclid` "
        "(qfm) with OMP_NUM_THREADS, `mlpack.emst` on one thread (one round). Ratios are lumo / qfm at "
        "the same thread count, by wall time and, on one thread, by CPU time (user + system; steadier "
        "than wall time on a loaded machine); peak = ru_maxrss above the input, in MiB.",
        "",
        "| set | d | n | emst 1w s | qfm 1w s | emst/qfm 1w | CPU emst/qfm 1w | emst 2w s | qfm 2w s | "
        "emst/qfm 2w | linkage 1w s | linkage/emst 1w | mlpack 1w s | peak emst MiB | peak qfm MiB | "
        "peak ratio |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        lines.append(
            f"| {r['set']} | {r['d']} | {r['n']:,} | {cell(r['emst 1w'])} | {cell(r['qfm 1w'])} | "
            f"{ratio(r['emst 1w'], r['qfm 1w'])} | {ratio(r['emst 1w'], r['qfm 1w'], 'cpu')} | "
            f"{cell(r['emst 2w'])} | {cell(r['qfm 2w'])} | {ratio(r['emst 2w'], r['qfm 2w'])} | "
            f"{cell(r['linkage 1w'])} | {ratio(r['linkage 1w'], r['emst 1w'])} | {cell(r.get('mlpack 1w'))} | "
            f"{cell(r['emst 1w'], 'peak_mib', digits=0)} | {cell(r['qfm 1w'], 'peak_mib', digits=0)} | "
            f"{ratio(r['emst 1w'], r['qfm 1w'], 'peak_mib')} |")
    if big:
        lines += ["", f"n = {args.big:,}, uniform 2-D, one call each:", "",
                  "| call | workers | seconds | CPU seconds | peak MiB |", "|---|---|---|---|---|"]
        for method, workers, res in big:
            lines.append(f"| {method} | {workers} | {cell(res)} | {cell(res, 'cpu')} | "
                         f"{cell(res, 'peak_mib', digits=0)} |")
    text = "\n".join(lines) + "\n"
    print(text)
    with open(os.path.join(HERE, "RESULTS.md"), "a") as f:
        f.write(text)


if __name__ == "__main__":
    main()
