# SPDX-License-Identifier: MIT
"""No input crashes build_lumo: adversarial input ends in a covering result or a ValueError,
the deepest trees it accepts complete on small thread stacks, and memory stays flat. (Extreme
magnitudes, checked exactly, are in test_separation.py.)"""
import math
import os
import random
import subprocess
import sys
import textwrap
import threading

import pytest

from lumo import build_lumo, point
from wspd_check import assert_covering

HERE = os.path.dirname(os.path.abspath(__file__))


def distinct(values):
    seen, out = set(), []
    for v in values:
        if v not in seen:
            seen.add(v)
            out.append(v)
    return out


def pow15_or_zero(i):
    try:
        return 1.5**i
    except OverflowError:
        return 0.0


def deep_inputs():
    """Points on a line at geometrically growing distances: every split peels one point, so the
    tree is as deep as there are points. They run from the smallest subnormal up to 2**511 (its
    square summed over three dimensions stays finite) or 1.5**874 (about 7.9e153, on one axis):
    larger coordinates are rejected."""
    pow2 = [2.0**i for i in range(-1074, 512)]
    pow15 = distinct(v for v in map(pow15_or_zero, range(-1900, 875)) if 0.0 < v)
    return {
        "pow2_line": (1, [[x] for x in pow2]),
        "pow15_line": (1, [[x] for x in pow15]),
        "pow2_3d_diagonal": (3, [[x, x, x] for x in pow2]),
        "pow15_3d_axis": (3, [[0.0, x, 0.0] for x in pow15]),
    }


DEEP = deep_inputs()


@pytest.mark.parametrize("name", sorted(DEEP))
def test_deepest_trees_complete_on_small_thread_stacks(name):
    d, coords = DEEP[name]
    random.Random(7).shuffle(coords)
    pts = [point(c) for c in coords]
    main = build_lumo(len(pts), d, 2.0, pts)

    results = {}
    old = threading.stack_size(256 * 1024)
    try:
        worker = threading.Thread(target=lambda: results.setdefault("r", build_lumo(len(pts), d, 2.0, pts)))
        worker.start()
        worker.join()
    finally:
        threading.stack_size(old)
    assert results["r"] == main
    assert_covering(len(pts), main)


ADVERSARIAL = textwrap.dedent(
    """
    import math, random, sys
    from lumo import build_lumo, point
    from wspd_check import assert_covering

    SPECIAL = [0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1e-300, 1.0, -1.0, 1e308, -1e308,
               1.7976931348623157e308, float("nan"), float("inf"), -float("inf")]

    def value(rng):
        kind = rng.random()
        if kind < 0.15:
            return rng.choice(SPECIAL)
        if kind < 0.5:
            return float(rng.randrange(-3, 4))
        if kind < 0.6:
            return rng.uniform(-1, 1) * 10.0 ** rng.randrange(-320, 309)
        return rng.random()

    def case(rng):
        n = rng.randrange(1, 40)
        d = rng.choice([-1, 0, 1, 1, 2, 2, 3, 4, 5])
        count = n + rng.choice([-1, 0, 0, 0, 2])
        points = []
        for _ in range(max(count, 0)):
            dims = max(d, 1) + rng.choice([0, 0, 0, 0, 1, -1])
            points.append([value(rng) for _ in range(max(dims, 0))])
        if points and rng.random() < 0.3:
            points.append(list(rng.choice(points)))
        s = rng.choice([-1e300, -2.0, 0.0, 0.5, 2.0, 10.0, 1e300, float("nan"), float("inf"), 5e-324])
        return n, d, s, points

    seed = int(sys.argv[1])
    rng = random.Random(seed)
    outcomes = {"result": 0, "ValueError": 0}
    for number in range(int(sys.argv[2])):
        n, d, s, coords = case(rng)
        try:
            result = build_lumo(n, d, s, [point(c) for c in coords])
        except ValueError:
            outcomes["ValueError"] += 1
            continue
        assert_covering(n, result)
        outcomes["result"] += 1
    print(outcomes)
    """
)


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_adversarial_input_ends_in_a_result_or_a_value_error(seed):
    # A crash kills the child, not the test run, and shows up as its exit status.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), HERE])))
    run = subprocess.run([sys.executable, "-c", ADVERSARIAL, str(seed), "1500"],
                         capture_output=True, text=True, timeout=300, env=env)
    assert run.returncode == 0, f"seed {seed}: exit {run.returncode}\n{run.stderr[-2000:]}"
    outcomes = eval(run.stdout.strip())
    assert outcomes["result"] > 20 and outcomes["ValueError"] > 20


def rss_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


# AddressSanitizer keeps freed blocks in quarantine, so RSS says nothing there;
# its leak checker covers the core in the C++ suites.
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="sanitizer quarantine grows RSS")
def test_memory_stays_flat_over_many_mixed_calls():
    import tracemalloc

    rng = random.Random(11)
    good = [point([rng.random(), rng.random()]) for _ in range(200)]
    bad_sets = [
        (0, 2, 2.0, good), (5, 3, 2.0, good), (3, 2, math.nan, good), (3, 2, 2.0, [good[0], good[1], good[0]]),
        (2, -1, 2.0, good), (2, 2, 2.0, [good[0], point([math.inf, 0.0])]),
    ]

    def batch(k):
        for i in range(k):
            if i % 2:
                n, d, s, pts = bad_sets[i % len(bad_sets)]
                with pytest.raises(ValueError):
                    build_lumo(n, d, s, pts)
            else:
                build_lumo(20 + i % 60, 2, 1.0 + i % 3, good)

    batch(1000)
    tracemalloc.start()
    before_py = tracemalloc.get_traced_memory()[0]
    before = rss_kib()
    batch(10000)
    after = rss_kib()
    after_py = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert after_py - before_py < 256 * 1024
    assert after - before < 4 * 1024, f"RSS grew by {after - before} KiB over 10,000 calls"
