// SPDX-License-Identifier: MIT
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <utility>

#include "sorted_lists.h"

namespace {

using std::size_t;

inline size_t at(int32_t i) { return static_cast<size_t>(i); }

// Uniform in [0, 1) from the top 53 bits: the same on every platform,
// unlike the standard distributions.
double unit(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * 0x1.0p-53; }

int32_t below(std::mt19937_64& rng, int32_t bound) {
    return static_cast<int32_t>(rng() % static_cast<uint64_t>(bound));
}

void number(std::vector<point>& pts) {
    for (size_t i = 0; i < pts.size(); ++i) pts[i].index = static_cast<int32_t>(i);
}

// Failures of one kind in a validation: the count and the first few.
struct failure_log {
    const char* what;
    int64_t count = 0;
    std::string examples;

    explicit failure_log(const char* kind) : what(kind) {}

    void add(const std::string& message) {
        if (count < 3) examples += "\n  " + message;
        ++count;
    }

    void report() const {
        if (count > 0) ADD_FAILURE() << count << " x " << what << ", e.g." << examples;
    }
};

std::string set_text(const std::vector<int32_t>& set) {
    std::ostringstream out;
    out << '[';
    for (size_t i = 0; i < set.size() && i < 8; ++i) out << (i ? ", " : "") << set[i];
    if (set.size() > 8) out << ", ... (" << set.size() << ")";
    out << ']';
    return out.str();
}

}  // namespace

std::vector<point> make_points(std::vector<std::vector<double>> coords) {
    std::vector<point> pts;
    pts.reserve(coords.size());
    for (auto& c : coords) pts.emplace_back(std::move(c));
    number(pts);
    return pts;
}

std::vector<point> uniform_points(int32_t n, int32_t d, uint64_t seed, double lo, double hi) {
    std::mt19937_64 rng(seed);
    std::vector<std::vector<double>> coords(at(n), std::vector<double>(at(d)));
    for (auto& c : coords)
        for (auto& x : c) x = lo + (hi - lo) * unit(rng);
    return dedup_points(make_points(std::move(coords)), d);
}

std::vector<point> grid_points(int32_t n, int32_t d, uint64_t seed, int32_t side) {
    std::mt19937_64 rng(seed);
    std::vector<std::vector<double>> coords(at(n), std::vector<double>(at(d)));
    for (auto& c : coords)
        for (auto& x : c) x = below(rng, side);
    return dedup_points(make_points(std::move(coords)), d);
}

std::vector<point> cluster_points(int32_t n, int32_t d, uint64_t seed, int32_t clusters, double spread) {
    std::mt19937_64 rng(seed);
    std::vector<std::vector<double>> centres(at(clusters), std::vector<double>(at(d)));
    for (auto& c : centres)
        for (auto& x : c) x = 100.0 * unit(rng);
    std::vector<std::vector<double>> coords(at(n), std::vector<double>(at(d)));
    for (auto& c : coords) {
        const auto& centre = centres[at(below(rng, clusters))];
        for (size_t k = 0; k < at(d); ++k) c[k] = centre[k] + spread * (2.0 * unit(rng) - 1.0);
    }
    return dedup_points(make_points(std::move(coords)), d);
}

std::vector<point> geometric_line(int32_t lo_exp, int32_t hi_exp, int32_t d, uint64_t seed) {
    std::vector<std::vector<double>> coords;
    for (int32_t e = lo_exp; e <= hi_exp; ++e) {
        std::vector<double> c(at(d), 0.0);
        c[0] = std::ldexp(1.0, e);
        coords.push_back(std::move(c));
    }
    if (seed != 0) {
        std::mt19937_64 rng(seed);
        for (size_t i = coords.size(); i > 1; --i)
            std::swap(coords[i - 1], coords[static_cast<size_t>(rng() % i)]);
    }
    return make_points(std::move(coords));
}

std::vector<point> dedup_points(const std::vector<point>& pts, int32_t d) {
    std::vector<int32_t> order(pts.size());
    std::iota(order.begin(), order.end(), 0);
    auto less = [&](int32_t a, int32_t b) {
        for (size_t k = 0; k < at(d); ++k) {
            const double x = pts[at(a)].coord[k];
            const double y = pts[at(b)].coord[k];
            if (x < y) return true;
            if (y < x) return false;
        }
        return a < b;
    };
    auto equal = [&](int32_t a, int32_t b) {
        for (size_t k = 0; k < at(d); ++k)
            if (!(pts[at(a)].coord[k] == pts[at(b)].coord[k])) return false;
        return true;
    };
    std::sort(order.begin(), order.end(), less);
    std::vector<char> keep(pts.size(), 1);
    for (size_t j = 1; j < order.size(); ++j)
        if (equal(order[j - 1], order[j])) keep[at(order[j])] = 0;
    std::vector<std::vector<double>> coords;
    for (size_t i = 0; i < pts.size(); ++i)
        if (keep[i]) coords.push_back(pts[i].coord);
    return make_points(std::move(coords));
}

