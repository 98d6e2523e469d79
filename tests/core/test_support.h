// SPDX-License-Identifier: MIT
// Helpers shared by the core suites: point sets (fixed and seeded random),
// an independent fair split tree built by the plain recursive definition,
// the recursive pair search over it, and the one validator of a
// decomposition. Everything here is plain vectors the caller owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "decomposition.h"
#include "pair_search.h"
#include "list_interface.h"
#include "split_tree.h"

// n points in d dimensions, row by row: x[i * d + k].
struct point_set {
    int32_t n = 0;
    int32_t d = 0;
    std::vector<double> x;
};

// Rows of equal length; d from the first row.
point_set make_set(const std::vector<std::vector<double>>& rows);
std::vector<point> as_points(const point_set& set);

// Seeded random sets, free of duplicates (later repeats are dropped, so n
// may come out a little smaller). `grid` has integer coordinates below
// `side`: ties on every cut plane.
point_set uniform_points(int32_t n, int32_t d, uint64_t seed, double lo = 0.0, double hi = 1.0);
point_set grid_points(int32_t n, int32_t d, uint64_t seed, int32_t side);
point_set cluster_points(int32_t n, int32_t d, uint64_t seed, int32_t clusters, double spread);
// 2^e on the first axis for e = lo_exp .. hi_exp, other coordinates 0,
// shuffled unless seed is 0: one octave per level, the deepest trees.
point_set geometric_line(int32_t lo_exp, int32_t hi_exp, int32_t d, uint64_t seed = 0);
// The benchmark's geoline: x = 2^(400 i / (n - 1)) shuffled, others 0.
point_set geoline_points(int32_t n, int32_t d, uint64_t seed);
point_set without_duplicates(const point_set& set);

// The kinds the parametrised suites draw from. `tailed` is a uniform cloud
// with a geometric tail on the first axis: skewed cuts first, balanced ones
// after, so the builder switches from sorted lists back to partitioning.
enum class data_kind { uniform, grid, clusters, geoline, tailed };
const char* kind_name(data_kind kind);
point_set sample(data_kind kind, int32_t n, int32_t d, uint64_t seed);

split_tree build_tree(const point_set& set, int workers = 1);

// The fair split tree by the plain recursive definition: every set of two
// or more points is cut by its own box into the peeled side (right) and the
// rest (left). Boxes come from the coordinates with std::min / std::max.
struct ref_node {
    std::vector<int32_t> points;  // ascending index
    std::vector<double> center;
    double radius = 0.0;
    int32_t left = -1;  // positions in ref_tree::nodes, -1 in a leaf
    int32_t right = -1;
    int32_t first_leaf = 0;
};

struct ref_tree {
    std::vector<ref_node> nodes;  // nodes[0] is the root
};

ref_tree reference_tree(const point_set& set);

// The leaf walk: point indices, each left subtree before the right one.
std::vector<int32_t> leaf_order(const ref_tree& ref);

// Node for node in preorder: shape, positions of the children, sizes,
// first_leaf, centres and radii bit for bit, the leaves' points and the
// leaf order.
void expect_tree_matches_reference(const split_tree& tree, const ref_tree& ref);

// The whole tree as nested "(left right)" with leaves as point indices.
std::string tree_shape(const split_tree& tree);

// The recursive search over the reference tree, pairs as runs of its leaf
// order, in the order the search defines.
std::vector<separated_pair> reference_pairs(const ref_tree& ref, double s, int32_t d);
void expect_same_pairs(const raw_array<separated_pair>& got, const std::vector<separated_pair>& want);

// Leaf order a permutation of 0 .. n-1, runs inside it and non-empty, no
// index in both sets of a pair, every unordered pair of points in exactly
// one pair, and every pair well separated for s by boxes recomputed from
// the coordinates, unless both sets are single points or the larger radius
// is below sqrt(DBL_MIN).
void expect_valid_decomposition(const point_set& set, double s, const raw_array<int32_t>& order,
                                const raw_array<separated_pair>& pairs);

// The indices of one set of a pair, from the leaf order.
std::vector<int32_t> set_indices(const raw_array<int32_t>& order, const index_run& run);

// The pairs as index lists, read from the leaf order.
using index_pairs = std::vector<std::pair<std::vector<int32_t>, std::vector<int32_t>>>;
index_pairs expand_pairs(const raw_array<int32_t>& order, const raw_array<separated_pair>& pairs);
std::string text(const index_pairs& pairs);

// Exact array equality of two trees, e.g. built with different workers.
void expect_identical_trees(const split_tree& a, const split_tree& b);
