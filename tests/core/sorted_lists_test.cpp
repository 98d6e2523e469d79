// SPDX-License-Identifier: MIT
#include "sorted_lists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <vector>

#include "test_support.h"

namespace {

using std::size_t;

// Walks `list` from head to tail, checking the links both ways, and returns
// the points in list order.
std::vector<point*> walk(const sorted_list& list) {
    std::vector<point*> order;
    EXPECT_NE(list.head, nullptr);
    if (list.head == nullptr) return order;
    EXPECT_EQ(list.head->prev, nullptr);
    const list_entry* last = nullptr;
    for (const list_entry* e = list.head; e != nullptr; e = e->next) {
        EXPECT_EQ(e->prev, last);
        order.push_back(e->pt);
        last = e;
    }
    EXPECT_EQ(last, list.tail);
    return order;
}

void expect_ascending(const std::vector<point*>& order, int32_t dim) {
    const auto k = static_cast<size_t>(dim);
    for (size_t j = 1; j < order.size(); ++j)
        ASSERT_LE(order[j - 1]->coord[k], order[j]->coord[k]) << "dimension " << dim << ", position " << j;
}

TEST(sorted_lists, one_point_list_has_head_equal_tail_and_no_links) {
    auto pts = make_points({{2.0, 3.0}});
    block_pool pool;
    const sorted_list list = build_sorted_list(pts.data(), 1, 1, pool);
    EXPECT_EQ(list.head, list.tail);
    EXPECT_EQ(list.block, list.head);
    EXPECT_EQ(list.head->prev, nullptr);
    EXPECT_EQ(list.head->next, nullptr);
    EXPECT_EQ(list.head->pt, &pts[0]);
    EXPECT_EQ(pts[0].entries[1], list.head);
    EXPECT_EQ(pts[0].entries[0], nullptr);
    EXPECT_EQ(pts[0].sort_dim, 1);
    pool.give(list.block);
    EXPECT_EQ(pool.blocks_held(), 0u);
}

TEST(sorted_lists, equal_coordinates_stay_ascending) {
    auto pts = make_points({{1.0, 5.0}, {0.0, 5.0}, {1.0, 4.0}, {0.0, 4.0}, {1.0, 5.5}, {-0.0, 4.0}});
    block_pool pool;
    for (int32_t dim = 0; dim < 2; ++dim) {
        const sorted_list list = build_sorted_list(pts.data(), 6, dim, pool);
        const auto order = walk(list);
        ASSERT_EQ(order.size(), 6u);
        expect_ascending(order, dim);
        for (auto& p : pts) EXPECT_EQ(p.entries[static_cast<size_t>(dim)]->pt, &p);
        pool.give(list.block);
    }
    EXPECT_EQ(pool.blocks_held(), 0u);
}

TEST(sorted_lists, random_points_are_listed_ascending_in_every_dimension) {
    for (int32_t d = 1; d <= 4; ++d) {
        SCOPED_TRACE(d);
        // Grid points share coordinates often; uniform ones hardly ever.
        for (auto pts : {uniform_points(3000, d, 11u + static_cast<uint64_t>(d), -50.0, 50.0),
                         grid_points(3000, d, 21u + static_cast<uint64_t>(d), 12)}) {
            const auto n = static_cast<int32_t>(pts.size());
            block_pool pool;
            std::vector<sorted_list> lists;
            for (int32_t dim = 0; dim < d; ++dim) {
                lists.push_back(build_sorted_list(pts.data(), n, dim, pool));
                EXPECT_EQ(pts[0].sort_dim, dim);
            }
            for (int32_t dim = 0; dim < d; ++dim) {
                const auto k = static_cast<size_t>(dim);
                const sorted_list& list = lists[k];
                const auto order = walk(list);
                ASSERT_EQ(order.size(), pts.size());
                expect_ascending(order, dim);
                // The list holds every point once.
                std::vector<point*> sorted_order = order;
                std::sort(sorted_order.begin(), sorted_order.end());
                EXPECT_TRUE(std::adjacent_find(sorted_order.begin(), sorted_order.end()) == sorted_order.end());
                double lo = std::numeric_limits<double>::infinity();
                double hi = -lo;
                for (auto& p : pts) {
                    ASSERT_NE(p.entries[k], nullptr);
                    ASSERT_EQ(p.entries[k]->pt, &p);
                    lo = std::min(lo, p.coord[k]);
                    hi = std::max(hi, p.coord[k]);
                }
                EXPECT_EQ(list.head->pt->coord[k], lo);
                EXPECT_EQ(list.tail->pt->coord[k], hi);
                EXPECT_EQ(list.block, list.head);
                // Every entry of the list lies in its one block.
                for (const list_entry* e = list.head; e != nullptr; e = e->next)
                    ASSERT_TRUE(e >= list.block && e < list.block + n);
            }
            EXPECT_EQ(pool.blocks_held(), static_cast<size_t>(d));
            for (const auto& list : lists) pool.give(list.block);
            EXPECT_EQ(pool.blocks_held(), 0u);
        }
    }
}

TEST(sorted_lists, only_the_first_n_records_are_listed) {
    auto pts = make_points({{3.0}, {1.0}, {2.0}, {0.0}, {-1.0}});
    block_pool pool;
    const sorted_list list = build_sorted_list(pts.data(), 3, 0, pool);
    const auto order = walk(list);
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0], &pts[1]);
    EXPECT_EQ(order[1], &pts[2]);
    EXPECT_EQ(order[2], &pts[0]);
    EXPECT_EQ(pts[3].entries[0], nullptr);
    EXPECT_EQ(pts[4].entries[0], nullptr);
    pool.give(list.block);
}

