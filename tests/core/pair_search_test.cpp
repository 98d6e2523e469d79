// SPDX-License-Identifier: MIT
#include "pair_search.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "sorted_lists.h"
#include "test_support.h"

namespace {

using std::size_t;

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

std::string text(const index_pairs& pairs) {
    std::string out = "[";
    for (const auto& [first, second] : pairs) {
        out += " (";
        for (int32_t i : first) out += std::to_string(i) + " ";
        out += "|";
        for (int32_t i : second) out += " " + std::to_string(i);
        out += ")";
    }
    return out + " ]";
}

index_pairs run(int32_t n, int32_t d, double s, std::vector<point> pts) {
    return expand_pairs(build_lumo(n, d, s, pts));
}

// --- Worked examples -------------------------------------------------------

struct example {
    const char* name;
    int32_t d;
    double s;
    std::vector<std::vector<double>> coords;
    index_pairs expected;
};

class pair_search_example : public testing::TestWithParam<example> {};

TEST_P(pair_search_example, exact_result) {
    const example& e = GetParam();
    auto pts = make_points(e.coords);
    const auto n = static_cast<int32_t>(pts.size());
    const pair_list result = build_lumo(n, e.d, e.s, pts);
    const index_pairs pairs = expand_pairs(result);
    EXPECT_EQ(pairs, e.expected) << text(pairs);
    expect_valid_decomposition(n, e.d, e.s, pts, result);
}

const std::vector<std::vector<double>> unit_square = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};

INSTANTIATE_TEST_SUITE_P(
    pair_search, pair_search_example,
    testing::Values(
        example{"one_point_has_no_pairs", 2, 2.0, {{0, 0}}, {}},
        example{"one_point_in_three_dimensions", 3, -1.0, {{1, 2, 3}}, {}},
        example{"two_points_remainder_first", 2, 2.0, {{0, 0}, {1, 0}}, {{{1}, {0}}}},
        example{"three_collinear_s2", 1, 2.0, {{0}, {1}, {2}}, {{{2}, {0}}, {{2}, {1}}, {{1}, {0}}}},
        example{"three_collinear_s_half", 1, 0.5, {{0}, {1}, {2}}, {{{2}, {1, 0}}, {{1}, {0}}}},
        example{"unit_square_s2_splits_second_node_on_equal_radii",
                2,
                2.0,
                unit_square,
                {{{1}, {0}}, {{3}, {0}}, {{1}, {2}}, {{3}, {2}}, {{2}, {0}}, {{3}, {1}}}},
        example{"unit_square_negative_s", 2, -1.0, unit_square, {{{3, 1}, {2, 0}}, {{2}, {0}}, {{3}, {1}}}},
        example{"two_clusters",
                2,
                2.0,
                {{0, 0}, {0.1, 0}, {0, 0.1}, {10, 10}, {10.1, 10}, {10, 10.1}},
                {{{5, 3, 4}, {2, 0, 1}},
                 {{0}, {1}},
                 {{2}, {1}},
                 {{2}, {0}},
                 {{3}, {4}},
                 {{5}, {4}},
                 {{5}, {3}}}},
        // Underflow: the squared distances below are 0 in binary floating
        // point, yet the points are distinct and come out as a pair.
        example{"denormal_neighbours_on_a_line", 1, 2.0, {{0.0}, {5e-324}}, {{{1}, {0}}}},
        example{"points_1e-170_apart_in_three_dimensions",
                3,
                1.0,
                {{0, 0, 0}, {1e-170, 1e-170, 1e-170}},
                {{{1}, {0}}}}),
    [](const testing::TestParamInfo<example>& c) {
        std::string name = c.param.name;
        for (char& ch : name)
            if (ch == '-') ch = '_';
        return name;
    });

