# SPDX-License-Identifier: MIT
"""Figures of the pair search from Python. Address space a call needs above the interpreter, by
workers, and whether workers=2 completes under a cap of 1.25 times what workers=1 needs; then
SplitTree.count against SplitTree.decompose, time and memory. Each memory figure comes from a fresh
process: VmPeak (address space) or VmHWM (resident, after clear_refs) after the call, minus VmSize
or VmRSS before it (the points made, the tree built and the module imported first).

    PYTHONPATH=build python bench/search_figures.py [--n 1000000] [--d 3] [--s 2] [--workers 1,2,3]
"""
import argparse
import json
import statistics
import subprocess
import sys
import textwrap
import time

import numpy as np

CHILD = textwrap.dedent("""
    import json, resource, sys
    import numpy as np, lumo

    n, d, s, workers, cap, call = sys.argv[1:7]
    x = np.random.default_rng(1).random((int(n), int(d)))
    tree = lumo.SplitTree(x) if call != "decompose" else None

    def status(key):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))

    before, resident = status("VmSize"), status("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    if int(cap) > 0:
        resource.setrlimit(resource.RLIMIT_AS, (before + int(cap), resource.RLIM_INFINITY))
    try:
        if call == "search":
            result = tree.decompose(float(s), workers=int(workers))
        elif call == "count":
            result = tree.count(float(s), workers=int(workers))
        else:
            result = lumo.decompose(x, float(s), workers=int(workers))
        outcome = "ok"
    except MemoryError as error:
        outcome = "MemoryError: " + str(error)
    print(json.dumps({"need": status("VmPeak") - before, "resident": status("VmHWM") - resident,
                      "outcome": outcome}))
""")

MiB = 2.0**20


def measure(args, workers, cap=0, call="decompose"):
    run = subprocess.run([sys.executable, "-c", CHILD, str(args.n), str(args.d), str(args.s), str(workers),
                          str(int(cap)), call], capture_output=True, text=True, check=True)
    return json.loads(run.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1000000)
    parser.add_argument("--d", type=int, default=3)
    parser.add_argument("--s", type=float, default=2.0)
    parser.add_argument("--workers", default="1,2,3")
    args = parser.parse_args()
    print(f"n = {args.n:,}, d = {args.d}, s = {args.s:g}; MiB above the interpreter (VmPeak - VmSize before)")
    print("| call | workers | MiB | / workers=1 |")
    print("|---|---|---|---|")
    for call in ("decompose", "search"):
        one = None
        for workers in (int(w) for w in args.workers.split(",")):
            need = measure(args, workers, call=call)["need"]
            one = one or need
            print(f"| {call} | {workers} | {need / MiB:.0f} | {need / one:.2f} |")
        capped = measure(args, 2, cap=1.25 * one, call=call)
        print(f"| {call} | 2 under a cap of 1.25 x workers=1 ({1.25 * one / MiB:.0f} MiB) | {capped['outcome']} | |")
    count_table(args)


def count_table(args):
    import lumo

    tree = lumo.SplitTree(np.random.default_rng(1).random((args.n, args.d)))
    print()
    print("| workers | count ms | decompose ms | count / decompose | count peak MiB | decompose peak MiB |")
    print("|---|---|---|---|---|---|")
    for workers in (1, 2):
        times = {"count": [], "decompose": []}
        for _ in range(3):
            for call in times:
                t0 = time.perf_counter()
                result = getattr(tree, call)(args.s, workers=workers)
                del result
                times[call].append(time.perf_counter() - t0)
        count, whole = (statistics.median(times[c]) for c in ("count", "decompose"))
        peaks = [measure(args, workers, call=c)["resident"] / MiB for c in ("count", "search")]
        print(f"| {workers} | {count * 1e3:.0f} | {whole * 1e3:.0f} | {count / whole:.2f} | {peaks[0]:.1f} | "
              f"{peaks[1]:.0f} |")


if __name__ == "__main__":
    main()
