// SPDX-License-Identifier: MIT
#include "split_tree.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <new>
#include <system_error>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "work_pool.h"

namespace {

using std::size_t;

int32_t depth_of(const split_tree& tree) {
    int32_t deepest = 0;
    for (std::vector<std::pair<int32_t, int32_t>> stack{{0, 0}}; !stack.empty();) {
        const auto [x, depth] = stack.back();
        stack.pop_back();
        deepest = std::max(deepest, depth);
        if (tree.node(x).left >= 0) {
            stack.emplace_back(tree.node(x).left, depth + 1);
            stack.emplace_back(tree.node(x).right, depth + 1);
        }
    }
    return deepest;
}

// --- Worked examples -------------------------------------------------------
// Each tree written out, left subtree first; the root's right child is the
// set its first round peels.

struct worked_tree {
    const char* name;
    std::vector<std::vector<double>> rows;
    const char* shape;
    std::vector<double> root_center;
    double root_radius;
};

class split_tree_example : public testing::TestWithParam<worked_tree> {};

TEST_P(split_tree_example, shape_root_box_and_reference) {
    const worked_tree& c = GetParam();
    const point_set set = make_set(c.rows);
    const split_tree tree = build_tree(set);
    EXPECT_EQ(tree_shape(tree), c.shape);
    EXPECT_EQ(std::vector<double>(tree.center(0), tree.center(0) + set.d), c.root_center);
    EXPECT_EQ(tree.node(0).radius, c.root_radius);
    expect_tree_matches_reference(tree, reference_tree(set));
}

const double below_one = std::nextafter(1.0, 0.0);  // 1 - 2^-53
const double above_one = std::nextafter(1.0, 2.0);  // 1 + 2^-52
const double h_clusters = (10.1 - 0.0) * 0.5;

INSTANTIATE_TEST_SUITE_P(
    split_tree, split_tree_example,
    testing::Values(
        worked_tree{"one_point_is_a_leaf", {{2, 3}}, "0", {2, 3}, 0.0},
        worked_tree{"two_points_peel_the_low_one", {{0, 0}, {1, 0}}, "(1 0)", {0.5, 0}, 0.5},
        worked_tree{"three_collinear_peel_high_then_low", {{0, 0}, {1, 0}, {3, 0}}, "((1 0) 2)", {1.5, 0}, 1.5},
        worked_tree{"unit_square_cuts_first_dimension_on_equal_extents",
                    {{0, 0}, {1, 0}, {0, 1}, {1, 1}},
                    "((3 1) (2 0))",
                    {0.5, 0.5},
                    std::sqrt(0.5)},
        worked_tree{"two_clusters_peel_the_smaller_first",
                    {{0, 0}, {0.1, 0}, {0, 0.1}, {0.1, 0.1}, {10, 10}, {10.1, 10}, {10, 10.1}},
                    "(((3 1) (2 0)) ((6 4) 5))",
                    {(0.0 + 10.1) * 0.5, (0.0 + 10.1) * 0.5},
                    std::sqrt(h_clusters * h_clusters + h_clusters * h_clusters)},
        worked_tree{"several_rounds_chain_through_left",
                    {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0}, {100, 0}},
                    "(((6 (5 4)) ((3 2) (1 0))) 7)",
                    {50, 0},
                    50.0},
        worked_tree{"walks_tie_low_end_wins", {{0}, {1}, {3}, {4}}, "((3 2) (1 0))", {2}, 2.0},
        worked_tree{"point_on_mid_goes_with_low_end", {{0}, {1}, {2}}, "(2 (1 0))", {1}, 1.0},
        worked_tree{"point_on_mid_goes_with_high_end", {{0}, {1}, {2}, {4}}, "((1 0) (3 2))", {2}, 2.0},
        worked_tree{"input_order_does_not_matter", {{4}, {0}, {3}, {1}}, "((0 2) (3 1))", {2}, 2.0},
        worked_tree{"negative_coordinates", {{-3}, {-1}, {5}}, "((1 0) 2)", {1}, 4.0},
        worked_tree{"longer_second_dimension_is_cut", {{0, 0}, {1, 5}, {2, 10}}, "(2 (1 0))", {1, 5},
                    std::sqrt(1.0 + 25.0)},
        worked_tree{"box_of_three_dimensions", {{0.5, -2, 7}, {3, 1, 7}, {1, 4, 7}}, "(2 (1 0))", {1.75, 1, 7},
                    std::sqrt(1.25 * 1.25 + 3.0 * 3.0)},
        // 2^-53 * 0.5 + (1 - 2^-53) rounds to even: mid is the high point.
        worked_tree{"mid_rounds_to_the_high_point", {{below_one}, {1.0}}, "(0 1)", {(below_one + 1.0) * 0.5},
                    (1.0 - below_one) * 0.5},
        // 2^-52 * 0.5 + 1 rounds to even: mid is the low point.
        worked_tree{"mid_rounds_to_the_low_point", {{1.0}, {above_one}}, "(1 0)", {(1.0 + above_one) * 0.5},
                    (above_one - 1.0) * 0.5}),
    [](const testing::TestParamInfo<worked_tree>& c) { return std::string(c.param.name); });

