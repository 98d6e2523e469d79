#!/usr/bin/env python3
"""Compute the well-separated pair decomposition of a point set and draw a sample of it.

    demo.py                      built-in set of 3000 clustered 2-D points, s = 2
    demo.py POINTS.csv [--s S]   one point per line, comma-separated numbers

The script checks that every pair of distinct points is covered by exactly one
pair of the result and that every pair is well separated, prints a summary and
writes a PNG (lumo_demo.png by default) showing a few of the pairs.
"""
import argparse
import math
import random
import sys
import time
from itertools import chain

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import lumo  # noqa: E402

PROG = "demo.py"
MAX_CHECKED_N = 10000  # the covering check keeps one flag per pair of points


class InputError(Exception):
    """A problem with the user's input, reported as one line."""


def default_points(n=3000, clusters=12, seed=20240611):
    """Fixed pseudo-random 2-D points in Gaussian clusters of differing spreads and sizes."""
    rng = random.Random(seed)
    shapes = [(rng.uniform(5, 95), rng.uniform(5, 95), rng.uniform(0.6, 6.0), rng.uniform(0.5, 2.0))
              for _ in range(clusters)]
    weights = [w for *_, w in shapes]
    seen, points = set(), []
    while len(points) < n:
        cx, cy, spread, _ = rng.choices(shapes, weights)[0]
        p = (round(rng.gauss(cx, spread), 6), round(rng.gauss(cy, spread), 6))
        if p not in seen:
            seen.add(p)
            points.append(list(p))
    return points


def read_points(path):
    """Read one point per line; blank lines and lines starting with '#' are skipped."""
    points, first_line = [], {}
    lineno = 0
    try:
        with open(path, "rb") as f:  # decoded line by line, so a bad byte is reported on its own line
            for lineno, raw in enumerate(f, 1):
                text = raw.decode("utf-8").strip()
                if not text or text.startswith("#"):
                    continue
                fields = [x.strip() for x in text.split(",")]
                if points and len(fields) != len(points[0]):
                    raise InputError(f"line {lineno}: expected {len(points[0])} numbers, got {len(fields)}")
                try:
                    coords = [float(x) for x in fields]
                except ValueError:
                    bad = next(x for x in fields if not _is_float(x))
                    raise InputError(f"line {lineno}: not a number: {bad!r}") from None
                if not all(map(math.isfinite, coords)):
                    raise InputError(f"line {lineno}: coordinates must be finite, got {text!r}")
                key = tuple(coords)
                if key in first_line:
                    raise InputError(f"line {lineno}: duplicate of the point on line {first_line[key]}")
                first_line[key] = lineno
                points.append(coords)
    except OSError as e:
        raise InputError(f"line {lineno + 1}: cannot read: {e.strerror or e}") from None
    except UnicodeDecodeError:
        raise InputError(f"line {lineno}: cannot read: not UTF-8 text") from None
    if not points:
        raise InputError(f"line {max(lineno, 1)}: no points in file")
    return points


