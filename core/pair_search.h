// SPDX-License-Identifier: MIT
// Well-separated pair search over a fair split tree, and the driver that
// builds the lists and the tree, searches it and returns the pairs. The
// driver owns everything it builds and releases it before it returns; only
// the pair_list goes to the caller.
#pragma once

#include <cstdint>
#include <vector>

#include "point.h"
#include "split_tree.h"

// The points under one node: `count` consecutive entries of the leaf order,
// from `start`. A subtree's leaves, left to right, are always such a run.
struct index_run {
    int32_t start;
    int32_t count;
};

struct separated_pair {
    index_run first;
    index_run second;
};

// The decomposition: the point indices (positions in the caller's list) in
// the tree's leaf order, and the pairs in the order found, each set a run of
// that order. Sets are never empty and the two sets of a pair never share a
// point.
struct pair_list {
    std::vector<int32_t> order;
    std::vector<separated_pair> pairs;
};

// The indices of one set of a pair, in leaf order.
std::vector<int32_t> set_indices(const pair_list& list, const index_run& run);

// Fills `order` with the indices of the leaves of the tree, left to right,
// and sets every node's first_leaf, as build_split_tree does when it is
// given an order array.
void number_leaves(split_node* root, std::vector<int32_t>& order);

// Appends the well-separated pairs between the points under u and those
// under v, depth first, the right child of a split node before its left.
// Returns how many pairs it appended.
int64_t find_pairs(const split_node* u, const split_node* v, double s, int32_t d, pair_list& out);

// Appends the pairs of all points under `node`. Returns how many.
int64_t decompose_node(const split_node* node, double s, int32_t d, pair_list& out);

// The decomposition of the first n records of `points` in d dimensions for
// separation factor s. Numbers every record (index = position) and uses
// the records' scratch fields. Throws std::length_error("vector too long")
// for a negative d; otherwise assumes 1 <= n <= points.size(), d >= 1 and
// at most each point's coordinate count, finite values and pairwise
// distinct points (see check_input). Pairs of distinct points too close for
// their squared distance to be represented still come out as pairs of
// single points.
pair_list build_lumo(int32_t n, int32_t d, double s, std::vector<point>& points);
