// SPDX-License-Identifier: MIT
#include "split_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "test_support.h"

namespace {

using std::size_t;

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr double inf_value = std::numeric_limits<double>::infinity();

bool is_leaf(const split_node* x) { return x->left == nullptr && x->right == nullptr; }

std::vector<int32_t> sorted_leaves(const split_node* x) {
    auto order = leaf_order(x);
    std::sort(order.begin(), order.end());
    return order;
}

int32_t depth_of(const split_node* root) {
    int32_t deepest = 0;
    std::vector<std::pair<const split_node*, int32_t>> stack{{root, 0}};
    while (!stack.empty()) {
        const auto [x, depth] = stack.back();
        stack.pop_back();
        deepest = std::max(deepest, depth);
        if (!is_leaf(x)) {
            stack.emplace_back(x->left, depth + 1);
            stack.emplace_back(x->right, depth + 1);
        }
    }
    return deepest;
}

void expect_center(const split_node* x, std::vector<double> expected) {
    for (size_t k = 0; k < expected.size(); ++k) EXPECT_DOUBLE_EQ(x->center[k], expected[k]) << "centre " << k;
}

void expect_leaf(const split_node* x, int32_t index) {
    ASSERT_NE(x, nullptr);
    EXPECT_TRUE(is_leaf(x));
    ASSERT_NE(x->leaf_point, nullptr);
    EXPECT_EQ(x->leaf_point->index, index);
    EXPECT_EQ(x->size, 1);
    EXPECT_EQ(x->radius, 0.0);
}

void expect_inner(const split_node* x, int32_t size) {
    ASSERT_NE(x, nullptr);
    EXPECT_NE(x->left, nullptr);
    EXPECT_NE(x->right, nullptr);
    EXPECT_EQ(x->leaf_point, nullptr);
    EXPECT_EQ(x->size, size);
}

// Checks the tree against the points alone, without the split rule: every
// one of the first n points is the point of exactly one leaf, a leaf has
// radius 0 and its point as centre, an inner node has two children and the
// sum of their sizes, and its centre and radius are those of the bounding
// box of its points (computed as compute_box does, from the true extremes).
void expect_tree_invariants(const split_node* root, std::vector<point>& pts, int32_t n, int32_t d) {
    const auto dims = static_cast<size_t>(d);
    std::vector<const split_node*> preorder;
    std::vector<const split_node*> stack{root};
    while (!stack.empty()) {
        const split_node* x = stack.back();
        stack.pop_back();
        preorder.push_back(x);
        if (!is_leaf(x)) {
            ASSERT_NE(x->left, nullptr);
            ASSERT_NE(x->right, nullptr);
            stack.push_back(x->left);
            stack.push_back(x->right);
        }
    }
    ASSERT_EQ(preorder.size(), 2 * static_cast<size_t>(n) - 1);

    struct box {
        std::vector<double> lo;
        std::vector<double> hi;
    };
    std::unordered_map<const split_node*, box> boxes;
    std::vector<int32_t> seen(static_cast<size_t>(n), 0);
    for (auto it = preorder.rbegin(); it != preorder.rend(); ++it) {
        const split_node* x = *it;
        box b;
        if (is_leaf(x)) {
            ASSERT_NE(x->leaf_point, nullptr);
            const int32_t i = x->leaf_point->index;
            ASSERT_TRUE(i >= 0 && i < n) << i;
            ASSERT_EQ(x->leaf_point, &pts[static_cast<size_t>(i)]);
            ++seen[static_cast<size_t>(i)];
            ASSERT_EQ(x->size, 1);
            ASSERT_EQ(x->radius, 0.0);
            const auto& c = x->leaf_point->coord;
            for (size_t k = 0; k < dims; ++k) ASSERT_EQ(x->center[k], c[k]);
            b.lo.assign(c.begin(), c.begin() + d);
            b.hi = b.lo;
        } else {
            ASSERT_EQ(x->leaf_point, nullptr);
            ASSERT_EQ(x->size, x->left->size + x->right->size);
            const box& l = boxes.at(x->left);
            const box& r = boxes.at(x->right);
            double sum = 0.0;
            for (size_t k = 0; k < dims; ++k) {
                const double lo = std::min(l.lo[k], r.lo[k]);
                const double hi = std::max(l.hi[k], r.hi[k]);
                b.lo.push_back(lo);
                b.hi.push_back(hi);
                ASSERT_EQ(x->center[k], (lo + hi) * 0.5) << "dimension " << k << ", size " << x->size;
                const double h = (hi - lo) * 0.5;
                sum = sum + h * h;
            }
            ASSERT_EQ(x->radius, std::sqrt(sum)) << "size " << x->size;
            boxes.erase(x->left);
            boxes.erase(x->right);
        }
        boxes.emplace(x, std::move(b));
    }
    for (int32_t i = 0; i < n; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], 1) << "point " << i;
}

