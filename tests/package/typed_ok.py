# SPDX-License-Identifier: MIT
"""Correct uses of lumo's API: passes `mypy --strict` against the installed stubs and runs as is."""
from collections.abc import Sequence
from decimal import Decimal
from fractions import Fraction
from typing import assert_type

import lumo


class Count:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


# Any sequence of numbers: ints, floats, bools, Decimal, Fraction; lists, tuples, ranges.
points: list[lumo.point] = [
    lumo.point([0.0, 0.0]),
    lumo.point((1, 0)),
    lumo.point(range(2)),
    lumo.point([Decimal("2.5"), Fraction(1, 3)]),
    lumo.point([True, 3]),
]
coords = points[3].coord()
assert_type(coords, list[float])
assert coords == [2.5, 1 / 3]

pairs = lumo.build_lumo(len(points), 2, 2.0, points)
assert_type(pairs, list[tuple[list[int], list[int]]])

# n and d take index-like objects, s anything with __float__ or __index__; the points any sequence.
same = lumo.build_lumo(Count(5), True + True, Decimal(2), tuple(points))
assert same == pairs
assert lumo.build_lumo(5, 2, 2, points) == pairs


def covered(pairs: Sequence[tuple[Sequence[int], Sequence[int]]], n: int) -> bool:
    seen = sorted((min(i, j), max(i, j)) for first, second in pairs for i in first for j in second)
    return seen == [(i, j) for i in range(n) for j in range(i + 1, n)]


assert covered(pairs, len(points))

try:
    lumo.build_lumo(2, 2, 1.0, [lumo.point([1.0, 1.0]), lumo.point([1.0, 1.0])])
except ValueError as error:
    message: str = str(error)
    assert "equal" in message
else:
    raise AssertionError("equal points were accepted")

# The array interface: arrays in, zero-copy int32 buffers out.
import numpy as np

xy = np.array([[0.0, 0.0], [0.1, 0.0], [0.0, 0.1], [10.0, 10.0], [10.1, 10.0], [10.0, 10.1]])
dec = lumo.decompose(xy, s=2.0, workers=1)
assert_type(dec, lumo.Decomposition)
pair_rows = np.asarray(dec.pairs)
assert pair_rows.shape == (len(dec), 4) and pair_rows.dtype == np.int32
first, second = dec[0]
assert sorted(first.tolist()) == [3, 4, 5] and sorted(second.tolist()) == [0, 1, 2]
edges = np.asarray(dec.representatives())
assert edges.shape == (len(dec), 2)
assert dec.to_list() == lumo.build_lumo(6, 2, 2.0, [lumo.point(row) for row in xy.tolist()])
tree = lumo.SplitTree([[0, 0], [1, 0], [0, 1]], workers=-1)
assert (tree.n, tree.d) == (3, 2)
for s in (1.0, 4.0):
    for a, b in tree.decompose(s):
        assert_type(a, memoryview)
version: str = lumo.__version__

span_edges, span_lengths = lumo.spanner([[0.0, 0.0], [1.0, 0.0], [0.0, 2.0]], 1.5)
assert_type(span_edges, memoryview)
assert span_edges.shape == (3, 2) and span_lengths.shape == (3,)
