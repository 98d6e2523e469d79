"""Well-separated pair decomposition (LUMO) plugin"""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex

class _pybind11_type(type):
    """Stands for pybind11_builtins.pybind11_type, the metaclass of every pybind11 class."""

class point(metaclass=_pybind11_type):
    """A point in d dimensions: a copy of its coordinates, fixed once made."""

    def __init__(self, arg0: Sequence[SupportsFloat | SupportsIndex], /) -> None:
        """Copy the coordinates from any sequence of numbers; each becomes a float.

        str and bytes raise TypeError (bytes passes a type check as a sequence of ints).
        """

    def coord(self, /) -> list[float]:
        """The coordinates, as a new list on every call."""

def build_lumo(
    arg0: SupportsIndex,
    arg1: SupportsIndex,
    arg2: SupportsFloat | SupportsIndex,
    arg3: Sequence[point],
    /,
) -> list[tuple[list[int], list[int]]]:
    """Well-separated pair decomposition of the first n points in their first d coordinates.

    arg0 is n, the number of points taken from the front of arg3 (1 <= n <= len(arg3)).
    arg1 is d, the number of leading coordinates that count (1 <= d <= every point's length).
    arg2 is s, the separation factor: two sets are well separated when their enclosing balls
    (centred on the bounding box, r the larger half diagonal) satisfy dist(centres) - 2r > s*r.
    arg3 holds the points; they are copied and never changed.

    Returns a list of (first, second) pairs of index lists, an index being a position in arg3.
    Every two distinct points among the first n have one in `first` and the other in `second`
    of exactly one pair. The order is deterministic: the pairs between the root's two subtrees
    of the fair split tree come first, then those inside its right subtree, then its left one.

    Raises ValueError when n is below 1 or above len(arg3), when d is 0 or above a point's
    coordinate count, when d is negative ("vector too long"), when a coordinate is NaN or
    infinite, when a dimension's extent max - min overflows, when s is not finite, or when two
    points are equal in their first d coordinates. Arguments that do not convert (a float for
    n or d, a str for s, a list holding something other than points) raise TypeError.
    """
