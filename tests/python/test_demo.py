"""Tests of the example script examples/demo.py, run in-process through main()."""
import importlib.util
import random
import sys
from pathlib import Path

import numpy as np
import pytest

from wspd_check import assert_covering

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))
DEMO_PATH = EXAMPLES / "demo.py"
_spec = importlib.util.spec_from_file_location("demo", DEMO_PATH)
demo = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(demo)

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def summary(text):
    """The 'key: value' lines of the printed summary as a dict."""
    return dict(line.split(":", 1) for line in text.splitlines() if ":" in line)


def write_points(path, points):
    path.write_text("".join(",".join(repr(x) for x in p) + "\n" for p in points))


def test_default_run_writes_png_and_passes_checks(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    assert demo.main([]) == 0
    out = summary(capsys.readouterr().out)
    png = tmp_path / "lumo_demo.png"
    assert png.read_bytes()[:8] == PNG_MAGIC
    assert out["points"].split()[0] == "3000"
    assert out["covering check"].strip() == "OK"
    pairs = int(out["pairs"].split()[0])
    assert pairs > 3000
    assert out["separation"].split()[:3] == [str(pairs), "of", str(pairs)]


@pytest.mark.parametrize("d, s", [(1, 1.0), (2, 0.5), (2, 3.0), (3, 2.0)])
def test_csv_run(tmp_path, capsys, d, s):
    rng = random.Random(100 * d + int(10 * s))
    points = [[rng.uniform(-50, 50) for _ in range(d)] for _ in range(200)]
    csv = tmp_path / "points.csv"
    write_points(csv, points)
    png = tmp_path / "pic.png"
    assert demo.main([str(csv), "--s", str(s), "--out", str(png), "--sample", "5"]) == 0
    out = summary(capsys.readouterr().out)
    assert out["points"].split()[0] == "200"
    assert f"(d = {d})" in out["points"]
    assert out["covering check"].strip() == "OK"
    assert "(5 pairs drawn)" in out["picture"]
    assert png.read_bytes()[:8] == PNG_MAGIC


@pytest.mark.parametrize("content, line, phrase", [
    ("1,2\n3,4\n\n# note\n5,6,7\n", 5, "expected 2 numbers, got 3"),
    ("1,2,3\n4,5\n", 2, "expected 3 numbers, got 2"),
    ("1,2\n3,abc\n", 2, "not a number: 'abc'"),
    ("1,2\n3,\n", 2, "not a number: ''"),
    ("1,2\nnan,4\n", 2, "finite"),
    ("1,inf\n", 1, "finite"),
    ("", 1, "no points"),
    ("# only a comment\n\n", 2, "no points"),
    ("0,0\n1,0\n0.0,0e0\n", 3, "duplicate of the point on line 1"),
    ("x,y,z\n1,2\n", 1, "header names 3 columns"),
])
def test_malformed_csv(tmp_path, capsys, content, line, phrase):
    csv = tmp_path / "bad.csv"
    csv.write_text(content)
    assert demo.main([str(csv), "--out", str(tmp_path / "x.png")]) == 2
    captured = capsys.readouterr()
    assert captured.out == ""
    assert captured.err.count("\n") == 1
    assert captured.err.startswith(f"demo.py: {csv} line {line}: ")
    assert phrase in captured.err
    assert not (tmp_path / "x.png").exists()


@pytest.mark.parametrize("make, line, phrase", [
    (lambda p: None, 1, "No such file"),
    (lambda p: p.mkdir(), 1, "cannot read"),
    (lambda p: p.write_bytes(b"1,2\n3,4\n\xff\xfe,5\n"), 3, "not UTF-8"),
])
def test_unreadable_file(tmp_path, capsys, make, line, phrase):
    path = tmp_path / "points.csv"
    make(path)
    assert demo.main([str(path)]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "Traceback" not in err
    assert err.startswith(f"demo.py: {path} line {line}: ")
    assert phrase in err


def test_value_error_from_module_is_one_line(tmp_path, monkeypatch, capsys):
    def reject(points, s):
        raise ValueError("points 1 and 4\ncoincide")

    monkeypatch.setattr(demo.lumo, "decompose", reject)
    csv = tmp_path / "p.csv"
    write_points(csv, [[0, 0], [1, 1]])
    assert demo.main([str(csv)]) == 2
    assert capsys.readouterr().err == f"demo.py: {csv}: points 1 and 4 coincide\n"


class Fake:
    """Stands in for a Decomposition: `order` and the (start, count) runs of `pairs`."""

    def __init__(self, order, pairs):
        self.order = np.asarray(order, dtype=np.int32)
        self.pairs = np.asarray(pairs, dtype=np.int32).reshape(-1, 4)


def singletons(n):
    """All pairs ({i}, {j}), j < i, as runs of the order 0..n-1."""
    return [[i, 1, j, 1] for i in range(n) for j in range(i)]


def covering(n, order, pairs):
    return demo.check_covering(n, np.asarray(order), np.asarray(pairs).reshape(-1, 4))


def as_sets(order, pairs):
    order = np.asarray(order)
    return [(order[a:a + ac], order[b:b + bc]) for a, ac, b, bc in pairs]


@pytest.mark.parametrize("order, pairs, problem", [
    (range(5), singletons(5)[1:], "cover 9 point pairs, 10 expected"),
    (range(5), singletons(5) + [[0, 1, 1, 1]], "cover 11 point pairs"),
    (range(5), singletons(5)[1:] + [[0, 1, 0, 1]], "in both sets"),
    (range(5), singletons(5)[1:] + [[0, 2, 1, 2]], "in both sets"),
    (range(5), singletons(5)[1:] + [[0, 1, 4, 2]], "outside the order"),
    (range(5), singletons(5)[1:] + [[-1, 1, 1, 1]], "outside the order"),
    (range(5), singletons(5)[1:] + [[0, 0, 1, 1]], "empty set"),
    ([4, 3, 2, 1, 0], singletons(5)[1:] + [[0, 1, 2, 1]], "points 4 and 2: a point pair is covered more than once"),
    ([0, 1, 2, 3, 3], singletons(5), "not a permutation"),
    ([0, 1, 2, 3, 5], singletons(5), "not a permutation"),
    ([0, 1, 2, 3], singletons(5), "not a permutation"),
])
def test_covering_check_finds_faults(order, pairs, problem):
    assert problem in covering(5, order, pairs)


@pytest.mark.parametrize("order, pairs, n", [
    (range(6), singletons(6), 6),
    ([4, 1, 0, 2, 3], [[0, 2, 2, 3], [0, 1, 1, 1], [2, 1, 3, 2], [4, 1, 3, 1]], 5),  # worked example
    ([0], [], 1),
])
def test_covering_check_accepts_decompositions(order, pairs, n):
    assert covering(n, order, pairs) is None


@pytest.mark.parametrize("seed", range(4))
def test_covering_check_agrees_with_reference(seed):
    # Real decompositions, then one broken row at a time; blocks of 1 to 60 rows.
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 60))
    dec = demo.lumo.decompose(rng.random((n, 2)), s=float(rng.uniform(0.5, 4)))
    order, pairs = np.asarray(dec.order), np.asarray(dec.pairs).astype(np.int64)
    variants = [pairs]
    for _ in range(12):
        broken, k = pairs.copy(), rng.integers(len(pairs))
        kind = rng.integers(4)
        if kind == 0:
            broken = np.delete(broken, k, axis=0)
        elif kind == 1:
            broken = np.vstack([broken, broken[rng.integers(len(pairs))]])
        else:  # a start or count one off, kept inside the order
            col = int(rng.choice([0, 2]) + (kind == 3))
            broken[k, col] += rng.choice([-1, 1])
            if broken[k, col] < 0 or broken[k, col - (col % 2)] + broken[k, col | 1] > n or broken[k, 1] * broken[k, 3] == 0:
                continue
        variants.append(broken)
    for rows in variants:
        for block in (n + 1, 7 * (n + 1), 10**6):
            found = demo.check_covering(n, order, rows, block_cells=block)
            try:
                assert_covering(n, as_sets(order, rows))
            except AssertionError:
                assert found is not None
            else:
                assert found is None


