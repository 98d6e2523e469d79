// SPDX-License-Identifier: MIT
#include "pair_search.h"

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <utility>

#include "pool.h"
#include "sorted_lists.h"

namespace {

using node_pair = std::pair<const split_node*, const split_node*>;

inline bool is_leaf(const split_node* node) { return node->leaf_point != nullptr; }

double center_distance(const split_node* u, const split_node* v, int32_t d) {
    double sum = 0.0;
    for (int32_t i = 0; i < d; ++i) {
        const double diff = u->center[i] - v->center[i];
        sum = sum + diff * diff;
    }
    return std::sqrt(sum);
}

// The search proper, with the caller's stack so that one stack serves every
// call made by decompose_node. The stack replaces the recursion, whose depth
// would follow the tree's; each split pushes its left branch first so that
// the right one is searched first.
int64_t search(const split_node* u, const split_node* v, double s, int32_t d, pair_list& out,
               std::vector<node_pair>& stack) {
    int64_t count = 0;
    stack.clear();
    stack.emplace_back(u, v);
    while (!stack.empty()) {
        const auto [a, b] = stack.back();
        stack.pop_back();
        const double r = b->radius > a->radius ? b->radius : a->radius;
        const double dist = center_distance(a, b, d);
        const bool a_leaf = is_leaf(a);
        const bool b_leaf = is_leaf(b);
        // Two leaves are distinct points and always a pair, even when their
        // distance underflows to 0 and the test cannot tell them apart.
        if (dist - (r + r) > r * s || (a_leaf && b_leaf)) {
            out.pairs.push_back(separated_pair{index_run{a->first_leaf, a->size},
                                               index_run{b->first_leaf, b->size}});
            ++count;
        } else if (b_leaf || (!a_leaf && a->radius > b->radius)) {
            stack.emplace_back(a->left, b);
            stack.emplace_back(a->right, b);
        } else {
            stack.emplace_back(a, b->left);
            stack.emplace_back(a, b->right);
        }
    }
    return count;
}

}  // namespace

std::vector<int32_t> set_indices(const pair_list& list, const index_run& run) {
    const auto begin = list.order.begin() + run.start;
    return std::vector<int32_t>(begin, begin + run.count);
}

void number_leaves(split_node* root, std::vector<int32_t>& order) {
    order.clear();
    order.reserve(static_cast<std::size_t>(root->size));
    std::vector<split_node*> stack{root};
    while (!stack.empty()) {
        split_node* x = stack.back();
        stack.pop_back();
        x->first_leaf = static_cast<int32_t>(order.size());
        if (is_leaf(x)) {
            order.push_back(x->leaf_point->index);
        } else {
            stack.push_back(x->right);
            stack.push_back(x->left);
        }
    }
}

int64_t find_pairs(const split_node* u, const split_node* v, double s, int32_t d, pair_list& out) {
    std::vector<node_pair> stack;
    return search(u, v, s, d, out, stack);
}

int64_t decompose_node(const split_node* node, double s, int32_t d, pair_list& out) {
    int64_t count = 0;
    std::vector<node_pair> pair_stack;
    std::vector<const split_node*> stack{node};
    while (!stack.empty()) {
        const split_node* x = stack.back();
        stack.pop_back();
        if (is_leaf(x)) continue;
        count += search(x->left, x->right, s, d, out, pair_stack);
        stack.push_back(x->left);
        stack.push_back(x->right);
    }
    return count;
}

pair_list build_lumo(int32_t n, int32_t d, double s, std::vector<point>& points) {
    pair_list out;
    for (std::size_t i = 0; i < points.size(); ++i) points[i].index = static_cast<int32_t>(i);
    if (d < 0) throw std::length_error("vector too long");

    block_pool pool;
    list_set* lists = pool.take_array<sorted_list>(static_cast<std::size_t>(d));
    for (int32_t dim = 0; dim < d; ++dim) lists[dim] = build_sorted_list(points.data(), n, dim, pool);
    out.order.resize(static_cast<std::size_t>(n));
    split_node* root = build_split_tree(lists, n, d, pool, out.order.data());
    decompose_node(root, s, d, out);
    release_tree(root, pool);
    return out;
}
