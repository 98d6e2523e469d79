"""build_lumo's results checked in exact arithmetic, from tiny coordinates up to the largest accepted.

Every result must cover each pair of points once and pair only sets that are well separated when
centres, radii and distances are computed in rationals (wspd_check.py); it must also equal the
reference. Input whose squared distances would overflow is rejected; the threshold is checked on
both sides.
"""
import math
import random
import re
import time

import pytest

from inputs import KINDS, uniform
from lumo import build_lumo, point
from reference import reference_decomposition
from wspd_check import assert_covering, assert_decomposition, assert_separated, separation_failures

DBL_MAX = 1.7976931348623157e308
TOO_LARGE = r"coordinates up to (\S+) are too large: squared distances overflow; scale the points down"


def pts(coords):
    return [point(c) for c in coords]


# --- the checkers themselves ---------------------------------------------------------------------

# (d, s, coordinates, result, is every pair separated)
SEPARATION_VERDICTS = {
    # {0, 1}: centre 0.5, r 0.5; {2}: dist 2, so dist - 2r = 1 = r * s exactly: a tie passes.
    "tie": (1, 2.0, [[0], [1], [2.5]], [([1, 0], [2]), ([1], [0])], True),
    "just-below-tie": (1, 2.0, [[0], [1], [2.4999]], [([1, 0], [2]), ([1], [0])], False),
    "above-tie": (1, 2.0, [[0], [1], [2.6]], [([1, 0], [2]), ([1], [0])], True),
    # Two single points pair whatever their distance.
    "leaves": (2, 1e300, [[0, 0], [1e-300, 0]], [([1], [0])], True),
    # s = -2: any positive distance separates; equal centres do not.
    "s-2-apart": (1, -2.0, [[0], [1], [1.5]], [([0, 1], [2])], True),
    "s-2-same-centre": (2, -2.0, [[-1, 0], [1, 0], [0, -1], [0, 1]], [([0, 1], [2, 3])], False),
    # Below -2 even equal centres are separated.
    "s-3-same-centre": (2, -3.0, [[-1, 0], [1, 0], [0, -1], [0, 1]], [([0, 1], [2, 3])], True),
    # Floats would round dist - 2r to -2r here; rationals do not.
    "s-2-tiny-gap": (1, -2.0, [[0], [1e20], [5e19 + 1e4]], [([0, 1], [2])], True),
    # The squared radii of these sets underflow in doubles; in rationals {0, 1} has r = 5e-171.
    "underflowing-radius": (1, 2.0, [[0], [1e-170], [2e-170]], [([0, 1], [2])], False),
}


@pytest.mark.parametrize("name", SEPARATION_VERDICTS)
def test_separation_checker_verdicts(name):
    d, s, coords, result, separated = SEPARATION_VERDICTS[name]
    assert (separation_failures(d, s, coords, result) == []) is separated


@pytest.mark.parametrize(
    "n, result, message",
    [
        (3, [([0], [1]), ([2], [0])], r"\{1, 2\} is covered by no pair"),
        (3, [([0], [1, 2]), ([2], [1]), ([1], [0])], r"\{0, 1\} is covered twice, by pairs 0 and 2"),
        (3, [([0, 1], [1, 2])], "pair 0 has index 1 in both sets"),
        (2, [([0, 0], [1])], r"\{0, 1\} is covered twice, by pairs 0 and 0"),
        (2, [([], [0, 1])], "pair 0 has an empty set"),
        (2, [([0], [2])], r"index 2 is out of range\(2\)"),
        (2, [([0], [-1])], "index -1 is out of range"),
    ],
)
def test_covering_checker_finds_faults(n, result, message):
    with pytest.raises(AssertionError, match=message):
        assert_covering(n, result)


def test_covering_checker_accepts_decompositions():
    assert_covering(1, [])
    assert_covering(4, [([3, 1], [2, 0]), ([2], [0]), ([3], [1])])
    assert_covering(3, [([2], [0]), ([1], [2]), ([0], [1])])


