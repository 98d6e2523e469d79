# SPDX-License-Identifier: MIT
"""No input crashes build_lumo: adversarial input ends in a covering result or a ValueError,
the deepest trees doubles allow complete on small thread stacks, and memory stays flat."""
import math
import os
import random
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from lumo import build_lumo, point


def assert_covers(n, result):
    """Every unordered pair of distinct indices below n is covered by exactly one pair, and no set is
    empty. Vectorised over all covered cells: the deep inputs cover millions of them."""
    first = [np.asarray(a, dtype=np.int64) for a, _ in result]
    second = [np.asarray(b, dtype=np.int64) for _, b in result]
    len_a = np.array([len(a) for a in first], dtype=np.int64)
    len_b = np.array([len(b) for b in second], dtype=np.int64)
    assert (len_a > 0).all() and (len_b > 0).all(), "a pair has an empty set"
    flat_a = np.concatenate(first) if first else np.zeros(0, np.int64)
    flat_b = np.concatenate(second) if second else np.zeros(0, np.int64)
    assert ((flat_a >= 0) & (flat_a < n)).all() and ((flat_b >= 0) & (flat_b < n)).all()
    cells = len_a * len_b
    owner = np.repeat(np.arange(len(result)), cells)
    start = np.repeat(np.cumsum(cells) - cells, cells)
    offset = np.arange(cells.sum()) - start
    a = flat_a[(np.cumsum(len_a) - len_a)[owner] + offset // len_b[owner]]
    b = flat_b[(np.cumsum(len_b) - len_b)[owner] + offset % len_b[owner]]
    counts = np.bincount(np.minimum(a, b) * n + np.maximum(a, b), minlength=n * n).reshape(n, n)
    upper = np.triu(np.ones((n, n), dtype=bool), 1)
    assert (counts[upper] == 1).all(), "some pair of points is covered never or twice"
    assert (counts[~upper] == 0).all(), "a pair has an index in both sets"


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
    tree is as deep as there are points."""
    pow2 = [2.0**i for i in range(-1074, 1024)]
    pow15 = distinct(v for v in map(pow15_or_zero, range(-1900, 1760)) if 0.0 < v < math.inf)
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
    assert_covers(len(pts), main)


@pytest.mark.parametrize(
    "coords",
    [
        [[0.0], [5e-324]],
        [[0.0], [5e-324], [1e-323], [1.0]],
        [[0.0, 0.0, 0.0], [1e-170, 1e-170, 1e-170]],
        [[x * 1e-170, -x * 1e-170, 0.0] for x in range(6)] + [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]],
        [[1e308], [1.7e308], [1.79e308], [1.2e308]],  # box centres overflow to infinity
        [[-1e308, 0.0], [0.0, 1e308], [-5e307, 5e307], [0.0, 0.0]],
    ],
)
@pytest.mark.parametrize("s", [-3.0, 0.0, 2.0, 1e300])
def test_guarded_cases_give_a_covering_result(coords, s):
    d = len(coords[0])
    result = build_lumo(len(coords), d, s, [point(c) for c in coords])
    assert_covers(len(coords), result)


def test_tiny_separations_pair_the_leaves():
    # The squared distance of these points underflows to 0: only the leaf rule pairs them.
    result = build_lumo(2, 3, 2.0, [point([0.0] * 3), point([1e-170] * 3)])
    assert result == [([1], [0])]


ADVERSARIAL = textwrap.dedent(
    """
    import math, random, sys
    from lumo import build_lumo, point

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

    def covers(n, result):
        seen = set()
        for first, second in result:
            assert first and second and not set(first) & set(second)
            for a in first:
                for b in second:
                    key = (min(a, b), max(a, b))
                    assert key not in seen and 0 <= a < n and 0 <= b < n
                    seen.add(key)
        assert len(seen) == n * (n - 1) // 2

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
        covers(n, result)
        outcomes["result"] += 1
    print(outcomes)
    """
)


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_adversarial_input_ends_in_a_result_or_a_value_error(seed):
    # A crash kills the child, not the test run, and shows up as its exit status.
    run = subprocess.run([sys.executable, "-c", ADVERSARIAL, str(seed), "1500"],
                         capture_output=True, text=True, timeout=300, env=os.environ.copy())
    assert run.returncode == 0, f"seed {seed}: exit {run.returncode}\n{run.stderr[-2000:]}"
    outcomes = eval(run.stdout.strip())
    assert outcomes["result"] > 20 and outcomes["ValueError"] > 20


def rss_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


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
