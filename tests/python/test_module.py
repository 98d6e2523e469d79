# SPDX-License-Identifier: MIT
"""The Python face of lumo: the module, the point type and build_lumo's conversions and errors."""
import contextlib
import gc
import os
import pathlib
import re
import resource
import subprocess
import sys
import textwrap
import time

import pytest

import lumo
from lumo import build_lumo, point

BUILD_SIG = "build_lumo(arg0: int, arg1: int, arg2: float, arg3: List[point]) -> List[Tuple[List[int], List[int]]]"
SQUARE = [[0, 0], [1, 0], [0, 1], [1, 1]]


def pts(coords):
    return [point(c) for c in coords]


# --- module and point type -------------------------------------------------------------------


def test_module_surface_and_signatures():
    assert lumo.__doc__ == "Well-separated pair decomposition (LUMO) plugin"
    assert {n for n in dir(lumo) if not n.startswith("__")} == {
        "build_lumo", "point", "decompose", "SplitTree", "Decomposition", "_IndexArray", "emst", "single_linkage",
        "_ResultArray"}
    cmake = (pathlib.Path(__file__).parents[2] / "CMakeLists.txt").read_text()
    assert lumo.__version__ == re.search(r"project\(lumo VERSION ([0-9.]+)", cmake).group(1)
    assert lumo.decompose.__doc__.startswith(
        "decompose(points: object, s: float = 2.0, workers: int = 1) -> lumo.Decomposition\n")
    assert lumo.SplitTree.__init__.__doc__.startswith(
        "__init__(self: lumo.SplitTree, points: object, workers: int = 1) -> None")
    assert lumo.SplitTree.decompose.__doc__.startswith(
        "decompose(self: lumo.SplitTree, s: float = 2.0, workers: int = 1) -> lumo.Decomposition")
    assert point.__module__ == "lumo"
    assert point.__init__.__doc__.startswith("__init__(self: lumo.point, arg0: List[float]) -> None")
    assert point.coord.__doc__.startswith("coord(self: lumo.point) -> List[float]")
    assert build_lumo.__doc__ == (
        BUILD_SIG + "\n\nThe function that computes LUMO following the Callahan and Kosaraju O(n log(n)) algorithm\n"
    )
    own = {k for k in vars(point) if not k.startswith("_")} | {"__init__"} & set(vars(point))
    assert own == {"coord", "__init__"}


@pytest.mark.parametrize(
    "values, expected",
    [([1.5, -2.0, 3.25], [1.5, -2.0, 3.25]), ((1, 2), [1.0, 2.0]), ([], []), ([True, 2**53], [1.0, 2.0**53])],
)
def test_point_round_trip(values, expected):
    got = point(values).coord()
    assert got == expected and all(type(v) is float for v in got)


def test_coord_returns_a_new_list_each_call():
    p = point([1.0, 2.0])
    a, b = p.coord(), p.coord()
    assert a == b and a is not b
    a.append(3.0)
    assert p.coord() == [1.0, 2.0]
    assert callable(p.coord) and not isinstance(p.coord, list)


@pytest.mark.parametrize(
    "args, kwargs",
    [(("12",), {}), ((b"12",), {}), ((3.0,), {}), ((None,), {}), (([1.0, "x"],), {}), ((), {}),
     (([1.0],), {"arg0": None}), ((), {"arg0": [1.0]}), (([1.0], [2.0]), {}), ((iter([1.0]),), {})],
)
def test_point_rejects_bad_arguments(args, kwargs):
    with pytest.raises(TypeError, match=re.escape("__init__(): incompatible constructor arguments") + r"[\s\S]*1\. lumo\.point\(arg0: List\[float\]\)"):
        point(*args, **kwargs)


def test_point_sequence_errors_propagate():
    class Bad:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        point(Bad())


def test_point_has_no_instance_dict():
    p = point([1.0])
    with pytest.raises(AttributeError):
        p.extra = 1


def test_uninitialised_point_is_refused_not_read():
    raw = point.__new__(point)
    with pytest.raises(TypeError, match=r"coord\(\): incompatible function arguments"):
        raw.coord()
    with pytest.raises(TypeError, match=r"build_lumo\(\): incompatible function arguments"):
        build_lumo(1, 1, 2.0, [raw])
    with pytest.raises(TypeError, match="incompatible function arguments"):
        point.coord(object())


def test_subclasses():
    class Sub(point):
        pass

    class Good(point):
        def __init__(self, values):
            point.__init__(self, values)
            self.tag = "kept"  # a Python subclass has its own __dict__

    class Forgets(point):
        def __init__(self, values):
            pass

    assert Sub([1, 2]).coord() == [1.0, 2.0]
    assert Good([3]).coord() == [3.0]
    with pytest.raises(TypeError, match=re.escape("lumo.point.__init__() must be called when overriding __init__")):
        Forgets([1.0])
    assert build_lumo(2, 2, 2.0, [Sub([0, 0]), Good([1, 0])]) == [([1], [0])]


