# SPDX-License-Identifier: MIT
"""Address space a call needs above the interpreter, by workers, and whether workers=2 completes
under a cap of 1.25 times what workers=1 needs. Each figure comes from a fresh process: VmPeak
after the call minus VmSize before it (the points made and the module imported first).

    PYTHONPATH=build python bench/address_space.py [--n 1000000] [--d 3] [--s 2] [--workers 1,2,3]
"""
import argparse
import json
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent("""
    import json, resource, sys
    import numpy as np, lumo

    n, d, s, workers, cap, call = sys.argv[1:7]
    x = np.random.default_rng(1).random((int(n), int(d)))
    tree = lumo.SplitTree(x) if call == "search" else None

    def status(key):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))

    before = status("VmSize")
    if int(cap) > 0:
        resource.setrlimit(resource.RLIMIT_AS, (before + int(cap), resource.RLIM_INFINITY))
    try:
        if call == "search":
            result = tree.decompose(float(s), workers=int(workers))
        elif call == "count":
            result = lumo.SplitTree(x).count(float(s), workers=int(workers))
        else:
            result = lumo.decompose(x, float(s), workers=int(workers))
        outcome = "ok"
    except MemoryError as error:
        outcome = "MemoryError: " + str(error)
    print(json.dumps({"need": status("VmPeak") - before, "outcome": outcome}))
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


if __name__ == "__main__":
    main()
