"""Geometric t-spanner from the well-separated pair decomposition.

One edge per pair, joining the first point of each set, gives a graph whose
shortest paths are at most t times the straight-line distance between any two
points.  The script builds that graph for random points in the unit square,
measures the worst stretch over all point pairs with Dijkstra from every
source, and compares it with t.

    PYTHONPATH=build python examples/spanner.py [--n 1000] [--t 2] [--seed 1]

The default of 1000 points takes under 10 s on one core, nearly all of it in the
all-sources Dijkstra (with t = 2 the graph has about 70 edges per point);
the measurement grows as n^2 log n, so larger n gets slow quickly.
"""

import argparse
import heapq
import sys
import time

import numpy as np

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


def spanner_edges(xy, s):
    """One edge (a, b) per pair of the decomposition, a and b its sets' first points."""
    pts = [lumo.point(row) for row in xy.tolist()]
    pairs = lumo.build_lumo(len(pts), xy.shape[1], s, pts)
    return [(first[0], second[0]) for first, second in pairs]


def adjacency(xy, edges):
    """Per point: (neighbour indices, edge lengths) as numpy arrays."""
    nbrs = [[] for _ in range(len(xy))]
    for a, b in edges:
        nbrs[a].append(b)
        nbrs[b].append(a)
    adj = []
    for u, vs in enumerate(nbrs):
        vs = np.array(vs, dtype=np.intp)
        adj.append((vs, np.linalg.norm(xy[vs] - xy[u], axis=1)))
    return adj


def shortest_paths(adj, source):
    """Dijkstra; relaxes the edges of a settled point in one numpy step."""
    dist = np.full(len(adj), np.inf)
    dist[source] = 0.0
    done = [False] * len(adj)
    heap = [(0.0, source)]
    while heap:
        du, u = heapq.heappop(heap)
        if done[u]:
            continue
        done[u] = True
        vs, ws = adj[u]
        cand = du + ws
        better = cand < dist[vs]
        if better.any():
            vs, cand = vs[better], cand[better]
            dist[vs] = cand
            for c, v in zip(cand.tolist(), vs.tolist()):
                heapq.heappush(heap, (c, v))
    return dist


def worst_stretch(xy, edges):
    """Largest graph distance / Euclidean distance over all point pairs,
    with the pair that attains it."""
    adj = adjacency(xy, edges)
    worst, where = 1.0, None
    for u in range(len(xy)):
        dist = shortest_paths(adj, u)
        euclid = np.linalg.norm(xy - xy[u], axis=1)
        euclid[u] = np.inf  # leaves 0 / inf = 0 for the source itself
        ratio = dist / euclid
        v = int(np.argmax(ratio))
        if ratio[v] > worst:
            worst, where = float(ratio[v]), (u, v)
    return worst, where


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1000, help="number of points (default 1000)")
    parser.add_argument("--t", type=float, default=2.0, help="target stretch, > 1 (default 2)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    args = parser.parse_args(argv)
    if args.n < 2:
        parser.error("--n must be at least 2")
    if not args.t > 1.0:
        parser.error("--t must be greater than 1")

    s = separation_for_stretch(args.t)
    xy = random_points(args.n, args.seed)
    start = time.perf_counter()
    edges = spanner_edges(xy, s)
    built = time.perf_counter()
    worst, where = worst_stretch(xy, edges)
    measured = time.perf_counter()

    print(f"points: {args.n}  target stretch t = {args.t:g}  separation s = {s:.4f}")
    print(f"edges: {len(edges)}  edges per point: {len(edges) / args.n:.2f}")
    at = f" (points {where[0]} and {where[1]})" if where else ""
    print(f"worst stretch: {worst:.4f}{at}  bound (s+4)/(s-4) = {stretch_bound(s):.4f}")
    print(f"time: decomposition {built - start:.2f} s, stretch measurement {measured - built:.2f} s")
    if worst > args.t:
        print(f"FAIL: worst stretch {worst:.6f} exceeds t = {args.t:g}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
