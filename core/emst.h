// SPDX-License-Identifier: MIT
// The exact Euclidean minimum spanning tree of a point set, by Borůvka's
// rounds over a kd-tree of buckets grown by the fair split rule (or cut from
// a split tree already built), and the single-linkage dendrogram that
// follows from it. Each function returns a record it allocated and the
// caller then owns; nothing else outlives a call.
#pragma once

#include <cstdint>

#include "interrupt.h"
#include "raw_array.h"
#include "split_tree.h"

// n - 1 edges (i, j), i < j, with their Euclidean lengths, ascending by
// (length, i, j).
struct spanning_tree {
    raw_array<int64_t> edges;   // two indices per edge, as wide as Python's arrays want them
    raw_array<double> lengths;  // one per edge
};

// Edges are compared by (squared distance, smaller index, larger index), the
// squared distance as computed in doubles: the sum over k = 0 .. d-1, in that
// order, of (x[i*d+k] - x[j*d+k])^2. Under that total order the minimum tree
// is unique, so the result depends neither on `workers` nor on timing.

// The tree of n points in d dimensions, x[i * d + k] (n, d >= 1), on up to
// `workers` threads. Equal rows (0.0 equal to -0.0) are allowed: each joins
// the smallest index of its group by an edge of length 0. Throws
// std::invalid_argument as check_coordinates does for non-finite or too
// large values; polls `stop` on every thread.
spanning_tree euclidean_mst(const double* x, int32_t n, int32_t d, int workers, interrupt& stop);

// The tree of the points of a split tree (distinct, as build_split_tree
// requires), indices as in tree.order. The tree itself is only read.
spanning_tree euclidean_mst(const split_tree& tree, int workers, interrupt& stop);

// The single-linkage dendrogram of n points from their spanning tree, in
// SciPy's linkage layout: n - 1 rows of (cluster, cluster, distance, size),
// the smaller cluster first, point i being cluster i and row k making
// cluster n + k.
raw_array<double> single_linkage(const spanning_tree& tree, int32_t n, interrupt& stop);