def _is_float(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


def flatten(pairs):
    """Index arrays and set sizes of the first and second sets of all pairs."""
    out = []
    for side in (0, 1):
        sizes = np.fromiter((len(p[side]) for p in pairs), dtype=np.int64, count=len(pairs))
        flat = np.fromiter(chain.from_iterable(p[side] for p in pairs), dtype=np.int64, count=int(sizes.sum()))
        out += [flat, sizes]
    return out


def cross_products(a_flat, a_sizes, b_flat, b_sizes, chunk=500_000):
    """Yield the products A x B of all pairs as (left, right) index arrays, about `chunk` at a time."""
    a_start, b_start = np.cumsum(a_sizes) - a_sizes, np.cumsum(b_sizes) - b_sizes
    ends = np.cumsum(a_sizes * b_sizes)
    lo = 0
    while lo < len(a_sizes):
        done = ends[lo - 1] if lo else 0
        hi = max(lo + 1, int(np.searchsorted(ends, done + chunk, side="right")))
        a_sz, b_sz = a_sizes[lo:hi], b_sizes[lo:hi]
        # Each element of A is repeated |B| times and matched with the run of B's elements of its pair.
        runs = np.repeat(b_sz, a_sz)
        left = np.repeat(a_flat[a_start[lo]:a_start[hi - 1] + a_sz[-1]], runs)
        first_b = np.repeat(np.repeat(b_start[lo:hi], a_sz), runs)
        within = np.arange(len(left)) - np.repeat(np.cumsum(runs) - runs, runs)
        yield left, b_flat[first_b + within]
        lo = hi


def check_covering(n, a_flat, a_sizes, b_flat, b_sizes):
    """None if every unordered pair of distinct points 0..n-1 is covered exactly once, else what is wrong."""
    if (a_sizes == 0).any() or (b_sizes == 0).any():
        return "a pair has an empty set"
    for flat in (a_flat, b_flat):
        if flat.size and (flat.min() < 0 or flat.max() >= n):
            return "an index lies outside 0..n-1"
    total, expected = int(a_sizes @ b_sizes), n * (n - 1) // 2
    if total != expected:
        return f"the pairs cover {total} point pairs, {expected} expected"
    seen = np.zeros(expected, dtype=bool)  # one flag per unordered point pair {lo < hi}
    for left, right in cross_products(a_flat, a_sizes, b_flat, b_sizes):
        if (left == right).any():
            return "a point lies in both sets of a pair"
        low, high = np.minimum(left, right), np.maximum(left, right)
        seen[high * (high - 1) // 2 + low] = True
    if int(seen.sum()) != total:
        return "a point pair is covered more than once"
    return None


def pair_balls(x, flat, sizes):
    """Bounding box centre and half diagonal of each set."""
    starts = np.cumsum(sizes) - sizes
    lo = np.minimum.reduceat(x[flat], starts, axis=0)
    hi = np.maximum.reduceat(x[flat], starts, axis=0)
    return (lo + hi) * 0.5, np.linalg.norm((hi - lo) * 0.5, axis=1)


def choose_sample(k, ca, cb, r, a_sizes, b_sizes, extent):
    """Up to k pairs with visible sets and modest circles, spread over the picture (farthest-first)."""
    visible = (r >= 0.015 * extent) & (r <= 0.06 * extent) & (np.linalg.norm(ca - cb, axis=1) <= 0.45 * extent)
    for min_size in (5, 4, 3, 2, 1):
        cand = np.flatnonzero(visible & (np.minimum(a_sizes, b_sizes) >= min_size))
        if len(cand) >= k:
            break
    if len(cand) < k:  # fall back to all pairs, whatever their size
        cand = np.arange(len(r))
    if k <= 0 or len(cand) == 0:
        return []
    mids = (ca[cand] + cb[cand]) * 0.5
    chosen = [int(np.argmin(np.linalg.norm(mids - mids.mean(axis=0), axis=1)))]
    gap = np.full(len(cand), np.inf)
    while len(chosen) < min(k, len(cand)):
        last = chosen[-1]
        for c in (ca, cb):  # distance to the nearest centre of any chosen pair
            for c_last in (ca[cand[last]], cb[cand[last]]):
                gap = np.minimum(gap, np.linalg.norm(c[cand] - c_last, axis=1))
        gap[last] = -np.inf
        chosen.append(int(np.argmax(gap)))
    return [int(cand[i]) for i in chosen]


def draw(path, xy, d, s, pairs, sample, ca, cb, r):
    fig, ax = plt.subplots(figsize=(10, 8.5), dpi=110)
    ax.scatter(xy[:, 0], xy[:, 1], s=3, color="0.78", linewidths=0, zorder=1)
    colours = plt.get_cmap("tab10").colors + plt.get_cmap("Dark2").colors
    # In 1-D all points lie on the x axis; each drawn pair gets a lane of its own above it.
    lane = 2.5 * max(r[sample], default=0.0) if d == 1 else 0.0
    for i, k in enumerate(sample):
        colour = colours[i % len(colours)]
        shift = np.array([0.0, (i + 1) * lane])
        first, second = pairs[k]
        pts = xy[np.array(first + second)] + shift
        ax.scatter(pts[:, 0], pts[:, 1], s=14, color=colour, zorder=3,
                   label=f"pair {k}: {len(first)} + {len(second)} points")
        centres = np.array([ca[k], cb[k]]) + shift
        for c in centres:
            ax.add_patch(plt.Circle(c, r[k], facecolor=(*colour, 0.08), edgecolor=colour, lw=1.4, zorder=2))
        ax.plot(centres[:, 0], centres[:, 1], color=colour, lw=1.2, ls="--", zorder=2)
    view = {1: "\n(1-D: all points on the x axis, each drawn pair on a lane of its own)", 2: ""}
    view = view.get(d, f"  (first 2 of {d} coordinates)")
    ax.set_title(f"Well-separated pairs: n = {len(xy)}, s = {s:g}, {len(pairs)} pairs, "
                 f"{len(sample)} drawn{view}")
    ax.set_aspect("equal", adjustable="datalim")
    if sample:
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def plane(c):
    """The first two coordinates of each row; 1-D values are put on the x axis."""
    return c[:, :2] if c.shape[1] >= 2 else np.column_stack([c[:, 0], np.zeros(len(c))])


def finite_float(text):
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def main(argv=None):
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__.splitlines()[0])
    parser.add_argument("points", nargs="?", help="CSV file, one point per line (default: built-in clusters)")
    parser.add_argument("--s", type=finite_float, default=2.0, help="separation factor (default 2)")
    parser.add_argument("--out", default="lumo_demo.png", help="PNG to write (default lumo_demo.png)")
    parser.add_argument("--sample", type=int, default=12, help="number of pairs to draw (default 12)")
    args = parser.parse_args(argv)
    source = args.points if args.points is not None else "built-in clusters"

    try:
        coords = read_points(args.points) if args.points is not None else default_points()
        n, d = len(coords), len(coords[0])
        pts = [lumo.point(c) for c in coords]
        start = time.perf_counter()
        pairs = lumo.build_lumo(n, d, args.s, pts)
        elapsed = time.perf_counter() - start
    except InputError as e:
        print(f"{PROG}: {source} {e}", file=sys.stderr)
        return 2
    except ValueError as e:  # lumo rejects the input
        message = " ".join(str(e).split())
        print(f"{PROG}: {source}: {message}", file=sys.stderr)
        return 2

    x = np.array(coords, dtype=float)
    a_flat, a_sizes, b_flat, b_sizes = flatten(pairs)
    if n <= MAX_CHECKED_N:
        problem = check_covering(n, a_flat, a_sizes, b_flat, b_sizes)
        covering = "OK" if problem is None else f"FAILED: {problem}"
    else:
        problem, covering = None, f"skipped (more than {MAX_CHECKED_N} points)"
    if pairs and a_sizes.min() > 0 and b_sizes.min() > 0:
        (ca, ra), (cb, rb) = pair_balls(x, a_flat, a_sizes), pair_balls(x, b_flat, b_sizes)
    else:
        ca = cb = np.zeros((len(pairs), d))
        ra = rb = np.zeros(len(pairs))
    r = np.maximum(ra, rb)
    dist = np.linalg.norm(ca - cb, axis=1)
    separated = int((dist - 2 * r > r * args.s - 1e-9 * (dist + r * abs(args.s))).sum())

    total = int(a_sizes.sum() + b_sizes.sum())
    print(f"points:          {n} from {source} (d = {d})")
    print(f"separation s:    {args.s:g}")
    print(f"pairs:           {len(pairs)} ({len(pairs) / n:.2f} per point)")
    print(f"sum |A|+|B|:     {total} ({total / n:.2f} per point)")
    print(f"build_lumo time: {elapsed:.4f} s")
    print(f"covering check:  {covering}")
    print(f"separation:      {separated} of {len(pairs)} pairs well separated")

    xy, ca2, cb2 = plane(x), plane(ca), plane(cb)
    extent = float(np.ptp(xy, axis=0).max()) or 1.0
    sample = choose_sample(args.sample, ca2, cb2, r, a_sizes, b_sizes, extent)
    try:
        draw(args.out, xy, d, args.s, pairs, sample, ca2, cb2, r)
    except OSError as e:
        print(f"{PROG}: {args.out}: cannot write: {e.strerror or e}", file=sys.stderr)
        return 2
    print(f"picture:         {args.out} ({len(sample)} pairs drawn)")
    return 0 if problem is None and separated == len(pairs) else 1


if __name__ == "__main__":
    sys.exit(main())
