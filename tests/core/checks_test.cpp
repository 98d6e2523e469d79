// SPDX-License-Identifier: MIT
#include "checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "decomposition.h"
#include "test_support.h"

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr double inf_value = std::numeric_limits<double>::infinity();
constexpr int32_t int_max = std::numeric_limits<int32_t>::max();

std::vector<point> points_of(const std::vector<std::vector<double>>& rows) {
    std::vector<point> pts;
    for (const auto& row : rows) pts.emplace_back(row);
    return pts;
}

// The message of build_lumo's rejection; empty if it accepted.
std::string rejection_of(int32_t n, int32_t d, double s, const std::vector<point>& pts, bool* length_error = nullptr) {
    interrupt never;
    try {
        build_lumo(n, d, s, pts, never);
    } catch (const std::invalid_argument& e) {
        return e.what();
    } catch (const std::length_error& e) {
        if (length_error != nullptr) *length_error = true;
        return e.what();
    }
    return "";
}

struct rejection {
    const char* name;
    int32_t n;
    int32_t d;
    double s;
    std::vector<std::vector<double>> rows;
    std::string message;
};

class checks_rejection : public testing::TestWithParam<rejection> {};

TEST_P(checks_rejection, build_lumo_throws_this_message) {
    const rejection& r = GetParam();
    bool length_error = false;
    EXPECT_EQ(rejection_of(r.n, r.d, r.s, points_of(r.rows), &length_error), r.message);
    EXPECT_EQ(length_error, r.d < 0);
}

const std::vector<std::vector<double>> square = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};

std::string too_large(const char* value) {
    return std::string("coordinates up to ") + value + " are too large: squared distances overflow; scale the points down";
}

INSTANTIATE_TEST_SUITE_P(
    checks, checks_rejection,
    testing::Values(
        rejection{"negative_d", 4, -1, 2.0, square, "vector too long"},
        rejection{"most_negative_d", 4, std::numeric_limits<int32_t>::min(), 2.0, square, "vector too long"},
        rejection{"n_zero", 0, 2, 2.0, square, "n must be at least 1, got 0"},
        rejection{"n_negative", -3, 2, 2.0, square, "n must be at least 1, got -3"},
        rejection{"n_above_point_count", 5, 2, 2.0, square, "n is 5 but only 4 points were given"},
        rejection{"largest_n", int_max, 2, 2.0, square, "n is 2147483647 but only 4 points were given"},
        rejection{"d_zero", 4, 0, 2.0, square, "d must be at least 1, got 0"},
        rejection{"d_above_a_coordinate_count", 4, 3, 2.0, {{1, 2, 3}, {1, 2}, {4, 5, 6}, {1}},
                  "d is 3 but point 1 has only 2 coordinates"},
        // Counts come before anything sized by d is allocated.
        rejection{"largest_d", 4, int_max, 2.0, square, "d is 2147483647 but point 0 has only 2 coordinates"},
        rejection{"nan_s", 4, 2, nan_value, square, "s must be finite, got nan"},
        rejection{"infinite_s", 4, 2, -inf_value, square, "s must be finite, got -inf"},
        rejection{"nan_coordinate", 4, 2, 2.0, {{0, 0}, {1, 0}, {0, nan_value}, {1, 1}},
                  "point 2 has a non-finite coordinate nan in dimension 1"},
        rejection{"infinite_coordinate", 3, 2, 2.0, {{0, 0}, {-inf_value, 0}, {1, 1}},
                  "point 1 has a non-finite coordinate -inf in dimension 0"},
        rejection{"extent_overflow", 2, 1, 2.0, {{-1e308}, {1e308}},
                  "the points' extent in dimension 0 overflows: -1e+308 to 1e+308"},
        rejection{"extent_overflow_in_second_dimension", 3, 2, 2.0, {{0, 1.5e308}, {1, 0}, {2, -1e308}},
                  "the points' extent in dimension 1 overflows: -1e+308 to 1.5e+308"},
        rejection{"squared_extent_overflows", 2, 1, 2.0, {{0}, {1.5e154}}, too_large("1.5e+154")},
        rejection{"sum_of_squared_extents_overflows", 2, 2, 2.0, {{0, 0}, {1e154, 1e154}}, too_large("1e+154")},
        rejection{"twice_the_high_end_overflows", 2, 2, 2.0, {{1.7e308, 0}, {1.7e308, 1}}, too_large("1.7e+308")},
        rejection{"twice_the_low_end_overflows", 1, 1, 2.0, {{-1e308}}, too_large("1e+308")},
        rejection{"equal_pair_and_a_third_point", 3, 2, 2.0, {{0, 0}, {0, 0}, {5, 0}},
                  "points 0 and 1 are equal in their first 2 coordinates"},
        rejection{"zero_and_negative_zero", 2, 1, 2.0, {{0.0}, {-0.0}},
                  "points 0 and 1 are equal in their first 1 coordinates"},
        rejection{"equal_in_the_first_d_coordinates_only", 3, 2, 2.0, {{7, 8, 0}, {1, 1, 1}, {7, 8, 9}},
                  "points 0 and 2 are equal in their first 2 coordinates"},
        // Point 3 is the first to repeat an earlier one (point 1), though
        // the pair (0, 4) sorts first.
        rejection{"first_repeat_in_input_order", 6, 2, 2.0, {{5, 0}, {1, 0}, {3, 0}, {1, 0}, {5, 0}, {5, 0}},
                  "points 1 and 3 are equal in their first 2 coordinates"},
        rejection{"three_equal_points_report_the_first_two", 4, 2, 2.0, {{1, 1}, {2, 2}, {1, 1}, {1, 1}},
                  "points 0 and 2 are equal in their first 2 coordinates"}),
    [](const testing::TestParamInfo<rejection>& c) { return std::string(c.param.name); });