// Blocks the pool holds for one node (record and centre), as a lone leaf
// shows.
size_t blocks_per_node() {
    static const size_t blocks = [] {
        auto pts = make_points({{1.0}});
        block_pool pool;
        split_node* leaf = build_tree(pts, 1, 1, pool);
        const size_t held = pool.blocks_held();
        release_tree(leaf, pool);
        return held;
    }();
    return blocks;
}

// Once the tree is built the pool holds its 2n - 1 nodes and nothing else:
// every list block, header array and pending record went back.
void expect_only_tree_held(const block_pool& pool, int32_t n) {
    EXPECT_GE(blocks_per_node(), 1u);
    EXPECT_EQ(pool.blocks_held(), blocks_per_node() * (2 * static_cast<size_t>(n) - 1));
}

// --- Worked examples -------------------------------------------------------

TEST(split_tree, one_point_is_a_leaf_with_its_coordinates) {
    auto pts = make_points({{2.0, 3.0}});
    block_pool pool;
    split_node* root = build_tree(pts, 1, 2, pool);
    expect_leaf(root, 0);
    EXPECT_EQ(root->leaf_point, &pts[0]);
    EXPECT_EQ(root->center[0], 2.0);
    EXPECT_EQ(root->center[1], 3.0);
    expect_only_tree_held(pool, 1);
    release_tree(root, pool);
    EXPECT_EQ(pool.blocks_held(), 0u);
}

TEST(split_tree, two_points_peel_the_low_one) {
    auto pts = make_points({{0.0, 0.0}, {1.0, 0.0}});
    block_pool pool;
    split_node* root = build_tree(pts, 2, 2, pool);
    expect_inner(root, 2);
    expect_center(root, {0.5, 0.0});
    EXPECT_EQ(root->radius, 0.5);
    expect_leaf(root->right, 0);
    expect_leaf(root->left, 1);
    EXPECT_EQ(root->left->center[0], 1.0);
    EXPECT_EQ(leaf_order(root), (std::vector<int32_t>{1, 0}));
    expect_only_tree_held(pool, 2);
    release_tree(root, pool);
    EXPECT_EQ(pool.blocks_held(), 0u);
}

TEST(split_tree, three_collinear_points_peel_high_then_low) {
    auto pts = make_points({{0.0, 0.0}, {1.0, 0.0}, {3.0, 0.0}});
    block_pool pool;
    split_node* root = build_tree(pts, 3, 2, pool);
    expect_inner(root, 3);
    expect_center(root, {1.5, 0.0});
    EXPECT_EQ(root->radius, 1.5);
    expect_leaf(root->right, 2);
    const split_node* second = root->left;
    expect_inner(second, 2);
    expect_center(second, {0.5, 0.0});
    EXPECT_EQ(second->radius, 0.5);
    expect_leaf(second->right, 0);
    expect_leaf(second->left, 1);
    EXPECT_EQ(leaf_order(root), (std::vector<int32_t>{1, 0, 2}));
    expect_only_tree_held(pool, 3);
    release_tree(root, pool);
    EXPECT_EQ(pool.blocks_held(), 0u);
}