# --- random inputs at every scale ------------------------------------------------------------------


def _diagonal(coords, d):
    return math.sqrt(sum((max(c[t] for c in coords) - min(c[t] for c in coords)) ** 2 for t in range(d)))


def _centred(coords, d):
    middle = [(max(c[t] for c in coords) + min(c[t] for c in coords)) / 2 for t in range(d)]
    return [[x - m for x, m in zip(c, middle)] for c in coords]


SEPARATION_KINDS = ["uniform", "clusters", "grid"]
SCALES = {"1": 1.0, "1e-150": 1e-150, "1e150": 1e150, "edge": None}
S_VALUES = [-3.0, -1.0, 0.0, 0.5, 2.0, 5.0]


def _scaled_case(kind, d, scale_name, seed):
    rng = random.Random(f"{kind}-{d}-{scale_name}-{seed}")
    base = KINDS[kind](rng, rng.randrange(30, 90), d)
    # Within [-1, 1], scaled by a power of two so that grids keep their exact ties.
    unit = 2.0 ** math.ceil(math.log2(max(abs(x) for c in base for x in c) or 1.0))
    base = [[x / unit for x in c] for c in base]
    scale = SCALES[scale_name]
    if scale is None:
        # The squared box diagonal becomes a fraction of the largest double.
        base = _centred(base, d)
        scale = math.sqrt(rng.uniform(0.2, 0.9)) * math.sqrt(DBL_MAX) / _diagonal(base, d)
    coords, seen = [], set()
    for c in base:
        p = tuple(x * scale for x in c)
        if p not in seen:
            seen.add(p)
            coords.append(list(p))
    return coords


CASES = [(k, d, sc, seed) for k in SEPARATION_KINDS for d in (1, 2, 3) for sc in SCALES for seed in range(2)]


@pytest.mark.parametrize("kind, d, scale, seed", CASES, ids=[f"{k}-d{d}-{sc}-{i}" for k, d, sc, i in CASES])
def test_exactly_separated_at_every_scale(kind, d, scale, seed):
    coords = _scaled_case(kind, d, scale, seed)
    n = len(coords)
    points = pts(coords)
    for s in S_VALUES:
        got = build_lumo(n, d, s, points)
        assert got == reference_decomposition(n, d, s, coords), f"s={s}: differs from the reference"
        assert_decomposition(n, d, s, coords, got)


# --- the overflow threshold ------------------------------------------------------------------------


def overflow_verdict(n, d, coords):
    """Which check rejects the first n points for overflow: 'extent', 'too large' or None."""
    rows = [[float(x) for x in c[:d]] for c in coords[:n]]
    lows = [min(r[t] for r in rows) for t in range(d)]
    highs = [max(r[t] for r in rows) for t in range(d)]
    if any(not math.isfinite(h - lo) for lo, h in zip(lows, highs)):
        return "extent"
    total = 0.0
    for lo, h in zip(lows, highs):
        total = total + (h - lo) * (h - lo)
        if not math.isfinite(lo + h):
            return "too large"
    return None if math.isfinite(total) else "too large"


def assert_too_large(n, d, s, coords):
    with pytest.raises(ValueError) as caught:
        build_lumo(n, d, s, pts(coords))
    message = str(caught.value)
    match = re.fullmatch(TOO_LARGE, message)
    assert match, message
    largest = max(abs(float(x)) for c in coords[:n] for x in c[:d])
    assert match.group(1) == "%.3g" % largest


BOUNDARY = math.ldexp(1.0, 512)  # its square is 2**1024, the first power of two above DBL_MAX


