#!/usr/bin/env python3
"""Compute the well-separated pair decomposition of a point set and draw a sample of it.

    demo.py                      built-in set of 3000 clustered 2-D points, s = 2
    demo.py POINTS [--s S]       one point per line, numbers separated by commas
                                 or blanks, optionally under a header line

The script checks that every pair of distinct points is covered by exactly one
pair of the result and that every pair is well separated, prints a summary and
writes a PNG (lumo_demo.png by default) showing a few of the pairs.
"""
import argparse
import math
import random
import sys
import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib import patheffects  # noqa: E402
import numpy as np  # noqa: E402

import lumo  # noqa: E402
from points_io import InputError, read_points  # noqa: E402

PROG = "demo.py"
MAX_CHECKED_N = 10000  # the covering check takes time proportional to n^2


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


def check_covering(n, order, pairs, block_cells=2_000_000):
    """None if every unordered pair of distinct points 0..n-1 is covered exactly once, else what is wrong.

    `order` must be a permutation of 0..n-1 and each row of `pairs` two runs
    (start, count) of it.  A pair's two runs then cover a rectangle of
    positions in `order`, above the diagonal once the run that starts first
    gives the rows; the rectangles are summed with two-dimensional prefix
    sums, a block of rows at a time, and every cell above the diagonal must
    hold exactly 1.
    """
    order = np.asarray(order, dtype=np.int64).ravel()
    pairs = np.asarray(pairs, dtype=np.int64).reshape(-1, 4)
    if len(order) != n or (n and (order.min() < 0 or order.max() >= n
                                  or (np.bincount(order, minlength=n) != 1).any())):
        return "the order is not a permutation of 0..n-1"
    a0, ac, b0, bc = pairs.T
    if (ac <= 0).any() or (bc <= 0).any():
        return "a pair has an empty set"
    if (np.minimum(a0, b0) < 0).any() or (np.maximum(a0 + ac, b0 + bc) > n).any():
        return "a set lies outside the order"
    first = a0 <= b0
    r0, r1 = np.where(first, a0, b0), np.where(first, a0 + ac, b0 + bc)
    c0, c1 = np.where(first, b0, a0), np.where(first, b0 + bc, a0 + ac)
    if (r1 > c0).any():
        return "a point lies in both sets of a pair"
    total, expected = int(ac @ bc), n * (n - 1) // 2
    if total != expected:
        return f"the pairs cover {total} point pairs, {expected} expected"

    # Corner updates of each rectangle [r0, r1) x [c0, c1), sorted by row.
    rows = np.concatenate([r0, r0, r1, r1])
    cols = np.concatenate([c0, c1, c0, c1])
    signs = np.repeat(np.array([1, -1, -1, 1], dtype=np.int32), len(pairs))
    by_row = np.argsort(rows, kind="stable")
    rows, cols, signs = rows[by_row], cols[by_row], signs[by_row]
    carry = np.zeros(n + 1, dtype=np.int32)  # column differences of the rows above the block
    step = max(1, block_cells // (n + 1))
    for lo in range(0, n, step):
        hi = min(lo + step, n)
        i, j = np.searchsorted(rows, [lo, hi])
        diff = np.zeros((hi - lo, n + 1), dtype=np.int32)
        np.add.at(diff, (rows[i:j] - lo, cols[i:j]), signs[i:j])
        diff[0] += carry
        np.cumsum(diff, axis=0, out=diff)
        carry = diff[-1].copy()
        cover = np.cumsum(diff[:, :n], axis=1, dtype=np.int32)
        upper = np.arange(n)[None, :] > np.arange(lo, hi)[:, None]
        for bad, what in ((cover > 1, "more than once"), (upper & (cover == 0), "by no pair")):
            if bad.any():
                p, q = np.argwhere(bad)[0]
                return f"points {order[lo + p]} and {order[q]}: a point pair is covered {what}"
    return None


def runs(order, starts, counts):
    """The point indices of the runs order[start:start + count], end to end."""
    ends = np.cumsum(counts)
    offsets = np.arange(ends[-1] if len(ends) else 0) - np.repeat(ends - counts, counts)
    return np.asarray(order)[np.repeat(starts, counts) + offsets]


def pair_balls(x, order, pairs):
    """Per pair: the centres of both sets' bounding boxes and the common radius r,
    the larger of the two half diagonals."""
    runs_ = np.concatenate([pairs[:, 0:2], pairs[:, 2:4]])
    if len(runs_) == 0:
        return np.zeros((0, x.shape[1])), np.zeros((0, x.shape[1])), np.zeros(0)
    # The sets are subtrees of the split tree: at most 2n - 1 distinct runs.
    distinct, which = np.unique(runs_, axis=0, return_inverse=True)
    which = which.ravel()
    flat = x[runs(order, distinct[:, 0], distinct[:, 1])]
    starts = np.cumsum(distinct[:, 1]) - distinct[:, 1]
    lo, hi = np.minimum.reduceat(flat, starts, axis=0), np.maximum.reduceat(flat, starts, axis=0)
    centre, radius = ((lo + hi) * 0.5)[which], np.linalg.norm((hi - lo) * 0.5, axis=1)[which]
    m = len(pairs)
    return centre[:m], centre[m:], np.maximum(radius[:m], radius[m:])


def choose_sample(k, ca, cb, r, a_sizes, b_sizes, extent):
    """Up to k pairs spread over the picture (farthest-first): first the largest
    pair whose balls stay modest (two clusters), then pairs of a few points each."""
    if k <= 0 or len(r) == 0:
        return []
    small = np.minimum(a_sizes, b_sizes)
    fits = np.flatnonzero(r <= 0.1 * extent)
    pool = fits if len(fits) else np.arange(len(r))
    big = int(pool[np.argmax(small[pool])])
    visible = (r >= 0.015 * extent) & (r <= 0.06 * extent) & (np.linalg.norm(ca - cb, axis=1) <= 0.45 * extent)
    visible[big] = False
    for min_size in (5, 4, 3, 2, 1):
        cand = np.flatnonzero(visible & (small >= min_size))
        if len(cand) >= k - 1:
            break
    if len(cand) < k - 1:  # fall back to all pairs, whatever their size
        cand = np.setdiff1d(np.arange(len(r)), [big])
    chosen = [big]
    gap = np.full(len(cand), np.inf)
    while len(chosen) < k and len(cand):
        last = chosen[-1]
        for c in (ca, cb):  # distance to the nearest centre of any chosen pair
            for c_last in (ca[last], cb[last]):
                gap = np.minimum(gap, np.linalg.norm(c[cand] - c_last, axis=1))
        pick = int(np.argmax(gap))
        if gap[pick] == -np.inf:
            break
        gap[pick] = -np.inf
        chosen.append(int(cand[pick]))
    return chosen


def gap_ends(ca, cb, r):
    """The ends of the gap: where the segment between the centres leaves each ball."""
    d = np.linalg.norm(cb - ca)
    u = (cb - ca) / d if d > 0 else np.zeros_like(ca)
    return ca + u * r, cb - u * r


def draw(path, xy, d, s, order, pairs, sample, ca, cb, r):
    fig, ax = plt.subplots(figsize=(10.5, 8.4), dpi=110)
    ax.scatter(xy[:, 0], xy[:, 1], s=3, color="0.78", linewidths=0, zorder=1)
    colours = plt.get_cmap("tab10").colors + plt.get_cmap("Dark2").colors
    # In 1-D all points lie on the x axis; each drawn pair gets a lane of its own above it.
    lane = 2.5 * max(r[sample], default=0.0) if d == 1 else 0.0
    for i, k in enumerate(sample):
        colour = colours[i % len(colours)]
        shift = np.array([0.0, (i + 1) * lane])
        a0, ac, b0, bc = (int(v) for v in pairs[k])
        pts = xy[np.concatenate([order[a0:a0 + ac], order[b0:b0 + bc]])] + shift
        gap = np.linalg.norm(cb[k] - ca[k]) - 2 * r[k]
        ratio = f"{gap / r[k]:.2f} r" if r[k] > 0 else "> 0, r = 0"
        ax.scatter(pts[:, 0], pts[:, 1], s=14 if i else 6, color=colour, zorder=3, alpha=1.0 if i else 0.6,
                   label=f"pair {k}: {ac} + {bc} points, gap {ratio}")
        centres = np.array([ca[k], cb[k]]) + shift
        for c in centres:
            ax.add_patch(plt.Circle(c, r[k], facecolor=(*colour, 0.08), edgecolor=colour, lw=1.4, zorder=2))
        ends = np.array(gap_ends(*centres, r[k]))
        ax.plot(*np.array([centres[0], ends[0]]).T, color=colour, lw=1.0, ls=":", zorder=2)
        ax.plot(*np.array([ends[1], centres[1]]).T, color=colour, lw=1.0, ls=":", zorder=2)
        ax.plot(*ends.T, color=colour, lw=2.6, solid_capstyle="butt", zorder=4)
        if i == 0:
            annotate_pair(ax, centres, ends, r[k], gap, s)
    view = {1: "\n(1-D: all points on the x axis, each drawn pair on a lane of its own)", 2: ""}
    view = view.get(d, f"  (first 2 of {d} coordinates)")
    ax.set_title(f"Well-separated pairs: n = {len(xy)}, s = {s:g}, {len(pairs)} pairs, "
                 f"{len(sample)} drawn{view}")
    ax.set_aspect("equal", adjustable="datalim")
    if sample:
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False)
    fig.text(0.02, 0.015,
             "Each colour is one pair (A, B). Both balls of a pair have its common radius r, the larger of the two "
             "sets' radii\n(marked r on the first pair); the solid segment between the balls is the gap, longer than "
             f"s\u00b7r = {s:g} r.\nEvery two of the {len(xy)} points lie in exactly one pair, one point in A "
             "and the other in B.",
             fontsize=9, va="bottom")
    fig.tight_layout(rect=(0, 0.06, 1, 1))
    fig.savefig(path)
    plt.close(fig)


