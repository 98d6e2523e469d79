"""Tests of the example scripts in examples/ (spanner, closest pair and the shared point reader)."""

import itertools
import math
import pathlib
import re
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))

import closest_pair  # noqa: E402
import clusters  # noqa: E402
import lumo  # noqa: E402
import points_io  # noqa: E402
import spanner  # noqa: E402


def run(module, argv, capsys):
    rc = module.main(argv)
    captured = capsys.readouterr()
    return rc, captured.out, captured.err


def number(pattern, text):
    return float(re.search(pattern, text).group(1))


def write_points(path, xy, delimiter=" ", header=None):
    np.savetxt(path, xy, fmt="%.17g", delimiter=delimiter, header=header or "", comments="")
    return str(path)


class Star:
    """Stands in for a Decomposition: pairs ({hub}, {i}) for every other point i."""

    def __init__(self, n, hub=0):
        others = [i for i in range(n) if i != hub]
        self.order = np.arange(n, dtype=np.int32)
        self.pairs = np.array([[hub, 1, i, 1] for i in others], dtype=np.int32).reshape(-1, 4)
        self._reps = np.array([[hub, i] for i in others], dtype=np.int32).reshape(-1, 2)

    def representatives(self):
        return self._reps


# ---------------------------------------------------------------- spanner


@pytest.mark.parametrize("n, t, seed, sources", [(200, 2.0, 1, 0), (300, 1.5, 2, 0), (250, 3.0, 3, 0),
                                                  (150, 1.2, 4, 0), (5000, 1.5, 5, 40)])
def test_spanner_meets_target_stretch(n, t, seed, sources, capsys):
    argv = ["--n", str(n), "--t", str(t), "--seed", str(seed), "--sources", str(sources)]
    rc, out, _ = run(spanner, argv, capsys)
    assert rc == 0
    edges = int(number(r"edges: (\d+)", out))
    assert number(r"edges per point: ([\d.]+)", out) == pytest.approx(edges / n, abs=0.005)
    assert n - 1 <= edges < n * (n - 1) / 2
    worst = number(r"worst stretch: ([\d.]+)", out)
    assert 1.0 <= worst <= t
    assert number(r"bound \(s\+4\)/\(s-4\) = ([\d.]+)", out) == pytest.approx(t, abs=5e-5)


def floyd_warshall_stretch(xy, edges):
    n = len(xy)
    euclid = np.linalg.norm(xy[:, None, :] - xy[None, :, :], axis=2)
    dist = np.full((n, n), np.inf)
    np.fill_diagonal(dist, 0.0)
    for a, b in edges:
        dist[a, b] = dist[b, a] = euclid[a, b]
    for k in range(n):
        dist = np.minimum(dist, dist[:, k, None] + dist[None, k, :])
    off = ~np.eye(n, dtype=bool)
    return (dist[off] / euclid[off]).max()


@pytest.mark.parametrize("seed", [5, 6])
@pytest.mark.parametrize("kind", ["spanner", "random", "disconnected"])
def test_worst_stretch_matches_floyd_warshall(kind, seed):
    rng = np.random.default_rng(seed)
    xy = rng.random((120, 2))
    if kind == "spanner":
        edges = spanner.spanner(xy, 1.8)[0]
    else:
        order = rng.permutation(len(xy))
        edges = list(zip(order[:-1].tolist(), order[1:].tolist()))  # a path through all points
        edges += [tuple(e) for e in rng.integers(0, len(xy), (200, 2)).tolist() if e[0] != e[1]]
        if kind == "disconnected":
            edges = [e for e in edges if order[-1] not in e]
    worst, _ = spanner.worst_stretch(xy, spanner.graph(xy, edges))
    assert worst == pytest.approx(floyd_warshall_stretch(xy, edges), rel=1e-12)


@pytest.mark.parametrize("t", [1.01, 1.5, 2.0, 7.0])
def test_separation_gives_back_the_stretch(t):
    s = spanner.separation_for_stretch(t)
    assert s > 4
    assert spanner.stretch_bound(s) == pytest.approx(t, rel=1e-12)


@pytest.mark.parametrize("argv", [["--t", "1"], ["--t", "0.5"], ["--t", "nan"], ["--n", "1"], ["--sources", "-1"]])
def test_spanner_rejects_bad_arguments(argv, capsys):
    with pytest.raises(SystemExit) as exc:
        spanner.main(argv)
    assert exc.value.code == 2


