// SPDX-License-Identifier: MIT
// The pipeline of one decomposition, phase by phase: check the input, build
// the fair split tree, search it for pairs. The checked entries of the
// core: callers with input from outside go through these. A tree serves any
// number of searches; each phase owns what it returns.
#pragma once

#include <cstdint>

#include "index.h"
#include "interrupt.h"
#include "pair_search.h"
#include "raw_array.h"
#include "spanner.h"
#include "split_tree.h"

// A decomposition: the point indices in the tree's leaf order, and the pairs
// as runs of that order.
struct pair_list {
    raw_array<index_t> order;
    raw_array<separated_pair> pairs;
};

// The tree over n points in d dimensions, x[i * d + k] (n, d >= 1), after
// check_point_count (before anything of size n is allocated) and
// check_coordinates; equal points are reported as check_distinct reports
// them. Throws std::invalid_argument for rejected input.
split_tree checked_tree(const double* x, index_t n, int32_t d, int workers, interrupt& stop);
// The same from n * d values that the builder takes over (x is left empty).
split_tree checked_tree(raw_array<double>& x, index_t n, int32_t d, int workers, interrupt& stop);

// The decomposition for s of a tree made by checked_tree. Throws
// std::invalid_argument for a non-finite s.
pair_list decompose(const split_tree& tree, double s, int workers, interrupt& stop);
// The same for a tree used only once: its leaf order moves into the result.
pair_list decompose(split_tree&& tree, double s, int workers, interrupt& stop);

// The pairs of decompose(tree, s, ...) and the points in their sets,
// counted without storing them. Throws std::invalid_argument for a
// non-finite s.
pair_count count_decomposition(const split_tree& tree, double s, int workers, interrupt& stop);
