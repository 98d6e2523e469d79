// SPDX-License-Identifier: MIT
#include "interrupt.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "decomposition.h"
#include "test_support.h"

namespace {

// Answers yes on its `stop_at`-th question, from then on every time.
struct countdown {
    int asked = 0;
    int stop_at = 1;
};

bool count_down(void* context) {
    auto* c = static_cast<countdown*>(context);
    return ++c->asked >= c->stop_at;
}

struct interrupt_case {
    int workers;
    int stop_at;
};

class interrupt_stops : public testing::TestWithParam<interrupt_case> {};

// Each stop_at stops the computation at another point; the sanitizer
// builds report anything the unwinding leaves behind.
TEST_P(interrupt_stops, build_and_search_with_workers) {
    const interrupt_case& c = GetParam();
    for (const data_kind kind : {data_kind::uniform, data_kind::geoline}) {
        SCOPED_TRACE(kind_name(kind));
        const point_set set = sample(kind, 60000, 2, 5u);
        countdown count{0, c.stop_at};
        interrupt stop(&count_down, &count, std::chrono::milliseconds(0));
        EXPECT_THROW(build_split_tree(set.x.data(), set.n, set.d, c.workers, stop), interrupted);
        EXPECT_GE(count.asked, c.stop_at);
        // Once stopped, every later poll throws at once.
        EXPECT_THROW(stop.poll(), interrupted);
    }
    // The geoline's search is too short to be asked often.
    const point_set set = sample(data_kind::uniform, 60000, 2, 5u);
    const split_tree tree = build_tree(set, c.workers);
    countdown count{0, c.stop_at};
    interrupt stop(&count_down, &count, std::chrono::milliseconds(0));
    EXPECT_THROW(decompose(tree, 2.0, c.workers, stop), interrupted);
}

INSTANTIATE_TEST_SUITE_P(interrupt, interrupt_stops,
                         testing::Values(interrupt_case{1, 1}, interrupt_case{1, 3}, interrupt_case{2, 1},
                                         interrupt_case{2, 3}),
                         [](const testing::TestParamInfo<interrupt_case>& c) {
                             return "workers_" + std::to_string(c.param.workers) + "_stop_at_" +
                                    std::to_string(c.param.stop_at);
                         });

TEST(interrupt, a_check_that_never_stops_changes_nothing_with_workers) {
    const point_set set = sample(data_kind::clusters, 30000, 3, 8u);
    countdown count{0, 1 << 30};
    interrupt asking(&count_down, &count, std::chrono::milliseconds(0));
    const split_tree tree = checked_tree(set.x.data(), set.n, set.d, 2, asking);
    const pair_list result = decompose(tree, 1.5, 2, asking);
    EXPECT_GT(count.asked, 0);
    interrupt never;
    const split_tree plain = build_tree(set);
    expect_identical_trees(tree, plain);
    const raw_array<separated_pair> pairs = search_pairs(plain, 1.5, 1, never);
    ASSERT_EQ(result.pairs.size(), pairs.size());
    EXPECT_EQ(std::memcmp(result.pairs.data(), pairs.data(), pairs.size() * sizeof(separated_pair)), 0);
}

}  // namespace