TEST(checks, valid_input_passes) {
    EXPECT_EQ(rejection_of(1, 2, 2.0, points_of({{0, 0}})), "");
    EXPECT_EQ(rejection_of(4, 2, -1.0, points_of(square)), "");
    EXPECT_EQ(rejection_of(2, 1, 0.0, points_of({{0.0}, {5e-324}})), "");
    EXPECT_EQ(rejection_of(2, 1, 1e300, points_of({{0.0}, {1.0}})), "");
    // The largest boxes whose squares and centres stay finite.
    EXPECT_EQ(rejection_of(2, 1, 2.0, points_of({{0}, {1.3e154}})), "");
    EXPECT_EQ(rejection_of(2, 2, 2.0, points_of({{-6e153, 0}, {6e153, 0.5}})), "");
    EXPECT_EQ(rejection_of(1, 1, 2.0, points_of({{8.9e307}})), "");
    EXPECT_EQ(rejection_of(2, 2, 2.0, points_of({{-8.9e307, 0}, {-8.9e307, 1}})), "");
    // Rows after the first n and coordinates after the first d are not read.
    EXPECT_EQ(rejection_of(3, 2, 2.0, points_of({{0, 0, nan_value}, {1, 0, 1e308}, {0, 1}, {0, 0}, {}})), "");
    EXPECT_EQ(rejection_of(2, 3, 2.0, points_of({{1, 2, 3}, {1, 2, 4}})), "");
}

TEST(checks, decompose_rejects_a_non_finite_s) {
    const point_set set = make_set(square);
    interrupt never;
    const split_tree tree = checked_tree(set.x.data(), set.n, set.d, 1, never);
    for (const double s : {nan_value, inf_value}) EXPECT_THROW(decompose(tree, s, 1, never), std::invalid_argument);
}

// The count is refused before the coordinates are read or copied: x holds
// one point only.
TEST(checks, more_points_than_max_points_are_refused_at_once) {
    interrupt never;
    const double one[1] = {0.0};
    for (const int32_t n : {max_points + 1, int_max}) {
        const std::string message =
            "n is " + std::to_string(n) + "; at most " + std::to_string(max_points) + " points are supported";
        try {
            checked_tree(one, n, 1, 1, never);
            ADD_FAILURE() << n;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), message);
        }
        raw_array<double> x(1);
        EXPECT_THROW(checked_tree(x, n, 1, 1, never), std::invalid_argument);
    }
}

TEST(checks, duplicate_report_matches_a_brute_force_search) {
    // Coarse grids, most with repeats: the report names the first point, in
    // input order, equal to an earlier one, and the earliest point it
    // equals. The larger sets reach the builder's sorted lists.
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        const int32_t d = 1 + static_cast<int32_t>(seed % 3);
        const bool large = seed % 4 == 0;
        point_set set = large ? geoline_points(3000, d, seed) : uniform_points(60, d, seed);
        if (large) {
            // Two repeats at seeded places of a set cut on sorted lists.
            for (const uint64_t k : {seed, seed * 7}) {
                const auto from = static_cast<std::ptrdiff_t>((k * 37 % 1500) * static_cast<uint64_t>(d));
                const auto to = static_cast<std::ptrdiff_t>((1500 + k * 11 % 1500) * static_cast<uint64_t>(d));
                std::copy(set.x.begin() + from, set.x.begin() + from + d, set.x.begin() + to);
            }
        } else {
            for (double& x : set.x) x = std::floor(x * 9);
        }
        std::map<std::vector<double>, int32_t> first_seen;
        std::string expected;
        for (int32_t j = 0; j < set.n && expected.empty(); ++j) {
            const auto row = set.x.begin() + j * d;
            const auto [it, fresh] = first_seen.emplace(std::vector<double>(row, row + d), j);
            if (!fresh)
                expected = "points " + std::to_string(it->second) + " and " + std::to_string(j) +
                           " are equal in their first " + std::to_string(d) + " coordinates";
        }
        EXPECT_EQ(rejection_of(set.n, d, 1.0, as_points(set)), expected);
    }
}

}  // namespace
