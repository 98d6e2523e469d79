// SPDX-License-Identifier: MIT
// The list interface of the module: the `point` record behind the Python
// type of that name, the checks of build_lumo's arguments and the
// gathering of the points' coordinates into the flat array the core takes.
// Plain C++: the binding wraps it, the C++ tests call it directly. Every
// record here is the caller's; build_lumo's result is the caller's too.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "decomposition.h"
#include "interrupt.h"
#include "raw_array.h"

struct point {
    std::vector<double> coord;

    point() = default;
    explicit point(std::vector<double> values) : coord(std::move(values)) {}
};

// The arguments of build_lumo, apart from the coordinate values: throws
// std::length_error("vector too long") for a negative d, as the binding's
// own conversion of a negative size would, and std::invalid_argument when
// n < 1, n > points.size(), n > max_points, d = 0, s is not finite, or one
// of the first n points has fewer than d coordinates. Allocates nothing.
void check_arguments(int32_t n, int32_t d, double s, const std::vector<point>& points);

// The first d coordinates of the first n points, row by row: x[i * d + k].
// The caller has checked the arguments. Throws std::bad_alloc.
raw_array<double> gather_coordinates(int32_t n, int32_t d, const std::vector<point>& points);

// The decomposition of the first n points in their first d coordinates:
// every argument checked, then checked_tree and decompose on one worker.
pair_list build_lumo(int32_t n, int32_t d, double s, const std::vector<point>& points, interrupt& stop);
