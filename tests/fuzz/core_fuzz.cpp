// SPDX-License-Identifier: MIT
// libFuzzer target for the core: arbitrary bytes become n, d, s and points.
// One road takes the list interface (build_lumo with every check) on points
// of varying length. One hands finite, unchecked rows, duplicates allowed,
// straight to build_split_tree and search_pairs, which must either throw
// coincident_points or return a covering decomposition. One in 32 inputs
// grows into 16384 to 20464 points, enough for the builder's shared sets
// and the search's other workers, with 2 to 4 workers chosen by the input:
// tree and pairs must equal one worker's, byte for byte.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "decomposition.h"
#include "list_interface.h"

namespace {

// The builder hands sets of this many points to other workers.
constexpr int32_t shared_points = 16384;

struct byte_reader {
    const uint8_t* data;
    size_t size;
    uint64_t state;  // fills in once the input is used up

    template <typename T>
    T take() {
        T value{};
        if (size == 0) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            const uint64_t bits = state >> 16;
            std::memcpy(&value, &bits, sizeof(T) < sizeof bits ? sizeof(T) : sizeof bits);
            return value;
        }
        const size_t k = size < sizeof(T) ? size : sizeof(T);
        std::memcpy(&value, data, k);
        data += k;
        size -= k;
        return value;
    }
};

// A coordinate from small integers, powers of two (skewed cuts), a few
// troublesome values, or raw bits.
double coordinate(byte_reader& in) {
    if (in.size == 0) {
        // Past the input: distinct values, half of them on a geometric
        // line, so that large sets still build.
        const auto bits = in.take<uint64_t>();
        const double unit = static_cast<double>(bits >> 11) * 0x1.0p-53;
        return (bits & 1) != 0 ? std::ldexp(1.0 + unit, static_cast<int>(bits % 400)) : unit;
    }
    static const double special[] = {0.0,  -0.0,   1.0,     -1.0,   0.5,        5e-324,  1e-170, 1e154,
                                     1e308, -1e308, 8.9e307, 3e-300, NAN,        INFINITY, -INFINITY, 7.0};
    const uint8_t tag = in.take<uint8_t>();
    if (tag < 0x80) return static_cast<double>(tag % 16);
    if (tag < 0xc0) return std::ldexp(1.0, (tag % 64) * 8 - 256);
    if (tag < 0xf0) return special[tag % 16];
    return in.take<double>();
}

// The leaf order a permutation, runs inside it, and as many point pairs as
// there are pairs of points; up to 4096 points also every unordered pair of
// points in exactly one pair (an n^2 map).
void check_covering(int32_t n, const raw_array<int32_t>& order, const raw_array<separated_pair>& pairs) {
    const auto count = static_cast<size_t>(n);
    if (order.size() != count) std::abort();
    std::vector<uint8_t> seen(count, 0);
    for (int32_t i : order)
        if (i < 0 || i >= n || seen[static_cast<size_t>(i)]++) std::abort();
    std::vector<uint8_t> covered(count <= 4096 ? count * count : 0, 0);
    uint64_t total = 0;
    for (const separated_pair& pair : pairs) {
        for (const index_run* run : {&pair.first, &pair.second})
            if (run->count < 1 || run->start < 0 || run->start > n - run->count) std::abort();
        total += static_cast<uint64_t>(pair.first.count) * static_cast<uint64_t>(pair.second.count);
        if (covered.empty()) continue;
        const int32_t* first = order.data() + pair.first.start;
        const int32_t* second = order.data() + pair.second.start;
        for (int32_t j = 0; j < pair.first.count; ++j)
            for (int32_t k = 0; k < pair.second.count; ++k) {
                const int32_t a = first[j];
                const int32_t b = second[k];
                const size_t lo = static_cast<size_t>(a < b ? a : b);
                const size_t hi = static_cast<size_t>(a < b ? b : a);
                if (a == b || covered[lo * count + hi]++) std::abort();
            }
    }
    if (total != static_cast<uint64_t>(count) * (count - 1) / 2) std::abort();
}