# --- build_lumo: conversions -----------------------------------------------------------------


def test_worked_results_and_argument_forms():
    two = pts([[0, 0], [1, 0]])
    assert build_lumo(1, 2, 2.0, [point([0.0, 0.0])]) == []
    assert build_lumo(2, 2, 2, two) == [([1], [0])]
    assert build_lumo(2, 2, 2, tuple(two)) == [([1], [0])]
    assert build_lumo(True + 1, 2, True + 1, two) == [([1], [0])]

    class Idx:
        def __init__(self, v):
            self.v = v

        def __index__(self):
            return self.v

    class Seq:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError(i)
            return two[i]

    assert build_lumo(Idx(2), Idx(2), 2.0, Seq()) == [([1], [0])]
    assert build_lumo(4, 2, -1, pts(SQUARE)) == [([3, 1], [2, 0]), ([2], [0]), ([3], [1])]


def test_result_types_and_determinism():
    coords = [[i % 7, (i * 3) % 11, i] for i in range(60)]
    ps = pts(coords)
    first = build_lumo(60, 3, 1.0, ps)
    assert first == build_lumo(60, 3, 1.0, ps)
    assert all(type(t) is tuple and len(t) == 2 for t in first)
    assert all(type(side) is list and all(type(i) is int for i in side) for t in first for side in t)
    assert [p.coord() for p in ps] == [[float(v) for v in c] for c in coords]
    # Results are independent objects: changing one list changes nothing else.
    first[0][0].append(-1)
    assert -1 not in build_lumo(60, 3, 1.0, ps)[0][0]


def test_same_object_listed_twice_is_two_points_and_rejected_as_duplicate():
    p = point([0.0, 0.0])
    with pytest.raises(ValueError, match="points 0 and 1 are equal"):
        build_lumo(2, 2, 2.0, [p, p])
    assert build_lumo(1, 2, 2.0, [p, p]) == []


@pytest.mark.parametrize(
    "args",
    [
        (2.0, 2, 2.0), (2, 2.0, 2.0), (2, 2, "2"), (2, 2, None), (2**31, 2, 2.0), (2, 2**31, 2.0),
        (-(2**31) - 1, 2, 2.0), (2, 2, 10**400),
    ],
)
def test_scalar_arguments_that_do_not_convert(args):
    with pytest.raises(TypeError, match=re.escape("build_lumo(): incompatible function arguments.") + r"[\s\S]*"
                       + re.escape("    1. (arg0: int, arg1: int, arg2: float, arg3: List[point])")):
        build_lumo(*args, pts([[0, 0], [1, 0]]))


def test_points_arguments_that_do_not_convert():
    two = pts([[0, 0], [1, 0]])
    for bad in ["ab", b"ab", None, iter(two), (p for p in two), set(two), {0: two[0]}, [two[0], None],
                [two[0], [1.0, 0.0]]]:
        with pytest.raises(TypeError, match=r"Invoked with: "):
            build_lumo(2, 2, 2.0, bad)
    with pytest.raises(TypeError, match=r"incompatible function arguments"):
        build_lumo(n=2, d=2, s=2.0, points=two)
    with pytest.raises(TypeError, match=r"incompatible function arguments"):
        build_lumo(2, 2, 2.0)


def test_errors_of_the_sequence_itself_propagate():
    class Broken:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            if i == 1:
                raise IndexError("no item 1")
            return point([float(i)])

    with pytest.raises(IndexError, match="no item 1"):
        build_lumo(1, 1, 2.0, Broken())


def test_extreme_int_arguments_convert_then_are_checked():
    two = pts([[0, 0], [1, 0]])
    with pytest.raises(ValueError, match="n is 2147483647 but only 2 points were given"):
        build_lumo(2**31 - 1, 2, 2.0, two)
    with pytest.raises(ValueError, match="^vector too long$"):
        build_lumo(2, -(2**31), 2.0, two)


# --- build_lumo: rejected input ----------------------------------------------------------------


