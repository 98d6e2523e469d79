// SPDX-License-Identifier: MIT
#include "checks.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

using std::size_t;

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* pattern, ...) {
    char buffer[256];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    return buffer;
}

struct keyed_index {
    double key;
    int32_t index;
};

// Finds two points equal in their first d coordinates. Sorting by the first
// coordinate (index as tie-break) separates almost all points at once; only
// runs that share it are compared on the other coordinates. Reports the
// first point, in input order, that equals an earlier one, with the
// earliest of those.
void check_distinct(int32_t n, int32_t d, const std::vector<point>& points) {
    std::vector<keyed_index> order(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) order[static_cast<size_t>(i)] = keyed_index{points[static_cast<size_t>(i)].coord[0], i};
    std::sort(order.begin(), order.end(), [](const keyed_index& a, const keyed_index& b) {
        return a.key < b.key || (!(b.key < a.key) && a.index < b.index);
    });

    auto rest_less = [&](int32_t a, int32_t b) {
        const auto& ca = points[static_cast<size_t>(a)].coord;
        const auto& cb = points[static_cast<size_t>(b)].coord;
        for (size_t k = 1; k < static_cast<size_t>(d); ++k) {
            if (ca[k] < cb[k]) return true;
            if (cb[k] < ca[k]) return false;
        }
        return a < b;
    };
    auto rest_equal = [&](int32_t a, int32_t b) {
        const auto& ca = points[static_cast<size_t>(a)].coord;
        const auto& cb = points[static_cast<size_t>(b)].coord;
        for (size_t k = 1; k < static_cast<size_t>(d); ++k)
            if (!(ca[k] == cb[k])) return false;
        return true;
    };

    int32_t first = -1;
    int32_t second = -1;
    std::vector<int32_t> run;
    for (size_t lo = 0; lo < order.size();) {
        size_t hi = lo + 1;
        while (hi < order.size() && order[hi].key == order[lo].key) ++hi;
        if (hi - lo > 1) {
            run.clear();
            for (size_t j = lo; j < hi; ++j) run.push_back(order[j].index);
            std::sort(run.begin(), run.end(), rest_less);
            // Within a class of equal points the indices ascend, so the
            // class's first two are its earliest pair.
            for (size_t j = 0; j + 1 < run.size();) {
                size_t k = j + 1;
                if (rest_equal(run[j], run[k]) && (second < 0 || run[k] < second)) {
                    first = run[j];
                    second = run[k];
                }
                while (k < run.size() && rest_equal(run[j], run[k])) ++k;
                j = k;
            }
        }
        lo = hi;
    }
    if (second >= 0)
        throw std::invalid_argument(format("points %d and %d are equal in their first %d coordinates", first,
                                           second, d));
}

}  // namespace

void check_input(int32_t n, int32_t d, double s, const std::vector<point>& points) {
    if (d < 0) throw std::length_error("vector too long");
    if (n < 1) throw std::invalid_argument(format("n must be at least 1, got %d", n));
    if (static_cast<size_t>(n) > points.size())
        throw std::invalid_argument(format("n is %d but only %zu points were given", n, points.size()));
    if (d == 0) throw std::invalid_argument("d must be at least 1, got 0");
    if (!std::isfinite(s)) throw std::invalid_argument(format("s must be finite, got %g", s));

    const size_t dims = static_cast<size_t>(d);
    std::vector<double> low(dims, 0.0);
    std::vector<double> high(dims, 0.0);
    for (int32_t i = 0; i < n; ++i) {
        const auto& c = points[static_cast<size_t>(i)].coord;
        if (c.size() < dims)
            throw std::invalid_argument(
                format("d is %d but point %d has only %zu coordinates", d, i, c.size()));
        for (size_t k = 0; k < dims; ++k) {
            if (!std::isfinite(c[k]))
                throw std::invalid_argument(
                    format("point %d has a non-finite coordinate %g in dimension %zu", i, c[k], k));
            if (i == 0 || c[k] < low[k]) low[k] = c[k];
            if (i == 0 || c[k] > high[k]) high[k] = c[k];
        }
    }
    for (size_t k = 0; k < dims; ++k)
        if (!std::isfinite(high[k] - low[k]))
            throw std::invalid_argument(format(
                "the points' extent in dimension %zu overflows: %.17g to %.17g", k, low[k], high[k]));

    check_distinct(n, d, points);
}
