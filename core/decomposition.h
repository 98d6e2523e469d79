// SPDX-License-Identifier: MIT
// The pipeline of one decomposition, phase by phase: check the input, build
// the fair split tree, search it for pairs. The entry points of the module
// and the tests and benchmarks all go through these functions. A tree serves
// any number of searches; each phase owns what it returns.
#pragma once

#include <cstdint>
#include <vector>

#include "interrupt.h"
#include "pair_search.h"
#include "point.h"
#include "raw_array.h"
#include "spanner.h"
#include "split_tree.h"

// A decomposition: the point indices in the tree's leaf order, and the pairs
// as runs of that order.
struct pair_list {
    raw_array<int32_t> order;
    raw_array<separated_pair> pairs;
};

// The tree over n points in d dimensions, x[i * d + k] (n, d >= 1), after
// check_coordinates; equal points are reported as check_distinct reports
// them. Throws std::invalid_argument for rejected input.
split_tree checked_tree(const double* x, int32_t n, int32_t d, int workers, interrupt& stop);
// The same from n * d values that the builder takes over (x is left empty).
split_tree checked_tree(raw_array<double>& x, int32_t n, int32_t d, int workers, interrupt& stop);

// The decomposition for s of a tree made by checked_tree. Throws
// std::invalid_argument for a non-finite s.
pair_list decompose(const split_tree& tree, double s, int workers, interrupt& stop);
// The same for a tree used only once: its leaf order moves into the result.
pair_list decompose(split_tree&& tree, double s, int workers, interrupt& stop);

// The decomposition of the first n points in their first d coordinates, as
// the module's build_lumo gives it: every argument checked (see
// check_arguments), then the phases above on one worker.
pair_list build_lumo(int32_t n, int32_t d, double s, const std::vector<point>& points, interrupt& stop);
