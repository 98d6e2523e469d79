// SPDX-License-Identifier: MIT
#include "pair_search.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "decomposition.h"
#include "test_support.h"

namespace {

using std::size_t;

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

pair_list lumo(const point_set& set, double s) {
    interrupt never;
    return build_lumo(set.n, set.d, s, as_points(set), never);
}

index_pairs lumo_pairs(const point_set& set, double s) {
    const pair_list result = lumo(set, s);
    return expand_pairs(result.order, result.pairs);
}

raw_array<separated_pair> search(const split_tree& tree, double s, int workers = 1) {
    interrupt never;
    return search_pairs(tree, s, workers, never);
}

// --- Worked examples -------------------------------------------------------

struct example {
    const char* name;
    double s;
    std::vector<std::vector<double>> rows;
    index_pairs expected;
};

class pair_search_example : public testing::TestWithParam<example> {};

TEST_P(pair_search_example, exact_result) {
    const example& e = GetParam();
    const point_set set = make_set(e.rows);
    const pair_list result = lumo(set, e.s);
    const index_pairs pairs = expand_pairs(result.order, result.pairs);
    EXPECT_EQ(pairs, e.expected) << text(pairs);
    expect_valid_decomposition(set, e.s, result.order, result.pairs);
}

const std::vector<std::vector<double>> unit_square = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};

INSTANTIATE_TEST_SUITE_P(
    pair_search, pair_search_example,
    testing::Values(
        example{"one_point_has_no_pairs", 2.0, {{0, 0}}, {}},
        example{"two_points_remainder_first", 2.0, {{0, 0}, {1, 0}}, {{{1}, {0}}}},
        example{"three_collinear_s_half", 0.5, {{0}, {1}, {2}}, {{{2}, {1, 0}}, {{1}, {0}}}},
        example{"three_collinear_s2_splits_the_pair", 2.0, {{0}, {1}, {2}}, {{{2}, {0}}, {{2}, {1}}, {{1}, {0}}}},
        example{"unit_square_s2_splits_the_second_on_equal_radii",
                2.0,
                unit_square,
                {{{1}, {0}}, {{3}, {0}}, {{1}, {2}}, {{3}, {2}}, {{2}, {0}}, {{3}, {1}}}},
        example{"unit_square_negative_s", -1.0, unit_square, {{{3, 1}, {2, 0}}, {{2}, {0}}, {{3}, {1}}}},
        example{"two_clusters",
                2.0,
                {{0, 0}, {0.1, 0}, {0, 0.1}, {10, 10}, {10.1, 10}, {10, 10.1}},
                {{{5, 3, 4}, {2, 0, 1}}, {{0}, {1}}, {{2}, {1}}, {{2}, {0}}, {{3}, {4}}, {{5}, {4}}, {{5}, {3}}}},
        // The squared distances underflow to 0, yet two leaves are a pair.
        example{"denormal_neighbours_on_a_line", 2.0, {{0.0}, {5e-324}}, {{{1}, {0}}}},
        example{"points_1e_170_apart_in_three_dimensions", 1.0, {{0, 0, 0}, {1e-170, 1e-170, 1e-170}}, {{{1}, {0}}}}),
    [](const testing::TestParamInfo<example>& c) { return std::string(c.param.name); });

TEST(pair_search, separation_test_is_strict) {
    // {0, 1} and {4, 5}: centres 0.5 and 4.5, radius 0.5 each, so
    // dist - 2r = 3 = r * s exactly for s = 6.
    const point_set line = make_set({{0}, {1}, {4}, {5}});
    const index_pairs below = lumo_pairs(line, std::nextafter(6.0, 0.0));
    EXPECT_EQ(below, (index_pairs{{{3, 2}, {1, 0}}, {{1}, {0}}, {{3}, {2}}})) << text(below);
    // On equality the second node is split: leaf 0 is separated from
    // {4, 5}, leaf 1 (dist - 2r = 2.5) is not, so {4, 5} is split against it.
    const index_pairs equal = lumo_pairs(line, 6.0);
    EXPECT_EQ(equal, (index_pairs{{{3, 2}, {0}}, {{2}, {1}}, {{3}, {1}}, {{1}, {0}}, {{3}, {2}}})) << text(equal);
}

