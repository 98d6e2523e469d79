// SPDX-License-Identifier: MIT
#include "sorted_lists.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <vector>

namespace {

// Sort key of one entry: the coordinate read once, so the sort compares
// plain doubles instead of chasing pt->coord[pt->sort_dim].
struct keyed_point {
    double key;
    point* pt;
};

}  // namespace

sorted_list link_block(list_entry* block, int32_t count) {
    assert(count >= 1);
    for (int32_t j = 0; j < count; ++j) {
        block[j].prev = j > 0 ? &block[j - 1] : nullptr;
        block[j].next = j + 1 < count ? &block[j + 1] : nullptr;
    }
    return sorted_list{block, block, block + (count - 1)};
}

sorted_list build_sorted_list(point* points, int32_t n, int32_t dim, block_pool& pool) {
    assert(n >= 1 && dim >= 0);
    auto* block = pool.take_array<list_entry>(static_cast<std::size_t>(n));
    std::vector<keyed_point> keys(static_cast<std::size_t>(n));
    for (int32_t j = 0; j < n; ++j) {
        point& p = points[j];
        p.sort_dim = dim;
        keys[static_cast<std::size_t>(j)] = keyed_point{p.coord[static_cast<std::size_t>(p.sort_dim)], &p};
    }
    // NaN sorts last, so that even unchecked input gives the sort a strict
    // weak order to work with.
    std::sort(keys.begin(), keys.end(), [](const keyed_point& a, const keyed_point& b) {
        return a.key < b.key || (std::isnan(b.key) && !std::isnan(a.key));
    });
    for (int32_t j = 0; j < n; ++j) block[j].pt = keys[static_cast<std::size_t>(j)].pt;
    sorted_list list = link_block(block, n);
    for (int32_t j = 0; j < n; ++j) block[j].pt->entries[static_cast<std::size_t>(dim)] = &block[j];
    return list;
}

sorted_list copy_list(const sorted_list& src, int32_t count, block_pool& pool) {
    assert(count >= 1);
    auto* block = pool.take_array<list_entry>(static_cast<std::size_t>(count));
    const list_entry* e = src.head;
    for (int32_t j = 0; j < count; ++j) {
        assert(e != nullptr);
        block[j].pt = e->pt;
        e->pt->target = nullptr;
        e = e->next;
    }
    return link_block(block, count);
}