TEST(pair_search, separation_test_is_strict) {
    // Nodes {0, 1} and {4, 5} have centres 0.5 and 4.5, radius 0.5 each:
    // dist - 2r = 3 = r * s exactly for s = 6.
    const std::vector<std::vector<double>> line = {{0}, {1}, {4}, {5}};
    const index_pairs just_below = run(4, 1, std::nextafter(6.0, 0.0), make_points(line));
    EXPECT_EQ(just_below, (index_pairs{{{3, 2}, {1, 0}}, {{1}, {0}}, {{3}, {2}}})) << text(just_below);

    // On equality the second node is split and the search goes on with its
    // children: leaf 0 is separated from {4, 5}, leaf 1 (dist - 2r = 2.5)
    // is not, so {4, 5} is split against it.
    auto pts = make_points(line);
    const pair_list result = build_lumo(4, 1, 6.0, pts);
    const index_pairs at_equality = expand_pairs(result);
    EXPECT_EQ(at_equality, (index_pairs{{{3, 2}, {0}}, {{2}, {1}}, {{3}, {1}}, {{1}, {0}}, {{3}, {2}}}))
        << text(at_equality);
    expect_valid_decomposition(4, 1, 6.0, pts, result);
}

TEST(pair_search, coordinates_beyond_d_are_ignored) {
    const index_pairs plain = run(4, 2, 2.0, make_points(unit_square));
    const index_pairs extended =
        run(4, 2, 2.0, make_points({{0, 0, nan_value, 1e300}, {1, 0, -5, 0}, {0, 1, 0, nan_value}, {1, 1, 0, 0, 7}}));
    EXPECT_EQ(extended, plain);
    // Points equal in their first d coordinates only would be duplicates in
    // d dimensions; in d + 1 they are distinct and decompose.
    auto lifted = make_points({{0, 0, 0}, {0, 0, 1}, {1, 0, 0}});
    const pair_list in_three = build_lumo(3, 3, 2.0, lifted);
    expect_valid_decomposition(3, 3, 2.0, lifted, in_three);
}

TEST(pair_search, only_the_first_n_points_take_part) {
    const index_pairs square = run(4, 2, 2.0, make_points(unit_square));
    // Records after the first n may be anything, even duplicates or NaN.
    auto pts = make_points({{0, 0}, {1, 0}, {0, 1}, {1, 1}, {0, 0}, {nan_value, 3}, {1}});
    const pair_list result = build_lumo(4, 2, 2.0, pts);
    EXPECT_EQ(expand_pairs(result), square);
    EXPECT_EQ(result.order, (std::vector<int32_t>{3, 1, 2, 0}));
    for (size_t i = 0; i < pts.size(); ++i) EXPECT_EQ(pts[i].index, static_cast<int32_t>(i));

    auto many = uniform_points(400, 3, 31u);
    const pair_list part = build_lumo(150, 3, 1.0, many);
    expect_valid_decomposition(150, 3, 1.0, many, part);
}

TEST(pair_search, negative_d_throws_length_error) {
    for (const int32_t d : {-1, -7, std::numeric_limits<int32_t>::min()}) {
        auto pts = make_points(unit_square);
        try {
            build_lumo(4, d, 2.0, pts);
            ADD_FAILURE() << "no exception for d = " << d;
        } catch (const std::length_error& e) {
            EXPECT_STREQ(e.what(), "vector too long");
        }
    }
}

TEST(pair_search, leaf_numbering_gives_every_node_its_run) {
    auto pts = cluster_points(600, 2, 4u, 5, 1.0);
    const auto n = static_cast<int32_t>(pts.size());
    block_pool pool;
    list_set* lists = pool.take_array<sorted_list>(2);
    for (int32_t t = 0; t < 2; ++t) lists[t] = build_sorted_list(pts.data(), n, t, pool);
    std::vector<int32_t> built(static_cast<size_t>(n), -1);
    split_node* root = build_split_tree(lists, n, 2, pool, built.data());
    auto first_leaves = [root] {
        std::vector<int32_t> out;
        for (std::vector<const split_node*> walk{root}; !walk.empty();) {
            const split_node* x = walk.back();
            walk.pop_back();
            out.push_back(x->first_leaf);
            if (x->leaf_point == nullptr) {
                walk.push_back(x->left);
                walk.push_back(x->right);
            }
        }
        return out;
    };
    const std::vector<int32_t> from_builder = first_leaves();
    // The builder's numbering and number_leaves agree.
    std::vector<int32_t> order{99, 98};
    number_leaves(root, order);
    EXPECT_EQ(order, leaf_order(root));
    EXPECT_EQ(built, order);
    EXPECT_EQ(from_builder, first_leaves());
    std::vector<const split_node*> stack{root};
    while (!stack.empty()) {
        const split_node* x = stack.back();
        stack.pop_back();
        ASSERT_TRUE(x->first_leaf >= 0 && x->first_leaf + x->size <= n);
        const auto begin = order.begin() + x->first_leaf;
        ASSERT_EQ(std::vector<int32_t>(begin, begin + x->size), leaf_order(x));
        if (x->leaf_point == nullptr) {
            stack.push_back(x->left);
            stack.push_back(x->right);
        }
    }
    release_tree(root, pool);
}

