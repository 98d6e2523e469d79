"""Geometric t-spanner from the well-separated pair decomposition.

One edge per pair, joining one point of each set (the pair's representatives),
gives a graph whose shortest paths are at most t times the straight-line
distance between any two points.  The script builds that graph for random
points in the unit square, measures the worst stretch over all point pairs
(all-sources Dijkstra from scipy.sparse.csgraph) and compares it with t.

    PYTHONPATH=build python examples/spanner.py [--n 1000] [--t 2] [--seed 1] [--sources 0]

The graph comes from lumo.spanner, edges with their lengths, straight into a sparse matrix;
the stretch is measured from every point, or from --sources random ones (all sources take
n^2 work: use --sources 200 for 200,000 points). The default of 1000 points takes about a
second.  A tight t is expensive: the
separation s = 4(t + 1)/(t - 1) grows quickly as t approaches 1, and so does
the number of pairs.  Of the 44,850 possible edges on 300 random points,
t = 3 keeps 22%, t = 2 keeps 32%, t = 1.5 keeps 48%, t = 1.2 keeps 75% and
t = 1.1 keeps 40,313 (90%), hardly fewer than the complete graph.  The
measured stretch stays well below t (1.04 for t = 1.1, 1.26 for t = 2).
"""

import argparse
import sys
import time

import numpy as np
from scipy.sparse import coo_matrix
from scipy.sparse.csgraph import shortest_path

import lumo

# Why s = 4(t + 1)/(t - 1).  Let (A, B) be a pair with centres cA, cB at
# distance D and common radius r (the larger of the two radii), D - 2r > s*r.
# Every point of A lies within r of cA and every point of B within r of cB.
# So for p, a in A and q, b in B:
#   |pa| <= 2r, and |pq| >= D - 2r > s*r,       hence |pa| < (2/s)|pq|,
#   |ab| <= |ap| + |pq| + |qb| < (1 + 4/s)|pq|.
# Induction over the point pairs in order of distance: if every closer pair
# already has a path of at most t times its length, then p -> a, edge a-b,
# b -> q has length < t*(4/s)|pq| + (1 + 4/s)|pq|, which is <= t*|pq| when
# t*(1 - 4/s) >= 1 + 4/s, i.e. t >= (s + 4)/(s - 4) for s > 4.  (Since s > 4,
# |pa| and |qb| are shorter than |pq|, so the induction applies to them; for
# the closest pair of all this forces a = p and b = q: the edge itself.)
# Solving (s + 4)/(s - 4) = t for s gives s = 4(t + 1)/(t - 1).


def separation_for_stretch(t):
    return 4.0 * (t + 1.0) / (t - 1.0)


def stretch_bound(s):
    return (s + 4.0) / (s - 4.0)


def random_points(n, seed):
    return np.random.default_rng(seed).random((n, 2))


def spanner(xy, t):
    """The t-spanner's edges, (m, 2) with the smaller index first, and their lengths."""
    edges, lengths = lumo.spanner(xy, t, workers=-1)
    return np.asarray(edges), np.asarray(lengths)


def graph(xy, edges, lengths=None):
    """Sparse matrix of the edge lengths, for an undirected search.

    lumo.spanner's edges (given with their lengths) are distinct and none is a loop, so they
    go into the matrix as they are, marked canonical: the conversion to CSR then skips a sort
    of every row that would only look for repeats. Other edge lists lose repeats and loops
    first.
    """
    n = len(xy)
    if lengths is None:
        edges = np.asarray(edges, dtype=np.int64).reshape(-1, 2)
        edges = np.unique(np.sort(edges[edges[:, 0] != edges[:, 1]], axis=1), axis=0)
        lengths = np.linalg.norm(xy[edges[:, 0]] - xy[edges[:, 1]], axis=1)
    # SciPy keeps indices that fit as int32; handing them over so spares it a slower check
    # and copy of its own.
    matrix = coo_matrix((lengths, np.asarray(edges, dtype=np.int32).T), shape=(n, n))
    matrix.has_canonical_format = True
    return matrix


def worst_stretch(xy, g, sources=None, block=256):
    """Largest distance in the graph g / Euclidean distance over all point pairs (from the
    given sources only, if any), with the pair that attains it (None when no pair is
    stretched beyond 1). Disconnected points give an infinite stretch."""
    g = g.tocsr()  # once, rather than in every shortest_path call
    sources = np.arange(len(xy)) if sources is None else np.asarray(sources)
    worst, where = 1.0, None
    for lo in range(0, len(sources), block):
        part = sources[lo:lo + block]
        dist = shortest_path(g, method="D", directed=False, indices=part)
        euclid = np.linalg.norm(xy[part, None, :] - xy[None, :, :], axis=2)
        euclid[np.arange(len(part)), part] = np.inf  # 0 / inf = 0 for the source itself
        ratio = dist / euclid
        i, v = np.unravel_index(np.argmax(ratio), ratio.shape)
        if ratio[i, v] > worst:
            worst, where = float(ratio[i, v]), (int(part[i]), int(v))
    return worst, where


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1000, help="number of points (default 1000)")
    parser.add_argument("--t", type=float, default=2.0, help="target stretch, > 1 (default 2)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    parser.add_argument("--sources", type=int, default=0,
                        help="measure the stretch from this many random points (default 0: all)")
    args = parser.parse_args(argv)
    if args.n < 2:
        parser.error("--n must be at least 2")
    if not args.t > 1.0:
        parser.error("--t must be greater than 1")
    if args.sources < 0:
        parser.error("--sources must not be negative")

    s = separation_for_stretch(args.t)
    xy = random_points(args.n, args.seed)
    start = time.perf_counter()
    edges, lengths = spanner(xy, args.t)
    g = graph(xy, edges, lengths)
    built = time.perf_counter()
    sources = None
    if 0 < args.sources < args.n:
        sources = np.random.default_rng(args.seed).choice(args.n, args.sources, replace=False)
    worst, where = worst_stretch(xy, g, sources=sources)
    measured = time.perf_counter()

    print(f"points: {args.n}  target stretch t = {args.t:g}  separation s = {s:.4f}")
    possible = args.n * (args.n - 1) // 2
    print(f"edges: {len(edges)}  edges per point: {len(edges) / args.n:.2f}  "
          f"({100 * len(edges) / possible:.1f}% of the {possible} possible edges)")
    if len(edges) >= possible / 2:
        print(f"note: t = {args.t:g} is tight; the spanner keeps most of the complete graph's edges")
    at = f" (points {where[0]} and {where[1]})" if where else ""
    print(f"worst stretch: {worst:.4f}{at}  bound (s+4)/(s-4) = {stretch_bound(s):.4f}")
    print(f"time: graph {built - start:.2f} s, stretch measurement {measured - built:.2f} s")
    if worst > args.t:
        print(f"FAIL: worst stretch {worst:.6f} exceeds t = {args.t:g}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
