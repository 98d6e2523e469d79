// SPDX-License-Identifier: MIT
#include "checks.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using std::size_t;

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr double inf_value = std::numeric_limits<double>::infinity();

enum class error { invalid_argument, length_error };

struct rejection {
    const char* name;
    int32_t n;
    int32_t d;
    double s;
    std::vector<std::vector<double>> coords;
    error type;
    std::vector<std::string> mentions;  // substrings the message must hold
};

class checks_rejection : public testing::TestWithParam<rejection> {};

TEST_P(checks_rejection, throws_and_names_the_offender) {
    const rejection& r = GetParam();
    const auto pts = make_points(r.coords);
    std::string message;
    try {
        check_input(r.n, r.d, r.s, pts);
        FAIL() << "accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(r.type, error::invalid_argument) << e.what();
        message = e.what();
    } catch (const std::length_error& e) {
        EXPECT_EQ(r.type, error::length_error) << e.what();
        message = e.what();
    }
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    for (const auto& part : r.mentions)
        EXPECT_NE(message.find(part), std::string::npos) << "'" << part << "' missing from: " << message;
}

const std::vector<std::vector<double>> square = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};

INSTANTIATE_TEST_SUITE_P(
    checks, checks_rejection,
    testing::Values(
        rejection{"negative_d", 4, -1, 2.0, square, error::length_error, {"vector too long"}},
        rejection{"n_zero", 0, 2, 2.0, square, error::invalid_argument, {"n", "got 0"}},
        rejection{"n_negative", -3, 2, 2.0, square, error::invalid_argument, {"got -3"}},
        rejection{"n_above_point_count", 5, 2, 2.0, square, error::invalid_argument, {"n is 5", "only 4"}},
        rejection{"d_zero", 4, 0, 2.0, square, error::invalid_argument, {"d must be at least 1", "got 0"}},
        rejection{"d_above_a_coordinate_count",
                  4,
                  3,
                  2.0,
                  {{1, 2, 3}, {1, 2}, {4, 5, 6}, {1}},
                  error::invalid_argument,
                  {"d is 3", "point 1 ", "only 2"}},
        rejection{"nan_coordinate",
                  4,
                  2,
                  2.0,
                  {{0, 0}, {1, 0}, {0, nan_value}, {1, 1}},
                  error::invalid_argument,
                  {"point 2 ", "nan", "dimension 1"}},
        rejection{"infinite_coordinate",
                  3,
                  2,
                  2.0,
                  {{0, 0}, {-inf_value, 0}, {1, 1}},
                  error::invalid_argument,
                  {"point 1 ", "-inf", "dimension 0"}},
        rejection{"extent_overflow", 2, 1, 2.0, {{-1e308}, {1e308}}, error::invalid_argument,
                  {"dimension 0", "-1e+308", "1e+308"}},
        rejection{"extent_overflow_in_second_dimension",
                  3,
                  2,
                  2.0,
                  {{0, 1.7e308}, {1, 0}, {2, -1e308}},
                  error::invalid_argument,
                  {"dimension 1", "-1e+308"}},
        rejection{"nan_s", 4, 2, nan_value, square, error::invalid_argument, {"s must be finite", "nan"}},
        rejection{"infinite_s", 4, 2, inf_value, square, error::invalid_argument, {"s must be finite", "inf"}},
        rejection{"negative_infinite_s", 4, 2, -inf_value, square, error::invalid_argument, {"-inf"}},
        rejection{"coincident_pair_and_a_third_point",
                  3,
                  2,
                  2.0,
                  {{0, 0}, {0, 0}, {5, 0}},
                  error::invalid_argument,
                  {"points 0 and 1 ", "first 2 coordinates"}},
        rejection{"zero_and_negative_zero", 2, 1, 2.0, {{0.0}, {-0.0}}, error::invalid_argument,
                  {"points 0 and 1 "}},
        rejection{"negative_zero_in_a_later_dimension",
                  3,
                  2,
                  2.0,
                  {{1, 2}, {3, -0.0}, {3, 0.0}},
                  error::invalid_argument,
                  {"points 1 and 2 "}},
        rejection{"equal_in_the_first_d_coordinates_only",
                  3,
                  2,
                  2.0,
                  {{7, 8, 0}, {1, 1, 1}, {7, 8, 9}},
                  error::invalid_argument,
                  {"points 0 and 2 ", "first 2 coordinates"}},
        // Point 3 is the first that repeats an earlier one (point 1), though
        // the pair (0, 4) sorts first.
        rejection{"first_repeat_in_input_order",
                  6,
                  2,
                  2.0,
                  {{5, 0}, {1, 0}, {3, 0}, {1, 0}, {5, 0}, {5, 0}},
                  error::invalid_argument,
                  {"points 1 and 3 "}},
        rejection{"first_repeat_with_a_larger_first_coordinate",
                  4,
                  2,
                  2.0,
                  {{9, 9}, {0, 0}, {9, 9}, {0, 0}},
                  error::invalid_argument,
                  {"points 0 and 2 "}},
        rejection{"first_repeat_within_a_shared_first_coordinate",
                  4,
                  2,
                  2.0,
                  {{1, 5}, {1, 3}, {1, 5}, {1, 3}},
                  error::invalid_argument,
                  {"points 0 and 2 "}},
        rejection{"three_equal_points_report_the_first_two",
                  4,
                  2,
                  2.0,
                  {{1, 1}, {2, 2}, {1, 1}, {1, 1}},
                  error::invalid_argument,
                  {"points 0 and 2 "}}),
    [](const testing::TestParamInfo<rejection>& c) { return std::string(c.param.name); });