list_set* make_lists(std::vector<point>& pts, int32_t n, int32_t d, block_pool& pool) {
    number(pts);
    list_set* lists = pool.take_array<sorted_list>(at(d));
    for (int32_t t = 0; t < d; ++t) lists[t] = build_sorted_list(pts.data(), n, t, pool);
    return lists;
}

split_node* build_tree(std::vector<point>& pts, int32_t n, int32_t d, block_pool& pool) {
    return build_split_tree(make_lists(pts, n, d, pool), n, d, pool);
}

std::vector<int32_t> leaf_order(const split_node* root) {
    std::vector<int32_t> order;
    std::vector<const split_node*> stack{root};
    while (!stack.empty()) {
        const split_node* x = stack.back();
        stack.pop_back();
        if (x->left == nullptr && x->right == nullptr) {
            order.push_back(x->leaf_point != nullptr ? x->leaf_point->index : -1);
        } else {
            if (x->right != nullptr) stack.push_back(x->right);
            if (x->left != nullptr) stack.push_back(x->left);
        }
    }
    return order;
}

void box_of(const std::vector<point>& pts, const int32_t* set, size_t count, int32_t d,
            std::vector<double>& center, double& radius) {
    center.assign(at(d), 0.0);
    double sum = 0.0;
    for (size_t k = 0; k < at(d); ++k) {
        double lo = pts[at(set[0])].coord[k];
        double hi = lo;
        for (size_t j = 1; j < count; ++j) {
            lo = std::min(lo, pts[at(set[j])].coord[k]);
            hi = std::max(hi, pts[at(set[j])].coord[k]);
        }
        center[k] = (lo + hi) * 0.5;
        const double h = (hi - lo) * 0.5;
        sum = sum + h * h;
    }
    radius = std::sqrt(sum);
}

void box_of(const std::vector<point>& pts, const std::vector<int32_t>& set, int32_t d,
            std::vector<double>& center, double& radius) {
    box_of(pts, set.data(), set.size(), d, center, radius);
}

ref_tree reference_tree(const std::vector<point>& pts, int32_t n, int32_t d) {
    ref_tree tree;
    ref_node root;
    root.points.resize(at(n));
    std::iota(root.points.begin(), root.points.end(), 0);
    tree.nodes.push_back(std::move(root));
    std::vector<int32_t> work{0};
    while (!work.empty()) {
        const int32_t id = work.back();
        work.pop_back();
        const std::vector<int32_t> set = tree.nodes[at(id)].points;
        if (set.size() == 1) {
            const auto& c = pts[at(set[0])].coord;
            tree.nodes[at(id)].center.assign(c.begin(), c.begin() + d);
            tree.nodes[at(id)].radius = 0.0;
            continue;
        }
        box_of(pts, set, d, tree.nodes[at(id)].center, tree.nodes[at(id)].radius);

        // The cut: the first longest dimension, its middle computed as
        // extent * 0.5 + low, and the smaller of the two sides that include
        // points on the middle (the low side on a tie).
        double best = -1.0;
        size_t dim = 0;
        std::vector<double> low(at(d));
        for (size_t k = 0; k < at(d); ++k) {
            double lo = pts[at(set[0])].coord[k];
            double hi = lo;
            for (int32_t i : set) {
                lo = std::min(lo, pts[at(i)].coord[k]);
                hi = std::max(hi, pts[at(i)].coord[k]);
            }
            low[k] = lo;
            if (hi - lo > best) {
                best = hi - lo;
                dim = k;
            }
        }
        const double mid = best * 0.5 + low[dim];
        size_t below_count = 0;
        size_t above_count = 0;
        for (int32_t i : set) {
            if (pts[at(i)].coord[dim] <= mid) ++below_count;
            if (pts[at(i)].coord[dim] >= mid) ++above_count;
        }
        const bool peel_low = below_count <= above_count;
        ref_node peeled;
        ref_node rest;
        for (int32_t i : set) {
            const double x = pts[at(i)].coord[dim];
            if (peel_low ? x <= mid : x >= mid) peeled.points.push_back(i);
            else rest.points.push_back(i);
        }
        if (peeled.points.empty() || rest.points.empty()) {
            ADD_FAILURE() << "reference tree: a cut of " << set.size() << " points left one side empty";
            return tree;
        }
        const auto right_id = static_cast<int32_t>(tree.nodes.size());
        tree.nodes.push_back(std::move(peeled));
        const auto left_id = static_cast<int32_t>(tree.nodes.size());
        tree.nodes.push_back(std::move(rest));
        tree.nodes[at(id)].right = right_id;
        tree.nodes[at(id)].left = left_id;
        work.push_back(right_id);
        work.push_back(left_id);
    }
    // Leaf order positions: a node's leaves are the run from first_leaf.
    int32_t next_leaf = 0;
    std::vector<int32_t> stack{0};
    while (!stack.empty()) {
        ref_node& x = tree.nodes[at(stack.back())];
        stack.pop_back();
        x.first_leaf = next_leaf;
        if (x.left < 0) {
            ++next_leaf;
        } else {
            stack.push_back(x.right);
            stack.push_back(x.left);
        }
    }
    return tree;
}

