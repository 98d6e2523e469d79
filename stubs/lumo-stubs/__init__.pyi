"""Well-separated pair decomposition (LUMO) plugin"""

from collections.abc import Iterator, Sequence
from typing import Any, NoReturn, Protocol, SupportsFloat, SupportsIndex, Union, overload

from typing_extensions import Buffer, TypeAlias

__version__: str

class _SupportsArray(Protocol):
    def __array__(self) -> Any: ...

# An (n, d) array of real numbers: a NumPy array (any real dtype, order or strides), any
# object with the buffer protocol, a sequence of equal-length sequences, or a list of point.
_Points: TypeAlias = Union[_SupportsArray, Buffer, Sequence[Sequence[SupportsFloat | SupportsIndex]], Sequence["point"]]

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

class _IndexArray(metaclass=_pybind11_type):
    """An int32 array of a Decomposition, read through memoryview or numpy.asarray."""

    @staticmethod
    def __new__(*args: NoReturn, **kwargs: NoReturn) -> NoReturn:
        """Not constructible from Python: made by Decomposition."""
    def __init__(self, *args: NoReturn, **kwargs: NoReturn) -> None: ...

class Decomposition(metaclass=_pybind11_type):
    """A well-separated pair decomposition: the tree's leaf order and the pairs as runs of it.

    np.asarray(dec.order) and np.asarray(dec.pairs) share the decomposition's memory; dec[a:b]
    is a Decomposition of those pairs sharing it too. Pickles (protocol 5: out of band) and copies.
    """

    def __init__(self, *args: NoReturn, **kwargs: NoReturn) -> None:
        """Not constructible from Python: made by decompose() and SplitTree.decompose()."""

    @property
    def order(self) -> memoryview:
        """The point indices in the tree's leaf order (int32, shape (n,))."""
    @property
    def pairs(self) -> memoryview:
        """Per pair: start and count of each set in `order` (int32, shape (m, 4))."""
    @property
    def n(self) -> int:
        """The number of points."""
    @property
    def d(self) -> int:
        """The dimension of the points."""
    @property
    def s(self) -> float:
        """The separation factor."""
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, k: SupportsIndex) -> tuple[memoryview, memoryview]:
        """The two index arrays (int32 memoryviews, slices of order) of pair k."""
    @overload
    def __getitem__(self, k: slice) -> Decomposition:
        """The pairs of a slice (step 1 only), sharing the same memory."""
    def __iter__(self) -> Iterator[tuple[memoryview, memoryview]]: ...
    def representatives(self) -> memoryview:
        """One point of each set of every pair (int32, shape (m, 2)): the first of the set in order."""
    def to_list(self) -> list[tuple[list[int], list[int]]]:
        """The pairs as build_lumo returns them."""
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __getstate__(self) -> tuple[int, int, float, Buffer, Buffer]: ...
    def __setstate__(self, state: tuple[int, int, float, Buffer, Buffer], /) -> None: ...

class SplitTree(metaclass=_pybind11_type):
    """The fair split tree of an (n, d) array of points, built once for any number of s."""

    def __init__(self, points: _Points, workers: int = 1) -> None: ...
    def decompose(self, s: float = 2.0, workers: int = 1) -> Decomposition:
        """The well-separated pair decomposition for s."""
    def count(self, s: float = 2.0, workers: int = 1) -> tuple[int, int]:
        """The size of decompose(s) without making it: (pairs, total set size)."""
    @property
    def n(self) -> int:
        """The number of points."""
    @property
    def d(self) -> int:
        """The dimension of the points."""
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __getstate__(self) -> tuple[int, int, Buffer]: ...
    def __setstate__(self, state: tuple[int, int, Buffer], /) -> None: ...
    def emst(self, workers: int = 1) -> tuple[memoryview, memoryview]:
        """The Euclidean minimum spanning tree of the tree's points, as lumo.emst gives it."""
    def single_linkage(self, workers: int = 1) -> memoryview:
        """Single-linkage clustering of the tree's points, as lumo.single_linkage gives it."""

def decompose(points: _Points, s: float = 2.0, workers: int = 1) -> Decomposition:
    """Well-separated pair decomposition of an (n, d) array of points.

    Same as SplitTree(points, workers).decompose(s, workers); to_list() of the result equals
    build_lumo(n, d, s, [point(row) for row in points]). workers: a positive count, or -1 for
    every core; a count above the cores the process may use is lowered to it, and the result
    does not depend on it. Raises ValueError for a bad shape (n above 2**30 included), NaN or
    infinite values, overflowing coordinates, equal points, a non-finite s or a bad workers
    count, and TypeError for values that are not real numbers. The separation test is
    evaluated in double precision, so exact ties may go either way. Ctrl-C interrupts a call
    made on the main thread only.
    """

class _ResultArray(metaclass=_pybind11_type):
    """An int64 or float64 array of lumo.emst or lumo.single_linkage."""

    def __init__(self, *args: NoReturn, **kwargs: NoReturn) -> None:
        """Not constructible from Python: made by emst() and single_linkage()."""

def emst(points: _Points, workers: int = 1) -> tuple[memoryview, memoryview]:
    """The exact Euclidean minimum spanning tree of an (n, d) array of points.

    Returns (edges, lengths): an int64 (n - 1, 2) array of point indices with i < j and the
    float64 Euclidean lengths, ascending by (length, i, j). Edges are compared by (squared
    distance as computed in doubles, smaller index, larger index), so the tree is unique and
    does not depend on workers. Equal rows join by edges of length 0. Raises as decompose does.
    """

def single_linkage(points: _Points, workers: int = 1) -> memoryview:
    """Single-linkage clustering of an (n, d) array of points, in SciPy's linkage format.

    An (n - 1, 4) float64 array: row k merges clusters Z[k, 0] < Z[k, 1] at distance Z[k, 2]
    into a cluster of Z[k, 3] points, made from the Euclidean minimum spanning tree.
    """

class _GraphArray(metaclass=_pybind11_type):
    """An array of lumo.spanner's result, read through memoryview or numpy.asarray."""

    def __init__(self, *args: NoReturn, **kwargs: NoReturn) -> None:
        """Not constructible from Python: made by spanner."""

def spanner(points: _Points, t: float, workers: int = 1) -> tuple[memoryview, memoryview]:
    """Geometric t-spanner of an (n, d) array of points: its edges and their lengths.

    One edge per pair of the decomposition for s = 4(t + 1)/(t - 1), between the first points
    of the two sets' runs in the leaf order (the pair's representatives). Returns an (m, 2)
    int64 memoryview of distinct edges, smaller index first, and an (m,) float64 memoryview
    of their Euclidean lengths. Raises ValueError unless t is finite and above 1, and as
    decompose does for the points and workers.
    """
