// SPDX-License-Identifier: MIT
// Input checks of the decomposition: everything the tree builder and the
// search assume about their input, checked before they run. Each check
// throws std::invalid_argument with a one-line message naming the offending
// value or point.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index.h"
#include "interrupt.h"

// The most points a tree may hold: its 2n - 1 node positions must fit an
// index_t.
constexpr index_t max_points = index_t{1} << 30;

// n must be at most max_points; allocates nothing.
void check_point_count(index_t n);

// s must be finite.
void check_separation(double s);

// The values of n points in d dimensions, x[i * d + k] (n, d >= 1): every
// value finite, the extent max - min of every dimension finite, and the
// bounding box small enough that no centre (low + high) and no squared
// distance inside it overflows. O(n d).
void check_coordinates(const double* x, index_t n, int32_t d, interrupt& stop);

// A hash of one row of `dims` coordinates, equal for equal rows (-0.0
// equal to 0.0).
uint64_t row_hash(const double* row, std::size_t dims);

// Throws invalid_argument naming the first point, in input order, that is
// equal in all d coordinates to an earlier one, and the earliest such
// (0.0 and -0.0 are equal); returns if the points are pairwise distinct.
// Expected O(n d).
void check_distinct(const double* x, index_t n, int32_t d, interrupt& stop);