TEST(pair_search, counts_returned_equal_what_was_appended) {
    auto pts = cluster_points(600, 2, 4u, 5, 1.0);
    const auto n = static_cast<int32_t>(pts.size());
    block_pool pool;
    split_node* root = build_tree(pts, n, 2, pool);
    pair_list out;
    number_leaves(root, out.order);
    out.pairs.resize(1);
    const int64_t all = decompose_node(root, 1.0, 2, out);
    EXPECT_EQ(all, static_cast<int64_t>(out.pairs.size() - 1));
    const size_t before = out.pairs.size();
    const int64_t top = find_pairs(root->left, root->right, 1.0, 2, out);
    EXPECT_EQ(top, static_cast<int64_t>(out.pairs.size() - before));
    EXPECT_GT(top, 0);
    // A leaf has no pairs of its own.
    const split_node* leaf = root;
    while (leaf->leaf_point == nullptr) leaf = leaf->left;
    EXPECT_EQ(decompose_node(leaf, 1.0, 2, out), 0);
    release_tree(root, pool);
}

TEST(pair_search, validation_reports_broken_decompositions) {
    // The square's result for s = 2: leaf order 3, 1, 2, 0 and six pairs of
    // single points.
    auto pts = make_points(unit_square);
    const pair_list good = build_lumo(4, 2, 2.0, pts);
    expect_valid_decomposition(4, 2, 2.0, pts, good);

    pair_list missing = good;
    missing.pairs.pop_back();
    EXPECT_NONFATAL_FAILURE(expect_valid_decomposition(4, 2, 2.0, pts, missing), "not covered");
    pair_list twice = good;
    twice.pairs.push_back(good.pairs.front());
    EXPECT_NONFATAL_FAILURE(expect_valid_decomposition(4, 2, 2.0, pts, twice), "more than once");
    pair_list shared = good;
    shared.pairs.push_back(separated_pair{index_run{3, 1}, index_run{3, 1}});
    EXPECT_NONFATAL_FAILURE(expect_valid_decomposition(4, 2, 2.0, pts, shared), "in both sets");
    pair_list outside = good;
    outside.pairs.push_back(separated_pair{index_run{3, 2}, index_run{0, 1}});
    EXPECT_NONFATAL_FAILURE(expect_valid_decomposition(4, 2, 2.0, pts, outside), "outside the leaf order");
    EXPECT_FATAL_FAILURE(
        {
            auto again = make_points(unit_square);
            pair_list bad = build_lumo(4, 2, 2.0, again);
            bad.order[0] = 1;
            expect_valid_decomposition(4, 2, 2.0, again, bad);
        },
        "twice in the leaf order");

    // The result for s = -1 starts with ([3, 1], [2, 0]), whose gap
    // dist - 2r is 0: separated for any negative s, not for s = 0.
    auto again = make_points(unit_square);
    const pair_list close = build_lumo(4, 2, -1.0, again);
    expect_valid_decomposition(4, 2, -0x1p-50, again, close);
    EXPECT_NONFATAL_FAILURE(expect_valid_decomposition(4, 2, 0.0, again, close), "not well separated");
}

// --- Random inputs ---------------------------------------------------------

struct random_case {
    const char* kind;
    int32_t d;
};

std::vector<point> random_points(const random_case& c) {
    const auto seed = static_cast<uint64_t>(c.d) * 7919u + 3u;
    // The pair count grows like s^d; keep the high dimensions smaller.
    static const int32_t sizes[] = {0, 3000, 3000, 2000, 1200};
    const int32_t n = sizes[c.d];
    const std::string kind = c.kind;
    if (kind == "uniform") return uniform_points(n, c.d, seed, -10.0, 10.0);
    if (kind == "clusters") return cluster_points(n, c.d, seed, 7, 0.3);
    static const int32_t sides[] = {0, 5000, 50, 12, 6};
    return grid_points(n, c.d, seed, sides[c.d]);
}