TEST(sorted_lists, copy_keeps_order_clears_target_and_leaves_entries) {
    auto pts = uniform_points(200, 2, 7u);
    const auto n = static_cast<int32_t>(pts.size());
    block_pool pool;
    const sorted_list src = build_sorted_list(pts.data(), n, 1, pool);
    const auto src_order = walk(src);
    sorted_list marker{};
    for (auto& p : pts) p.target = &marker;
    std::vector<list_entry*> entries_before;
    for (auto& p : pts) entries_before.push_back(p.entries[1]);

    for (const int32_t count : {n, 1, n / 3}) {
        SCOPED_TRACE(count);
        for (auto& p : pts) p.target = &marker;
        const size_t held = pool.blocks_held();
        const sorted_list copy = copy_list(src, count, pool);
        EXPECT_EQ(pool.blocks_held(), held + 1);
        EXPECT_NE(copy.block, src.block);
        EXPECT_EQ(copy.block, copy.head);
        const auto order = walk(copy);
        ASSERT_EQ(order.size(), static_cast<size_t>(count));
        for (size_t j = 0; j < order.size(); ++j) EXPECT_EQ(order[j], src_order[j]);
        // The copy's entries are its own, in its own block.
        for (const list_entry* e = copy.head; e != nullptr; e = e->next)
            ASSERT_TRUE(e >= copy.block && e < copy.block + count);
        // Exactly the copied points lost their target.
        for (size_t j = 0; j < src_order.size(); ++j)
            EXPECT_EQ(src_order[j]->target, j < order.size() ? nullptr : &marker) << j;
        for (size_t i = 0; i < pts.size(); ++i) EXPECT_EQ(pts[i].entries[1], entries_before[i]);
        pool.give(copy.block);
    }
    // The source is intact.
    EXPECT_EQ(walk(src), src_order);
    pool.give(src.block);
    EXPECT_EQ(pool.blocks_held(), 0u);
}

TEST(sorted_lists, copy_of_a_shortened_list_follows_its_links) {
    // After an entry is unlinked, copy_list walks the links, not the block.
    auto pts = make_points({{0.0}, {1.0}, {2.0}, {3.0}});
    block_pool pool;
    sorted_list src = build_sorted_list(pts.data(), 4, 0, pool);
    list_entry* second = src.head->next;
    second->prev->next = second->next;
    second->next->prev = second->prev;
    const sorted_list copy = copy_list(src, 3, pool);
    const auto order = walk(copy);
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0], &pts[0]);
    EXPECT_EQ(order[1], &pts[2]);
    EXPECT_EQ(order[2], &pts[3]);
    pool.give(copy.block);
    pool.give(src.block);
    EXPECT_EQ(pool.blocks_held(), 0u);
}

TEST(sorted_lists, link_block_links_entries_in_block_order) {
    block_pool pool;
    auto* block = pool.take_array<list_entry>(5);
    const sorted_list list = link_block(block, 5);
    EXPECT_EQ(list.block, block);
    EXPECT_EQ(list.head, block);
    EXPECT_EQ(list.tail, block + 4);
    for (int32_t j = 0; j < 5; ++j) {
        EXPECT_EQ(block[j].prev, j == 0 ? nullptr : &block[j - 1]);
        EXPECT_EQ(block[j].next, j == 4 ? nullptr : &block[j + 1]);
    }
    const sorted_list single = link_block(block, 1);
    EXPECT_EQ(single.head, single.tail);
    EXPECT_EQ(block[0].next, nullptr);
    EXPECT_EQ(block[0].prev, nullptr);
    pool.give(block);
    EXPECT_EQ(pool.blocks_held(), 0u);
}

}  // namespace