TEST(checks, valid_input_passes) {
    EXPECT_NO_THROW(check_input(1, 2, 2.0, make_points({{0, 0}})));
    EXPECT_NO_THROW(check_input(4, 2, -1.0, make_points(square)));
    EXPECT_NO_THROW(check_input(2, 1, 0.0, make_points({{0.0}, {5e-324}})));
    // The largest extents that do not overflow.
    EXPECT_NO_THROW(check_input(2, 1, 2.0, make_points({{-8e307}, {8e307}})));
    EXPECT_NO_THROW(check_input(2, 1, 2.0, make_points({{1e308}, {1.7e308}})));
    EXPECT_NO_THROW(check_input(2, 1, 1e300, make_points({{0.0}, {1.0}})));
    for (int32_t d = 1; d <= 5; ++d) {
        const auto pts = uniform_points(2000, d, 300u + static_cast<uint64_t>(d), -1e6, 1e6);
        EXPECT_NO_THROW(check_input(static_cast<int32_t>(pts.size()), d, 2.0, pts)) << d;
    }
}

TEST(checks, only_the_first_n_points_and_d_coordinates_are_read) {
    // Duplicates, non-finite values and short points after the first n or
    // beyond the first d coordinates do not matter.
    const auto pts = make_points({{0, 0, nan_value}, {1, 0, 1e308}, {0, 1, -1e308}, {0, 0}, {nan_value}, {}});
    EXPECT_NO_THROW(check_input(3, 2, 2.0, pts));
    // Points that differ only in the last dimension are distinct.
    EXPECT_NO_THROW(check_input(2, 3, 2.0, make_points({{1, 2, 3}, {1, 2, 4}})));
    EXPECT_THROW(check_input(4, 2, 2.0, pts), std::invalid_argument);
}

TEST(checks, duplicate_report_matches_a_brute_force_search) {
    // Grids dense enough that most sets hold repeats; the report must name
    // the first point, in input order, equal to an earlier one, and the
    // earliest point it equals.
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        const int32_t d = 1 + static_cast<int32_t>(seed % 3);
        std::vector<std::vector<double>> coords;
        for (const auto& p : uniform_points(60, d, seed)) {
            std::vector<double> c = p.coord;
            for (double& x : c) x = static_cast<double>(static_cast<int32_t>(x * 9.0));
            coords.push_back(c);
        }
        const auto pts = make_points(coords);
        std::map<std::vector<double>, int32_t> first_seen;
        std::string expected;
        for (size_t j = 0; j < coords.size(); ++j) {
            const auto [it, fresh] = first_seen.emplace(coords[j], static_cast<int32_t>(j));
            if (!fresh) {
                expected = "points " + std::to_string(it->second) + " and " + std::to_string(j) + " ";
                break;
            }
        }
        const auto n = static_cast<int32_t>(pts.size());
        if (expected.empty()) {
            EXPECT_NO_THROW(check_input(n, d, 1.0, pts));
            continue;
        }
        try {
            check_input(n, d, 1.0, pts);
            ADD_FAILURE() << "accepted; expected " << expected;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(expected), std::string::npos)
                << e.what() << " (expected " << expected << ")";
        }
    }
}

}  // namespace