def test_covering_check_on_a_large_decomposition():
    rng = np.random.default_rng(11)
    dec = demo.lumo.decompose(rng.normal(size=(6000, 3)), s=1.0)
    order, pairs = np.asarray(dec.order), np.asarray(dec.pairs)
    assert demo.check_covering(6000, order, pairs) is None
    swapped = pairs.copy()
    swapped[[0, -1], 1] += [1, -1]  # the total stays right, two rectangles change
    assert demo.check_covering(6000, order, swapped) is not None


def test_pair_balls_worked_example():
    x = np.array([[0.0, 0.0], [2.0, 0.0], [10.0, 0.0], [10.0, 1.0], [11.0, 0.0]])
    order = np.array([1, 0, 4, 2, 3])
    pairs = np.array([[0, 2, 2, 3], [3, 1, 4, 1]])  # {1, 0} with {4, 2, 3}; {2} with {3}
    ca, cb, r = demo.pair_balls(x, order, pairs)
    assert ca.tolist() == [[1.0, 0.0], [10.0, 0.0]]
    assert cb.tolist() == [[10.5, 0.5], [10.0, 1.0]]
    assert r.tolist() == [1.0, 0.0]  # the larger of 1 and sqrt(0.5); single points have radius 0


def test_sample_starts_with_the_largest_modest_pair():
    ca, cb = np.array([[0.0, 0], [50, 50], [20, 80], [90, 10]]), np.array([[30.0, 0], [90, 90], [40, 80], [60, 10]])
    r = np.array([5.0, 20.0, 3.0, 4.0])
    a_sizes, b_sizes = np.array([40, 500, 6, 5]), np.array([30, 400, 5, 7])
    # pair 1 is larger but its balls are not modest; pair 2 lies farther from pair 0 than pair 3
    assert demo.choose_sample(3, ca, cb, r, a_sizes, b_sizes, 100.0) == [0, 2, 3]
    assert demo.choose_sample(1, ca, cb, r, a_sizes, b_sizes, 100.0) == [0]
    assert demo.choose_sample(0, ca, cb, r, a_sizes, b_sizes, 100.0) == []


