# SPDX-License-Identifier: MIT
"""Benchmark of lumo against its floors; prints one table and writes bench/RESULTS.md.

Native phases come from build/core_bench (Google Benchmark, medians of repetitions): the sort floor
(d std::sort calls over n indices compared by coordinate), the d sorted lists, the tree, the pair
search. The Python side times, on the same kinds of data: converting the points in, the whole call
as users run it (cyclic collector on), and the result floor: rebuilding the same result from itself,
`[(a[:], b[:]) for a, b in result]`, with the collector off. Peak memory of a call is measured in a
child process against the memory the returned result holds.

    PYTHONPATH=build python bench/run_bench.py [--build build] [--sizes 10000,100000,1000000]
"""
import argparse
import datetime
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
SETS = ["uniform", "clusters", "geoline"]


def make_coords(kind, n, d, seed=12345):
    """The benchmark's data sets, as an (n, d) array."""
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


def result_bytes(result):
    """Memory the returned result holds: the outer list, its tuples and lists, and its int objects."""
    total = sys.getsizeof(result)
    seen = set()
    for pair in result:
        total += sys.getsizeof(pair)
        for side in pair:
            total += sys.getsizeof(side)
            for i in side:
                if i not in seen:
                    seen.add(i)
                    if i > 256:  # CPython shares the small ints
                        total += sys.getsizeof(i)
    return total


MEMORY_CHILD = """
import gc, sys
sys.path.insert(0, {here!r})
import lumo, run_bench
coords = run_bench.make_coords({kind!r}, {n}, {d}).tolist()
pts = [lumo.point(c) for c in coords]
del coords
gc.collect()
def status(key):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith(key)) * 1024
before = status("VmRSS:")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
result = lumo.build_lumo({n}, {d}, {s}, pts)
peak = status("VmHWM:") - before
print(peak, run_bench.result_bytes(result))
"""


def peak_memory(kind, n, d, s):
    code = MEMORY_CHILD.format(here=HERE, kind=kind, n=n, d=d, s=s)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    peak, held = map(int, out.stdout.split())
    return peak, held


def time_python(lumo, kind, n, d, s, repeats):
    coords = make_coords(kind, n, d).tolist()
    pts = [lumo.point(c) for c in coords]
    del coords
    points_in, call, floor = [], [], []
    for _ in range(repeats):
        t0 = time.perf_counter()
        try:
            lumo.build_lumo(n, -1, s, pts)  # converts the points, then stops at the negative d
        except ValueError:
            pass
        points_in.append(time.perf_counter() - t0)
    pairs = sizes = 0
    for _ in range(repeats):
        gc.collect()
        t0 = time.perf_counter()
        result = lumo.build_lumo(n, d, s, pts)
        call.append(time.perf_counter() - t0)
        gc.disable()
        t0 = time.perf_counter()
        copy = [(a[:], b[:]) for a, b in result]
        floor.append(time.perf_counter() - t0)
        gc.enable()
        pairs = len(result)
        sizes = sum(len(a) + len(b) for a, b in result)
        del copy, result
    med = statistics.median
    return {"points_in": med(points_in), "call": med(call), "floor": med(floor), "pairs": pairs, "sizes": sizes}


def run_native(build, sizes, repetitions):
    sizes_re = "|".join(str(n) for n in sizes)
    out = subprocess.run(
        [os.path.join(build, "core_bench"), f"--benchmark_filter=/({sizes_re})(/|$)",
         f"--benchmark_repetitions={repetitions}", "--benchmark_report_aggregates_only=true",
         "--benchmark_format=json", "--benchmark_min_time=0.2"],
        capture_output=True, text=True, check=True)
    native = {}
    for b in json.loads(out.stdout)["benchmarks"]:
        if b.get("aggregate_name", "median") != "median":
            continue
        name, kind, d, n = b["run_name"].split("/")[:4]
        key = (name, SETS[int(kind)], int(d), int(n))
        if name == "search":
            key = key + (int(b["run_name"].split("/")[4]),)
        native[key] = b
    return native


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return f"{os.cpu_count()} cores, {model}, {platform.platform()}"


