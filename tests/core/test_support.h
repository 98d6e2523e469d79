// SPDX-License-Identifier: MIT
// Helpers shared by the core test suites: point sets (fixed and seeded
// random), building lists and trees over them, an independent reference
// for the fair split tree, and the validation of a decomposition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "pair_search.h"
#include "point.h"
#include "pool.h"
#include "split_tree.h"

// One record per coordinate list, numbered by position.
std::vector<point> make_points(std::vector<std::vector<double>> coords);

// n points with coordinates uniform in [lo, hi).
std::vector<point> uniform_points(int32_t n, int32_t d, uint64_t seed, double lo = 0.0, double hi = 1.0);

// Up to n distinct points with integer coordinates in [0, side): many equal
// coordinates, and many points exactly on split middles.
std::vector<point> grid_points(int32_t n, int32_t d, uint64_t seed, int32_t side);

// n points in `clusters` tight groups (uniform within `spread` of a centre
// drawn from [0, 100)).
std::vector<point> cluster_points(int32_t n, int32_t d, uint64_t seed, int32_t clusters, double spread);

// The points 2^e for e from lo_exp to hi_exp on the first axis (all other
// coordinates 0), shuffled with `seed` unless it is 0.
std::vector<point> geometric_line(int32_t lo_exp, int32_t hi_exp, int32_t d, uint64_t seed = 0);

// The points without later repeats (equal in the first d coordinates),
// renumbered by position.
std::vector<point> dedup_points(const std::vector<point>& pts, int32_t d);

// Sets index = position for every record and builds the initial list_set
// over the first n records.
list_set* make_lists(std::vector<point>& pts, int32_t n, int32_t d, block_pool& pool);

// make_lists followed by build_split_tree.
split_node* build_tree(std::vector<point>& pts, int32_t n, int32_t d, block_pool& pool);

// Indices of the leaves, each left subtree before the right one.
std::vector<int32_t> leaf_order(const split_node* root);

// The fair split tree built by the plain recursive definition: a set of two
// or more points is cut by the rule of choose_split into the peeled part
// (right) and the rest (left). Boxes are computed from the points' own
// coordinates. Built without sorted lists, in O(n^2) at worst.
struct ref_node {
    std::vector<int32_t> points;  // the set, ascending index
    std::vector<double> center;
    double radius = 0.0;
    int32_t left = -1;  // positions in ref_tree::nodes, -1 in a leaf
    int32_t right = -1;
    int32_t first_leaf = 0;  // the set's run starts here in the leaf order
};

struct ref_tree {
    std::vector<ref_node> nodes;  // nodes[0] is the root
};

ref_tree reference_tree(const std::vector<point>& pts, int32_t n, int32_t d);

// Box of a point set computed from the coordinates, the arithmetic of
// compute_box.
void box_of(const std::vector<point>& pts, const int32_t* set, std::size_t count, int32_t d,
            std::vector<double>& center, double& radius);
void box_of(const std::vector<point>& pts, const std::vector<int32_t>& set, int32_t d,
            std::vector<double>& center, double& radius);

// Compares a built tree with the reference node by node: shape, leaf
// points, sizes, centres and radii (exactly).
void expect_tree_matches_reference(const split_node* root, const ref_tree& ref, int32_t d);

// A pair with its two sets spelled out as index lists.
using index_pair = std::pair<std::vector<int32_t>, std::vector<int32_t>>;
using index_pairs = std::vector<index_pair>;

// The pairs of a result with their runs read from its leaf order.
index_pairs expand_pairs(const pair_list& list);

// Leaf order of the reference tree, each left subtree before the right one.
std::vector<int32_t> reference_leaf_order(const ref_tree& ref);

// The decomposition by the recursive search over the reference tree, in
// the order the search defines: the reference leaf order and the runs.
pair_list reference_pairs(const ref_tree& ref, double s, int32_t d);

// The result's leaf order a permutation of the first n indices and every
// run inside it; then every unordered pair of distinct indices among the
// first n covered by exactly one pair, no index in both sets of a pair, and
// every pair of sets well separated for s by its bounding-box balls
// (recomputed from the coordinates), unless both sets are single points.
void expect_valid_decomposition(int32_t n, int32_t d, double s, const std::vector<point>& pts,
                                const pair_list& pairs);
