"""Random point sets for the tests: lists of coordinate lists drawn from a random.Random, one
kind for each part of the tree and the separation test they stress."""

import math


def uniform(rng, n, d):
    scale = rng.choice([1.0, 1e-3, 1e6])
    return [[rng.uniform(-scale, scale) for _ in range(d)] for _ in range(n)]


def grid(rng, n, d):
    # Few distinct values per axis: ties everywhere, many points exactly on a split's mid and
    # many pairs right at the separation threshold. Either Python ints, or steps that are not
    # exact in binary, where centres and distances round. 3n draws, repeats included.
    side = max(2, math.ceil(n ** (1.0 / d)) + rng.randrange(3))
    step = rng.choice([None, None, 0.01, 1 / 3])
    if step is None:
        return [[rng.randrange(side) for _ in range(d)] for _ in range(3 * n)]
    return [[step * rng.randrange(side) for _ in range(d)] for _ in range(3 * n)]


def clusters(rng, n, d):
    centres = [[rng.uniform(0, 100) for _ in range(d)] for _ in range(rng.randrange(1, 6))]
    spread = rng.choice([0.01, 0.5, 5.0])
    digits = rng.choice([2, 6, None])
    points = []
    for _ in range(2 * n):
        p = [rng.gauss(x, spread) for x in rng.choice(centres)]
        points.append([round(x, digits) for x in p] if digits else p)
    return points


def geometric(rng, n, d):
    # Growth above 2 peels one point per round: a tree about n levels deep. Magnitudes run
    # from 1e-150 up, so squares neither overflow nor vanish.
    ratio = rng.choice([1.3, 2.1, 3.0])
    count = min(n, int(290 * math.log(10) / math.log(ratio)))
    xs = [1e-150 * ratio**i for i in range(count)]
    if rng.random() < 0.3:
        xs = [x if i % 2 else -x for i, x in enumerate(xs)]
    rng.shuffle(xs)
    direction = [rng.choice([0.0, 1.0, 0.5, -2.0, 3.0]) for _ in range(d)]
    direction[rng.randrange(d)] = 1.0
    return [[x * c for c in direction] for x in xs]


def tiny(rng, n, d):
    # Spread over 1e-150, with a few points within 1e-156 to 1e-153 of others: sets whose
    # radius is below 1.5e-154, the smallest the search tests, are split down to points. (Many
    # such points would make the number of pairs quadratic.)
    points = [[rng.uniform(0.0, 1e-150) for _ in range(d)] for _ in range(n)]
    near = [rng.randrange(n) for _ in range(max(1, n // 50))]
    for a, b in zip(near, near[1:]):
        scale = 10.0 ** rng.uniform(-156, -153)
        points[b] = [x + rng.gauss(0.0, 1.0) * scale for x in points[a]]
    return points


def huge(rng, n, d):
    # A box diagonal close to sqrt(DBL_MAX), the largest accepted.
    scale = 6e153 / math.sqrt(d)
    return [[rng.uniform(-1.0, 1.0) * scale for _ in range(d)] for _ in range(n)]


KINDS = {"uniform": uniform, "grid": grid, "clusters": clusters, "geometric": geometric, "tiny": tiny, "huge": huge}


def distinct(points, d):
    """The points whose first d coordinates differ from every earlier point's, in order."""
    seen, out = set(), []
    for p in points:
        key = tuple(p[:d])
        if key not in seen:
            seen.add(key)
            out.append(p)
    return out