// --- Random comparisons with the recursive definition ----------------------

struct random_case {
    data_kind kind;
    int32_t n;
    int32_t d;
};

class split_tree_random : public testing::TestWithParam<random_case> {};

TEST_P(split_tree_random, tree_matches_the_recursive_definition) {
    const random_case& c = GetParam();
    const point_set set = sample(c.kind, c.n, c.d, 1000u * static_cast<uint64_t>(c.d) + 17u);
    ASSERT_GT(set.n, c.n / 2);
    expect_tree_matches_reference(build_tree(set), reference_tree(set));
}

std::vector<random_case> random_cases() {
    std::vector<random_case> cases;
    for (const data_kind kind :
         {data_kind::uniform, data_kind::grid, data_kind::clusters, data_kind::geoline, data_kind::tailed})
        for (const int32_t d : {1, 2, 3, 5}) cases.push_back(random_case{kind, kind == data_kind::geoline ? 3000 : 2500, d});
    // Small sets: the partitioning rounds only.
    for (const int32_t d : {1, 2, 4}) cases.push_back(random_case{data_kind::grid, 200, d});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(split_tree, split_tree_random, testing::ValuesIn(random_cases()),
                         [](const testing::TestParamInfo<random_case>& c) {
                             return std::string(kind_name(c.param.kind)) + "_n" + std::to_string(c.param.n) + "_d" +
                                    std::to_string(c.param.d);
                         });

// The tree depends on the set, not on the order of its rows: reversing them
// renumbers the leaves and changes nothing else. Also the same input twice.
TEST(split_tree, row_order_does_not_change_the_tree) {
    for (const data_kind kind : {data_kind::grid, data_kind::tailed}) {
        SCOPED_TRACE(kind_name(kind));
        const point_set set = sample(kind, 3000, 2, 5u);
        point_set reversed = set;
        for (int32_t i = 0; i < set.n; ++i)
            std::memcpy(&reversed.x[static_cast<size_t>(set.n - 1 - i) * 2], &set.x[static_cast<size_t>(i) * 2], 16);
        const split_tree a = build_tree(set);
        expect_identical_trees(build_tree(set), a);
        split_tree b = build_tree(reversed);
        for (int32_t& i : b.order) i = set.n - 1 - i;
        expect_identical_trees(b, a);
    }
}

// --- Workers ----------------------------------------------------------------

class split_tree_workers : public testing::TestWithParam<data_kind> {};

void fail_thread_starts(pool_step step) {
    if (step == pool_step::thread_start) throw std::system_error(EAGAIN, std::generic_category());
}

TEST_P(split_tree_workers, give_identical_arrays) {
    // Large enough that sets of 16384 points and more go to other threads.
    const point_set set = sample(GetParam(), 70000, 2, 99u);
    const split_tree one = build_tree(set, 1);
    for (const int workers : {2, 8}) {
        SCOPED_TRACE(workers);
        expect_identical_trees(build_tree(set, workers), one);
    }
    // Threads that cannot be started leave the work to the calling one.
    pool_fault_hook = &fail_thread_starts;
    const split_tree alone = build_tree(set, 8);
    pool_fault_hook = nullptr;
    expect_identical_trees(alone, one);
}

INSTANTIATE_TEST_SUITE_P(split_tree, split_tree_workers,
                         testing::Values(data_kind::uniform, data_kind::clusters, data_kind::geoline, data_kind::tailed),
                         [](const testing::TestParamInfo<data_kind>& c) { return std::string(kind_name(c.param)); });

// A failure on any thread (here a worker's setup, standing for its
// scratch space's allocation) is one exception on the caller.
std::atomic<int> setups_left{0};
void fail_a_setup(pool_step step) {
    if (step == pool_step::worker_setup && setups_left.fetch_sub(1) == 1) throw std::bad_alloc();
}

TEST(split_tree, worker_setup_failure_with_workers_is_one_exception) {
    const point_set set = sample(data_kind::uniform, 70000, 2, 99u);
    for (const int nth : {1, 2, 3}) {
        setups_left = nth;
        pool_fault_hook = &fail_a_setup;
        EXPECT_THROW(build_tree(set, 3), std::bad_alloc) << nth;
        pool_fault_hook = nullptr;
    }
}

// glibc ends a thread inside the caller's check (pthread_exit, as CPython
// does at exit) with a forced unwind: the builder lets it through, joins its
// workers and frees what it holds, and the thread ends without an abort.
struct ended_run {
    const point_set* set;
    int workers;
    bool returned = false;
};

void* build_until_ended(void* arg) {
    auto* run = static_cast<ended_run*>(arg);
    interrupt stop([](void*) -> bool { pthread_exit(nullptr); }, nullptr, std::chrono::milliseconds(0));
    build_split_tree(run->set->x.data(), run->set->n, run->set->d, run->workers, stop);
    run->returned = true;
    return nullptr;
}

TEST(split_tree, forced_unwind_joins_the_workers) {
    const point_set set = sample(data_kind::uniform, 70000, 2, 4u);
    for (const int workers : {1, 2, 4}) {
        ended_run run{&set, workers};
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, nullptr, build_until_ended, &run), 0);
        ASSERT_EQ(pthread_join(thread, nullptr), 0);
        EXPECT_FALSE(run.returned) << workers;
    }
}

