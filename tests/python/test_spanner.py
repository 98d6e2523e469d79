# SPDX-License-Identifier: MIT
"""lumo.spanner: one edge per pair between the sets' representatives, with exact lengths.

Edges must be the decomposition's representatives at s = 4(t + 1)/(t - 1), smaller index first,
in pair order, whatever the workers; the measured stretch must stay within t.
"""
import numpy as np
import pytest
from scipy.sparse import coo_matrix
from scipy.sparse.csgraph import dijkstra

import lumo


def separation(t):
    return 4.0 * (t + 1.0) / (t - 1.0)


def exact_lengths(x, edges):
    """Square root of the squared differences summed over the coordinates in order."""
    diff = x[edges[:, 0]] - x[edges[:, 1]]
    total = np.zeros(len(edges))
    for c in range(x.shape[1]):
        total = total + diff[:, c] * diff[:, c]
    return np.sqrt(total)


def arrays(points, t, workers=1):
    edges, lengths = lumo.spanner(points, t, workers=workers)
    return np.asarray(edges), np.asarray(lengths)


def test_two_clusters_by_hand():
    # Each triangle is complete; the clusters, far apart for s = 8, are joined by one edge.
    pts = np.array([[0, 0], [0.1, 0], [0, 0.1], [10, 10], [10.1, 10], [10, 10.1]])
    edges, lengths = arrays(pts, 3.0)
    assert edges.dtype == np.int64 and edges.shape == (7, 2)
    assert lengths.dtype == np.float64 and lengths.shape == (7,)
    inside = {(0, 1), (0, 2), (1, 2), (3, 4), (3, 5), (4, 5)}
    rows = set(map(tuple, edges.tolist()))
    assert inside < rows
    (a, b), = rows - inside
    assert a in (0, 1, 2) and b in (3, 4, 5)
    assert lengths.tolist() == exact_lengths(pts, edges).tolist()
    assert lengths[edges.tolist().index([0, 1])] == 0.1


@pytest.mark.parametrize("n, d, t, workers", [(500, 1, 2.0, 1), (3000, 2, 1.5, 2), (2000, 3, 1.2, 2),
                                              (800, 5, 4.0, 1), (20000, 2, 2.0, 2)])
def test_edges_are_the_representatives_of_every_pair(n, d, t, workers):
    rng = np.random.default_rng(n + d)
    x = rng.normal(size=(n, d)) * rng.choice([1e-9, 1.0, 1e9])
    edges, lengths = arrays(x, t, workers)
    reps = np.asarray(lumo.decompose(x, separation(t)).representatives()).astype(np.int64)
    assert np.array_equal(edges, np.sort(reps, axis=1))
    assert np.all(edges[:, 0] < edges[:, 1])
    assert np.all(np.diff(np.sort(edges[:, 0] * n + edges[:, 1])) > 0)
    assert np.array_equal(lengths, exact_lengths(x, edges))
    other_edges, other_lengths = arrays(x, t, 3 - workers)
    assert np.array_equal(edges, other_edges) and np.array_equal(lengths, other_lengths)


@pytest.mark.parametrize("d, t", [(2, 1.5), (2, 1.1), (3, 2.0)])
def test_stretch_stays_within_t(d, t):
    rng = np.random.default_rng(7)
    n = 1500
    x = rng.random((n, d))
    edges, lengths = arrays(x, t)
    graph = coo_matrix((lengths, edges.T), shape=(n, n)).tocsr()
    sources = rng.choice(n, 200, replace=False)
    dist = dijkstra(graph, directed=False, indices=sources)
    euclid = np.linalg.norm(x[sources, None, :] - x[None, :, :], axis=2)
    euclid[np.arange(len(sources)), sources] = np.inf
    assert np.isfinite(dist).all()
    assert 1.0 <= (dist / euclid).max() <= t


def test_arrays_outlive_the_call_and_a_single_point_has_no_edges():
    edges, lengths = lumo.spanner([[0.0, 1.0], [2.0, 1.0], [5.0, 5.0]], 2.0)
    view = np.asarray(edges)
    del edges
    assert sorted(view.tolist()) == [[0, 1], [0, 2], [1, 2]]
    assert not view.flags.writeable
    edges, lengths = arrays([[3.0, 4.0]], 2.0)
    assert edges.shape == (0, 2) and lengths.shape == (0,)


@pytest.mark.parametrize("t", [1.0, 0.5, -3.0, float("nan"), float("inf"), float("-inf")])
def test_rejects_t_not_above_one_before_reading_points(t):
    with pytest.raises(ValueError, match="t must be a finite number greater than 1, got"):
        lumo.spanner("not points", t)


@pytest.mark.parametrize("points, t, workers, error, match", [
    ([[0.0, 0.0]], "2", 1, TypeError, "incompatible function arguments"),
    ([[0.0, 0.0], [0.0, 0.0]], 2.0, 1, ValueError, "equal"),
    ([1.0, 2.0], 2.0, 1, ValueError, "2-D"),
    ([[0.0, 0.0]], 2.0, 0, ValueError, "workers"),
    ([["a", 0.0]], 2.0, 1, TypeError, "real numbers"),
])
def test_input_errors_as_decompose_reports_them(points, t, workers, error, match):
    with pytest.raises(error, match=match):
        lumo.spanner(points, t, workers=workers)
