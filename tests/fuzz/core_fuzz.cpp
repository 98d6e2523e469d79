// SPDX-License-Identifier: MIT
// libFuzzer target for the core: arbitrary bytes become n, d, s and points.
// Mode 0 takes the module's road (check_input, then the driver); mode 1
// skips the checks for input that is only structurally sound (finite
// coordinates, duplicates allowed), where the core must either throw
// std::runtime_error or return a covering decomposition.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "checks.h"
#include "pair_search.h"

namespace {

struct byte_reader {
    const uint8_t* data;
    size_t size;
    template <typename T>
    T take() {
        T value{};
        const size_t k = size < sizeof(T) ? size : sizeof(T);
        std::memcpy(&value, data, k);
        data += k;
        size -= k;
        return value;
    }
};

// A coordinate from a small alphabet of troublesome values or raw bits.
double coordinate(byte_reader& in) {
    static const double special[] = {0.0, -0.0, 1.0, -1.0, 2.0, 0.5, 5e-324, 1e-170, 1e308, -1e308,
                                     NAN, INFINITY, -INFINITY, 3.0, 1e-300, 7.0};
    const uint8_t tag = in.take<uint8_t>();
    if (tag < 0xc0) return static_cast<double>(tag % 8);
    if (tag < 0xf0) return special[tag % 16];
    return in.take<double>();
}

void check_covering(int32_t n, const pair_list& result) {
    if (result.order.size() != static_cast<size_t>(n)) std::abort();
    std::vector<bool> listed(static_cast<size_t>(n), false);
    for (int32_t i : result.order) {
        if (i < 0 || i >= n || listed[static_cast<size_t>(i)]) std::abort();
        listed[static_cast<size_t>(i)] = true;
    }
    std::set<std::pair<int32_t, int32_t>> seen;
    for (const auto& pair : result.pairs) {
        if (pair.first.count < 1 || pair.second.count < 1) std::abort();
        for (const index_run* run : {&pair.first, &pair.second})
            if (run->start < 0 || run->start > n - run->count) std::abort();
        for (int32_t a : set_indices(result, pair.first))
            for (int32_t b : set_indices(result, pair.second)) {
                if (a == b) std::abort();
                if (!seen.emplace(a < b ? a : b, a < b ? b : a).second) std::abort();
            }
    }
    if (seen.size() != static_cast<size_t>(n) * static_cast<size_t>(n - 1) / 2) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    byte_reader in{data, size};
    const uint8_t mode = in.take<uint8_t>() & 1;
    const int32_t count = in.take<uint8_t>() % 48;
    const int32_t n = static_cast<int32_t>(in.take<uint8_t>() % 52) - 2;
    const int32_t d = static_cast<int32_t>(in.take<uint8_t>() % 7) - 1;
    const double s = coordinate(in);
    std::vector<point> points;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t dims = in.take<uint8_t>() % 7;
        std::vector<double> values;
        for (int32_t k = 0; k < dims; ++k) values.push_back(coordinate(in));
        points.emplace_back(values);
    }

    if (mode == 0) {
        try {
            check_input(n, d, s, points);
        } catch (const std::invalid_argument&) {
            return 0;
        } catch (const std::length_error&) {
            return 0;
        }
        check_covering(n, build_lumo(n, d, s, points));
        return 0;
    }

    if (n < 1 || d < 1 || static_cast<size_t>(n) > points.size() || !std::isfinite(s)) return 0;
    for (int32_t i = 0; i < n; ++i) {
        const auto& c = points[static_cast<size_t>(i)].coord;
        if (c.size() < static_cast<size_t>(d)) return 0;
        for (int32_t k = 0; k < d; ++k)
            if (!std::isfinite(c[static_cast<size_t>(k)])) return 0;
    }
    try {
        const pair_list pairs = build_lumo(n, d, s, points);
        check_covering(n, pairs);
    } catch (const std::runtime_error&) {
        // coincident points met inside the construction
    }
    return 0;
}
