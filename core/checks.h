// SPDX-License-Identifier: MIT
// Input checks for the decomposition driver: everything build_lumo assumes
// about its arguments, checked before it runs, in O(d n log n).
#pragma once

#include <cstdint>
#include <vector>

#include "point.h"

// Throws std::length_error("vector too long") for a negative d, and
// std::invalid_argument with a one-line message naming the offending value
// or point indices when: n < 1 or n > points.size(); d = 0 or d is larger
// than the coordinate count of one of the first n points; one of their
// first d coordinates is NaN or infinite; max - min of a dimension
// overflows; s is not finite; two of the first n points are equal in their
// first d coordinates (0.0 and -0.0 compare equal).
void check_input(int32_t n, int32_t d, double s, const std::vector<point>& points);