def compiler_flags(build):
    flags = {}
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        for line in f:
            for key in ("CMAKE_CXX_COMPILER:", "CMAKE_CXX_FLAGS_RELEASE:", "CMAKE_BUILD_TYPE:"):
                if line.startswith(key):
                    flags[key.split(":")[0]] = line.split("=", 1)[1].strip()
    return (f"{flags.get('CMAKE_CXX_COMPILER')} {flags.get('CMAKE_CXX_FLAGS_RELEASE')} -ffp-contract=off "
            f"-std=c++17 (module: + pybind11 LTO), build type {flags.get('CMAKE_BUILD_TYPE')}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--python-max-n", type=int, default=1000000,
                        help="largest n for the Python call (its result must fit in memory)")
    args = parser.parse_args(argv)
    sizes = [int(v) for v in args.sizes.split(",")]
    sys.path.insert(0, args.build)
    import lumo

    native = run_native(args.build, sizes, args.repetitions)
    ms = lambda b: b["real_time"] if b["time_unit"] == "ms" else b["real_time"] / 1e6  # noqa: E731

    rows = []
    for kind in SETS:
        for d in (2, 3):
            for n in sizes:
                floor = ms(native[("sort_floor", kind, d, n)])
                tree_b = native[("sorts_and_tree", kind, d, n)]
                sorts = tree_b["sorts_ms"]
                tree = ms(tree_b) - sorts
                search_b = native[("search", kind, d, n, 2)]
                pairs = search_b["pairs_per_point"] * n
                row = {"set": kind, "d": d, "n": n, "checks_ms": ms(native[("checks", kind, d, n)]),
                       "sort_floor_ms": floor, "sorts_ms": sorts, "tree_ms": tree,
                       "build_vs_floor": (sorts + tree) / floor, "search_ms": ms(search_b),
                       "ns_per_pair": ms(search_b) * 1e6 / pairs, "pairs_per_point": search_b["pairs_per_point"],
                       "sizes_per_point": search_b["sizes_per_point"]}
                # d = 3 at 1e6 holds about 1e9 indices: the result and its copy would not fit in 24 GiB.
                if n <= args.python_max_n and not (d == 3 and n >= 1000000):
                    py = time_python(lumo, kind, n, d, 2.0, 1 if n >= 1000000 else args.repetitions)
                    row.update({"points_in_ms": py["points_in"] * 1e3, "call_ms": py["call"] * 1e3,
                                "result_floor_ms": py["floor"] * 1e3, "call_vs_floor": py["call"] / py["floor"]})
                    if n <= 100000:
                        peak, held = peak_memory(kind, n, d, 2.0)
                        row.update({"peak_mib": peak / 2**20, "result_mib": held / 2**20, "peak_vs_result": peak / held})
                rows.append(row)
                print(format_row(row), flush=True)

    extra = native.get(("search", "uniform", 2, 1000000, 4))
    lines = table(rows)
    if extra:
        lines.append("")
        lines.append(f"s = 4, uniform, d = 2, n = 1e6: search {ms(extra):.0f} ms, "
                     f"{ms(extra) * 1e6 / (extra['pairs_per_point'] * 1e6):.1f} ns per pair, "
                     f"{extra['pairs_per_point']:.2f} pairs and {extra['sizes_per_point']:.1f} set entries per point")
    header = [
        "# Benchmark results", "",
        f"Date: {datetime.date.today().isoformat()}  ",
        f"Machine: {machine()}  ",
        f"Compiler: {compiler_flags(args.build)}  ",
        f"Python {platform.python_version()}, separation s = 2, medians of {args.repetitions} runs "
        "(one run for Python calls at n = 1e6).", "",
        "Columns: checks = the input checks run before the driver; sort floor = d `std::sort` calls over n indices compared by coordinate; sorts = the d "
        "sorted lists; tree = the fair split tree from them; build/floor = (sorts + tree) / sort floor; "
        "search = pair search (sets stay runs of the leaf order, which the tree builder numbers); points in = "
        "converting the list of points; call = the whole `build_lumo` call, collector on; result floor = "
        "`[(a[:], b[:]) for a, b in result]`, collector off; peak/result = peak memory of a call over the "
        "memory its result holds.", "",
    ]
    text = "\n".join(header + lines) + "\n"
    with open(os.path.join(HERE, "RESULTS.md"), "w") as f:
        f.write(text)
    print()
    print(text)
    return 0


def fmt(v, pattern):
    return "" if v is None else format(v, pattern)


def format_row(r):
    return (f"{r['set']:8} d={r['d']} n={r['n']:>7}: build {r['build_vs_floor']:.2f}x floor, "
            f"{r['ns_per_pair']:.0f} ns/pair, call {fmt(r.get('call_vs_floor'), '.2f')}x result floor, "
            f"peak {fmt(r.get('peak_vs_result'), '.2f')}x result")


def table(rows):
    cols = [("set", "set", "s"), ("d", "d", "d"), ("n", "n", "d"), ("checks ms", "checks_ms", ".1f"),
            ("sort floor ms", "sort_floor_ms", ".1f"),
            ("sorts ms", "sorts_ms", ".1f"), ("tree ms", "tree_ms", ".1f"), ("build/floor", "build_vs_floor", ".2f"),
            ("search ms", "search_ms", ".1f"), ("ns/pair", "ns_per_pair", ".1f"),
            ("pairs/pt", "pairs_per_point", ".2f"), ("set sizes/pt", "sizes_per_point", ".1f"),
            ("points in ms", "points_in_ms", ".1f"), ("call ms", "call_ms", ".0f"),
            ("result floor ms", "result_floor_ms", ".0f"), ("call/floor", "call_vs_floor", ".2f"),
            ("peak MiB", "peak_mib", ".1f"), ("result MiB", "result_mib", ".1f"), ("peak/result", "peak_vs_result", ".2f")]
    lines = ["| " + " | ".join(c[0] for c in cols) + " |", "|" + "---|" * len(cols)]
    for r in rows:
        lines.append("| " + " | ".join(fmt(r.get(key), pattern) for _, key, pattern in cols) + " |")
    return lines


if __name__ == "__main__":
    sys.exit(main())