TEST(pair_search, only_the_first_n_points_and_d_coordinates_take_part) {
    const index_pairs square = lumo_pairs(make_set(unit_square), 2.0);
    // Records after the first n, and coordinates after the first d, may be
    // anything: duplicates, NaN, short rows.
    const std::vector<point> pts = {point({0, 0, nan_value}), point({1, 0, 1e300}), point({0, 1}),
                                    point({1, 1, 0, 7}),      point({0, 0}),        point({nan_value})};
    interrupt never;
    const pair_list result = build_lumo(4, 2, 2.0, pts, never);
    EXPECT_EQ(expand_pairs(result.order, result.pairs), square);
    EXPECT_EQ(std::vector<int32_t>(result.order.begin(), result.order.end()), (std::vector<int32_t>{3, 1, 2, 0}));
}

// --- Random inputs against the recursive search ------------------------------

struct random_case {
    data_kind kind;
    int32_t d;
};

class pair_search_random : public testing::TestWithParam<random_case> {};

TEST_P(pair_search_random, valid_and_equal_to_the_recursive_search) {
    const random_case& c = GetParam();
    // The pair count grows like s^d: fewer points in more dimensions.
    const int32_t n = c.d <= 2 ? 1500 : 800;
    const point_set set = sample(c.kind, n, c.d, 7919u * static_cast<uint64_t>(c.d) + 3u);
    interrupt never;
    const split_tree tree = checked_tree(set.x.data(), set.n, set.d, 1, never);
    const ref_tree ref = reference_tree(set);
    for (const double s : {0.0, 0.5, 2.0, 5.0}) {
        SCOPED_TRACE(s);
        const pair_list result = decompose(tree, s, 1, never);
        expect_valid_decomposition(set, s, result.order, result.pairs);
        expect_same_pairs(result.pairs, reference_pairs(ref, s, set.d));
    }
}

std::vector<random_case> random_cases() {
    std::vector<random_case> cases;
    for (const data_kind kind : {data_kind::uniform, data_kind::grid, data_kind::clusters, data_kind::tailed})
        for (const int32_t d : {1, 2, 3, 4}) cases.push_back(random_case{kind, d});
    cases.push_back(random_case{data_kind::geoline, 1});
    cases.push_back(random_case{data_kind::geoline, 3});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(pair_search, pair_search_random, testing::ValuesIn(random_cases()),
                         [](const testing::TestParamInfo<random_case>& c) {
                             return std::string(kind_name(c.param.kind)) + "_d" + std::to_string(c.param.d);
                         });

// --- Workers ------------------------------------------------------------------

TEST(pair_search, workers_give_identical_pairs) {
    for (const data_kind kind : {data_kind::uniform, data_kind::clusters, data_kind::geoline}) {
        SCOPED_TRACE(kind_name(kind));
        // Large enough that the second of two workers holds megabytes of
        // pairs, which move into the result by pages.
        const point_set set = sample(kind, 150000, 2, 11u);
        const split_tree tree = build_tree(set);
        const raw_array<separated_pair> one = search(tree, 1.0, 1);
        ASSERT_GT(one.size(), static_cast<size_t>(set.n));
        for (const int workers : {1, 2, 8}) {
            SCOPED_TRACE(workers);
            const raw_array<separated_pair> other = search(tree, 1.0, workers);
            ASSERT_EQ(other.size(), one.size());
            EXPECT_EQ(std::memcmp(other.data(), one.data(), one.size() * sizeof(separated_pair)), 0);
        }
    }
}

TEST(pair_search, workers_give_the_recursive_search_on_a_mid_sized_set) {
    // Just above the size where the search is cut into tasks.
    const point_set set = sample(data_kind::clusters, 5000, 3, 12u);
    const split_tree tree = build_tree(set, 2);
    const raw_array<separated_pair> pairs = search(tree, 2.0, 8);
    expect_valid_decomposition(set, 2.0, tree.order, pairs);
    expect_same_pairs(pairs, reference_pairs(reference_tree(set), 2.0, set.d));
}

// A thread that the runtime ends while it searches (as the interpreter
// ends a daemon thread at exit) unwinds through the search, which joins its
// workers first; an uncaught or swallowed unwind would abort the process.
bool end_thread(void*) { pthread_exit(nullptr); }

TEST(pair_search, thread_ended_inside_the_search_unwinds_after_joining_its_workers) {
    const split_tree tree = build_tree(sample(data_kind::uniform, 60000, 3, 14u));
    for (const int workers : {1, 2, 4}) {
        std::atomic<bool> returned{false};
        std::thread caller([&] {
            interrupt stop(&end_thread, nullptr, std::chrono::milliseconds(0));
            search_pairs(tree, 2.0, workers, stop);
            returned = true;
        });
        caller.join();
        EXPECT_FALSE(returned.load());
    }
}

// --- Tiny radii and deep trees -------------------------------------------------

TEST(pair_search, points_1e_170_apart_beside_normal_points) {
    // 27 points 1e-170 apart, whose squared distances are all 0, and 30
    // ordinary ones: inside the tiny cube only single points are paired.
    std::vector<std::vector<double>> rows;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) rows.push_back({i * 1e-170, j * 1e-170, k * 1e-170});
    const point_set normal = uniform_points(30, 3, 77u, 1.0, 2.0);
    for (size_t i = 0; i < static_cast<size_t>(normal.n); ++i)
        rows.emplace_back(normal.x.begin() + static_cast<std::ptrdiff_t>(3 * i),
                          normal.x.begin() + static_cast<std::ptrdiff_t>(3 * i + 3));
    const point_set set = make_set(rows);
    for (const double s : {0.0, 2.0}) {
        SCOPED_TRACE(s);
        const pair_list result = lumo(set, s);
        expect_valid_decomposition(set, s, result.order, result.pairs);
        for (const auto& [first, second] : expand_pairs(result.order, result.pairs)) {
            bool all_tiny = true;
            for (const auto* part : {&first, &second})
                for (int32_t i : *part) all_tiny = all_tiny && i < 27;
            if (all_tiny) {
                EXPECT_TRUE(first.size() == 1 && second.size() == 1) << text({{first, second}});
            }
        }
    }
}

