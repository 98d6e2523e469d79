// SPDX-License-Identifier: MIT
#include "spanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "decomposition.h"
#include "test_support.h"

namespace {

// Edge k joins the first points of pair k's runs, smaller index first; its
// length is recomputed from the input rows. Workers give the same bytes.
TEST(spanner, edges_follow_pairs_with_any_workers) {
    interrupt never;
    for (const point_set& set : {sample(data_kind::uniform, 6000, 2, 3), sample(data_kind::clusters, 4000, 3, 4),
                                 sample(data_kind::geoline, 3000, 5, 5)}) {
        const split_tree tree = build_tree(set);
        const double t = 1.8;
        const raw_array<separated_pair> pairs = search_pairs(tree, spanner_separation(t), 1, never);
        const spanner_graph one = spanner(tree, t, 1, never);
        const spanner_graph two = spanner(tree, t, 2, never);
        ASSERT_EQ(one.size(), pairs.size());
        ASSERT_EQ(two.size(), pairs.size());
        EXPECT_EQ(std::memcmp(one.edges(), two.edges(), 2 * one.size() * sizeof(int64_t)), 0);
        EXPECT_EQ(std::memcmp(one.lengths.data(), two.lengths.data(), one.size() * sizeof(double)), 0);
        const auto d = static_cast<std::size_t>(set.d);
        for (std::size_t k = 0; k < pairs.size(); ++k) {
            const int64_t a = tree.order[static_cast<std::size_t>(pairs[k].first.start)];
            const int64_t b = tree.order[static_cast<std::size_t>(pairs[k].second.start)];
            ASSERT_EQ(one.edges()[2 * k], std::min(a, b)) << k;
            ASSERT_EQ(one.edges()[2 * k + 1], std::max(a, b)) << k;
            double sum = 0.0;
            for (std::size_t c = 0; c < d; ++c) {
                const double diff = set.x[static_cast<std::size_t>(a) * d + c] - set.x[static_cast<std::size_t>(b) * d + c];
                sum = sum + diff * diff;
            }
            ASSERT_EQ(one.lengths[k], std::sqrt(sum)) << k;
        }
    }
}

// The pass polls on every worker; an interrupt stops it and reaches the caller.
TEST(spanner, interrupt_stops_all_workers) {
    interrupt never;
    const split_tree tree = build_tree(sample(data_kind::uniform, 20000, 2, 6));
    for (const int workers : {1, 2}) {
        raw_array<separated_pair> pairs = search_pairs(tree, spanner_separation(1.5), workers, never);
        ASSERT_GT(pairs.size(), std::size_t{1} << 20);
        interrupt stop(+[](void*) { return true; }, nullptr, std::chrono::milliseconds(0));
        EXPECT_THROW(spanner_from_pairs(tree, std::move(pairs), workers, stop), interrupted);
    }
}

TEST(spanner, separation_needs_finite_t_above_one) {
    EXPECT_EQ(spanner_separation(3.0), 8.0);
    EXPECT_EQ(spanner_separation(1.5), 20.0);
    EXPECT_EQ(spanner_separation(std::numeric_limits<double>::max()), 4.0);
    for (const double t : {1.0, 0.5, -2.0, std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::quiet_NaN()})
        EXPECT_THROW(spanner_separation(t), std::invalid_argument) << t;
}

}  // namespace
