// SPDX-License-Identifier: MIT
// Well-separated pair search over a fair split tree, and the driver that
// builds the lists and the tree, searches it and returns the pairs. The
// driver owns everything it builds and releases it before it returns; only
// the pair_list goes to the caller.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "point.h"
#include "split_tree.h"

// Indices (positions in the caller's list) of the points under the two nodes
// of a pair, each in leaf order.
using separated_pair = std::pair<std::vector<int32_t>, std::vector<int32_t>>;
using pair_list = std::vector<separated_pair>;

// Appends the indices of the points under `node`, leaves left to right.
// Returns how many it appended.
int64_t collect_points(const split_node* node, std::vector<int32_t>& out);

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