TEST(pair_search, deep_geometric_line_decomposes) {
    const point_set set = geometric_line(-1074, 511, 1, 2024u);
    const pair_list result = lumo(set, 1.0);
    expect_valid_decomposition(set, 1.0, result.order, result.pairs);
}

// --- The validator itself ---------------------------------------------------------

// The square's decomposition for s = `made`, changed by `edit`, validated
// for s = `checked`.
void (*edit)(pair_list&) = [](pair_list&) {};

void validate_square(double made, double checked) {
    const point_set square = make_set(unit_square);
    pair_list result = lumo(square, made);
    edit(result);
    expect_valid_decomposition(square, checked, result.order, result.pairs);
}

TEST(pair_search, validator_reports_broken_decompositions) {
    edit = [](pair_list& p) { p.pairs.resize(p.pairs.size() - 1); };
    EXPECT_NONFATAL_FAILURE(validate_square(2.0, 2.0), "not covered");
    edit = [](pair_list& p) { p.pairs.push_back(p.pairs[0]); };
    EXPECT_NONFATAL_FAILURE(validate_square(2.0, 2.0), "more than once");
    edit = [](pair_list& p) { p.pairs.push_back({{3, 1}, {3, 1}}); };
    EXPECT_NONFATAL_FAILURE(validate_square(2.0, 2.0), "in both sets");
    edit = [](pair_list& p) { p.pairs.push_back({{3, 2}, {0, 1}}); };
    EXPECT_NONFATAL_FAILURE(validate_square(2.0, 2.0), "outside");
    edit = [](pair_list& p) { p.order[0] = p.order[1]; };
    EXPECT_FATAL_FAILURE(validate_square(2.0, 2.0), "twice in the leaf order");
    // The result for s = -1 starts with ([3, 1], [2, 0]), whose gap
    // dist - 2r is 0: separated for any negative s, not for a positive one
    // beyond the validator's slack for roundings.
    edit = [](pair_list&) {};
    validate_square(-1.0, -0x1p-50);
    EXPECT_NONFATAL_FAILURE(validate_square(-1.0, 1e-6), "not well separated");
}

}  // namespace
