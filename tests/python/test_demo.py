"""Tests of the example script examples/demo.py, run in-process through main()."""
import importlib.util
import random
from pathlib import Path

import numpy as np
import pytest

DEMO_PATH = Path(__file__).resolve().parents[2] / "examples" / "demo.py"
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


def test_csv_skips_blank_and_comment_lines(tmp_path):
    csv = tmp_path / "p.csv"
    csv.write_text("# x, y\n\n 1.5 , -2\n   \n#\n3e2,4\n")
    assert demo.read_points(str(csv)) == [[1.5, -2.0], [300.0, 4.0]]


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
    def reject(n, d, s, pts):
        raise ValueError("points 1 and 4\ncoincide")

    monkeypatch.setattr(demo.lumo, "build_lumo", reject)
    csv = tmp_path / "p.csv"
    write_points(csv, [[0, 0], [1, 1]])
    assert demo.main([str(csv)]) == 2
    assert capsys.readouterr().err == f"demo.py: {csv}: points 1 and 4 coincide\n"


def all_singletons(n):
    return [([i], [j]) for i in range(n) for j in range(i)]


@pytest.mark.parametrize("pairs, problem", [
    (all_singletons(5)[1:], "cover 9 point pairs, 10 expected"),
    (all_singletons(5) + [([0], [1])], "cover 11 point pairs"),
    (all_singletons(5)[1:] + [([0], [0])], "in both sets"),
    (all_singletons(5)[1:] + [([0], [1, 5])], "outside"),
    (all_singletons(5)[1:] + [([], [1])], "empty set"),
    (all_singletons(5)[1:] + [([0], [2])], "more than once"),
])
def test_covering_check_finds_faults(pairs, problem):
    assert problem in demo.check_covering(5, *demo.flatten(pairs))


@pytest.mark.parametrize("pairs, n", [
    (all_singletons(6), 6),
    ([([4, 1], [0, 2, 3]), ([4], [1]), ([0], [2, 3]), ([3], [2])], 5),
    ([], 1),
])
def test_covering_check_accepts_decompositions(pairs, n):
    assert demo.check_covering(n, *demo.flatten(pairs)) is None


def test_covering_check_against_brute_force():
    rng = random.Random(7)
    n = 40
    pairs = []
    for i in range(n):  # pair each point with a random partition of the earlier points
        earlier = list(range(i))
        rng.shuffle(earlier)
        while earlier:
            k = rng.randint(1, len(earlier))
            pairs.append(([i], earlier[:k]))
            earlier = earlier[k:]
    assert demo.check_covering(n, *demo.flatten(pairs)) is None
    victim = rng.randrange(len(pairs))
    broken = pairs[:victim] + pairs[victim + 1:]
    assert demo.check_covering(n, *demo.flatten(broken)) is not None


@pytest.mark.parametrize("chunk", [1, 7, 10**6])
def test_cross_products_in_chunks(chunk):
    rng = random.Random(chunk)
    pairs = [(rng.sample(range(50), rng.randint(1, 6)), rng.sample(range(50), rng.randint(1, 6))) for _ in range(40)]
    expected = [(a, b) for first, second in pairs for a in first for b in second]
    got = [(int(a), int(b)) for left, right in demo.cross_products(*demo.flatten(pairs), chunk=chunk)
           for a, b in zip(left, right)]
    assert got == expected


def test_failed_covering_check_exits_1(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(demo.lumo, "build_lumo", lambda n, d, s, pts: all_singletons(n)[1:])
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
