# SPDX-License-Identifier: MIT
"""Benchmark of lumo, native and from Python; prints the tables and writes bench/RESULTS.md.

Native (core_bench, plain timing, medians of --reps round-robin runs on the very points the Python
calls get): the sort floor (d std::sort calls over n int32 indices compared by one coordinate of the
flat row-major array), the input checks (check_coordinates), the tree (build_split_tree) and the
pair search (search_pairs) with 1 and 2 workers.

Python, what a user pays end to end: `lumo.decompose` on a float64 array, its `gc.collect()` and
the release of the result; the same work through `build_lumo` from point objects: making the
points, the call, the collector's deferred cost (the first allocation-triggered collection after
the call, one `gc.collect()` while the result lives) and the release of result and points. Peak
memory of a call is measured in a child process (VmHWM after clear_refs) above the input.

    PYTHONPATH=build-bench python bench/run_bench.py --build build-bench [--sizes 10000,100000,1000000]
        [--reps 3] [--big 10000000 | --big 0] [--quick]
"""
import argparse
import datetime
import gc
import json
import os
import platform
import re
import shlex
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
SETS = ["uniform", "clusters", "geoline"]
S = 2.0
MiB = 2.0**20


def make_coords(kind, n, d, seed=12345):
    """The benchmark's data sets, as an (n, d) float64 array."""
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.random((n, d))
    if kind == "clusters":
        centres = rng.random((32, d))
        spread = np.array([0.001, 0.01, 0.05])[np.arange(32) % 3]
        which = rng.integers(0, 32, n)
        return centres[which] + rng.normal(size=(n, d)) * spread[which, None]
    x = np.exp2(400.0 * np.arange(n) / (n - 1))
    rng.shuffle(x)
    coords = np.zeros((n, d))
    coords[:, 0] = x
    return coords


# ------------------------------------------------------------------ native