def test_tight_stretch_costs_nearly_the_complete_graph(capsys):
    # The figures quoted in the spanner's docstring.
    rc, out, _ = run(spanner, ["--n", "300", "--t", "1.1", "--seed", "1"], capsys)
    assert rc == 0
    assert "edges: 40313 " in out and "(89.9% of the 44850 possible edges)" in out
    assert "note: t = 1.1 is tight" in out
    rc, out, _ = run(spanner, ["--n", "300", "--t", "2", "--seed", "1"], capsys)
    assert "(31.7% of the 44850 possible edges)" in out and "note:" not in out


def test_worst_stretch_hand_checked():
    # A unit square with three sides as edges: corners 0 and 3 are sqrt 2 apart, 3 apart in the graph.
    xy = np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0]])
    def worst(edges, sources=None):
        return spanner.worst_stretch(xy, spanner.graph(xy, edges), sources)

    stretch, where = worst([(0, 1), (1, 2), (2, 3), (1, 0), (2, 2)])
    assert stretch == pytest.approx(3.0) and set(where) == {0, 3}
    assert worst([(0, 1), (1, 2), (2, 3)], sources=[1, 2]) == (pytest.approx(2 / np.sqrt(2)), (1, 3))
    assert worst([(i, j) for i in range(4) for j in range(i)]) == (1.0, None)
    assert worst([(0, 1), (2, 3)])[0] == np.inf


def test_spanner_reports_a_graph_that_misses_the_target(monkeypatch, capsys):
    # A star around point 0 stretches the paths between close points far from 0.
    def star(xy, t, workers=1):
        edges = np.asarray(Star(len(xy)).representatives(), dtype=np.int64)
        return edges, np.linalg.norm(xy[edges[:, 0]] - xy[edges[:, 1]], axis=1)

    monkeypatch.setattr(lumo, "spanner", star)
    rc, out, err = run(spanner, ["--n", "100"], capsys)
    assert rc == 1
    assert number(r"worst stretch: ([\d.]+)", out) > 2.0
    assert "FAIL" in err


# ----------------------------------------------------------- closest pair


def reference(xy):
    pairs = list(itertools.combinations(range(len(xy)), 2))
    dists = [math.dist(xy[i], xy[j]) for i, j in pairs]
    return (min(dists), set(pairs[int(np.argmin(dists))])), (max(dists), set(pairs[int(np.argmax(dists))]))


@pytest.mark.parametrize("n, s, seed", [(300, 2.0, 1), (400, 8.0, 2), (200, 3.5, 3), (250, 20.0, 4)])
def test_closest_pair_and_diameter_match_brute_force(n, s, seed, tmp_path, capsys):
    xy = np.random.default_rng(seed).random((n, 2))
    path = write_points(tmp_path / "points.txt", xy)
    rc, out, _ = run(closest_pair, ["--input", path, "--s", str(s)], capsys)
    assert rc == 0
    (near, near_pair), (far, far_pair) = reference(xy)
    found = re.search(r"closest pair: points (\d+) and (\d+), distance (\S+)", out)
    assert {int(found.group(1)), int(found.group(2))} == near_pair
    assert float(found.group(3)) == pytest.approx(near, rel=1e-5)
    assert "-> exact" in out
    approx = number(r"diameter: approx (\S+)", out)
    assert number(r"exact (\S+) \(points", out) == pytest.approx(far, rel=1e-5)
    assert far / (1 + 4 / s) < approx * (1 + 1e-5) and approx <= far * (1 + 1e-5)
    assert "-> within" in out


@pytest.mark.parametrize("seed", [7, 8])
def test_closest_pair_default_input_is_exact(seed, capsys):
    rc, out, _ = run(closest_pair, ["--n", "300", "--seed", str(seed)], capsys)
    assert rc == 0
    assert "points: 300  dimensions: 2  separation s = 8" in out
    assert "-> exact" in out and "-> within" in out


