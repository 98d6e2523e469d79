# SPDX-License-Identifier: MIT
"""Benchmark of lumo.emst and lumo.single_linkage against the EMST libraries on the package index.

Every figure comes from a fresh child process that makes the points (seeded), imports the
library, runs the call --reps times and reports the median time and the peak resident memory
above what it held before the first call (ru_maxrss). quitefastmst's threads are set with
OMP_NUM_THREADS; mlpack's emst runs on one thread. The table is printed and appended to
bench/RESULTS.md as its own section.

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
kind, n, d, method, workers, reps = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], int(sys.argv[5]), int(sys.argv[6])
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
    call = lambda: mlpack.emst(input=x)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
times, total = [], None
for _ in range(reps):
    t = time.perf_counter()
    out = call()
    times.append(time.perf_counter() - t)
    del out
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print(json.dumps({"seconds": sorted(times)[len(times) // 2], "peak_mib": peak / 1024.0}))
"""


def measure(kind, n, d, method, workers, reps):
    env = dict(os.environ, OMP_NUM_THREADS=str(workers))
    out = subprocess.run([sys.executable, "-c", CHILD, kind, str(n), str(d), method, str(workers), str(reps)],
                         env=env, capture_output=True, text=True, timeout=3600)
    if out.returncode != 0:
        print(out.stderr, file=sys.stderr)
        return None
    return json.loads(out.stdout.strip().splitlines()[-1])


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
            for workers in (1, 2):
                for name, method in (("emst", "lumo.emst"), ("linkage", "lumo.single_linkage"),
                                     ("qfm", "quitefastmst")):
                    row[f"{name} {workers}w"] = measure(kind, args.n, d, method, workers, args.reps)
            if not args.no_mlpack and d <= 3:
                row["mlpack 1w"] = measure(kind, args.n, d, "mlpack", 1, 1)
            rows.append(row)
            print(json.dumps(row), flush=True)
    big = []
    if args.big:
        for method in ("lumo.emst", "quitefastmst"):
            for workers in (1, 2):
                big.append((method, workers, measure("uniform", args.big, 2, method, workers, 1)))
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
        "Seconds per call (median of the reps, each figure from a fresh process on the same seeded points): "
        "`lumo.emst` and `lumo.single_linkage` with `workers`, `quitefastmst.mst_euclid` (qfm) with "
        "OMP_NUM_THREADS, `mlpack.emst` on one thread. Ratios are lumo / qfm at the same thread count; "
        "peak = ru_maxrss above the input, in MiB.",
        "",
        "| set | d | n | emst 1w | qfm 1w | emst/qfm 1w | emst 2w | qfm 2w | emst/qfm 2w | linkage 1w | "
        "linkage/emst 1w | linkage 2w | mlpack 1w | peak emst MiB | peak qfm MiB | peak ratio |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        lines.append(
            f"| {r['set']} | {r['d']} | {r['n']:,} | {cell(r['emst 1w'])} | {cell(r['qfm 1w'])} | "
            f"{ratio(r['emst 1w'], r['qfm 1w'])} | {cell(r['emst 2w'])} | {cell(r['qfm 2w'])} | "
            f"{ratio(r['emst 2w'], r['qfm 2w'])} | {cell(r['linkage 1w'])} | "
            f"{ratio(r['linkage 1w'], r['emst 1w'])} | {cell(r['linkage 2w'])} | {cell(r.get('mlpack 1w'))} | "
            f"{cell(r['emst 1w'], 'peak_mib', digits=0)} | {cell(r['qfm 1w'], 'peak_mib', digits=0)} | "
            f"{ratio(r['emst 1w'], r['qfm 1w'], 'peak_mib')} |")
    if big:
        lines += ["", f"n = {args.big:,}, uniform 2-D, one call each:", "",
                  "| call | workers | seconds | peak MiB |", "|---|---|---|---|"]
        for method, workers, res in big:
            lines.append(f"| {method} | {workers} | {cell(res)} | {cell(res, 'peak_mib', digits=0)} |")
    text = "\n".join(lines) + "\n"
    print(text)
    with open(os.path.join(HERE, "RESULTS.md"), "a") as f:
        f.write(text)


if __name__ == "__main__":
    main()
