// SPDX-License-Identifier: MIT
// Well-separated pair search over a fair split tree. Two sets are well
// separated for s when the balls around their boxes' centres, both of the
// larger of the two radii r, have a gap larger than s r. The sets of a pair
// are subtrees, so each is a run of the tree's leaf order.
#pragma once

#include <cstdint>
#include <vector>

#include "interrupt.h"
#include "raw_array.h"
#include "split_tree.h"

// The points under one node: `count` consecutive entries of the leaf order,
// from `start`.
struct index_run {
    int32_t start;
    int32_t count;
};

struct separated_pair {
    index_run first;
    index_run second;
};

// The pairs of all points of the tree, in this order: the pairs between
// the root's two subtrees, searched depth first (of a node that is split,
// its right child before its left), then those inside the right subtree,
// then those inside the left one, by the same rule all the way down. The
// search splits the node of larger radius (the second on a tie); two leaves
// always form a pair, even when their distance underflows, and a pair whose
// larger radius is below sqrt(DBL_MIN) (about 1.5e-154), where its squares
// lose precision, is never taken as separated. Every unordered
// pair of distinct points lies in exactly one pair, one point in each set.
// Runs on up to `workers` threads with the same result; polls `stop`.
raw_array<separated_pair> search_pairs(const split_tree& tree, double s, int workers, interrupt& stop);
