"""Plain-Python reference of lumo's well-separated pair decomposition.

It builds the same fair split tree and runs the same pair search as the
extension module, with the same floating-point operations in the same order,
so its result must equal ``lumo.build_lumo`` bit for bit, order included.

Everything is iterative, so trees thousands of levels deep are fine.

The tree does not depend on how points with equal coordinates are ordered in
the per-dimension sorted lists: a split round peels either exactly the points
whose coordinate is <= mid or exactly those whose coordinate is >= mid, and
boxes only read coordinate values.  ``reference_decomposition`` takes an
optional ``rng`` that shuffles such ties, so tests can check that claim.
"""

import math
import sys

# A pair whose larger radius is below this is never separated: the squares
# summed for such a radius leave the normal range and lose their precision.
SMALLEST_RADIUS = math.sqrt(sys.float_info.min)


class Node:
    """A fair split tree node; ``point`` is the point index of a leaf, else None."""

    __slots__ = ("left", "right", "center", "radius", "point", "size")

    def __init__(self, size, center, radius, point=None):
        self.left = None
        self.right = None
        self.center = center
        self.radius = radius
        self.point = point
        self.size = size


def _split_rounds(lists, d, pts):
    """Run the split rounds of one set.

    ``lists[t]`` holds the set's point indices ascending in coordinate t.
    Returns the chain of round nodes and the groups: the set peeled in each
    round, in round order, then the remainder; every group is given as d
    lists in the same ascending orders.
    """
    n = len(lists[0])
    lo = [0] * d          # first position of list t not yet peeled
    hi = [n - 1] * d      # last position of list t not yet peeled
    group = {}            # point -> number of the round that peeled it

    def head(t):
        lst = lists[t]
        while lst[lo[t]] in group:
            lo[t] += 1
        return lst[lo[t]]

    def tail(t):
        lst = lists[t]
        while lst[hi[t]] in group:
            hi[t] -= 1
        return lst[hi[t]]

    rounds = []
    remaining = n
    half = n // 2
    while remaining > half:
        # Bounding box of the remaining points.
        center = [0.0] * d
        total = 0.0
        for t in range(d):
            a = pts[head(t)][t]
            b = pts[tail(t)][t]
            center[t] = (a + b) * 0.5
            h = (b - a) * 0.5
            total = total + h * h
        rounds.append(Node(remaining, center, math.sqrt(total)))

        # Longest extent; the first dimension wins ties.
        best = -1.0
        dim = 0
        for t in range(d):
            extent = pts[tail(t)][t] - pts[head(t)][t]
            if extent > best:
                best = extent
                dim = t
        mid = best * 0.5 + pts[head(dim)][dim]

        # Walk in from both ends at once; the low end is tested first.
        lst = lists[dim]
        i, j = lo[dim], hi[dim]
        low_seen, high_seen = [], []
        while True:
            if pts[lst[i]][dim] > mid:
                peeled = low_seen
                break
            if mid > pts[lst[j]][dim]:
                peeled = high_seen
                break
            low_seen.append(lst[i])
            high_seen.append(lst[j])
            i += 1
            while lst[i] in group:
                i += 1
            j -= 1
            while lst[j] in group:
                j -= 1

        number = len(rounds) - 1
        for p in peeled:
            group[p] = number
        remaining -= len(peeled)

    # Hand out every point, in list order, to its group's lists.
    count = len(rounds)
    groups = [[[] for _ in range(d)] for _ in range(count + 1)]
    for t in range(d):
        for p in lists[t]:
            groups[group.get(p, count)][t].append(p)
    return rounds, groups


def split_tree(n, d, coords, rng=None):
    """Build the fair split tree of the first n points; returns the root."""
    pts = [[float(x) for x in c[:d]] for c in coords[:n]]
    lists = []
    for t in range(d):
        order = list(range(n))
        if rng is not None:
            rng.shuffle(order)  # ties come out of the stable sort shuffled
        lists.append(sorted(order, key=lambda p, t=t: pts[p][t]))

    holder = Node(0, None, 0.0)
    jobs = [(lists, holder, "left")]
    while jobs:
        lists, parent, attr = jobs.pop()
        if len(lists[0]) == 1:
            p = lists[0][0]
            setattr(parent, attr, Node(1, list(pts[p]), 0.0, p))
            continue
        rounds, groups = _split_rounds(lists, d, pts)
        setattr(parent, attr, rounds[0])
        for upper, lower in zip(rounds, rounds[1:]):
            upper.left = lower
        jobs.append((groups[-1], rounds[-1], "left"))
        for node, peeled in reversed(list(zip(rounds, groups))):
            jobs.append((peeled, node, "right"))
    return holder.left


def leaf_order(node):
    """Point indices of the leaves under ``node``, from left to right."""
    out = []
    stack = [node]
    while stack:
        node = stack.pop()
        if node.left is None and node.right is None:
            out.append(node.point)
        else:
            stack.append(node.right)
            stack.append(node.left)
    return out


def _is_separated(u, v, d, s):
    r = v.radius if v.radius > u.radius else u.radius
    if not r >= SMALLEST_RADIUS:
        return False
    total = 0.0
    for i in range(d):
        diff = u.center[i] - v.center[i]
        total = total + diff * diff
    dist = math.sqrt(total)
    return dist - (r + r) > r * s


def decompose(root, d, s):
    """Well-separated pairs of the tree, in the order the module reports them."""
    out = []
    jobs = [(root, None)]  # (node, None): decompose node; (u, v): find pairs
    while jobs:
        u, v = jobs.pop()
        if v is None:
            if u.point is None:
                jobs.append((u.left, None))
                jobs.append((u.right, None))
                jobs.append((u.left, u.right))
        elif _is_separated(u, v, d, s) or (u.point is not None and v.point is not None):
            # Two leaves are distinct points and always a pair, even when
            # their squared distance underflows to 0.
            out.append((leaf_order(u), leaf_order(v)))
        elif v.point is not None or (u.point is None and u.radius > v.radius):
            jobs.append((u.left, v))
            jobs.append((u.right, v))
        else:
            jobs.append((u, v.left))
            jobs.append((u, v.right))
    return out


def reference_decomposition(n, d, s, coords, rng=None):
    """Expected result of ``lumo.build_lumo(n, d, s, points)``.

    ``coords`` holds one coordinate list per point (at least n of them, each
    with at least d values); the first n must be pairwise distinct in their
    first d coordinates.
    """
    root = split_tree(n, d, coords, rng)
    return decompose(root, d, float(s))

