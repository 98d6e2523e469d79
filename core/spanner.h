// SPDX-License-Identifier: MIT
// The geometric t-spanner of a point set from its well-separated pair
// decomposition: one edge per pair, joining the representatives of its two
// sets, with its Euclidean length. A spanner_graph owns its arrays; the
// edges reuse the block the search wrote its pairs into.
#pragma once

#include <cstddef>
#include <cstdint>

#include "interrupt.h"
#include "pair_search.h"
#include "raw_array.h"
#include "split_tree.h"

// m edges: edge k joins points edges()[2k] < edges()[2k + 1] (rows of the
// input) and has length lengths[k]. The representative of a set is the first
// point of its run in the tree's leaf order, order[run.start], the point that
// a decomposition's representatives give. Every unordered pair of points lies
// in exactly one pair, so no two edges join the same two points.
struct spanner_graph {
    // 16 bytes per edge, two int64 indices, written over the pairs in place.
    raw_array<separated_pair> edge_block;
    raw_array<double> lengths;

    std::size_t size() const { return lengths.size(); }
    const int64_t* edges() const { return reinterpret_cast<const int64_t*>(edge_block.data()); }
};

static_assert(sizeof(separated_pair) == 2 * sizeof(int64_t), "an edge takes the place of its pair");

// The separation s = 4(t + 1)/(t - 1) whose pairs give a t-spanner. Throws
// std::invalid_argument unless t is finite and above 1.
double spanner_separation(double t);

// The t-spanner of a tree made by checked_tree, searched and turned into
// edges on up to `workers` threads (the result does not depend on them).
// Throws std::invalid_argument for a bad t; polls `stop`.
spanner_graph spanner(const split_tree& tree, double t, int workers, interrupt& stop);

// The edges and lengths of `pairs`, pairs of `tree`'s decomposition, which
// the result takes over. Lengths are the square roots of the squared
// distances summed over the coordinates in order, in doubles.
spanner_graph spanner_from_pairs(const split_tree& tree, raw_array<separated_pair>&& pairs, int workers,
                                 interrupt& stop);
