// SPDX-License-Identifier: MIT
// The fair split tree: every inner node's set is cut by a hyperplane across
// the longest side of the set's bounding box, through its middle. One call
// of the construction peels sets off one side of such cuts until at most
// half of its points remain; the peeled sets and the remainder get calls of
// their own. The tree is plain data in three arrays that the split_tree
// owns; nodes refer to each other by position.
#pragma once

#include <cstdint>
#include <stdexcept>

#include "interrupt.h"
#include "raw_array.h"

struct split_node {
    double radius;       // half the bounding box's diagonal; 0 in a leaf
    int32_t left;        // inner: the next split round of the same set, or the
                         // remainder after the last round; -1 in a leaf
    int32_t right;       // inner: the set peeled off in this node's round
    int32_t first_leaf;  // where the node's points start in the leaf order
    int32_t size;        // points under the node; 1 in a leaf
};

struct split_tree {
    int32_t n = 0;
    int32_t d = 0;
    // 2n - 1 nodes, root first, every node followed by its left subtree and
    // then its right subtree; so left = own position + 1.
    raw_array<split_node> nodes;
    // d values per node: the bounding box's centre; a leaf's point.
    raw_array<double> centers;
    // The point indices (rows of the input) in leaf order, each left
    // subtree before the right one. The points under a node are
    // order[first_leaf .. first_leaf + size).
    raw_array<int32_t> order;
};

// Two of the points are equal in all d coordinates (or a coordinate is not
// finite): no cut separates them.
struct coincident_points : std::runtime_error {
    coincident_points() : std::runtime_error("split_tree: a set of points has no extent to split") {}
};

// The fair split tree of n points in d dimensions, x[i * d + k] (n, d >= 1),
// with up to `workers` threads (the calling thread among them). The tree
// does not depend on `workers`. Values are assumed finite with finite
// extents; equal points make it throw coincident_points. O(d n log n) when
// no point lies exactly on a cut; polls `stop` as it goes.
split_tree build_split_tree(const double* x, int32_t n, int32_t d, int workers, interrupt& stop);