@pytest.mark.parametrize(
    "d, coords",
    [
        (1, [[0.0], [BOUNDARY]]),
        (1, [[-BOUNDARY / 2], [BOUNDARY / 2], [0.0]]),
        (2, [[0.0, 0.0], [1e154, 1e154], [0.0, 1e154]]),  # each extent squares below DBL_MAX, their sum not
        (2, [[-1e308, i] for i in range(4)]),  # the extents are small; -1e308 - 1e308 overflows
        (3, [[0.0, 1e308, 2.0], [1.0, 1e308, 2.0], [2.0, 1e308, 5.0]]),
        (1, [[1e308], [1.7e308], [1.79e308], [1.2e308]]),
        (2, [[-1e308, 0.0], [0.0, 1e308], [-5e307, 5e307], [0.0, 0.0]]),
    ],
    ids=["2^512", "2^512-centred", "sum-2d", "centre--1e308", "centre-3d", "near-DBL_MAX", "1e308-2d"],
)
def test_overflowing_squares_are_rejected(d, coords):
    assert overflow_verdict(len(coords), d, coords) == "too large"
    assert_too_large(len(coords), d, 3.0, coords)


@pytest.mark.parametrize(
    "d, coords",
    [
        (1, [[0.0], [math.nextafter(BOUNDARY, 0.0)], [BOUNDARY / 3]]),
        (1, [[-BOUNDARY / 2], [math.nextafter(math.nextafter(BOUNDARY / 2, 0.0), 0.0)], [1.0], [-1.0]]),
        (2, [[0.0, 0.0], [9e153, 1e153], [3e153, 2e153], [1e153, -2e152], [-1e153, 5e152]]),
        # Constant dimensions near DBL_MAX / 2: low + high stays finite.
        (2, [[i, 8e307] for i in range(6)]),
        (3, [[-8.9e307, 1.0, i] for i in range(5)] + [[-8.9e307, 2.0, 0.5]]),
        (2, [[8e307, 0.0], [8e307, 1e-300], [8e307, 1e150]]),
    ],
    ids=["below-2^512", "below-2^512-centred", "1e153-2d", "centre-8e307", "centre--8.9e307", "centre-8e307-wide"],
)
@pytest.mark.parametrize("s", [-1.0, 0.0, 2.0, 1e300])
def test_largest_accepted_coordinates_decompose_exactly(d, coords, s):
    n = len(coords)
    assert overflow_verdict(n, d, coords) is None
    got = build_lumo(n, d, s, pts(coords))
    assert got == reference_decomposition(n, d, s, coords)
    assert_decomposition(n, d, s, coords, got)


def test_only_the_first_n_points_and_d_coordinates_count():
    coords = [[0.0, 1e300], [-3.2e154, 1e300], [1e160, 0.0]]
    assert_too_large(2, 1, 2.0, coords)  # the largest is -3.2e154, given as 3.2e+154
    assert build_lumo(2, 1, 2.0, pts([[0.0, 1e300], [1e154, -1e300], [1e160]])) == [([1], [0])]


def test_overflowing_extent_is_reported_first():
    # Dimension 0 squares to infinity, but dimension 1's extent itself overflows.
    coords = [[0.0, -1e308], [1e200, 1e308]]
    assert overflow_verdict(2, 2, coords) == "extent"
    with pytest.raises(ValueError, match=r"^the points' extent in dimension 1 overflows"):
        build_lumo(2, 2, 2.0, pts(coords))


def test_large_uniform_input_is_rejected_quickly():
    rng = random.Random(5)
    coords = [[rng.random() * 1e160, rng.random() * 1e160] for _ in range(2000)]
    start = time.perf_counter()
    assert_too_large(2000, 2, 2.0, coords)
    assert time.perf_counter() - start < 1.0


THRESHOLD_CASES = [(d, seed) for d in (1, 2, 3) for seed in range(6)]