int checked_road(byte_reader& in) {
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
    interrupt never;
    try {
        const pair_list result = build_lumo(n, d, s, points, never);
        check_covering(n, result.order, result.pairs);
    } catch (const std::invalid_argument&) {
    } catch (const std::length_error&) {
    }
    return 0;
}

int unchecked_road(byte_reader& in) {
    // Mostly small sets, which run fast; one in 32 from 256 to 480 points,
    // large enough for the sorted lists.
    const uint8_t size_tag = in.take<uint8_t>();
    const int32_t n = size_tag < 0xf8 ? 1 + size_tag % 64 : 256 + (size_tag - 0xf8) * 32;
    const int32_t d = 1 + in.take<uint8_t>() % 5;
    const int workers = 1 + in.take<uint8_t>() % 3;
    double s = coordinate(in);
    if (!std::isfinite(s)) s = 1.0;
    std::vector<double> x(static_cast<size_t>(n) * static_cast<size_t>(d));
    for (double& v : x) {
        v = coordinate(in);
        if (!std::isfinite(v)) v = 0.0;
    }
    interrupt never;
    try {
        const split_tree tree = build_split_tree(x.data(), n, d, workers, never);
        check_covering(n, tree.order, search_pairs(tree, s, workers, never));
    } catch (const coincident_points&) {
    }
    return 0;
}

// Past the input, the coordinates of a large set: the generator's values,
// or copies of up to 16 base points, the j-th moved by j along one axis
// (ties on every cut, and sometimes equal points).
void grow_points(byte_reader& in, int32_t n, int32_t d, std::vector<double>& x) {
    const int32_t k = 1 + in.take<uint8_t>() % 16;
    const bool copies = (in.take<uint8_t>() & 1) != 0;
    std::vector<double> base(static_cast<size_t>(k) * static_cast<size_t>(d));
    for (double& v : base) v = coordinate(in);
    for (int32_t i = 0; i < n; ++i)
        for (int32_t t = 0; t < d; ++t) {
            const auto at = static_cast<size_t>(i) * static_cast<size_t>(d) + static_cast<size_t>(t);
            if (!copies) {
                x[at] = coordinate(in);
                continue;
            }
            const int32_t j = i / k;
            x[at] = base[static_cast<size_t>((i % k) * d + t)] + (t == j % d ? j : 0);
        }
}

int parallel_road(byte_reader& in) {
    const int32_t n = shared_points + in.take<uint8_t>() * 16;
    const int32_t d = 1 + in.take<uint8_t>() % 3;
    const int workers = 2 + in.take<uint8_t>() % 3;
    const double s = (in.take<uint8_t>() % 8) * 0.25;
    std::vector<double> x(static_cast<size_t>(n) * static_cast<size_t>(d));
    grow_points(in, n, d, x);
    interrupt never;
    std::string one_error;
    std::string many_error;
    split_tree one;
    split_tree many;
    try {
        one = checked_tree(x.data(), n, d, 1, never);
    } catch (const std::invalid_argument& e) {
        one_error = e.what();
    }
    try {
        many = checked_tree(x.data(), n, d, workers, never);
    } catch (const std::invalid_argument& e) {
        many_error = e.what();
    }
    if (one_error != many_error) std::abort();
    if (!one_error.empty()) return 0;
    if (one.records.size() != many.records.size() ||
        std::memcmp(one.records.data(), many.records.data(), one.records.size() * sizeof(double)) != 0 ||
        std::memcmp(one.order.data(), many.order.data(), one.order.size() * sizeof(int32_t)) != 0)
        std::abort();
    const raw_array<separated_pair> pairs = search_pairs(one, s, 1, never);
    const raw_array<separated_pair> shared = search_pairs(many, s, workers, never);
    if (pairs.size() != shared.size() ||
        std::memcmp(pairs.data(), shared.data(), pairs.size() * sizeof(separated_pair)) != 0)
        std::abort();
    check_covering(n, one.order, pairs);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint64_t seed = 0x9e3779b97f4a7c15ULL;
    for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 0x100000001b3ULL;
    byte_reader in{data, size, seed};
    const uint8_t road = in.take<uint8_t>();
    if (road % 32 == 31) return parallel_road(in);
    return (road & 1) == 0 ? checked_road(in) : unchecked_road(in);
}