TEST(split_tree, unit_square_splits_first_dimension_on_equal_extents) {
    auto pts = make_points({{0.0, 0.0}, {1.0, 0.0}, {0.0, 1.0}, {1.0, 1.0}});
    block_pool pool;
    split_node* root = build_tree(pts, 4, 2, pool);
    expect_inner(root, 4);
    expect_center(root, {0.5, 0.5});
    EXPECT_DOUBLE_EQ(root->radius, std::sqrt(0.5));
    EXPECT_NEAR(root->radius, 0.707107, 1e-6);
    // One round only: the peeled low side {0, 2} and the remainder {1, 3}.
    const split_node* low = root->right;
    expect_inner(low, 2);
    expect_center(low, {0.0, 0.5});
    EXPECT_EQ(low->radius, 0.5);
    expect_leaf(low->right, 0);
    expect_leaf(low->left, 2);
    const split_node* high = root->left;
    expect_inner(high, 2);
    expect_center(high, {1.0, 0.5});
    EXPECT_EQ(high->radius, 0.5);
    expect_leaf(high->right, 1);
    expect_leaf(high->left, 3);
    EXPECT_EQ(leaf_order(root), (std::vector<int32_t>{3, 1, 2, 0}));
    expect_only_tree_held(pool, 4);
    release_tree(root, pool);
}

TEST(split_tree, two_clusters_peel_the_smaller_cluster_first) {
    auto pts = make_points(
        {{0.0, 0.0}, {0.1, 0.0}, {0.0, 0.1}, {0.1, 0.1}, {10.0, 10.0}, {10.1, 10.0}, {10.0, 10.1}});
    block_pool pool;
    split_node* root = build_tree(pts, 7, 2, pool);
    expect_inner(root, 7);
    expect_center(root, {(0.0 + 10.1) * 0.5, (0.0 + 10.1) * 0.5});
    EXPECT_DOUBLE_EQ(root->center[0], 5.05);
    const double h = (10.1 - 0.0) * 0.5;
    EXPECT_EQ(root->radius, std::sqrt(h * h + h * h));
    EXPECT_NEAR(root->radius, 7.14178, 1e-5);

    const split_node* far = root->right;
    expect_inner(far, 3);
    EXPECT_EQ(sorted_leaves(far), (std::vector<int32_t>{4, 5, 6}));
    expect_center(far, {10.05, 10.05});
    const double hf = (10.1 - 10.0) * 0.5;
    EXPECT_EQ(far->radius, std::sqrt(hf * hf + hf * hf));
    EXPECT_NEAR(far->radius, 0.0707107, 1e-7);
    expect_leaf(far->right, 5);
    expect_inner(far->left, 2);
    expect_leaf(far->left->right, 4);
    expect_leaf(far->left->left, 6);

    // The second round of the same call: a tie, so the low end {0, 2}.
    const split_node* near = root->left;
    expect_inner(near, 4);
    expect_center(near, {0.05, 0.05});
    EXPECT_NEAR(near->radius, 0.0707107, 1e-7);
    EXPECT_EQ(sorted_leaves(near->right), (std::vector<int32_t>{0, 2}));
    EXPECT_EQ(sorted_leaves(near->left), (std::vector<int32_t>{1, 3}));

    EXPECT_EQ(leaf_order(root), (std::vector<int32_t>{3, 1, 2, 0, 6, 4, 5}));
    expect_only_tree_held(pool, 7);
    release_tree(root, pool);
    EXPECT_EQ(pool.blocks_held(), 0u);
}

TEST(split_tree, several_rounds_of_one_call_chain_through_left) {
    auto pts = make_points({{0.0, 0.0}, {1.0, 0.0}, {2.0, 0.0}, {3.0, 0.0}, {4.0, 0.0}, {5.0, 0.0}, {6.0, 0.0},
                            {100.0, 0.0}});
    block_pool pool;
    split_node* root = build_tree(pts, 8, 2, pool);
    expect_inner(root, 8);
    expect_center(root, {50.0, 0.0});
    EXPECT_EQ(root->radius, 50.0);
    expect_leaf(root->right, 7);
    const split_node* round2 = root->left;
    expect_inner(round2, 7);
    expect_center(round2, {3.0, 0.0});
    EXPECT_EQ(round2->radius, 3.0);
    expect_inner(round2->right, 4);
    EXPECT_EQ(sorted_leaves(round2->right), (std::vector<int32_t>{0, 1, 2, 3}));
    expect_inner(round2->left, 3);
    EXPECT_EQ(sorted_leaves(round2->left), (std::vector<int32_t>{4, 5, 6}));
    EXPECT_EQ(leaf_order(root), (std::vector<int32_t>{6, 5, 4, 3, 2, 1, 0, 7}));
    expect_only_tree_held(pool, 8);
    release_tree(root, pool);
    EXPECT_EQ(pool.blocks_held(), 0u);
}