def test_failed_covering_check_exits_1(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(demo.lumo, "decompose", lambda x, s: Fake(range(len(x)), singletons(len(x))[1:]))
    csv = tmp_path / "p.csv"
    write_points(csv, [[0, 0], [5, 0], [0, 5]])
    assert demo.main([str(csv), "--out", str(tmp_path / "x.png")]) == 1
    assert "covering check:  FAILED" in capsys.readouterr().out


def test_sample_is_distinct_and_deterministic():
    rng = np.random.default_rng(3)
    ca, cb = rng.uniform(0, 100, (30, 2)), rng.uniform(0, 100, (30, 2))
    r = rng.uniform(0.5, 5, 30)
    sizes = rng.integers(1, 9, 30)
    for k in (0, 5, 30, 50):
        sample = demo.choose_sample(k, ca, cb, r, sizes, sizes[::-1], 100.0)
        assert len(sample) == len(set(sample)) == min(k, 30)
        assert sample == demo.choose_sample(k, ca, cb, r, sizes, sizes[::-1], 100.0)


def test_unwritable_picture(tmp_path, capsys):
    csv = tmp_path / "p.csv"
    write_points(csv, [[0, 0], [1, 1], [3, 0]])
    out = tmp_path / "missing_dir" / "x.png"
    assert demo.main([str(csv), "--out", str(out)]) == 2
    assert capsys.readouterr().err == f"demo.py: {out}: cannot write: No such file or directory\n"