class pair_search_random : public testing::TestWithParam<random_case> {};

TEST_P(pair_search_random, decomposition_is_valid_and_matches_the_recursive_search) {
    const random_case& c = GetParam();
    auto pts = random_points(c);
    const auto n = static_cast<int32_t>(pts.size());
    ASSERT_GT(n, 200);
    const ref_tree ref = reference_tree(pts, n, c.d);
    for (const double s : {0.0, 0.5, 1.0, 2.0, 5.0, 10.0}) {
        SCOPED_TRACE(s);
        const pair_list result = build_lumo(n, c.d, s, pts);
        expect_valid_decomposition(n, c.d, s, pts, result);
        const pair_list expected = reference_pairs(ref, s, c.d);
        ASSERT_EQ(result.order, expected.order);
        ASSERT_EQ(result.pairs.size(), expected.pairs.size());
        for (size_t p = 0; p < result.pairs.size(); ++p) {
            const separated_pair& got = result.pairs[p];
            const separated_pair& want = expected.pairs[p];
            ASSERT_TRUE(got.first.start == want.first.start && got.first.count == want.first.count &&
                        got.second.start == want.second.start && got.second.count == want.second.count)
                << "pair " << p;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    pair_search, pair_search_random,
    testing::Values(random_case{"uniform", 1}, random_case{"uniform", 2}, random_case{"uniform", 3},
                    random_case{"uniform", 4}, random_case{"clusters", 1}, random_case{"clusters", 2},
                    random_case{"clusters", 3}, random_case{"clusters", 4}, random_case{"grid", 1},
                    random_case{"grid", 2}, random_case{"grid", 3}, random_case{"grid", 4}),
    [](const testing::TestParamInfo<random_case>& c) {
        return std::string(c.param.kind) + "_d" + std::to_string(c.param.d);
    });

TEST(pair_search, underflowing_cluster_beside_normal_points_pairs_its_leaves) {
    // 27 points 1e-170 apart (all their squared distances are 0) and 30
    // ordinary points.
    std::vector<std::vector<double>> coords;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) coords.push_back({i * 1e-170, j * 1e-170, k * 1e-170});
    const size_t tiny = coords.size();
    for (const auto& p : uniform_points(30, 3, 77u, 1.0, 2.0)) coords.push_back(p.coord);
    for (const double s : {0.0, 2.0}) {
        SCOPED_TRACE(s);
        auto pts = make_points(coords);
        const auto n = static_cast<int32_t>(pts.size());
        const pair_list result = build_lumo(n, 3, s, pts);
        expect_valid_decomposition(n, 3, s, pts, result);
        // Within the cluster only single points can be told apart.
        for (const auto& [first, second] : expand_pairs(result)) {
            bool all_tiny = true;
            for (int32_t i : first) all_tiny = all_tiny && static_cast<size_t>(i) < tiny;
            for (int32_t i : second) all_tiny = all_tiny && static_cast<size_t>(i) < tiny;
            if (all_tiny) {
                EXPECT_TRUE(first.size() == 1 && second.size() == 1) << text({{first, second}});
            }
        }
    }
}

TEST(pair_search, same_input_gives_identical_result) {
    auto pts = grid_points(1500, 3, 123u, 14);
    const auto n = static_cast<int32_t>(pts.size());
    auto copy = pts;
    const pair_list first = build_lumo(n, 3, 1.0, pts);
    const index_pairs expected = expand_pairs(first);
    // Once on a fresh copy, once on records whose scratch fields the first
    // call left behind.
    for (auto* records : {&copy, &pts}) {
        const pair_list again = build_lumo(n, 3, 1.0, *records);
        EXPECT_EQ(again.order, first.order);
        EXPECT_EQ(expand_pairs(again), expected);
    }
}

TEST(pair_search, deep_geometric_line_decomposes) {
    auto pts = geometric_line(-1074, 1023, 1, 2024u);
    const auto n = static_cast<int32_t>(pts.size());
    ASSERT_EQ(n, 2098);
    const pair_list pairs = build_lumo(n, 1, 1.0, pts);
    expect_valid_decomposition(n, 1, 1.0, pts, pairs);
}

}  // namespace