// Leaf orders of small lines, where the walks tie or points lie on the
// middle; the root's right child is the peeled side.
struct line_case {
    const char* name;
    std::vector<double> xs;
    std::vector<int32_t> leaves;
    std::vector<int32_t> peeled;
};

class split_tree_line : public testing::TestWithParam<line_case> {};

TEST_P(split_tree_line, leaf_order_and_peeled_side) {
    const line_case& c = GetParam();
    std::vector<std::vector<double>> coords;
    for (double x : c.xs) coords.push_back({x, 0.0});
    auto pts = make_points(coords);
    const auto n = static_cast<int32_t>(pts.size());
    block_pool pool;
    split_node* root = build_tree(pts, n, 2, pool);
    EXPECT_EQ(leaf_order(root), c.leaves);
    EXPECT_EQ(sorted_leaves(root->right), c.peeled);
    expect_tree_invariants(root, pts, n, 2);
    expect_only_tree_held(pool, n);
    release_tree(root, pool);
    EXPECT_EQ(pool.blocks_held(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    split_tree, split_tree_line,
    testing::Values(line_case{"walks_tie_low_end_wins", {0, 1, 3, 4}, {3, 2, 1, 0}, {0, 1}},
                    line_case{"point_on_mid_goes_with_low_end", {0, 1, 2}, {2, 1, 0}, {0, 1}},
                    line_case{"point_on_mid_goes_with_high_end", {0, 1, 2, 4}, {1, 0, 3, 2}, {2, 3}},
                    line_case{"input_order_does_not_matter", {4, 0, 3, 1}, {0, 2, 3, 1}, {1, 3}},
                    line_case{"negative_coordinates", {-3, -1, 5}, {1, 0, 2}, {2}}),
    [](const testing::TestParamInfo<line_case>& c) { return std::string(c.param.name); });

// --- compute_box and choose_split -----------------------------------------

TEST(split_tree, compute_box_reads_heads_and_tails) {
    auto pts = make_points({{0.5, -2.0, 7.0}, {3.0, 1.0, 7.0}, {1.0, 4.0, 7.0}});
    block_pool pool;
    list_set* lists = make_lists(pts, 3, 3, pool);
    double center[3] = {-1.0, -1.0, -1.0};
    split_node node{};
    node.center = center;
    compute_box(lists, &node, 3);
    EXPECT_EQ(center[0], 1.75);
    EXPECT_EQ(center[1], 1.0);
    EXPECT_EQ(center[2], 7.0);
    EXPECT_EQ(node.radius, std::sqrt(1.25 * 1.25 + 3.0 * 3.0));
}

struct split_case {
    const char* name;
    std::vector<std::vector<double>> coords;
    int32_t side;
    int32_t dim;
    int32_t count;
};

class choose_split_outcome : public testing::TestWithParam<split_case> {};

TEST_P(choose_split_outcome, side_dimension_and_count) {
    const split_case& c = GetParam();
    auto pts = make_points(c.coords);
    const auto n = static_cast<int32_t>(pts.size());
    const auto d = static_cast<int32_t>(pts[0].coord.size());
    block_pool pool;
    list_set* lists = make_lists(pts, n, d, pool);
    int32_t side = -1;
    int32_t dim = -1;
    int32_t count = -1;
    choose_split(lists, d, &side, &dim, &count);
    EXPECT_EQ(side, c.side);
    EXPECT_EQ(dim, c.dim);
    EXPECT_EQ(count, c.count);
}

const double below_one = std::nextafter(1.0, 0.0);  // 1 - 2^-53
const double above_one = std::nextafter(1.0, 2.0);  // 1 + 2^-52

INSTANTIATE_TEST_SUITE_P(
    split_tree, choose_split_outcome,
    testing::Values(
        split_case{"two_points_low_end", {{0}, {1}}, 0, 0, 1},
        split_case{"tie_low_end", {{0}, {1}, {3}, {4}}, 0, 0, 2},
        split_case{"point_on_mid_low_end", {{0}, {1}, {2}}, 0, 0, 2},
        split_case{"point_on_mid_high_end", {{0}, {1}, {2}, {4}}, 1, 0, 2},
        split_case{"fewer_above_high_end", {{3}, {0}, {1}}, 1, 0, 1},
        split_case{"negative_line", {{-3}, {-1}, {5}}, 1, 0, 1},
        split_case{"equal_extents_first_dimension", {{0, 0}, {1, 0}, {0, 1}, {1, 1}}, 0, 0, 2},
        split_case{"longer_second_dimension", {{0, 0}, {1, 5}, {2, 10}}, 0, 1, 2},
        split_case{"first_of_two_longest", {{0, 0, 0}, {1, 3, 3}, {0.5, 1, 2}}, 1, 1, 1},
        // 2^-53 * 0.5 + (1 - 2^-53) rounds to even: mid is the tail's value.
        split_case{"mid_rounds_to_the_tail", {{below_one}, {1.0}}, 1, 0, 1},
        // 2^-52 * 0.5 + 1 rounds to even: mid is the head's value.
        split_case{"mid_rounds_to_the_head", {{1.0}, {above_one}}, 0, 0, 1}),
    [](const testing::TestParamInfo<split_case>& c) { return std::string(c.param.name); });

TEST(split_tree, choose_split_throws_on_coincident_points) {
    auto pts = make_points({{1.0, 2.0}, {1.0, 2.0}, {1.0, 2.0}});
    block_pool pool;
    list_set* lists = make_lists(pts, 3, 2, pool);
    int32_t side = 0;
    int32_t dim = 0;
    int32_t count = 0;
    EXPECT_THROW(choose_split(lists, 2, &side, &dim, &count), std::runtime_error);
}

// --- Random inputs ---------------------------------------------------------

struct random_case {
    const char* kind;
    int32_t d;
};

std::vector<point> random_points(const random_case& c) {
    const auto seed = static_cast<uint64_t>(c.d) * 1000u + 17u;
    const std::string kind = c.kind;
    if (kind == "uniform") return uniform_points(2500, c.d, seed, -1.0, 1.0);
    if (kind == "clusters") return cluster_points(2500, c.d, seed, 6, 0.5);
    // Small integer grids: ties everywhere and points on the middles.
    static const int32_t sides[] = {0, 4000, 60, 16, 8, 5};
    return grid_points(3000, c.d, seed, sides[c.d]);
}

class split_tree_random : public testing::TestWithParam<random_case> {};

TEST_P(split_tree_random, tree_matches_the_recursive_definition_and_invariants) {
    auto pts = random_points(GetParam());
    const int32_t d = GetParam().d;
    const auto n = static_cast<int32_t>(pts.size());
    ASSERT_GT(n, 500);
    block_pool pool;
    split_node* root = build_tree(pts, n, d, pool);
    expect_only_tree_held(pool, n);
    expect_tree_invariants(root, pts, n, d);
    expect_tree_matches_reference(root, reference_tree(pts, n, d), d);
    release_tree(root, pool);
    EXPECT_EQ(pool.blocks_held(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    split_tree, split_tree_random,
    testing::Values(random_case{"uniform", 1}, random_case{"uniform", 2}, random_case{"uniform", 3},
                    random_case{"uniform", 4}, random_case{"uniform", 5}, random_case{"grid", 1},
                    random_case{"grid", 2}, random_case{"grid", 3}, random_case{"grid", 4},
                    random_case{"grid", 5}, random_case{"clusters", 2}, random_case{"clusters", 4}),
    [](const testing::TestParamInfo<random_case>& c) {
        return std::string(c.param.kind) + "_d" + std::to_string(c.param.d);
    });

TEST(split_tree, only_the_first_n_points_take_part) {
    auto pts = uniform_points(300, 2, 5u);
    block_pool pool;
    split_node* root = build_tree(pts, 120, 2, pool);
    EXPECT_EQ(root->size, 120);
    expect_tree_invariants(root, pts, 120, 2);
    release_tree(root, pool);
    EXPECT_EQ(pool.blocks_held(), 0u);
}

TEST(split_tree, geometric_line_builds_a_deep_tree_without_recursion) {
    // 2^-1074 .. 2^1023: every split peels off the top of the line, so the
    // tree is about as deep as the line is long.
    for (const uint64_t seed : {uint64_t{0}, uint64_t{99}}) {
        SCOPED_TRACE(seed);
        auto pts = geometric_line(-1074, 1023, 2, seed);
        const auto n = static_cast<int32_t>(pts.size());
        ASSERT_EQ(n, 2098);
        block_pool pool;
        split_node* root = build_tree(pts, n, 2, pool);
        EXPECT_GT(depth_of(root), 1000);
        expect_only_tree_held(pool, n);
        expect_tree_invariants(root, pts, n, 2);
        expect_tree_matches_reference(root, reference_tree(pts, n, 2), 2);
        release_tree(root, pool);
        EXPECT_EQ(pool.blocks_held(), 0u);
    }
}

TEST(split_tree, release_of_a_lone_leaf_and_of_null) {
    block_pool pool;
    release_tree(nullptr, pool);
    auto pts = make_points({{1.0}});
    split_node* root = build_tree(pts, 1, 1, pool);
    release_tree(root, pool);
    EXPECT_EQ(pool.blocks_held(), 0u);
}

// --- Input the builder refuses ---------------------------------------------
// The throw leaves the call's blocks with the pool, which frees them when it
// goes out of scope; the sanitizer build reports any block that escapes.

struct bad_case {
    const char* name;
    std::vector<std::vector<double>> coords;
};

class split_tree_bad_input : public testing::TestWithParam<bad_case> {};

TEST_P(split_tree_bad_input, build_throws_runtime_error) {
    auto pts = make_points(GetParam().coords);
    const auto n = static_cast<int32_t>(pts.size());
    const auto d = static_cast<int32_t>(pts[0].coord.size());
    block_pool pool;
    EXPECT_THROW(build_tree(pts, n, d, pool), std::runtime_error);
    EXPECT_GT(pool.blocks_held(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    split_tree, split_tree_bad_input,
    testing::Values(bad_case{"two_coincident_points", {{0, 0}, {0, 0}}},
                    // The first round peels (5, 0); the pair left behind has
                    // no extent.
                    bad_case{"coincident_pair_beside_a_third_point", {{0, 0}, {0, 0}, {5, 0}}},
                    bad_case{"coincident_pair_deep_in_the_tree", {{0}, {1}, {2}, {3}, {7}, {7}, {9}, {10}}},
                    bad_case{"nan_in_the_only_dimension", {{0}, {nan_value}, {1}}},
                    bad_case{"nan_in_every_dimension_used", {{nan_value, 0}, {1, nan_value}}},
                    bad_case{"extent_overflows", {{-1e308}, {1e308}}}),
    [](const testing::TestParamInfo<bad_case>& c) { return std::string(c.param.name); });

// Non-finite values that never stall a split still give a tree (meaningless,
// but every point in exactly one leaf and nothing read outside the lists);
// check_input keeps such input away from the builder.
TEST(split_tree, nan_outside_the_split_dimension_still_gives_one_leaf_per_point) {
    auto pts = make_points({{0.0, 0.0}, {1.0, nan_value}, {2.0, 0.0}});
    block_pool pool;
    split_node* root = build_tree(pts, 3, 2, pool);
    std::vector<int32_t> order = leaf_order(root);
    std::sort(order.begin(), order.end());
    EXPECT_EQ(order, (std::vector<int32_t>{0, 1, 2}));
    release_tree(root, pool);
}

TEST(split_tree, infinite_coordinate_still_gives_one_leaf_per_point) {
    auto pts = make_points({{0.0}, {inf_value}});
    block_pool pool;
    split_node* root = build_tree(pts, 2, 1, pool);
    EXPECT_EQ(root->size, 2);
    std::vector<int32_t> order = leaf_order(root);
    std::sort(order.begin(), order.end());
    EXPECT_EQ(order, (std::vector<int32_t>{0, 1}));
    release_tree(root, pool);
}

}  // namespace
