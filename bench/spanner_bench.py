# SPDX-License-Identifier: MIT
"""Benchmark of lumo.spanner against lumo.decompose at the same s, and pairs per point by s and d.

Both calls are timed as a user pays them: the call, the arrays taken with numpy.asarray, a
gc.collect() and the release of the result; medians of --reps round-robin runs in one process.
The section is appended to bench/RESULTS.md (an older one is replaced).

    PYTHONPATH=build-bench python bench/spanner_bench.py [--n 200000] [--t 1.5] [--reps 5]
        [--count-n 100000,30000,10000] [--max-gib 3] [--quick]
"""
import argparse
import gc
import os
import statistics
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
HEADING = "## lumo.spanner"
SEPARATIONS = (1, 2, 4, 8, 20)
DIMENSIONS = (2, 3, 5)


def uniform(n, d, seed=12345):
    return np.random.default_rng(seed).random((n, d))


def timed(call):
    gc.collect()
    t0 = time.perf_counter()
    result = call()
    gc.collect()
    del result
    return time.perf_counter() - t0


def ratio_rows(lumo, x, t, reps):
    s = 4.0 * (t + 1.0) / (t - 1.0)
    rows = []
    for workers in (1, 2):
        dec, span = [], []
        for _ in range(reps):
            dec.append(timed(lambda: (lambda r: (np.asarray(r.pairs), np.asarray(r.order), r))(
                lumo.decompose(x, s, workers=workers))))
            span.append(timed(lambda: [np.asarray(a) for a in lumo.spanner(x, t, workers=workers)]))
        rows.append((workers, statistics.median(dec), statistics.median(span)))
        print(f"workers {workers}: decompose {rows[-1][1]:.3f} s, spanner {rows[-1][2]:.3f} s, "
              f"ratio {rows[-1][2] / rows[-1][1]:.3f}", flush=True)
    return s, len(lumo.decompose(x, s)), rows


def pair_counts(lumo, sizes, max_bytes):
    """Pairs per point for uniform points at the largest of `sizes` whose pairs fit in
    max_bytes, judged from the count at the smallest (three times it, for the growth with n)."""
    counts = {}
    for d in DIMENSIONS:
        trees = {}
        for s in SEPARATIONS:
            small = sizes[-1]
            trees.setdefault(small, lumo.SplitTree(uniform(small, d)))
            per_point, n = len(trees[small].decompose(s)) / small, small
            for size in sizes[:-1]:
                if 3 * per_point * size * 16 <= max_bytes:
                    trees.setdefault(size, lumo.SplitTree(uniform(size, d)))
                    per_point, n = len(trees[size].decompose(s)) / size, size
                    break
            counts[d, s] = (per_point, n)
            print(f"d={d} s={s}: {per_point:,.1f} pairs per point (n = {n:,})", flush=True)
    return counts


def section(n, t, s, pairs, rows, counts, big_n, load):
    lines = [HEADING, "",
             f"{time.strftime('%Y-%m-%d', time.gmtime())}, load average {load[0]:.1f} at the start and "
             f"{load[1]:.1f} at the end of the run (the machine's cores: {os.cpu_count()}).", "",
             f"Uniform 2-D points, n = {n:,}, t = {t:g} (s = {s:g}), {pairs:,} edges "
             f"({pairs / n:.1f} per point); seconds, medians; each call with numpy.asarray of its "
             "arrays, a gc.collect() and the release of the result.", "",
             "| workers | decompose s | spanner s | spanner / decompose |", "|---|---|---|---|"]
    lines += [f"| {w} | {a:.3f} | {b:.3f} | {b / a:.2f} |" for w, a, b in rows]
    lines += ["", f"Pairs per point, uniform points in the unit cube, n = {big_n:,} "
              "(cells marked * at the smaller n given, where the pairs would not fit in memory):", "",
              "| d | " + " | ".join(f"s = {s}" for s in SEPARATIONS) + " |",
              "|---|" + "---|" * len(SEPARATIONS)]
    for d in DIMENSIONS:
        cells = []
        for s in SEPARATIONS:
            per_point, at = counts[d, s]
            cells.append((f"{per_point:.1f}" if per_point < 100 else f"{per_point:,.0f}") + ("" if at == big_n else f" * (n = {at:,})"))
        lines.append(f"| {d} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def write(path, text):
    old = open(path).read() if os.path.exists(path) else ""
    if HEADING in old:
        old = old[:old.index(HEADING)].rstrip("\n") + "\n"
    with open(path, "w") as f:
        f.write(old + ("\n" if old else "") + text)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--t", type=float, default=1.5)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--count-n", default="100000,30000,10000",
                        help="n of the pairs-per-point table, then smaller n for cells too big at the first")
    parser.add_argument("--max-gib", type=float, default=3.0, help="memory for one decomposition of the table")
    parser.add_argument("--quick", action="store_true", help="n = 20,000, 3 runs, table at n = 1e4 or 2e3")
    parser.add_argument("--out", default=os.path.join(HERE, "RESULTS.md"))
    args = parser.parse_args(argv)
    if args.quick:
        args.n, args.reps, args.count_n = 20_000, 3, "10000,2000"
    import lumo

    load = [os.getloadavg()[0]]
    x = uniform(args.n, 2)
    s, pairs, rows = ratio_rows(lumo, x, args.t, args.reps)
    sizes = [int(float(v)) for v in args.count_n.split(",")]
    counts = pair_counts(lumo, sizes, args.max_gib * 2.0**30)
    load.append(os.getloadavg()[0])
    write(args.out, section(args.n, args.t, s, pairs, rows, counts, sizes[0], load))


if __name__ == "__main__":
    sys.exit(main())
