"""Single-linkage clusters of a point cloud, cut into k clusters and drawn to a PNG.

The dendrogram comes from lumo.single_linkage (the exact Euclidean minimum
spanning tree, no distance matrix); scipy's fcluster cuts it into k clusters.
The picture shows the first two coordinates, one colour per cluster.

    PYTHONPATH=build python examples/clusters.py [--n 5000] [--k 4] [--seed 1] [--out clusters.png]
    PYTHONPATH=build python examples/clusters.py --input points.txt --k 3

An input file holds one point per line, as for the other examples.
"""

import argparse
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from scipy.cluster.hierarchy import fcluster  # noqa: E402

import lumo  # noqa: E402
from points_io import InputError, read_points  # noqa: E402

PROG = "clusters.py"


def random_blobs(n, k, seed):
    """n points in k round blobs of different spreads in the unit square."""
    rng = np.random.default_rng(seed)
    centres = rng.random((k, 2)) * 10
    which = rng.integers(0, k, n)
    return centres[which] + rng.normal(0.0, 1.0, (n, 2)) * rng.uniform(0.1, 0.5, k)[which, None]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=5000, help="number of random points (default 5000)")
    parser.add_argument("--k", type=int, default=4, help="number of clusters (default 4)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    parser.add_argument("--input", help="read the points from this file instead")
    parser.add_argument("--out", default="clusters.png", help="the PNG to write (default clusters.png)")
    args = parser.parse_args(argv)
    if args.k < 1:
        parser.error("--k must be at least 1")

    source = args.input or "random points"
    try:
        xy = read_points(args.input) if args.input else random_blobs(args.n, args.k, args.seed)
        z = np.asarray(lumo.single_linkage(xy, workers=-1))
    except InputError as err:
        print(f"{PROG}: {source} {err}", file=sys.stderr)
        return 2
    except ValueError as err:  # lumo rejects the points
        print(f"{PROG}: {source}: {' '.join(str(err).split())}", file=sys.stderr)
        return 2
    labels = fcluster(z, args.k, "maxclust") if len(xy) > 1 else np.ones(1, int)
    sizes = np.bincount(labels)[1:]
    # The k clusters are what is left before the last k - 1 merges.
    gap = z[len(z) - args.k + 1, 2] if 0 < args.k - 1 <= len(z) else 0.0

    print(f"points: {len(xy)}  dimensions: {xy.shape[1]}")
    print(f"clusters: {len(sizes)}  sizes: {' '.join(str(s) for s in sorted(sizes, reverse=True))}")
    print(f"closest two clusters are {gap:.6g} apart")

    fig, ax = plt.subplots(figsize=(6, 6))
    y = xy[:, 1] if xy.shape[1] > 1 else np.zeros(len(xy))
    ax.scatter(xy[:, 0], y, c=labels, cmap="tab10", s=4)
    ax.set_title(f"single linkage, {len(sizes)} clusters of {len(xy)} points")
    ax.set_aspect("equal")
    fig.savefig(args.out, dpi=100)
    plt.close(fig)
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