@pytest.mark.parametrize("d, seed", THRESHOLD_CASES)
def test_threshold_on_random_input(d, seed):
    # The squared diagonal sits a few percent below or above DBL_MAX, or a constant first
    # coordinate brings low + high near it; build_lumo accepts what overflow_verdict accepts.
    rng = random.Random(f"threshold-{d}-{seed}")
    base = uniform(rng, 40, d)
    if seed % 3 == 2 and d > 1:
        offset = rng.choice([-1, 1]) * rng.uniform(0.45, 0.55) * DBL_MAX
        spread = 10.0 ** rng.uniform(-100, 150)
        coords = [[offset] + [x * spread for x in c[1:]] for c in base]
    else:
        factor = rng.uniform(0.9, 0.97) if seed % 2 == 0 else rng.uniform(1.03, 1.5)
        scale = math.sqrt(factor) * math.sqrt(DBL_MAX) / _diagonal(base, d)
        coords = [[x * scale for x in c] for c in _centred(base, d)]
    verdict = overflow_verdict(len(coords), d, coords)
    if verdict is None:
        got = build_lumo(len(coords), d, 2.0, pts(coords))
        assert_decomposition(len(coords), d, 2.0, coords, got)
    else:
        assert verdict == "too large"
        assert_too_large(len(coords), d, 2.0, coords)



# Sets whose squared radius rounds to 0 in doubles: below sqrt(DBL_MIN) a pair is always split.
UNDERFLOWING_RADII = {
    # dist / r is 3.13 in rationals, not above 2 + s = 4 at s = 2.
    "1e-162": (1, [[1.9732497063199284e-162], [4.228392227828418e-163], [2.5370353366970507e-162],
                   [4.79217785820554e-162]]),
    # Six points within 1e-169 against points near (1, 2, 3): r * s is about 3.5e130 at s = 1e300.
    "1e-170-cluster": (3, [[x * 1e-170, -x * 1e-170, 0.0] for x in range(6)] + [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]),
    # The squared distance underflows to 0: only the rule for two single points pairs them.
    "1e-170-pair": (3, [[0.0, 0.0, 0.0], [1e-170, 1e-170, 1e-170]]),
    "subnormal-pair": (1, [[0.0], [5e-324]]),
    "subnormals-and-1": (1, [[0.0], [5e-324], [1e-323], [1.0]]),
}


@pytest.mark.parametrize("name", UNDERFLOWING_RADII)
@pytest.mark.parametrize("s", [-3.0, 0.0, 2.0, 1e300])
def test_sets_with_underflowing_radii_give_separated_pairs(name, s):
    d, coords = UNDERFLOWING_RADII[name]
    result = build_lumo(len(coords), d, s, pts(coords))
    assert result == reference_decomposition(len(coords), d, s, coords)
    assert_covering(len(coords), result)
    assert_separated(d, s, coords, result)


HALF_WIDTH = math.ldexp(1.0, -511)  # sqrt(DBL_MIN) exactly: its square is DBL_MIN


@pytest.mark.parametrize(
    "d, width, expected",
    [
        # r = 2^-511 exactly: the pair of sets is tested, and separated.
        (1, 2 * HALF_WIDTH, [([1, 0], [2]), ([1], [0])]),
        (2, 2 * HALF_WIDTH, [([3, 2], [1, 0]), ([1], [0]), ([3], [2])]),
        # One ulp narrower: r is below sqrt(DBL_MIN) and the sets are split down to points.
        (1, math.nextafter(2 * HALF_WIDTH, 0.0), [([0], [2]), ([1], [2]), ([1], [0])]),
        (2, math.nextafter(2 * HALF_WIDTH, 0.0),
         [([2], [0]), ([3], [0]), ([2], [1]), ([3], [1]), ([1], [0]), ([3], [2])]),
    ],
    ids=["1d-at", "2d-at", "1d-below", "2d-below"],
)
def test_smallest_separable_radius(d, width, expected):
    # Two sets of two points `width` apart, 1 apart from each other.
    coords = [[0.0], [width], [1.0]] if d == 1 else [[0.0, 0.0], [width, 0.0], [1.0, 0.0], [1.0, width]]
    assert build_lumo(len(coords), d, 2.0, pts(coords)) == expected
    assert reference_decomposition(len(coords), d, 2.0, coords) == expected
