"""Tests of the example scripts in examples/ (spanner and closest pair)."""

import itertools
import math
import pathlib
import re
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))

import closest_pair  # noqa: E402
import lumo  # noqa: E402
import spanner  # noqa: E402


def run(module, argv, capsys):
    rc = module.main(argv)
    captured = capsys.readouterr()
    return rc, captured.out, captured.err


def number(pattern, text):
    return float(re.search(pattern, text).group(1))


def write_points(path, xy):
    np.savetxt(path, xy, fmt="%.17g")
    return str(path)


# ---------------------------------------------------------------- spanner


@pytest.mark.parametrize("n, t, seed", [(200, 2.0, 1), (300, 1.5, 2), (250, 3.0, 3), (150, 1.2, 4)])
def test_spanner_meets_target_stretch(n, t, seed, capsys):
    rc, out, _ = run(spanner, ["--n", str(n), "--t", str(t), "--seed", str(seed)], capsys)
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
        edges = spanner.spanner_edges(xy, spanner.separation_for_stretch(1.8))
    else:
        order = rng.permutation(len(xy))
        edges = list(zip(order[:-1].tolist(), order[1:].tolist()))  # a path through all points
        edges += [tuple(e) for e in rng.integers(0, len(xy), (200, 2)).tolist() if e[0] != e[1]]
        if kind == "disconnected":
            edges = [e for e in edges if order[-1] not in e]
    worst, _ = spanner.worst_stretch(xy, edges)
    assert worst == pytest.approx(floyd_warshall_stretch(xy, edges), rel=1e-12)


@pytest.mark.parametrize("t", [1.01, 1.5, 2.0, 7.0])
def test_separation_gives_back_the_stretch(t):
    s = spanner.separation_for_stretch(t)
    assert s > 4
    assert spanner.stretch_bound(s) == pytest.approx(t, rel=1e-12)


@pytest.mark.parametrize("argv", [["--t", "1"], ["--t", "0.5"], ["--t", "nan"], ["--n", "1"]])
def test_spanner_rejects_bad_arguments(argv, capsys):
    with pytest.raises(SystemExit) as exc:
        spanner.main(argv)
    assert exc.value.code == 2


def test_spanner_reports_a_graph_that_misses_the_target(monkeypatch, capsys):
    # A star around point 0 stretches the paths between close points far from 0.
    monkeypatch.setattr(lumo, "build_lumo", lambda n, d, s, pts: [([0], [i]) for i in range(1, n)])
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
    def star(n, d, s, pts):
        return [([hub], [i]) for i in range(n) if i != hub]

    path = write_points(tmp_path / "hand.txt", np.array(HAND_2D, dtype=float))
    monkeypatch.setattr(lumo, "build_lumo", star)
    rc, out, _ = run(closest_pair, ["--input", path, "--s", str(s)], capsys)
    assert rc == 1
    assert f"-> {verdict}" in out


@pytest.mark.parametrize("argv", [["--s", "1.5"], ["--s", "-3"], ["--s", "nan"], ["--n", "1"]])
def test_closest_pair_rejects_bad_arguments(argv, capsys):
    with pytest.raises(SystemExit) as exc:
        closest_pair.main(argv)
    assert exc.value.code == 2


def test_closest_pair_reports_duplicate_points(tmp_path, capsys):
    path = write_points(tmp_path / "dup.txt", np.array([[0.0, 0.0], [1.0, 2.0], [0.0, 0.0]]))
    rc, _, err = run(closest_pair, ["--input", path], capsys)
    assert rc == 2
    assert err.startswith("error: the points cannot be decomposed")
