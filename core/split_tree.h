// SPDX-License-Identifier: MIT
// The fair split tree: every inner node's set is cut by a hyperplane across
// the longest side of the set's bounding box, through its middle. One call
// of the construction peels sets off one side of such cuts until at most
// half of its points remain; the peeled sets and the remainder get calls of
// their own. The tree is plain data in two arrays that the split_tree owns;
// nodes refer to each other by position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "index.h"
#include "interrupt.h"
#include "raw_array.h"

struct split_node {  // followed in memory by its centre, see split_tree
    double radius;       // half the bounding box's diagonal; 0 in a leaf
    index_t left;        // inner: the next split round of the same set, or the
                         // remainder after the last round; -1 in a leaf
    index_t right;       // inner: the set peeled off in this node's round
    index_t first_leaf;  // where the node's points start in the leaf order
    index_t size;        // points under the node; 1 in a leaf
};

// The tree: 2n - 1 nodes, root first, every node followed by its left
// subtree and then its right subtree, so that left = own position + 1. Each
// node's record is followed by its centre (d values: the bounding box's
// centre; a leaf's point), so that the search finds both in one place.
struct split_tree {
    index_t n = 0;
    int32_t d = 0;
    raw_array<double> records;  // node_stride() values per node
    // The point indices (rows of the input) in leaf order, each left
    // subtree before the right one. The points under a node are
    // order[first_leaf .. first_leaf + size).
    raw_array<index_t> order;

    static constexpr std::size_t node_values = sizeof(split_node) / sizeof(double);
    std::size_t node_stride() const { return node_values + static_cast<std::size_t>(d); }
    std::size_t node_count() const { return n > 0 ? 2 * static_cast<std::size_t>(n) - 1 : 0; }
    split_node& node(index_t i) {
        return *reinterpret_cast<split_node*>(records.data() + static_cast<std::size_t>(i) * node_stride());
    }
    const split_node& node(index_t i) const {
        return *reinterpret_cast<const split_node*>(records.data() + static_cast<std::size_t>(i) * node_stride());
    }
    double* center(index_t i) { return records.data() + static_cast<std::size_t>(i) * node_stride() + node_values; }
    const double* center(index_t i) const {
        return records.data() + static_cast<std::size_t>(i) * node_stride() + node_values;
    }
};

// Two of the points are equal in all d coordinates (or a coordinate is not
// finite): no cut separates them.
struct coincident_points : std::runtime_error {
    coincident_points() : std::runtime_error("split_tree: a set of points has no extent to split") {}
};

// The fair split tree of n points in d dimensions, x[i * d + k] (1 <= n <=
// max_points, d >= 1),
// with up to `workers` threads (the calling thread among them). The tree
// does not depend on `workers`. Values are assumed finite with finite
// extents; equal points make it throw coincident_points. O(d n log n) when
// no point lies exactly on a cut; polls `stop` as it goes.
split_tree build_split_tree(const double* x, index_t n, int32_t d, int workers, interrupt& stop);
// The same, taking over the n * d values of x as its working copy: x is
// left empty, except after coincident_points, when it holds the values
// again in their order (-0.0 read as 0.0) for the caller to name them.
split_tree build_split_tree(raw_array<double>& x, index_t n, int32_t d, int workers, interrupt& stop);

static_assert(sizeof(split_node) % sizeof(double) == 0, "a centre follows each node record");
