// SPDX-License-Identifier: MIT
#include "checks.h"

#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "raw_array.h"

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

constexpr index_t poll_every = 4096;

}  // namespace

uint64_t row_hash(const double* row, std::size_t dims) {
    uint64_t h = 0x9e3779b97f4a7c15ULL;
    for (std::size_t k = 0; k < dims; ++k) {
        double v = row[k];
        if (v == 0.0) v = 0.0;  // -0.0 hashes as 0.0
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        h ^= bits;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        h ^= h >> 33;
    }
    return h;
}

void check_point_count(index_t n) {
    if (n > max_points) throw std::invalid_argument(format("n is %d; at most %d points are supported", n, max_points));
}

void check_separation(double s) {
    if (!std::isfinite(s)) throw std::invalid_argument(format("s must be finite, got %g", s));
}

void check_coordinates(const double* x, index_t n, int32_t d, interrupt& stop) {
    const size_t dims = static_cast<size_t>(d);
    std::vector<double> low(x, x + dims);
    std::vector<double> high(x, x + dims);
    for (index_t i = 0; i < n; ++i) {
        if (i % poll_every == 0) stop.poll();
        const double* row = x + static_cast<size_t>(i) * dims;
        for (size_t k = 0; k < dims; ++k) {
            const double v = row[k];
            if (!std::isfinite(v))
                throw std::invalid_argument(
                    format("point %d has a non-finite coordinate %g in dimension %zu", i, v, k));
            if (v < low[k]) low[k] = v;
            if (v > high[k]) high[k] = v;
        }
    }
    double diagonal = 0.0;  // squared
    double largest = 0.0;
    for (size_t k = 0; k < dims; ++k) {
        const double extent = high[k] - low[k];
        if (!std::isfinite(extent))
            throw std::invalid_argument(format(
                "the points' extent in dimension %zu overflows: %.17g to %.17g", k, low[k], high[k]));
        diagonal += extent * extent;
        largest = std::fmax(largest, std::fmax(std::fabs(low[k]), std::fabs(high[k])));
    }
    // Every centre the search computes lies between low + low and high +
    // high halved, and every distance it squares is at most the diagonal.
    bool overflows = !std::isfinite(diagonal);
    for (size_t k = 0; k < dims; ++k)
        overflows = overflows || !std::isfinite(low[k] + low[k]) || !std::isfinite(high[k] + high[k]);
    if (overflows)
        throw std::invalid_argument(format(
            "coordinates up to %.3g are too large: squared distances overflow; scale the points down", largest));
}

void check_distinct(const double* x, index_t n, int32_t d, interrupt& stop) {
    const size_t dims = static_cast<size_t>(d);
    size_t slots = 16;
    while (slots < 2 * static_cast<size_t>(n)) slots *= 2;
    // Each slot: the high half of the point's hash, then index + 1 (0: empty).
    raw_array<uint64_t> table(slots);
    std::memset(table.data(), 0, slots * sizeof(uint64_t));
    auto equal = [&](size_t a, size_t b) {
        for (size_t k = 0; k < dims; ++k)
            if (!(x[a * dims + k] == x[b * dims + k])) return false;
        return true;
    };
    for (index_t i = 0; i < n; ++i) {
        if (i % poll_every == 0) stop.poll();
        const double* row = x + static_cast<size_t>(i) * dims;
        const uint64_t h = row_hash(row, dims);
        const uint64_t tag = h & 0xffffffff00000000ULL;
        for (size_t slot = static_cast<size_t>(h) & (slots - 1);; slot = (slot + 1) & (slots - 1)) {
            const uint64_t entry = table[slot];
            if (entry == 0) {
                table[slot] = tag | static_cast<uint64_t>(i + 1);
                break;
            }
            const auto j = static_cast<index_t>((entry & 0xffffffffULL) - 1);
            if ((entry & 0xffffffff00000000ULL) == tag && equal(static_cast<size_t>(j), static_cast<size_t>(i)))
                throw std::invalid_argument(
                    format("points %d and %d are equal in their first %d coordinates", j, i, d));
        }
    }
}