@pytest.mark.parametrize(
    "n, d, s, coords, message",
    [
        (2, -1, 2.0, SQUARE, "^vector too long$"),
        (0, 2, 2.0, SQUARE, "^n must be at least 1, got 0$"),
        (-5, 2, 2.0, SQUARE, "^n must be at least 1, got -5$"),
        (5, 2, 2.0, SQUARE, "^n is 5 but only 4 points were given$"),
        (1, 0, 2.0, SQUARE, "^d must be at least 1, got 0$"),
        (4, 3, 2.0, SQUARE, "^d is 3 but point 0 has only 2 coordinates$"),
        (3, 2, 2.0, [[0, 0], [1], [2, 2]], "^d is 2 but point 1 has only 1 coordinates$"),
        (2, 2, float("nan"), SQUARE, "^s must be finite, got nan$"),
        (2, 2, float("inf"), SQUARE, "^s must be finite, got inf$"),
        (3, 2, 2.0, [[0, 0], [1, float("nan")], [2, 2]], "^point 1 has a non-finite coordinate nan in dimension 1$"),
        (3, 2, 2.0, [[0, 0], [1, 1], [-float("inf"), 2]], "^point 2 has a non-finite coordinate -inf in dimension 0$"),
        (2, 1, 2.0, [[-1e308], [1e308]], "^the points' extent in dimension 0 overflows"),
        (4, 1, 3.0, [[0], [1e154], [2.2e154], [3.2e154]],
         r"^coordinates up to 3\.2e\+154 are too large: squared distances overflow; scale the points down"),
        (4, 2, 2.0, [[i, 1e308] for i in range(4)],
         r"^coordinates up to 1e\+308 are too large: squared distances overflow; scale the points down"),
        (3, 2, 2.0, [[0, 0], [0, 0], [5, 0]], "^points 0 and 1 are equal in their first 2 coordinates$"),
        (3, 2, 2.0, [[0.0, 1], [5, 0], [-0.0, 1]], "^points 0 and 2 are equal"),
        (4, 2, 2.0, [[1, 2], [3, 4], [3, 4], [1, 2]], "^points 1 and 2 are equal"),
    ],
)
def test_rejected_input(n, d, s, coords, message):
    with pytest.raises(ValueError, match=message):
        build_lumo(n, d, s, pts(coords))


@contextlib.contextmanager
def address_space_cap(extra):
    """Caps this process's address space at its current size plus ``extra`` bytes, so that an
    allocation sized by a huge d fails with MemoryError instead of exhausting the machine.
    Sanitizer builds reserve terabytes of address space: no cap for them."""
    if "ASAN_OPTIONS" in os.environ:
        yield
        return
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    old = resource.getrlimit(resource.RLIMIT_AS)
    cap = size + extra if old[1] == resource.RLIM_INFINITY else min(size + extra, old[1])
    resource.setrlimit(resource.RLIMIT_AS, (cap, old[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, old)


HUGE_D = [2**28, 2**31 - 1]


@pytest.mark.parametrize("d", HUGE_D)
def test_huge_d_is_rejected_before_anything_is_sized_by_it(d):
    two = pts([[0, 0], [1, 1]])
    with address_space_cap(1 << 30):
        start = time.perf_counter()
        with pytest.raises(ValueError, match=f"^d is {d} but point 0 has only 2 coordinates$"):
            build_lumo(2, d, 2.0, two)
        elapsed = time.perf_counter() - start
    assert elapsed < 0.5
    assert build_lumo(2, 2, 2.0, two) == [([1], [0])]


HUGE_D_CHILD = textwrap.dedent(
    """
    import resource
    from lumo import build_lumo, point

    two = [point([0, 0]), point([1, 1])]
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    cap = 1 << 30 if hard == resource.RLIM_INFINITY else min(1 << 30, hard)
    resource.setrlimit(resource.RLIMIT_AS, (cap, hard))
    for d in (2**28, 2**31 - 1):
        try:
            build_lumo(2, d, 2.0, two)
            print("no error")
        except Exception as error:
            print(type(error).__name__, error)
    print(build_lumo(2, 2, 2.0, two))
    """
)


@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="sanitizers reserve more than the cap")
def test_huge_d_under_a_one_gib_address_space_cap():
    run = subprocess.run([sys.executable, "-c", HUGE_D_CHILD], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.splitlines() == [
        "ValueError d is 268435456 but point 0 has only 2 coordinates",
        "ValueError d is 2147483647 but point 0 has only 2 coordinates",
        "[([1], [0])]",
    ]


def test_points_beyond_n_and_d_are_not_checked():
    coords = [[0, 0, float("nan")], [1, 0, 7], [float("nan")], [0, 0]]
    assert build_lumo(2, 2, 2.0, pts(coords)) == [([1], [0])]
    assert build_lumo(3, 1, 2.0, pts([[0, 9], [1], [2, 5, 5]])) == [([2], [0]), ([2], [1]), ([1], [0])]


def test_collector_state_is_restored():
    gc.disable()
    try:
        build_lumo(4, 2, 2.0, pts(SQUARE))
        assert not gc.isenabled()
    finally:
        gc.enable()
    build_lumo(4, 2, 2.0, pts(SQUARE))
    assert gc.isenabled()
