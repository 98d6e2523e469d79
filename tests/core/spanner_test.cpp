// SPDX-License-Identifier: MIT
#include "spanner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <limits>
#include <stdexcept>

#include "decomposition.h"
#include "test_support.h"

namespace {

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