HAND_2D = [(0, 0), (5, 0), (0, 5), (5, 5), (3, 4)]  # closest 3-4 (sqrt 5), diameter sqrt 50
HAND_3D = [(0, 0, 0), (1, 1, 1), (0, 0, 2), (3, 0, 0), (1, 1, 1.5)]  # closest 1-4 (0.5), diameter 2-3 (sqrt 13)


@pytest.mark.parametrize(
    "coords, s, closest, near, far",
    [
        (HAND_2D, 2.0, {3, 4}, math.sqrt(5), math.sqrt(50)),
        (HAND_2D, 8.0, {3, 4}, math.sqrt(5), math.sqrt(50)),
        (HAND_3D, 2.0, {1, 4}, 0.5, math.sqrt(13)),
    ],
)
def test_closest_pair_hand_checked(coords, s, closest, near, far, tmp_path, capsys):
    path = write_points(tmp_path / "hand.txt", np.array(coords, dtype=float))
    rc, out, _ = run(closest_pair, ["--input", path, "--s", str(s)], capsys)
    assert rc == 0
    assert f"dimensions: {len(coords[0])}" in out
    found = re.search(r"closest pair: points (\d+) and (\d+), distance (\S+)", out)
    assert {int(found.group(1)), int(found.group(2))} == closest
    assert float(found.group(3)) == pytest.approx(near, rel=1e-5)
    assert number(r"exact (\S+) \(points", out) == pytest.approx(far, rel=1e-5)


def test_single_point_pairs_miss_the_closest_pair_below_s_2():
    # 0, 1, 1.8, 2.8: the halves {0, 1} and {1.8, 2.8} are one pair once s < 1.6.
    xy = np.array([[0.0], [1.0], [1.8], [2.8]])
    (near, i, j), _ = closest_pair.from_pairs(xy, closest_pair.decompose(xy, 1.0))
    assert near == pytest.approx(1.0) and {i, j} != {1, 2}
    (near, i, j), _ = closest_pair.from_pairs(xy, closest_pair.decompose(xy, 2.0))
    assert near == pytest.approx(0.8) and {i, j} == {1, 2}


@pytest.mark.parametrize("hub, s, verdict", [(0, 8.0, "WRONG"), (4, 16.0, "OUTSIDE")])
def test_closest_pair_reports_a_bad_decomposition(hub, s, verdict, monkeypatch, tmp_path, capsys):
    # A star around one point: from point 0 the closest pair is missed; from
    # point 4 it is found, but the farthest distance from 4 is 5 < sqrt 50 / 1.25.
    path = write_points(tmp_path / "hand.txt", np.array(HAND_2D, dtype=float))
    monkeypatch.setattr(lumo, "decompose", lambda xy, s: Star(len(xy), hub))
    rc, out, _ = run(closest_pair, ["--input", path, "--s", str(s)], capsys)
    assert rc == 1
    assert f"-> {verdict}" in out


@pytest.mark.parametrize("argv", [["--s", "1.5"], ["--s", "-3"], ["--s", "nan"], ["--n", "1"]])
def test_closest_pair_rejects_bad_arguments(argv, capsys):
    with pytest.raises(SystemExit) as exc:
        closest_pair.main(argv)
    assert exc.value.code == 2


@pytest.mark.parametrize("content, message", [
    ("0,0\n1,2\n0,0\n", "line 3: duplicate of the point on line 1"),
    ("x y\n1 2\n3 a\n", "line 3: not a number: 'a'"),
    ("1 2\n", ": need at least 2 points, the file has 1"),
    ("1e300,0\n-1e300,0\n", ": coordinates up to 1e+300 are too large"),
])
def test_closest_pair_input_errors_are_one_line(content, message, tmp_path, capsys):
    path = tmp_path / "bad.csv"
    path.write_text(content)
    rc, out, err = run(closest_pair, ["--input", str(path)], capsys)
    assert rc == 2 and out == ""
    assert err.count("\n") == 1 and err.startswith(f"closest_pair.py: {path}")
    assert message in err


def test_closest_pair_reads_csv_with_header(tmp_path, capsys):
    path = write_points(tmp_path / "hand.csv", np.array(HAND_2D, dtype=float), ",", "x,y")
    rc, out, _ = run(closest_pair, ["--input", path], capsys)
    assert rc == 0
    assert "closest pair: points 3 and 4" in out and "points: 5  dimensions: 2" in out


# ------------------------------------------------------------ point reader


