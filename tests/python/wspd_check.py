"""Checks of a decomposition that do not depend on how it was computed.

``assert_covering`` checks the index structure: every unordered pair of
distinct indices below n lies in exactly one pair of the result.
``assert_separated`` checks the geometry in exact rational arithmetic: every
pair, except two single points, is well separated.
"""

import math
from fractions import Fraction

import numpy as np


def assert_covering(n, result):
    """Every unordered pair of distinct indices below n is covered exactly once.

    Each set must be non-empty and hold indices in range(n) only; no index
    may sit in both sets of a pair, and a set that repeats an index covers
    some pair twice.  Vectorised over the covered cells (the pairs (a, b)
    with a in the first set and b in the second): deep inputs cover millions.
    """
    first = [np.asarray(a, dtype=np.int64) for a, _ in result]
    second = [np.asarray(b, dtype=np.int64) for _, b in result]
    len_a = np.array([len(a) for a in first], dtype=np.int64)
    len_b = np.array([len(b) for b in second], dtype=np.int64)
    empty = np.flatnonzero((len_a == 0) | (len_b == 0))
    assert empty.size == 0, f"pair {empty[0]} has an empty set"
    flat_a = np.concatenate(first) if first else np.zeros(0, np.int64)
    flat_b = np.concatenate(second) if second else np.zeros(0, np.int64)
    for flat in (flat_a, flat_b):
        bad = np.flatnonzero((flat < 0) | (flat >= n))
        assert bad.size == 0, f"index {flat[bad[0]]} is out of range({n})"

    cells = len_a * len_b
    owner = np.repeat(np.arange(len(result)), cells)
    start = np.repeat(np.cumsum(cells) - cells, cells)
    offset = np.arange(cells.sum()) - start
    a = flat_a[(np.cumsum(len_a) - len_a)[owner] + offset // len_b[owner]]
    b = flat_b[(np.cumsum(len_b) - len_b)[owner] + offset % len_b[owner]]

    both = np.flatnonzero(a == b)
    assert both.size == 0, f"pair {owner[both[0]]} has index {a[both[0]]} in both sets"
    key = np.minimum(a, b) * n + np.maximum(a, b)
    order = np.argsort(key, kind="stable")
    ordered = key[order]
    twice = np.flatnonzero(ordered[1:] == ordered[:-1])
    if twice.size:
        i, j = divmod(int(ordered[twice[0]]), n)
        p, q = owner[order[twice[0]]], owner[order[twice[0] + 1]]
        raise AssertionError(f"{{{i}, {j}}} is covered twice, by pairs {p} and {q}")
    if len(key) != n * (n - 1) // 2:
        every = np.arange(n * n).reshape(n, n)[np.triu_indices(n, 1)]
        i, j = divmod(int(np.setdiff1d(every, ordered)[0]), n)
        raise AssertionError(f"{{{i}, {j}}} is covered by no pair")


def _ball(points, side, d):
    """Exact centre and squared radius of the bounding box of ``side``.

    Comparing floats is exact, so the box is found in floats; only the
    centre and the half diagonal need rationals.
    """
    centre = []
    radius2 = Fraction(0)
    for t in range(d):
        values = [points[i][t] for i in side]
        low, high = Fraction(min(values)), Fraction(max(values))
        centre.append((low + high) / 2)
        radius2 += ((high - low) / 2) ** 2
    return centre, radius2


def _sqrt_text(q):
    try:
        return repr(math.sqrt(q))
    except OverflowError:
        return f"about 1e{(math.log10(q.numerator) - math.log10(q.denominator)) / 2:.1f}"


def separation_failures(d, s, coords, result, slack=1e-9):
    """Messages for the pairs of ``result`` that are not well separated.

    A pair (A, B) is well separated when dist - 2r > s*r, with each set's
    ball centred on its bounding box, radius half the box diagonal, r the
    larger radius and dist the distance of the centres.  The test runs in
    rationals without square roots: dist > (2 + s) r, squared when the right
    side is positive.  ``slack`` lowers the bound by that relative amount,
    so pairs exactly on the threshold (grids), where the module's rounding
    decides, pass.  Two single points always form a pair and are not tested.
    """
    points = [[float(x) for x in c[:d]] for c in coords]
    factor = 2 + Fraction(float(s))
    keep = (1 - Fraction(slack)) ** 2
    failures = []
    for number, (first, second) in enumerate(result):
        if len(first) == 1 and len(second) == 1:
            continue
        centre_a, radius2_a = _ball(points, first, d)
        centre_b, radius2_b = _ball(points, second, d)
        radius2 = max(radius2_a, radius2_b)
        dist2 = sum((x - y) ** 2 for x, y in zip(centre_a, centre_b))
        if factor < 0 and radius2 > 0:
            continue  # dist >= 0 > (2 + s) r
        bound2 = factor * factor * radius2
        if dist2 > bound2 * keep:
            continue
        ratio = _sqrt_text(dist2 / radius2) if radius2 else "infinite"
        failures.append(
            f"pair {number} ({len(first)} and {len(second)} points) is not separated: "
            f"dist / r = {ratio}, needs more than 2 + s = {float(factor)!r}"
        )
    return failures


def assert_separated(d, s, coords, result, slack=1e-9):
    failures = separation_failures(d, s, coords, result, slack)
    assert not failures, f"{len(failures)} pairs fail, first: {failures[0]}"


def assert_decomposition(n, d, s, coords, result):
    """``result`` is a well-separated pair decomposition of the first n points."""
    assert_covering(n, result)
    assert_separated(d, s, coords, result)
