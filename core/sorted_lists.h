// SPDX-License-Identifier: MIT
// Per-dimension sorted lists over one point set. Each list's entries are one
// block taken from the pool; the caller owns the block (sorted_list::block)
// and hands it back when the list is no longer needed.
#pragma once

#include <cstdint>

#include "point.h"
#include "pool.h"

// Lists the first n records of `points` in ascending coord[dim] (ties in any
// order). Sets sort_dim = dim and entries[dim] of each of them. n >= 1, and
// every listed point has more than dim coordinates. Costs O(n log n).
sorted_list build_sorted_list(point* points, int32_t n, int32_t dim, block_pool& pool);

// A fresh block holding the first `count` entries of `src` in list order,
// pointing at the same points. Clears `target` of those points; leaves
// `entries` alone. count >= 1 and src holds at least count entries.
sorted_list copy_list(const sorted_list& src, int32_t count, block_pool& pool);

// Links a block of `count` entries in block order and returns its list.
sorted_list link_block(list_entry* block, int32_t count);
