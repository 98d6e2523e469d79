// SPDX-License-Identifier: MIT
#include "list_interface.h"

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>

#include "checks.h"

void check_arguments(int32_t n, int32_t d, double s, const std::vector<point>& points) {
    if (d < 0) throw std::length_error("vector too long");
    if (n < 1) throw std::invalid_argument("n must be at least 1, got " + std::to_string(n));
    if (static_cast<std::size_t>(n) > points.size())
        throw std::invalid_argument("n is " + std::to_string(n) + " but only " + std::to_string(points.size()) +
                                    " points were given");
    check_point_count(n);
    if (d == 0) throw std::invalid_argument("d must be at least 1, got 0");
    check_separation(s);
    for (int32_t i = 0; i < n; ++i) {
        const std::size_t count = points[static_cast<std::size_t>(i)].coord.size();
        if (count < static_cast<std::size_t>(d))
            throw std::invalid_argument("d is " + std::to_string(d) + " but point " + std::to_string(i) +
                                        " has only " + std::to_string(count) + " coordinates");
    }
}

raw_array<double> gather_coordinates(int32_t n, int32_t d, const std::vector<point>& points) {
    const auto dims = static_cast<std::size_t>(d);
    raw_array<double> x(static_cast<std::size_t>(n) * dims);
    for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i)
        std::memcpy(x.data() + i * dims, points[i].coord.data(), dims * sizeof(double));
    return x;
}

pair_list build_lumo(int32_t n, int32_t d, double s, const std::vector<point>& points, interrupt& stop) {
    check_arguments(n, d, s, points);
    raw_array<double> x = gather_coordinates(n, d, points);
    return decompose(checked_tree(x, n, d, 1, stop), s, 1, stop);
}
