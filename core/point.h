// SPDX-License-Identifier: MIT
// The record behind the Python type `point`: the coordinates it was made
// with. The core itself works on flat coordinate arrays (see decomposition.h).
#pragma once

#include <utility>
#include <vector>

struct point {
    std::vector<double> coord;

    point() = default;
    explicit point(std::vector<double> values) : coord(std::move(values)) {}
};