def run_native(build, coords, kind, reps, s_values=(S,), phases=None):
    """Medians (ms) of core_bench's phases on exactly these points."""
    n, d = coords.shape
    with tempfile.NamedTemporaryFile(suffix=".f64", dir=os.environ.get("TMPDIR")) as f:
        np.ascontiguousarray(coords, dtype=np.float64).tofile(f.name)
        cmd = [os.path.join(build, "core_bench"), "--input", f.name, "--n", str(n), "--d", str(d),
               "--name", kind, "--reps", str(reps), "--json", "--s", ",".join(f"{s:g}" for s in s_values)]
        if phases:
            cmd += ["--phases", ",".join(phases)]
        out = subprocess.run(cmd, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


# ------------------------------------------------------------------ Python


def time_decompose(lumo, coords, workers, s=S):
    """One decompose call as a user pays it: the call, a gc.collect() and the release of the result."""
    gc.collect()
    t0 = time.perf_counter()
    dec = lumo.decompose(coords, s=s, workers=workers)
    t1 = time.perf_counter()
    gc.collect()
    t2 = time.perf_counter()
    pairs = len(dec)
    del dec
    t3 = time.perf_counter()
    return {"call": t1 - t0, "collect": t2 - t1, "release": t3 - t2, "total": t3 - t0, "pairs": pairs}


def time_build_lumo(lumo, coords, s=S):
    """The same work through build_lumo from point objects, with the collector's deferred cost."""
    n, d = coords.shape
    gc.collect()
    events = []

    def watch(phase, info):
        events.append((phase, time.perf_counter(), info["generation"]))

    t0 = time.perf_counter()
    pts = [lumo.point(row) for row in coords.tolist()]
    t1 = time.perf_counter()
    gc.callbacks.append(watch)
    try:
        result = lumo.build_lumo(n, d, s, pts)
        t2 = time.perf_counter()
        during = len(events)
        # Container allocations until the collector runs on its own.
        junk = []
        while not any(e[0] == "stop" for e in events[during:]) and len(junk) < 10_000_000:
            junk.append([])
        auto = [e for e in events[during:]]
        auto_s = auto[1][1] - auto[0][1] if len(auto) >= 2 else float("nan")
        auto_gen = auto[0][2] if auto else -1
        del junk
    finally:
        gc.callbacks.remove(watch)
    t3 = time.perf_counter()
    gc.collect()
    t4 = time.perf_counter()
    pairs = len(result)
    del result
    t5 = time.perf_counter()
    del pts
    t6 = time.perf_counter()
    return {"points": t1 - t0, "call": t2 - t1, "auto_gc": auto_s, "auto_gen": auto_gen,
            "collect": t4 - t3, "release": t5 - t4, "release_points": t6 - t5, "pairs": pairs,
            "total": (t1 - t0) + (t2 - t1) + auto_s + (t4 - t3) + (t6 - t4)}


MEMORY_CHILD = """
import gc, json, sys, time
sys.path.insert(0, {here!r})
sys.path.insert(0, {build!r})
import numpy as np
import lumo, run_bench
coords = run_bench.make_coords({kind!r}, {n}, {d})
gc.collect()
def status(key):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith(key)) * 1024
before = status("VmRSS:")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
t0 = time.perf_counter()
dec = lumo.decompose(coords, s={s}, workers={workers})
gc.collect()
t1 = time.perf_counter()
peak = status("VmHWM:") - before
held = np.asarray(dec.order).nbytes + np.asarray(dec.pairs).nbytes
pairs = len(dec)
t2 = time.perf_counter()
del dec
t3 = time.perf_counter()
print(json.dumps({{"peak": peak, "held": held, "pairs": pairs, "seconds": (t1 - t0) + (t3 - t2)}}))
"""


def child_decompose(build, kind, n, d, s=S, workers=1):
    """Peak memory of one decompose call above its input, in a fresh process; also its time."""
    code = MEMORY_CHILD.format(here=HERE, build=os.path.abspath(build), kind=kind, n=n, d=d, s=s, workers=workers)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


# ------------------------------------------------------------------ build facts


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return f"{os.cpu_count()} cores, {model}, {platform.platform()}"


def compiler(build):
    """The compiler, its version and the flags the core was compiled with, read from the build."""
    cache = {}
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        for line in f:
            m = re.match(r"([A-Za-z_]+):[A-Z]+=(.*)", line)
            if m:
                cache[m.group(1)] = m.group(2).strip()
    cxx = cache.get("CMAKE_CXX_COMPILER", "c++")
    try:
        version = subprocess.run([cxx, "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        version = "version unknown"
    build_type = cache.get("CMAKE_BUILD_TYPE", "")
    flags = " ".join(v for v in (cache.get("CMAKE_CXX_FLAGS", ""),
                                 cache.get(f"CMAKE_CXX_FLAGS_{build_type.upper()}", "")) if v)
    # The compile line ninja runs for the core, when the build is a ninja one.
    ninja = os.path.join(build, "build.ninja")
    if os.path.exists(ninja):
        with open(ninja) as f:
            text = f.read()
        m = re.search(r"^build CMakeFiles/core\.dir/core/split_tree\.cpp\.o:.*?\n((?:  .*\n)+)", text, re.M)
        if m:
            found = re.search(r"^  FLAGS = (.*)$", m.group(1), re.M)
            if found:
                flags = found.group(1).strip()
    return f"{cxx} ({version}), build type {build_type or 'none'}, core flags: {flags}"


# ------------------------------------------------------------------ tables


def fmt(v, pattern):
    if v is None or (isinstance(v, float) and v != v):
        return ""
    return format(v, pattern)


def table(cols, rows):
    lines = ["| " + " | ".join(c[0] for c in cols) + " |", "|" + "---|" * len(cols)]
    for r in rows:
        lines.append("| " + " | ".join(fmt(r.get(key), pattern) for _, key, pattern in cols) + " |")
    return lines


NATIVE_COLS = [("set", "set", "s"), ("d", "d", "d"), ("n", "n", "d"), ("floor ms", "floor", ".1f"),
               ("checks ms", "checks", ".2f"), ("tree ms 1w", "tree1", ".1f"), ("tree ms 2w", "tree2", ".1f"),
               ("search ms 1w", "search1", ".1f"), ("search ms 2w", "search2", ".1f"),
               ("pairs/pt", "pairs_per_point", ".2f"), ("ns/pair 1w", "ns_per_pair", ".1f"),
               ("tree 1w / floor", "tree_vs_floor", ".2f"), ("native 2w / floor", "native2_vs_floor", ".2f"),
               ("speed-up 1→2w", "speedup", ".2f")]

PY_COLS = [("set", "set", "s"), ("d", "d", "d"), ("n", "n", "d"), ("native 1w ms", "native1", ".1f"),
           ("call 1w ms", "py1_call", ".1f"), ("gc.collect ms", "py1_collect", ".2f"),
           ("del ms", "py1_release", ".2f"), ("decompose 1w ms", "py1", ".1f"), ("decompose / native", "py_vs_native", ".2f"),
           ("decompose 2w ms", "py2", ".1f"), ("speed-up 1→2w", "py_speedup", ".2f"),
           ("peak MiB", "peak_mib", ".1f"), ("result MiB", "result_mib", ".1f"),
           ("peak / result", "peak_vs_result", ".2f")]

OLD_COLS = [("set", "set", "s"), ("d", "d", "d"), ("n", "n", "d"), ("points ms", "points", ".0f"),
            ("call ms", "call", ".0f"), ("first auto gc ms", "auto_gc", ".2f"), ("gen", "auto_gen", "d"),
            ("gc.collect ms", "collect", ".2f"), ("del result ms", "release", ".0f"),
            ("del points ms", "release_points", ".0f"), ("total ms", "total", ".0f"),
            ("decompose total ms", "new_total", ".1f"), ("decompose / build_lumo", "new_vs_old", ".3f")]


def native_row(kind, d, n, nat):
    ms = lambda key: nat.get(key + "_ms")  # noqa: E731
    s = f"{S:g}"
    row = {"set": kind, "d": d, "n": n, "floor": ms("floor"), "checks": ms("checks"), "tree1": ms("tree1"),
           "tree2": ms("tree2"), "search1": ms(f"search1@{s}"), "search2": ms(f"search2@{s}"),
           "pairs": nat.get(f"pairs@{s}")}
    one = row["checks"] + row["tree1"] + row["search1"]
    two = row["checks"] + row["tree2"] + row["search2"]
    row.update({"native1": one, "native2": two, "pairs_per_point": row["pairs"] / n,
                "ns_per_pair": row["search1"] * 1e6 / row["pairs"], "tree_vs_floor": row["tree1"] / row["floor"],
                "native2_vs_floor": two / row["floor"], "speedup": one / two})
    return row


def med(runs, key):
    return statistics.median(r[key] for r in runs) * 1e3


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build-bench")
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--reps", type=int, default=5, help="runs per figure (medians); at most 3 from n = 1e6 on")
    parser.add_argument("--big", type=int, default=10_000_000, help="n of the one large 2-D run; 0 skips it")
    parser.add_argument("--old-max-n", type=int, default=1_000_000, help="largest n for build_lumo")
    parser.add_argument("--quick", action="store_true", help="small development run: n = 1e4, 1e5, no big run")
    parser.add_argument("--out", default=os.path.join(HERE, "RESULTS.md"))
    args = parser.parse_args(argv)
    if args.quick:
        args.sizes, args.big, args.old_max_n = "10000,100000", 0, 100_000
    sizes = [int(float(v)) for v in args.sizes.split(",")]
    sys.path.insert(0, os.path.abspath(args.build))
    import lumo

    started = time.perf_counter()
    head = max(sizes)
    rows, py_rows, old_rows = [], [], []
    print("native and decompose, per data set (ms, medians):", flush=True)
    for kind in SETS:
        for d in (2, 3):
            for n in sizes:
                coords = make_coords(kind, n, d)
                reps = args.reps if n < 1_000_000 else min(args.reps, 3)
                row = native_row(kind, d, n, run_native(args.build, coords, kind, reps))
                rows.append(row)
                # (a), (f): decompose right after the native phases on the same points, round-robin.
                runs = {1: [], 2: []}
                for _ in range(reps):
                    for w in (1, 2):
                        runs[w].append(time_decompose(lumo, coords, w))
                assert runs[1][0]["pairs"] == row["pairs"], "decompose and search_pairs disagree"
                py = {"set": kind, "d": d, "n": n, "native1": row["native1"], "py1": med(runs[1], "total"),
                      "py2": med(runs[2], "total"), "py1_call": med(runs[1], "call"),
                      "py1_collect": med(runs[1], "collect"), "py1_release": med(runs[1], "release")}
                py["py_vs_native"] = py["py1"] / py["native1"]
                py["py_speedup"] = py["py1"] / py["py2"]
                # (c): peak memory at the largest size.
                if n == head and n >= 1_000_000:
                    mem = child_decompose(args.build, kind, n, d)
                    py.update({"peak_mib": mem["peak"] / MiB, "result_mib": mem["held"] / MiB,
                               "peak_vs_result": mem["peak"] / mem["held"]})
                py_rows.append(py)
                # (b): the old interface, uniform 2-D only (its result is Python lists).
                if kind == "uniform" and d == 2 and n <= args.old_max_n:
                    old = [time_build_lumo(lumo, coords) for _ in range(1 if n >= 1_000_000 else args.reps)]
                    assert old[0]["pairs"] == row["pairs"]
                    orow = {"set": kind, "d": d, "n": n, "auto_gen": old[0]["auto_gen"]}
                    for key in ("points", "call", "auto_gc", "collect", "release", "release_points", "total"):
                        orow[key] = med(old, key)
                    orow["new_total"] = py["py1"]
                    orow["new_vs_old"] = py["py1"] / orow["total"]
                    old_rows.append(orow)
                print(f"  {kind:8} d={d} n={n:>8}: floor {row['floor']:8.1f}  tree1 {row['tree1']:8.1f}  "
                      f"search1 {row['search1']:8.1f}  native1 {row['native1']:8.1f}  decompose1 {py['py1']:8.1f} "
                      f"({py['py_vs_native']:.2f}x)  decompose2 {py['py2']:8.1f}"
                      + (f"  peak/result {py['peak_vs_result']:.2f}" if "peak_vs_result" in py else ""), flush=True)
                del coords

    # (e): one tree, three searches, at the largest size.
    s_values = (1.0, 2.0, 4.0)
    coords = make_coords("uniform", head, 2)
    reps = args.reps if head < 1_000_000 else min(args.reps, 3)
    nat = run_native(args.build, coords, "uniform", reps, s_values, ["tree1", "search1"])
    native_reuse = nat["tree1_ms"] + sum(nat[f"search1@{s:g}_ms"] for s in s_values)
    fresh, reuse = [], []
    for _ in range(reps):
        gc.collect()
        t0 = time.perf_counter()
        for s in s_values:
            dec = lumo.decompose(coords, s=s)
            del dec
        gc.collect()
        fresh.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        tree = lumo.SplitTree(coords)
        t1 = time.perf_counter()
        for s in s_values:
            dec = tree.decompose(s)
            del dec
        del tree
        gc.collect()
        reuse.append((time.perf_counter() - t0, t1 - t0))
    reuse_ms = statistics.median(r[0] for r in reuse) * 1e3
    reuse_tree_ms = statistics.median(r[1] for r in reuse) * 1e3
    fresh_ms = statistics.median(fresh) * 1e3
    del coords
    print(f"one tree, s = 1, 2, 4 at n = {head}: three decompose {fresh_ms:.0f} ms, SplitTree + three "
          f"{reuse_ms:.0f} ms, native tree + three searches {native_reuse:.0f} ms", flush=True)

    # (d): one large 2-D run in a fresh process.
    big = None
    if args.big:
        big = child_decompose(args.build, "uniform", args.big, 2)
        print(f"n = {args.big}: {big['seconds']:.1f} s, peak {big['peak'] / MiB:.0f} MiB, "
              f"result {big['held'] / MiB:.0f} MiB", flush=True)

    elapsed = time.perf_counter() - started
    text = report(args, sizes, rows, py_rows, old_rows, s_values, fresh_ms, reuse_ms, reuse_tree_ms, nat,
                  native_reuse, big, head, elapsed)
    with open(args.out, "w") as f:
        f.write(text)
    print()
    print(text)
    return 0


def headline(rows, py_rows, old_rows, head):
    """The ratios of the uniform 2-D row at the largest size."""
    pick = lambda rs: next((r for r in rs if r["set"] == "uniform" and r["d"] == 2 and r["n"] == head), None)  # noqa: E731
    r, p, o = pick(rows), pick(py_rows), pick(old_rows)
    lines = []
    if r:
        lines.append(f"- tree (1 worker) / sort floor: **{r['tree_vs_floor']:.2f}**; native checks + tree + search "
                     f"(2 workers) / sort floor: **{r['native2_vs_floor']:.2f}**; native speed-up 1 → 2 workers: "
                     f"**{r['speedup']:.2f}**; search {r['ns_per_pair']:.1f} ns per pair.")
    if p:
        lines.append(f"- `decompose` (1 worker, with gc.collect and release) / native phases: "
                     f"**{p['py_vs_native']:.2f}**; `decompose` speed-up 1 → 2 workers: **{p['py_speedup']:.2f}**"
                     + (f"; peak memory / returned arrays: **{p['peak_vs_result']:.2f}**." if "peak_vs_result" in p
                        else "."))
    if o:
        lines.append(f"- `decompose` / `build_lumo` from points (points, call, deferred collections, release): "
                     f"**{o['new_vs_old']:.3f}** ({o['new_total']:.0f} ms against {o['total']:.0f} ms).")
    return lines


def report(args, sizes, rows, py_rows, old_rows, s_values, fresh_ms, reuse_ms, reuse_tree_ms, nat,
           native_reuse, big, head, elapsed):
    s_list = ", ".join(f"{s:g}" for s in s_values)
    out = [
        "# Benchmark results", "",
        f"Date: {datetime.date.today().isoformat()}  ",
        f"Machine: {machine()}  ",
        f"Compiler: {compiler(args.build)}  ",
        f"Python {platform.python_version()}, NumPy {np.__version__}, lumo {getattr(sys.modules['lumo'], '__version__', '?')}; "
        f"s = {S:g}; every figure is the median of {args.reps} runs ({min(args.reps, 3)} from n = 1e6 on) unless noted; the whole run took "
        f"{elapsed / 60:.1f} min.  ",
        f"Command: `{' '.join(shlex.quote(a) for a in [os.path.relpath(sys.argv[0])] + sys.argv[1:])}`", "",
        "The machine is shared; compare ratios within a row (measured back to back) rather than "
        "figures across runs.", "",
        f"## Headline (uniform, d = 2, n = {head:,})", "",
    ] + headline(rows, py_rows, old_rows, head) + [
        "", "## Native phases", "",
        "floor = d `std::sort` calls over n int32 indices compared by one coordinate of the flat row-major "
        "array; checks = `check_coordinates`; tree = `build_split_tree`; search = `search_pairs`, with 1 or "
        "2 workers (w); every timed run includes freeing what it returns. native 2w = checks + tree 2w + "
        "search 2w; speed-up = (checks + tree 1w + search 1w) / native 2w.", "",
    ] + table(NATIVE_COLS, rows) + [
        "", "## Python: `lumo.decompose` on a float64 array", "",
        "decompose = the call, a `gc.collect()` after it and `del` of the result (the three are also "
        "shown apart, 1 worker); native 1w = checks "
        "+ tree 1w + search 1w of the row above, same points, measured just before. Peak = VmHWM above the "
        "input array in a fresh process (after clear_refs), result = bytes of `order` and `pairs`.", "",
    ] + table(PY_COLS, py_rows) + [
        "", "## Python: `build_lumo` from point objects", "",
        "points = `[lumo.point(r) for r in coords.tolist()]`; call = `build_lumo(n, d, s, points)`; first "
        "auto gc = the first collection that container allocations trigger after the call (gen = its "
        "generation); gc.collect = one full collection while the result lives; then `del result` and "
        "`del points`; total = their sum. decompose total = the 1-worker figure of the table above."
        + (" One run at n = 1e6." if any(r["n"] >= 1_000_000 for r in old_rows) else ""), "",
    ] + table(OLD_COLS, old_rows) + [
        "", f"## One tree, several s (uniform, d = 2, n = {head:,}, s = {s_list}, 1 worker)", "",
        f"- three `lumo.decompose(points, s)` calls: {fresh_ms:.0f} ms",
        f"- `SplitTree(points)` once, then `.decompose(s)` three times: {reuse_ms:.0f} ms "
        f"(of which the tree {reuse_tree_ms:.0f} ms); ratio {fresh_ms / reuse_ms:.2f}",
        f"- native: tree once {nat['tree1_ms']:.0f} ms + searches "
        + " + ".join(f"{nat[f'search1@{s:g}_ms']:.0f}" for s in s_values)
        + f" ms = {native_reuse:.0f} ms; SplitTree path / native: {reuse_ms / native_reuse:.2f}",
    ]
    if big:
        out += ["", f"## Large input (uniform, d = 2, n = {args.big:,}, 1 worker, one run in a fresh process)", "",
                f"- `decompose` + `gc.collect()` + release: {big['seconds']:.1f} s; {big['pairs']:,} pairs",
                f"- peak above the input: {big['peak'] / MiB:.0f} MiB; returned arrays {big['held'] / MiB:.0f} MiB; "
                f"ratio {big['peak'] / big['held']:.2f}"]
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    sys.exit(main())
