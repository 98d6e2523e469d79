"""lumo.build_lumo against the plain-Python reference in reference.py.

The reference repeats the module's arithmetic operation for operation, so the
two results must be equal as whole lists: same pairs, same order, same order
of indices inside each set.
"""

import math
import random

import pytest

import lumo
from inputs import KINDS, distinct
from reference import decompose, leaf_order, reference_decomposition, split_tree
from wspd_check import assert_covering

SQUARE = [[0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [1.0, 1.0]]
TWO_CLUSTERS = [[0, 0], [0.1, 0], [0, 0.1], [10, 10], [10.1, 10], [10, 10.1]]

# (n, d, s, coordinates, exact result)
WORKED_RESULTS = {
    "one-point": (1, 2, 2.0, [[0.0, 0.0]], []),
    "one-point-3d": (1, 3, -4.0, [[5.0, 6.0, 7.0]], []),
    "two-points": (2, 2, 2.0, [[0, 0], [1, 0]], [([1], [0])]),
    "three-on-a-line-s2": (
        3, 1, 2.0, [[0], [1], [2]],
        [([2], [0]), ([2], [1]), ([1], [0])],
    ),
    "three-on-a-line-s0.5": (3, 1, 0.5, [[0], [1], [2]], [([2], [1, 0]), ([1], [0])]),
    "unit-square-s2": (
        4, 2, 2.0, SQUARE,
        [([1], [0]), ([3], [0]), ([1], [2]), ([3], [2]), ([2], [0]), ([3], [1])],
    ),
    "unit-square-s-1": (4, 2, -1.0, SQUARE, [([3, 1], [2, 0]), ([2], [0]), ([3], [1])]),
    "two-clusters": (
        6, 2, 2.0, TWO_CLUSTERS,
        [([5, 3, 4], [2, 0, 1]), ([0], [1]), ([2], [1]), ([2], [0]),
         ([3], [4]), ([5], [4]), ([5], [3])],
    ),
    # {0, 1} (radius 0.5, centre 0.5) against the leaf at 2.5: dist - 2r is
    # exactly r * s, which is not enough, so the node is split.
    "gap-equal-to-r-s": (
        3, 1, 2.0, [[0.0], [1.0], [2.5]],
        [([0], [2]), ([1], [2]), ([1], [0])],
    ),
    "gap-above-r-s": (3, 1, 2.0, [[0.0], [1.0], [2.6]], [([1, 0], [2]), ([1], [0])]),
    # The same threshold in decimals: only the rounding of the centre
    # (0.3 * 3 + 0.3) * 0.5 and of the distance decides, and it falls just
    # short of separation.
    "gap-at-r-s-rounded": (
        3, 1, 2.0, [[0.3 * 3], [0.3], [0.3 * 6]],
        [([1], [2]), ([0], [2]), ([0], [1])],
    ),
    # Only the first d coordinates and the first n points count.
    "extra-coordinates": (
        2, 2, 2.0, [[0, 0, 99.0], [1, 0, -5.0, 7.0]], [([1], [0])],
    ),
    "unused-points": (2, 2, 2.0, [[0, 0], [1, 0], [0, 0], [0.5, 0]], [([1], [0])]),
    # The squared distance of points 0 and 1 underflows to 0: they pair as
    # two leaves. {1, 0} is not paired with {2} as a set: its radius is below
    # sqrt(DBL_MIN), so it is split, right child first.
    "underflowing-distance": (
        3, 2, 2.0, [[0, 0], [1e-170, 0], [5, 5]], [([0], [2]), ([1], [2]), ([1], [0])],
    ),
    # {1, 0} has radius 0 after underflow and its distance to the leaf {2}
    # underflows too: the leaf cannot be split, so {1, 0} is, right child
    # first.
    "zero-radius-against-a-leaf": (
        3, 1, 2.0, [[0], [1e-170], [3e-170]], [([0], [2]), ([1], [2]), ([1], [0])],
    ),
}


@pytest.mark.parametrize("name", WORKED_RESULTS)
def test_worked_results(name):
    n, d, s, coords, expected = WORKED_RESULTS[name]
    assert reference_decomposition(n, d, s, coords) == expected
    assert lumo.build_lumo(n, d, s, [lumo.point(c) for c in coords]) == expected
    assert_covering(n, expected)


def _on_x_axis(*xs):
    return [[float(x), 0.0] for x in xs]


# (coordinates with d = 2, leaf order)
WORKED_TREES = {
    "two-points": (_on_x_axis(0, 1), [1, 0]),
    "three-collinear": (_on_x_axis(0, 1, 3), [1, 0, 2]),
    "unit-square": (SQUARE, [3, 1, 2, 0]),
    "two-clusters": (
        [[0, 0], [0.1, 0], [0, 0.1], [0.1, 0.1], [10, 10], [10.1, 10], [10, 10.1]],
        [3, 1, 2, 0, 6, 4, 5],
    ),
    "walks-tie": (_on_x_axis(0, 1, 3, 4), [3, 2, 1, 0]),
    "point-on-mid-low-end": (_on_x_axis(0, 1, 2), [2, 1, 0]),
    "point-on-mid-high-end": (_on_x_axis(0, 1, 2, 4), [1, 0, 3, 2]),
    "several-rounds": (_on_x_axis(0, 1, 2, 3, 4, 5, 6, 100), [6, 5, 4, 3, 2, 1, 0, 7]),
}


@pytest.mark.parametrize("name", WORKED_TREES)
def test_worked_leaf_orders(name):
    coords, expected = WORKED_TREES[name]
    root = split_tree(len(coords), 2, coords)
    assert leaf_order(root) == expected
    _check_sizes(root)


def _check_sizes(node):
    if node.point is not None:
        assert (node.left, node.right, node.radius, node.size) == (None, None, 0.0, 1)
        return 1
    assert node.size == _check_sizes(node.left) + _check_sizes(node.right)
    return node.size


def test_worked_tree_geometry():
    leaf = split_tree(1, 2, [[2.0, 3.0]])
    assert (leaf.center, leaf.radius, leaf.point, leaf.size) == ([2.0, 3.0], 0.0, 0, 1)

    root = split_tree(4, 2, SQUARE)
    assert (root.center, root.radius, root.size) == ([0.5, 0.5], math.sqrt(0.5), 4)
    assert (root.right.center, root.right.radius) == ([0.0, 0.5], 0.5)
    assert (root.left.center, root.left.radius) == ([1.0, 0.5], 0.5)
    assert (root.right.right.point, root.right.left.point) == (0, 2)

    coords, _ = WORKED_TREES["two-clusters"]
    root = split_tree(7, 2, coords)
    assert root.radius == pytest.approx(7.14178, abs=1e-5)
    assert root.center == pytest.approx([5.05, 5.05])
    assert root.left.size == 4 and root.left.radius == pytest.approx(0.0707107, abs=1e-7)
    assert root.right.size == 3 and root.right.center == pytest.approx([10.05, 10.05])


# ---------------------------------------------------------------- random inputs

S_VALUES = [-1.0, -0.25, 0.0, 0.5, 1.0, 2.0, 5.0]


GENERATORS = {kind: KINDS[kind] for kind in ("uniform", "grid", "clusters", "geometric")}
SIZES = {
    "uniform": [1, 2, 3, 5, 17, 64, 200, 600, 1000],
    "grid": [2, 4, 9, 30, 100, 300, 700],
    "clusters": [3, 8, 40, 150, 500, 1000],
    "geometric": [2, 6, 50, 300, 1000],
}


def _make_case(kind, d, seed):
    """Points for one comparison: n, coordinates, and how they were made."""
    rng = random.Random(f"{kind}-{d}-{seed}")
    n = rng.choice(SIZES[kind])
    if d >= 4 and kind != "geometric":
        n = min(n, 600)  # the number of pairs grows quickly with d
    points = distinct(GENERATORS[kind](rng, n, d), d)[:n]
    n = len(points)
    notes = []
    if seed % 3 == 1:
        # Coordinates beyond d, which must be ignored.
        for p in points:
            p.extend(rng.choice([0.0, -0.0, 1e300, -7.5, 3]) for _ in range(rng.randrange(1, 4)))
        notes.append("extra-coords")
    if seed % 3 == 2 or (seed % 4 == 3 and n > 1):
        # Points after the first n, which must be ignored; they may repeat
        # earlier points.
        extra = [list(rng.choice(points)) for _ in range(rng.randrange(1, 5))]
        extra += [[rng.uniform(-1e3, 1e3) for _ in range(d)] for _ in range(rng.randrange(3))]
        points = points + extra
        notes.append("unused-points")
    return n, points, notes


CASES = [(kind, d, seed) for kind in GENERATORS for d in range(1, 6) for seed in range(8)]


def _describe_difference(got, expected):
    if len(got) != len(expected):
        head = f"{len(got)} pairs from lumo, {len(expected)} from the reference"
    else:
        head = f"{len(got)} pairs each"
    for i, (a, b) in enumerate(zip(got, expected)):
        if a != b:
            return f"{head}; first difference at pair {i}: lumo {a!r}, reference {b!r}"
    return f"{head}; one result is a prefix of the other"


@pytest.mark.parametrize("kind,d,seed", CASES, ids=[f"{k}-d{d}-{s}" for k, d, s in CASES])
def test_matches_reference(kind, d, seed):
    n, coords, notes = _make_case(kind, d, seed)
    points = [lumo.point(c) for c in coords]
    rng = random.Random(seed)
    # Large inputs in high dimension get fewer separation factors.
    s_values = S_VALUES if n * d <= 1500 else rng.sample(S_VALUES, 2)
    root = split_tree(n, d, coords)
    for s in s_values:
        got = lumo.build_lumo(n, d, s, points)
        assert_covering(n, got)
        expected = decompose(root, d, s)
        if got != expected:
            where = f"n={n} d={d} s={s} {' '.join(notes)}"
            pytest.fail(f"{where}: " + _describe_difference(got, expected))


@pytest.mark.parametrize("seed", range(8))
def test_reference_ignores_order_of_ties(seed):
    # Equal coordinates may sit in the sorted lists in any order; the result
    # must not change.
    d = 1 + seed % 3
    n, coords, _ = _make_case("grid", d, seed)
    expected = reference_decomposition(n, d, 1.0, coords)
    for shuffle_seed in range(3):
        rng = random.Random(shuffle_seed)
        assert reference_decomposition(n, d, 1.0, coords, rng) == expected


def _line(n, d):
    # Point i lies on axis i % d at a ** i, with a ** d a little above 2: the
    # longest extent is always the newest point's axis and its mid leaves
    # every other point below it, so each round peels one point and the tree
    # is n - 1 levels deep.  Magnitudes start at 1e-150 so that no square
    # overflows or vanishes.
    a = (2.0 ** (1.0 / d)) * 1.05
    coords = []
    for i in range(n):
        p = [0.0] * d
        p[i % d] = 1e-150 * a**i
        coords.append(p)
    random.Random(n).shuffle(coords)
    return coords


@pytest.mark.parametrize("n,d", [(3, 1), (900, 1), (1500, 3), (3000, 5)])
def test_deep_tree(n, d):
    coords = _line(n, d)
    root = split_tree(n, d, coords)
    depth, node = 0, root
    while node.point is None:
        node = node.left if node.left.size >= node.right.size else node.right
        depth += 1
    assert depth == n - 1
    got = lumo.build_lumo(n, d, 2.0, [lumo.point(c) for c in coords])
    assert_covering(n, got)
    expected = reference_decomposition(n, d, 2.0, coords)
    if got != expected:
        pytest.fail(f"n={n} d={d}: " + _describe_difference(got, expected))