// --- Equal points -----------------------------------------------------------

struct coincident_case {
    const char* name;
    std::vector<std::vector<double>> rows;
};

class split_tree_coincident : public testing::TestWithParam<coincident_case> {};

TEST_P(split_tree_coincident, throws_coincident_points) {
    EXPECT_THROW(build_tree(make_set(GetParam().rows)), coincident_points);
}

INSTANTIATE_TEST_SUITE_P(
    split_tree, split_tree_coincident,
    testing::Values(coincident_case{"two_equal_points", {{0, 0}, {0, 0}}},
                    coincident_case{"zero_and_negative_zero", {{0.0}, {-0.0}}},
                    // The first round peels (5, 0); the pair left has no extent.
                    coincident_case{"equal_pair_beside_a_third_point", {{0, 0}, {0, 0}, {5, 0}}},
                    coincident_case{"equal_pair_deep_in_the_tree", {{0}, {1}, {2}, {3}, {7}, {7}, {9}, {10}}}),
    [](const testing::TestParamInfo<coincident_case>& c) { return std::string(c.param.name); });

// A repeat inside a large skewed set (sorted lists) and inside sets on other
// workers: the exception crosses threads and nothing leaks.
TEST(split_tree, duplicate_in_a_large_set_throws_with_workers) {
    for (const data_kind kind : {data_kind::uniform, data_kind::geoline}) {
        point_set set = sample(kind, 40000, 2, 3u);
        const std::vector<double> repeat(set.x.begin() + 2 * 777, set.x.begin() + 2 * 778);
        set.x.insert(set.x.end(), repeat.begin(), repeat.end());
        ++set.n;
        for (const int workers : {1, 2, 8}) EXPECT_THROW(build_tree(set, workers), coincident_points) << workers;
    }
}

// --- Deep trees ---------------------------------------------------------------

struct deep_run {
    const point_set* set;
    int32_t depth = 0;
    size_t pairs = 0;
    bool thrown = false;
};

// Builds and searches on a thread with a 128 KiB stack: a recursion per
// level of a tree over 1000 deep would overflow it.
void* build_and_search(void* arg) {
    auto* run = static_cast<deep_run*>(arg);
    try {
        const split_tree tree = build_tree(*run->set);
        interrupt never;
        run->pairs = search_pairs(tree, 1.0, 1, never).size();
        run->depth = depth_of(tree);
    } catch (...) {
        run->thrown = true;
    }
    return nullptr;
}

TEST(split_tree, deep_geometric_line_without_recursion) {
    // 2^-1074 .. 2^1023: every cut peels the top one or two points.
    for (const uint64_t seed : {uint64_t{0}, uint64_t{99}}) {
        SCOPED_TRACE(seed);
        const point_set set = geometric_line(-1074, 1023, 2, seed);
        deep_run run{&set};
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, 128 * 1024);
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, &attr, build_and_search, &run), 0);
        pthread_join(thread, nullptr);
        pthread_attr_destroy(&attr);
        EXPECT_FALSE(run.thrown);
        EXPECT_GT(run.depth, 1000);
        EXPECT_GE(run.pairs, static_cast<size_t>(set.n - 1));
        expect_tree_matches_reference(build_tree(set), reference_tree(set));
    }
}

}  // namespace
