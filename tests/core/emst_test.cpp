// SPDX-License-Identifier: MIT
#include "emst.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "decomposition.h"
#include "test_support.h"

namespace {

struct plain_edge {
    double d2;
    int32_t i;
    int32_t j;
    bool operator<(const plain_edge& o) const { return std::tie(d2, i, j) < std::tie(o.d2, o.i, o.j); }
};

// Kruskal over all n(n-1)/2 edges under the order (squared distance, i, j),
// then the edges as lengths ascending by (length, i, j).
std::vector<plain_edge> brute_force(const point_set& set) {
    std::vector<plain_edge> all;
    for (int32_t i = 0; i < set.n; ++i)
        for (int32_t j = i + 1; j < set.n; ++j) {
            double d2 = 0.0;
            for (int32_t k = 0; k < set.d; ++k) {
                const double diff = set.x[static_cast<size_t>(i * set.d + k)] - set.x[static_cast<size_t>(j * set.d + k)];
                d2 += diff * diff;
            }
            all.push_back({d2, i, j});
        }
    std::sort(all.begin(), all.end());
    std::vector<int32_t> parent(static_cast<size_t>(set.n));
    for (int32_t i = 0; i < set.n; ++i) parent[static_cast<size_t>(i)] = i;
    auto root = [&](int32_t p) {
        while (parent[static_cast<size_t>(p)] != p) p = parent[static_cast<size_t>(p)];
        return p;
    };
    std::vector<plain_edge> tree;
    for (const plain_edge& e : all) {
        const int32_t a = root(e.i), b = root(e.j);
        if (a == b) continue;
        parent[static_cast<size_t>(a)] = b;
        tree.push_back({std::sqrt(e.d2), e.i, e.j});
    }
    std::sort(tree.begin(), tree.end());
    return tree;
}

void expect_tree(const spanning_tree& got, const std::vector<plain_edge>& want) {
    ASSERT_EQ(got.lengths.size(), want.size());
    ASSERT_EQ(got.edges.size(), 2 * want.size());
    for (size_t k = 0; k < want.size(); ++k) {
        ASSERT_EQ(got.edges[2 * k], want[k].i) << "edge " << k;
        ASSERT_EQ(got.edges[2 * k + 1], want[k].j) << "edge " << k;
        ASSERT_EQ(got.lengths[k], want[k].d2) << "edge " << k;  // d2 holds the length here
    }
}

point_set with_repeats(point_set set, uint64_t seed) {
    // Every fifth row repeated somewhere later, some with -0.0 for 0.0.
    const int32_t n = set.n;
    for (int32_t i = 0; i < n; i += 5) {
        const int32_t row = static_cast<int32_t>((static_cast<uint64_t>(i) * 2654435761u + seed) % static_cast<uint64_t>(n));
        for (int32_t k = 0; k < set.d; ++k) {
            const double v = set.x[static_cast<size_t>(row * set.d + k)];
            set.x.push_back(v == 0.0 ? -0.0 : v);
        }
        ++set.n;
    }
    return set;
}

struct shape_case {
    const char* name;
    point_set set;
};

std::vector<shape_case> shapes() {
    std::vector<shape_case> out;
    out.push_back({"uniform_2d", uniform_points(600, 2, 1)});
    out.push_back({"uniform_3d", uniform_points(400, 3, 2)});
    out.push_back({"uniform_7d", uniform_points(300, 7, 3)});
    out.push_back({"clusters_5d", cluster_points(400, 5, 4, 6, 0.01)});
    out.push_back({"grid_ties_2d", grid_points(300, 2, 5, 12)});
    out.push_back({"grid_ties_3d", grid_points(300, 3, 6, 5)});
    out.push_back({"line_1d", uniform_points(200, 1, 7)});
    out.push_back({"geometric_deep", geometric_line(-300, 300, 2, 8)});
    out.push_back({"repeats_2d", with_repeats(grid_points(200, 2, 9, 8), 9)});
    out.push_back({"all_equal", make_set({{1.5, -0.0}, {1.5, 0.0}, {1.5, 0.0}})});
    std::vector<std::vector<double>> crowd(40, {1.0, 1.0});  // more equal points than a bucket holds
    crowd.insert(crowd.begin() + 7, {0.0, 0.5});
    crowd.push_back({3.0, 1.0});
    out.push_back({"crowd_of_equal_points", make_set(crowd)});
    out.push_back({"two_points", make_set({{0.0, 0.0, 1.0}, {3.0, 4.0, 1.0}})});
    return out;
}

TEST(emst, equals_kruskal_over_all_pairs_with_any_workers) {
    for (const shape_case& c : shapes()) {
        SCOPED_TRACE(c.name);
        const std::vector<plain_edge> want = brute_force(c.set);
        for (const int workers : {1, 3}) {
            interrupt never;
            expect_tree(euclidean_mst(c.set.x.data(), c.set.n, c.set.d, workers, never), want);
        }
    }
}

TEST(emst, from_a_split_tree_equals_from_coordinates) {
    const point_set set = cluster_points(70000, 3, 11, 10, 0.02);
    interrupt never;
    const split_tree tree = build_tree(set);
    const spanning_tree a = euclidean_mst(tree, 2, never);
    const spanning_tree b = euclidean_mst(set.x.data(), set.n, set.d, 2, never);
    ASSERT_EQ(a.edges.size(), b.edges.size());
    EXPECT_EQ(std::memcmp(a.edges.data(), b.edges.data(), a.edges.size() * sizeof(int64_t)), 0);
    EXPECT_EQ(std::memcmp(a.lengths.data(), b.lengths.data(), a.lengths.size() * sizeof(double)), 0);
}

TEST(emst, one_point_has_no_edges_and_bad_values_are_refused) {
    interrupt never;
    const double one[] = {4.0, 2.0};
    EXPECT_EQ(euclidean_mst(one, 1, 2, 1, never).lengths.size(), 0u);
    const double bad[] = {0.0, 1.0, std::nan(""), 2.0};
    EXPECT_THROW(euclidean_mst(bad, 2, 2, 1, never), std::invalid_argument);
    const double huge[] = {-1e308, 1e308};
    EXPECT_THROW(euclidean_mst(huge, 2, 1, 1, never), std::invalid_argument);
}

TEST(emst, single_linkage_of_worked_examples) {
    interrupt never;
    // 0, 1, 3, 7 on a line: each merge takes the next point.
    const double line[] = {3.0, 0.0, 7.0, 1.0};
    const raw_array<double> z = single_linkage(euclidean_mst(line, 4, 1, 1, never), 4, never);
    const std::vector<double> want = {1, 3, 1, 2, 0, 4, 2, 3, 2, 5, 4, 4};
    EXPECT_EQ(std::vector<double>(z.begin(), z.end()), want);
    // Two equal points join at 0, the third at 5 (edge 0-2 before 1-2).
    const double dup[] = {0.0, 0.0, 5.0};
    const spanning_tree t = euclidean_mst(dup, 3, 1, 1, never);
    EXPECT_EQ(std::vector<int64_t>(t.edges.begin(), t.edges.end()), (std::vector<int64_t>{0, 1, 0, 2}));
    const raw_array<double> z2 = single_linkage(t, 3, never);
    EXPECT_EQ(std::vector<double>(z2.begin(), z2.end()), (std::vector<double>{0, 1, 0, 2, 2, 3, 5, 3}));
}

bool stop_at_second(void* context) { return ++*static_cast<int*>(context) >= 2; }

TEST(emst, interrupt_stops_it_on_workers) {
    const point_set set = uniform_points(60000, 3, 12);
    for (const int workers : {1, 2}) {
        int asked = 0;
        interrupt stop(&stop_at_second, &asked, std::chrono::milliseconds(0));
        EXPECT_THROW(euclidean_mst(set.x.data(), set.n, set.d, workers, stop), interrupted);
    }
}

}  // namespace