def annotate_pair(ax, centres, ends, r, gap, s):
    """Mark one pair's common radius in both balls and label its gap."""
    halo = [patheffects.withStroke(linewidth=3.5, foreground="white")]
    text = dict(fontsize=10, fontweight="bold", color="black", zorder=7, path_effects=halo,
                textcoords="offset points", ha="center", va="center")
    along = ends[1] - ends[0]
    up = np.array([-along[1], along[0]]) / (np.linalg.norm(along) or 1.0)
    if up[1] < 0:
        up = -up
    for c in centres:  # a radius at right angles to the gap, so the two do not overlap
        tip = c + up * r
        ax.plot(*np.array([c, tip]).T, color="black", lw=1.6, zorder=6, path_effects=halo)
        ax.plot(*c, marker="+", color="black", ms=8, zorder=6)
        ax.annotate("r", (c + tip) / 2, xytext=(8, 0), **text)
    label = f"gap {gap / r:.2f} r\n> s\u00b7r = {s:g} r" if r > 0 else "gap"
    ax.annotate(label, (ends[0] + ends[1]) / 2, xytext=tuple(-up * 22), **text)


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
    parser.add_argument("points", nargs="?", help="point file, one point per line (default: built-in clusters)")
    parser.add_argument("--s", type=finite_float, default=2.0, help="separation factor (default 2)")
    parser.add_argument("--out", default="lumo_demo.png", help="PNG to write (default lumo_demo.png)")
    parser.add_argument("--sample", type=int, default=12, help="number of pairs to draw (default 12)")
    args = parser.parse_args(argv)
    source = args.points if args.points is not None else "built-in clusters"

    try:
        x = read_points(args.points) if args.points is not None else np.array(default_points())
        n, d = x.shape
        start = time.perf_counter()
        dec = lumo.decompose(x, args.s)
        elapsed = time.perf_counter() - start
    except InputError as e:
        print(f"{PROG}: {source} {e}", file=sys.stderr)
        return 2
    except ValueError as e:  # lumo rejects the input
        message = " ".join(str(e).split())
        print(f"{PROG}: {source}: {message}", file=sys.stderr)
        return 2

    order = np.asarray(dec.order)
    pairs = np.asarray(dec.pairs).reshape(-1, 4)
    if n <= MAX_CHECKED_N:
        problem = check_covering(n, order, pairs)
        covering = "OK" if problem is None else f"FAILED: {problem}"
    else:
        problem, covering = None, f"skipped (more than {MAX_CHECKED_N} points)"
    if problem is None:
        ca, cb, r = pair_balls(x, order, pairs)
    else:
        ca = cb = np.zeros((len(pairs), d))
        r = np.zeros(len(pairs))
    dist = np.linalg.norm(ca - cb, axis=1)
    separated = int((dist - 2 * r > r * args.s - 1e-9 * (dist + r * abs(args.s))).sum())

    total = int(pairs[:, 1].sum() + pairs[:, 3].sum())
    print(f"points:          {n} from {source} (d = {d})")
    print(f"separation s:    {args.s:g}")
    print(f"pairs:           {len(pairs)} ({len(pairs) / n:.2f} per point)")
    print(f"sum |A|+|B|:     {total} ({total / n:.2f} per point)")
    print(f"decompose time:  {elapsed:.4f} s")
    print(f"covering check:  {covering}")
    print(f"separation:      {separated} of {len(pairs)} pairs well separated")

    xy, ca2, cb2 = plane(x), plane(ca), plane(cb)
    extent = float(np.ptp(xy, axis=0).max()) or 1.0
    sample = choose_sample(args.sample, ca2, cb2, r, pairs[:, 1], pairs[:, 3], extent)
    try:
        draw(args.out, xy, d, args.s, order, pairs, sample, ca2, cb2, r)
    except OSError as e:
        print(f"{PROG}: {args.out}: cannot write: {e.strerror or e}", file=sys.stderr)
        return 2
    print(f"picture:         {args.out} ({len(sample)} pairs drawn)")
    return 0 if problem is None and separated == len(pairs) else 1


if __name__ == "__main__":
    sys.exit(main())