void expect_tree_matches_reference(const split_node* root, const ref_tree& ref, int32_t d) {
    std::vector<std::pair<const split_node*, int32_t>> stack{{root, 0}};
    while (!stack.empty()) {
        const auto [x, id] = stack.back();
        stack.pop_back();
        const ref_node& r = ref.nodes[at(id)];
        const bool ref_leaf = r.left < 0;
        ASSERT_NE(x, nullptr);
        ASSERT_EQ(x->size, static_cast<int32_t>(r.points.size())) << "node of " << set_text(r.points);
        if (ref_leaf) {
            ASSERT_TRUE(x->left == nullptr && x->right == nullptr && x->leaf_point != nullptr)
                << "expected the leaf of point " << r.points[0];
            ASSERT_EQ(x->leaf_point->index, r.points[0]);
        } else {
            ASSERT_TRUE(x->left != nullptr && x->right != nullptr && x->leaf_point == nullptr)
                << "expected an inner node over " << set_text(r.points);
        }
        for (int32_t k = 0; k < d; ++k)
            ASSERT_EQ(x->center[k], r.center[at(k)]) << "centre " << k << " of " << set_text(r.points);
        ASSERT_EQ(x->radius, r.radius) << "radius of " << set_text(r.points);
        if (!ref_leaf) {
            stack.emplace_back(x->right, r.right);
            stack.emplace_back(x->left, r.left);
        }
    }
}

namespace {

struct reference_search {
    const ref_tree& ref;
    double s;
    int32_t d;
    std::vector<separated_pair> out;

    const ref_node& node(int32_t id) const { return ref.nodes[at(id)]; }
    bool leaf(int32_t id) const { return node(id).left < 0; }

    void find(int32_t u, int32_t v) {
        const ref_node& a = node(u);
        const ref_node& b = node(v);
        const double r = b.radius > a.radius ? b.radius : a.radius;
        double sum = 0.0;
        for (size_t k = 0; k < at(d); ++k) {
            const double diff = a.center[k] - b.center[k];
            sum = sum + diff * diff;
        }
        const double dist = std::sqrt(sum);
        if (dist - (r + r) > r * s || (leaf(u) && leaf(v))) {
            out.push_back(separated_pair{index_run{a.first_leaf, static_cast<int32_t>(a.points.size())},
                                         index_run{b.first_leaf, static_cast<int32_t>(b.points.size())}});
        } else if (leaf(v) || (!leaf(u) && a.radius > b.radius)) {
            find(a.right, v);
            find(a.left, v);
        } else {
            find(u, b.right);
            find(u, b.left);
        }
    }

    void decompose(int32_t id) {
        if (leaf(id)) return;
        find(node(id).left, node(id).right);
        decompose(node(id).right);
        decompose(node(id).left);
    }
};

}  // namespace

pair_list reference_pairs(const ref_tree& ref, double s, int32_t d) {
    reference_search search{ref, s, d, {}};
    search.decompose(0);
    return pair_list{reference_leaf_order(ref), std::move(search.out)};
}