def read_text(tmp_path, text, name="p.txt"):
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return points_io.read_points(str(path))


@pytest.mark.parametrize("text, expected", [
    ("1,2\n3,4\n", [[1, 2], [3, 4]]),
    (" 1.5 , -2\n\n# note\n3e2,4  # inline\n", [[1.5, -2], [300, 4]]),
    ("1 2\n3\t4\n", [[1, 2], [3, 4]]),
    ("x,y\n1,2\n3,4\n", [[1, 2], [3, 4]]),
    ("# made by hand\n\nx y z\n1 2 3\n", [[1, 2, 3]]),
    ("\ufeffx,y\n-1,2\n", [[-1, 2]]),
    ("value\n5\n-7\n", [[5], [-7]]),
])
def test_reader_worked_examples(text, expected, tmp_path):
    xy = read_text(tmp_path, text)
    assert xy.dtype == np.float64 and xy.tolist() == expected


@pytest.mark.parametrize("text, message", [
    ("1,2\n3,4\n\n# c\n5,6,7\n", "line 5: expected 2 numbers, got 3"),
    ("1 2\n3,4\n", "line 2: expected 2 numbers, got 1"),
    ("1,2\n3,\n", "line 2: not a number: ''"),
    ("1,abc\n3,4\n", "line 1: not a number: 'abc'"),
    ("x,y\n", "line 1: no points in file"),
    ("", "line 1: no points in file"),
    ("# c\n\n", "line 2: no points in file"),
    ("x,y,z\n1,2\n", "line 1: the header names 3 columns, the points have 2"),
    ("1,2\nnan,4\n", "line 2: coordinates must be finite"),
    ("1 inf\n", "line 1: coordinates must be finite"),
    ("0,0\n1,0\n-0.0,0e0\n", "line 3: duplicate of the point on line 1"),
    (b"1,2\n3,4\n\xff,5\n", "line 3: cannot read: not UTF-8 text"),
])
def test_reader_errors_name_the_line(text, message, tmp_path):
    with pytest.raises(points_io.InputError) as exc:
        read_text(tmp_path, text)
    assert str(exc.value).startswith(message)


def test_reader_missing_file_and_directory(tmp_path):
    for path, phrase in ((tmp_path / "none.csv", "No such file"), (tmp_path, "cannot read")):
        with pytest.raises(points_io.InputError, match=f"^line 1: .*{phrase}"):
            points_io.read_points(str(path))


@pytest.mark.parametrize("delimiter, header", [(",", None), (" ", "a b c"), (", ", "a, b, c")])
def test_reader_round_trips_random_points_exactly(delimiter, header, tmp_path):
    xy = np.random.default_rng(len(delimiter)).normal(scale=1e3, size=(20000, 3))
    path = write_points(tmp_path / "r.txt", xy, delimiter, header)
    assert np.array_equal(points_io.read_points(path), xy)


def test_reader_slow_path_agrees_with_loadtxt(tmp_path):
    # "1_0" is a number to Python's float but not to loadtxt: the line-by-line parser takes over.
    xy = read_text(tmp_path, "".join(f"{i},{i * 0.5!r}\n" for i in range(500)) + "1_0,7\n")
    assert xy.shape == (501, 2) and xy[-1].tolist() == [10, 7]
    assert np.array_equal(xy[:500], np.column_stack([np.arange(500), np.arange(500) * 0.5]))


# ---------------------------------------------------------------- clusters


def test_clusters_finds_separated_blobs_and_draws_them(tmp_path, capsys):
    rng = np.random.default_rng(3)
    blobs = [rng.normal(c, 0.1, (m, 2)) for c, m in (((0, 0), 50), ((5, 0), 30), ((0, 5), 20))]
    path = write_points(tmp_path / "blobs.txt", np.concatenate(blobs))
    png = tmp_path / "out.png"
    rc, out, _ = run(clusters, ["--input", path, "--k", "3", "--out", str(png)], capsys)
    assert rc == 0
    assert "sizes: 50 30 20" in out
    assert 3.0 < number(r"clusters are ([\d.]+) apart", out) < 5.0
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    rc, _, err = run(clusters, ["--input", str(tmp_path / "missing.txt")], capsys)
    assert rc == 2 and "clusters.py" in err
