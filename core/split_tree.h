// SPDX-License-Identifier: MIT
// Fair split tree. build_split_tree takes over the list_set it is given and
// hands every list block and header array it uses back to the pool before it
// returns; the caller owns the returned tree (each split_node with its center
// array, taken from the same pool) and releases it with release_tree.
#pragma once

#include <cstdint>

#include "point.h"
#include "pool.h"

struct split_node {
    split_node* left;    // inner: next split round of the set, or the remainder
    split_node* right;   // inner: the set peeled off in this node's round
    double* center;      // d values: centre of the bounding box, stored
                         // in the node's own block
    double radius;       // half the box diagonal; 0 in a leaf
    point* leaf_point;   // non-null exactly in leaves
    int32_t size;        // points under the node
    int32_t first_leaf;  // position of the node's first leaf in the tree's
                         // leaf order (left subtree before right)
};

// One set made by a split call and waiting for its own subtree.
struct pending_set {
    list_set* lists;
    int32_t count;
    pending_set* next;
};

// Writes the bounding box centre and radius of the set described by `lists`
// into `node` (whose center array exists).
void compute_box(const list_set* lists, split_node* node, int32_t d);

// Chooses the longest dimension and counts the points to peel from its low
// end (side 0) or high end (side 1): those on the peeled side of the middle,
// points exactly on it included. Throws std::runtime_error if a walker would
// leave its list, which distinct finite points never cause.
void choose_split(const list_set* lists, int32_t d, int32_t* side, int32_t* dim, int32_t* count);

// Builds the fair split tree of the n points listed in `lists` (d >= 1,
// n >= 1, each list holding the same n points ascending in its coordinate,
// each point's entries[t] pointing at its entry in list t). The points must
// be pairwise distinct and finite in their first d coordinates. Coincident
// points, or a NaN where a split looks, make the call throw
// std::runtime_error (all its blocks stay with the pool); other non-finite
// values give a meaningless tree. It never reads outside its lists.
// Runs in O(d n log n) without recursion; overwrites target and entries.
// Sets every node's first_leaf; if `order` is not null, it receives the n
// leaves' point indices in leaf order.
split_node* build_split_tree(list_set* lists, int32_t n, int32_t d, block_pool& pool, int32_t* order = nullptr);

// Hands every node and center array of the tree back to the pool.
void release_tree(split_node* root, block_pool& pool);
