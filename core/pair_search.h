// SPDX-License-Identifier: MIT
// Well-separated pair search over a fair split tree. Two sets are well
// separated for s when the balls around their boxes' centres, both of the
// larger of the two radii r, have a gap larger than s r. The sets of a pair
// are subtrees, so each is a run of the tree's leaf order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
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
// Runs on up to `workers` threads with the same result (on fewer when
// threads cannot be started); polls `stop`. Throws pairs_out_of_memory when
// the pairs do not fit, having released what it held.
raw_array<separated_pair> search_pairs(const split_tree& tree, double s, int workers, interrupt& stop);

// What search_pairs would return, counted rather than stored: the pairs,
// and the points in both sets of all pairs.
struct pair_count {
    uint64_t pairs = 0;
    uint64_t points = 0;
};
pair_count count_pairs(const split_tree& tree, double s, int workers, interrupt& stop);

// The pairs found so far did not fit: what() says how many there were and
// how many bytes the next step wanted.
class pairs_out_of_memory : public std::bad_alloc {
public:
    pairs_out_of_memory(std::size_t pairs, std::size_t bytes);
    const char* what() const noexcept override { return message_; }
    std::size_t pairs;
    std::size_t bytes;

private:
    char message_[160];
};
