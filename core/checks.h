// SPDX-License-Identifier: MIT
// Input checks of the decomposition: everything the tree builder and the
// search assume about their input, checked before they run. Each check
// throws std::invalid_argument with a one-line message naming the offending
// value or point.
#pragma once

#include <cstdint>
#include <vector>

#include "interrupt.h"
#include "point.h"
#include "raw_array.h"

// The arguments of build_lumo, apart from the coordinate values: throws
// std::length_error("vector too long") for a negative d, and
// invalid_argument when n < 1, n > points.size(), d = 0, s is not finite,
// or one of the first n points has fewer than d coordinates. Allocates
// nothing.
void check_arguments(int32_t n, int32_t d, double s, const std::vector<point>& points);

// s must be finite.
void check_separation(double s);

// The first d coordinates of the first n points, row by row: x[i * d + k].
// The caller has checked the arguments. Throws std::bad_alloc.
raw_array<double> gather_coordinates(int32_t n, int32_t d, const std::vector<point>& points);

// The values of n points in d dimensions, x[i * d + k] (n, d >= 1): every
// value finite, the extent max - min of every dimension finite, and the
// bounding box small enough that no centre (low + high) and no squared
// distance inside it overflows. O(n d).
void check_coordinates(const double* x, int32_t n, int32_t d, interrupt& stop);

// Throws invalid_argument naming the first point, in input order, that is
// equal in all d coordinates to an earlier one, and the earliest such
// (0.0 and -0.0 are equal); returns if the points are pairwise distinct.
// Expected O(n d).
void check_distinct(const double* x, int32_t n, int32_t d, interrupt& stop);
