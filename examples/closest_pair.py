"""Closest pair and approximate diameter from the well-separated pair decomposition.

The closest pair is found among the pairs whose two sets are single points;
the diameter is approximated by the longest distance between the first points
of the two sets of a pair.  Both are compared with brute force over all pairs.

    PYTHONPATH=build python examples/closest_pair.py [--n 3000] [--s 8] [--seed 1]
    PYTHONPATH=build python examples/closest_pair.py --input points.txt

An input file holds one point per line, coordinates separated by commas or
blanks, with an optional header line ('#' starts a comment); its column count
is the dimension.
"""

import argparse
import sys

import numpy as np

import lumo
from points_io import InputError, read_points

PROG = "closest_pair.py"

# Let (A, B) be a pair with centres cA, cB at distance D and common radius r
# (the larger of the two radii), D - 2r > s*r.  Every point of A lies within r
# of cA, every point of B within r of cB, so for p, p' in A and q in B:
#   |pp'| <= 2r   and   |pq| >= D - 2r > s*r.
#
# Closest pair, for s >= 2: let p, q be a closest pair and (A, B) the pair
# that holds them, p in A, q in B.  If A had a second point p', then
# |pp'| <= 2r <= s*r < |pq|, so p, p' would be closer: a contradiction.  The
# same holds for B, so both sets are single points, and the minimum over the
# single-point pairs is the true minimum.  Below s = 2 this can fail: points
# 0, 1, 1+g, 2+g on a line with s/2 < g < 1 are split into {0, 1} and
# {1+g, 2+g}, radius 1/2 each, gap g > s/2, so they form a single pair and the
# closest pair (1, 1+g) is in no pair of single points.  Hence s >= 2 here.
#
# Diameter, for any s > 0: let p, q be a farthest pair, (A, B) its pair and
# a, b the first points of A and B.  Then
#   |pq| <= |pa| + |ab| + |bq| <= |ab| + 4r < (1 + 4/s)|ab|,
# since |ab| > s*r.  The longest representative distance is a real distance,
# so  approx <= diameter < (1 + 4/s) * approx.


def diameter_factor(s):
    return 1.0 + 4.0 / s


def distances(xy, i, j):
    """Euclidean distances between the points xy[i] and xy[j] (index arrays)."""
    return np.sqrt(((xy[i] - xy[j]) ** 2).sum(axis=-1))


def decompose(xy, s):
    return lumo.decompose(xy, s)


def from_pairs(xy, dec):
    """(closest, farthest) as (distance, i, j), read off the decomposition;
    (inf, -1, -1) for the closest if no pair has two single points."""
    reps = np.asarray(dec.representatives(), dtype=np.intp).reshape(-1, 2)
    counts = np.asarray(dec.pairs).reshape(-1, 4)[:, [1, 3]]
    a, b = reps[:, 0], reps[:, 1]
    single = np.flatnonzero((counts == 1).all(axis=1))
    d = distances(xy, a, b)
    hi = np.argmax(d)
    far = (float(d[hi]), int(a[hi]), int(b[hi]))
    if len(single) == 0:
        return (np.inf, -1, -1), far
    lo = single[np.argmin(d[single])]
    return (float(d[lo]), int(a[lo]), int(b[lo])), far


def brute_force(xy, block=512):
    """(closest, farthest) as (distance, i, j) over all point pairs."""
    n = len(xy)
    near, far = (np.inf, -1, -1), (-np.inf, -1, -1)
    for start in range(0, n, block):
        rows = np.arange(start, min(start + block, n))
        d2 = ((xy[rows, None, :] - xy[None, :, :]) ** 2).sum(axis=2)
        i, j = np.unravel_index(np.argmax(d2), d2.shape)
        d = float(distances(xy, rows[i], j))
        if d > far[0]:
            far = (d, int(rows[i]), int(j))
        d2[np.arange(len(rows)), rows] = np.inf
        i, j = np.unravel_index(np.argmin(d2), d2.shape)
        d = float(distances(xy, rows[i], j))
        if d < near[0]:
            near = (d, int(rows[i]), int(j))
    return near, far


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=3000, help="number of random points (default 3000)")
    parser.add_argument("--s", type=float, default=8.0, help="separation factor, >= 2 (default 8)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    parser.add_argument("--input", help="read the points from this file instead")
    args = parser.parse_args(argv)
    if not args.s >= 2.0:
        parser.error("--s must be at least 2 for the closest pair to be exact")
    if args.input is None and args.n < 2:
        parser.error("--n must be at least 2")

    source = args.input or "random points"
    try:
        if args.input:
            xy = read_points(args.input)
        else:
            xy = np.random.default_rng(args.seed).random((args.n, 2))
        if len(xy) < 2:
            raise ValueError("need at least 2 points, the file has 1")
        dec = decompose(xy, args.s)
    except InputError as err:
        print(f"{PROG}: {source} {err}", file=sys.stderr)
        return 2
    except ValueError as err:  # lumo rejects the points
        print(f"{PROG}: {source}: {' '.join(str(err).split())}", file=sys.stderr)
        return 2
    n, dim = xy.shape

    (near_d, ni, nj), (far_d, fi, fj) = from_pairs(xy, dec)
    (bnear_d, bni, bnj), (bfar_d, bfi, bfj) = brute_force(xy)
    pairs = np.asarray(dec.pairs).reshape(-1, 4)
    singles = int(((pairs[:, 1] == 1) & (pairs[:, 3] == 1)).sum())
    exact = near_d == bnear_d
    ratio = bfar_d / far_d
    bound = diameter_factor(args.s)
    within = 1.0 <= ratio < bound

    print(f"points: {n}  dimensions: {dim}  separation s = {args.s:g}")
    print(f"pairs: {len(pairs)} ({len(pairs) / n:.2f} per point), {singles} of two single points")
    print(f"closest pair: points {ni} and {nj}, distance {near_d:.6g}")
    print(f"  brute force: points {bni} and {bnj}, distance {bnear_d:.6g} -> "
          + ("exact" if exact else "WRONG"))
    print(f"diameter: approx {far_d:.6g} (points {fi} and {fj}), "
          f"exact {bfar_d:.6g} (points {bfi} and {bfj})")
    print(f"  ratio exact/approx {ratio:.6f}, bound 1 + 4/s = {bound:.6f} -> "
          + ("within" if within else "OUTSIDE"))
    return 0 if exact and within else 1


if __name__ == "__main__":
    sys.exit(main())
