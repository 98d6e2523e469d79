// SPDX-License-Identifier: MIT
// The point record shared by the Python type and the decomposition core, and
// the doubly linked per-dimension lists the tree construction works on.
// A point owns its two arrays. Entry blocks and list_set header arrays are
// taken from a block_pool by their owner and handed back by it.
#pragma once

#include <cstdint>
#include <vector>

struct list_entry;
struct sorted_list;

// A list_set is a contiguous array of d sorted_list headers, one per
// dimension; `list_set*` points at the first header.
using list_set = sorted_list;

struct point {
    std::vector<double> coord;
    // Scratch of the tree construction, meaningless outside it: the list_set
    // of the peeled-off set the point was assigned to (null: it stays), its
    // entry in each dimension's list, and the dimension the sort reads.
    list_set* target = nullptr;
    std::vector<list_entry*> entries;
    int32_t sort_dim = 0;
    // Position in the caller's list of points; the result holds these.
    int32_t index = 0;

    point() = default;
    // One null entry slot per coordinate.
    explicit point(std::vector<double> values)
        : coord(std::move(values)), entries(coord.size(), nullptr) {}
};

struct list_entry {
    list_entry* next;
    list_entry* prev;
    point* pt;
};

struct sorted_list {
    list_entry* block;  // start of the entry block, released as one piece
    list_entry* head;   // smallest coordinate
    list_entry* tail;   // largest coordinate
};
