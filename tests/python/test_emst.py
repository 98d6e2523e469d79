# SPDX-License-Identifier: MIT
"""lumo.emst and lumo.single_linkage against an all-pairs Prim, Delaunay and scipy's linkage."""
import numpy as np
import pytest
from scipy.cluster import hierarchy
from scipy.sparse import coo_matrix
from scipy.sparse.csgraph import minimum_spanning_tree
from scipy.spatial import Delaunay

import lumo


def squared_distances(x):
    """All squared distances, summed over k in order as the edge order defines them."""
    d2 = np.zeros((len(x), len(x)))
    for k in range(x.shape[1]):
        diff = x[:, None, k] - x[None, :, k]
        d2 = d2 + diff * diff
    return d2


def prim(x):
    """The tree minimal under (squared distance, smaller index, larger index), by Prim over all
    pairs; edges ascending by (length, i, j)."""
    n = len(x)
    d2 = squared_distances(x)
    inside = np.zeros(n, bool)
    inside[0] = True
    key, origin = d2[0].copy(), np.zeros(n, np.int64)
    edges = []
    for _ in range(n - 1):
        lo, hi = np.minimum(origin, np.arange(n)), np.maximum(origin, np.arange(n))
        order = np.lexsort((hi, lo, key))
        v = order[~inside[order]][0]
        edges.append((lo[v], hi[v], key[v]))
        inside[v] = True
        cand_lo, cand_hi = np.minimum(v, np.arange(n)), np.maximum(v, np.arange(n))
        cur_lo, cur_hi = lo, hi
        better = (d2[v] < key) | ((d2[v] == key) & ((cand_lo < cur_lo) | ((cand_lo == cur_lo) & (cand_hi < cur_hi))))
        better &= ~inside
        key = np.where(better, d2[v], key)
        origin = np.where(better, v, origin)
    i, j, w = (np.array(c) for c in zip(*edges)) if edges else (np.zeros(0, int),) * 3
    length = np.sqrt(np.asarray(w, float))
    order = np.lexsort((j, i, length))
    return np.stack([i, j], axis=1)[order].astype(np.int64).reshape(-1, 2), length[order]


def arrays(points, workers=1):
    edges, lengths = lumo.emst(points, workers=workers)
    return np.asarray(edges), np.asarray(lengths)


def sample(kind, n, d, seed):
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.random((n, d))
    if kind == "clusters":
        return (rng.integers(0, 5, (n, 1)) * 10 + rng.normal(0, 0.1, (n, d))).astype(float)
    if kind == "grid":  # many equal distances
        return rng.integers(0, 9, (n, d)).astype(float)
    if kind == "collinear":
        return np.outer(rng.random(n), rng.normal(size=d))
    if kind == "duplicated":
        x = rng.random((n // 2, d))
        return np.concatenate([x, x[rng.integers(0, n // 2, n - n // 2)] * np.where(x[:1] == 0, -1.0, 1.0)])
    raise AssertionError(kind)


@pytest.mark.parametrize(
    "kind, n, d",
    [("uniform", 1000, 1), ("uniform", 1200, 2), ("uniform", 1200, 3), ("uniform", 800, 6), ("uniform", 600, 8),
     ("clusters", 1500, 2), ("clusters", 800, 5), ("grid", 1500, 2), ("grid", 700, 3), ("collinear", 900, 4),
     ("duplicated", 1200, 2), ("duplicated", 600, 7)])
def test_equals_prim_over_all_pairs(kind, n, d):
    x = sample(kind, n, d, seed=n + d)
    edges, lengths = arrays(x, workers=2)
    want_edges, want_lengths = prim(x)
    assert edges.dtype == np.int64 and edges.shape == (n - 1, 2) and lengths.dtype == np.float64
    np.testing.assert_array_equal(edges, want_edges)
    np.testing.assert_array_equal(lengths, want_lengths)


def test_output_does_not_depend_on_workers_and_tree_gives_the_same():
    x = sample("clusters", 30000, 3, seed=5)
    first = arrays(x, 1)
    for workers in (2, 3, -1):
        for a, b in zip(first, arrays(x, workers)):
            np.testing.assert_array_equal(a, b)
    tree = lumo.SplitTree(x)
    for a, b in zip(first, tree.emst(workers=2)):
        np.testing.assert_array_equal(a, np.asarray(b))
    np.testing.assert_array_equal(np.asarray(tree.single_linkage()), np.asarray(lumo.single_linkage(x, workers=2)))


@pytest.mark.slow
def test_total_equals_delaunay_tree_on_1e5_points():
    x = np.random.default_rng(7).random((100000, 2))
    simplices = Delaunay(x).simplices
    pairs = np.concatenate([simplices[:, [0, 1]], simplices[:, [1, 2]], simplices[:, [0, 2]]])
    pairs = np.unique(np.sort(pairs, axis=1), axis=0)  # coo_matrix would add repeated entries
    weights = np.linalg.norm(x[pairs[:, 0]] - x[pairs[:, 1]], axis=1)
    want = minimum_spanning_tree(coo_matrix((weights, (pairs[:, 0], pairs[:, 1])), shape=(len(x),) * 2)).sum()
    _, lengths = arrays(x, workers=2)
    assert lengths.sum() == pytest.approx(want, rel=1e-12)


def test_single_point_and_errors():
    edges, lengths = arrays([[1.0, 2.0, 3.0]])
    assert edges.shape == (0, 2) and lengths.shape == (0,)
    assert np.asarray(lumo.single_linkage([[1.0]])).shape == (0, 4)
    with pytest.raises(ValueError, match="non-finite"):
        lumo.emst([[0.0, 1.0], [np.nan, 2.0]])
    with pytest.raises(ValueError, match="overflows"):
        lumo.single_linkage([[-1e308], [1e308]])
    with pytest.raises(ValueError, match="2-D array"):
        lumo.emst(np.zeros(5))
    with pytest.raises(ValueError, match="workers"):
        lumo.single_linkage([[0.0], [1.0]], workers=0)
    with pytest.raises(TypeError, match="real numbers"):
        lumo.emst([["a", "b"]])


def partition(labels):
    """Labels as a canonical partition: each point's first fellow member."""
    _, first = np.unique(labels, return_index=True)
    return first[np.unique(labels, return_inverse=True)[1]]


@pytest.mark.parametrize("kind", ["clusters", "duplicated", "grid"])
def test_single_linkage_matches_scipy(kind):
    x = sample(kind, 3000, 3, seed=11)
    z = np.asarray(lumo.single_linkage(x, workers=2))
    want = hierarchy.linkage(x, "single")
    assert hierarchy.is_valid_linkage(z) and hierarchy.is_monotonic(z)
    np.testing.assert_array_equal(z[:, 3][-1], len(x))
    np.testing.assert_allclose(z[:, 2], want[:, 2], rtol=1e-13, atol=0)
    np.testing.assert_allclose(hierarchy.cophenet(z), hierarchy.cophenet(want), rtol=1e-13, atol=0)
    for t in np.quantile(want[:, 2], [0.5, 0.9, 0.99, 0.999]):
        np.testing.assert_array_equal(partition(hierarchy.fcluster(z, t, "distance")),
                                      partition(hierarchy.fcluster(want, t, "distance")))