std::vector<int32_t> reference_leaf_order(const ref_tree& ref) {
    std::vector<int32_t> order;
    std::vector<int32_t> stack{0};
    while (!stack.empty()) {
        const ref_node& x = ref.nodes[at(stack.back())];
        stack.pop_back();
        if (x.left < 0) {
            order.push_back(x.points[0]);
        } else {
            stack.push_back(x.right);
            stack.push_back(x.left);
        }
    }
    return order;
}

index_pairs expand_pairs(const pair_list& list) {
    index_pairs out;
    out.reserve(list.pairs.size());
    for (const auto& pair : list.pairs)
        out.emplace_back(set_indices(list, pair.first), set_indices(list, pair.second));
    return out;
}

void expect_valid_decomposition(int32_t n, int32_t d, double s, const std::vector<point>& pts,
                                const pair_list& result) {
    // The leaf order must list each of the first n indices once, and every
    // run must lie inside it, before the runs can be read.
    std::vector<int32_t> listed(at(n), 0);
    ASSERT_EQ(result.order.size(), at(n)) << "leaf order length";
    for (int32_t i : result.order) {
        ASSERT_TRUE(i >= 0 && i < n) << "index " << i << " in the leaf order";
        ASSERT_EQ(++listed[at(i)], 1) << "index " << i << " twice in the leaf order";
    }

    failure_log bad_run("runs outside the leaf order");
    failure_log empty_set("pairs with an empty set");
    failure_log shared("pairs with an index in both sets");
    failure_log not_separated("pairs that are not well separated");
    failure_log twice("index pairs covered more than once");
    failure_log missing("index pairs not covered");

    const size_t count = at(n);
    std::vector<uint8_t> covered(count * count, 0);
    std::vector<size_t> stamp(count, 0);
    std::vector<double> ca;
    std::vector<double> cb;
    for (size_t p = 0; p < result.pairs.size(); ++p) {
        const index_run& one = result.pairs[p].first;
        const index_run& two = result.pairs[p].second;
        auto where = [&] {
            return "pair " + std::to_string(p) + " " + set_text(set_indices(result, one)) + " / " +
                   set_text(set_indices(result, two));
        };
        bool inside = true;
        for (const index_run& run : {one, two})
            inside = inside && run.start >= 0 && run.count >= 0 && run.start <= n - run.count;
        if (!inside) {
            bad_run.add("pair " + std::to_string(p) + ": runs (" + std::to_string(one.start) + ", " +
                        std::to_string(one.count) + ") and (" + std::to_string(two.start) + ", " +
                        std::to_string(two.count) + ")");
            continue;
        }
        if (one.count == 0 || two.count == 0) {
            empty_set.add(where());
            continue;
        }
        const int32_t* first = result.order.data() + one.start;
        const int32_t* second = result.order.data() + two.start;
        const auto first_size = at(one.count);
        const auto second_size = at(two.count);

        for (size_t j = 0; j < first_size; ++j) stamp[at(first[j])] = p + 1;
        for (size_t j = 0; j < second_size; ++j)
            if (stamp[at(second[j])] == p + 1) shared.add(where() + ": index " + std::to_string(second[j]));

        for (size_t j = 0; j < first_size; ++j)
            for (size_t k = 0; k < second_size; ++k) {
                const int32_t a = first[j];
                const int32_t b = second[k];
                if (a == b) continue;
                uint8_t& c = covered[at(std::min(a, b)) * count + at(std::max(a, b))];
                if (c == 1) twice.add(std::to_string(a) + " and " + std::to_string(b) + ", again in " + where());
                if (c < 2) ++c;
            }

        if (first_size == 1 && second_size == 1) continue;
        double ra = 0.0;
        double rb = 0.0;
        box_of(pts, first, first_size, d, ca, ra);
        box_of(pts, second, second_size, d, cb, rb);
        const double r = std::max(ra, rb);
        double sum = 0.0;
        for (size_t k = 0; k < at(d); ++k) {
            const double diff = ca[k] - cb[k];
            sum = sum + diff * diff;
        }
        const double dist = std::sqrt(sum);
        if (!(dist - 2.0 * r > r * s)) {
            std::ostringstream text;
            text.precision(17);
            text << where() << ": dist " << dist << ", r " << r;
            not_separated.add(text.str());
        }
    }
    for (size_t a = 0; a < count; ++a)
        for (size_t b = a + 1; b < count; ++b)
            if (covered[a * count + b] == 0) missing.add(std::to_string(a) + " and " + std::to_string(b));

    for (const failure_log* log : {&bad_run, &empty_set, &shared, &not_separated, &twice, &missing})
        log->report();
}
