// SPDX-License-Identifier: MIT
#include "split_tree.h"

#include <cassert>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include "sorted_lists.h"

namespace {

using std::size_t;

inline double coord_at(const list_entry* e, int32_t i) {
    return e->pt->coord[static_cast<size_t>(i)];
}

// A set whose subtree is still to be built, and where to hang it.
struct build_task {
    list_set* lists;
    int32_t count;
    split_node** slot;
};

split_node* new_node(int32_t d, int32_t size, block_pool& pool) {
    auto* node = pool.take_array<split_node>(1);
    node->left = nullptr;
    node->right = nullptr;
    node->center = nullptr;
    node->radius = 0.0;
    node->leaf_point = nullptr;
    node->size = size;
    node->first_leaf = 0;
    node->center = pool.take_array<double>(static_cast<size_t>(d));
    return node;
}

void release_lists(list_set* lists, int32_t d, block_pool& pool) {
    for (int32_t t = 0; t < d; ++t) pool.give(lists[t].block);
    pool.give(lists);
}

split_node* make_leaf(list_set* lists, int32_t d, block_pool& pool) {
    split_node* leaf = new_node(d, 1, pool);
    point* p = lists[0].head->pt;
    for (int32_t i = 0; i < d; ++i) leaf->center[i] = p->coord[static_cast<size_t>(i)];
    leaf->leaf_point = p;
    release_lists(lists, d, pool);
    return leaf;
}

// Removes x from `list` in O(1); x keeps its own next and prev so that a
// walk standing on it can go on.
void unlink(sorted_list& list, list_entry* x) {
    if (x->prev != nullptr) {
        x->prev->next = x->next;
    } else {
        list.head = x->next;
        if (list.head != nullptr) list.head->prev = nullptr;
    }
    if (x->next != nullptr) {
        x->next->prev = x->prev;
    } else {
        list.tail = x->prev;
        if (list.tail != nullptr) list.tail->next = nullptr;
    }
}

// Splits one set of n >= 2 points: peels sets off until at most half remain,
// makes the lists of every new set by one linear pass, and appends the build
// tasks of the new sets, in chain order, to `tasks`. Hangs the node of the
// first split round in *slot and releases `lists`.
void split_set(list_set* lists, int32_t n, int32_t d, split_node** slot,
               std::vector<build_task>& tasks, block_pool& pool) {
    const size_t dims = static_cast<size_t>(d);

    // Full copies of the lists: they keep every point in order for the
    // distribution pass after the call's own lists have been taken apart.
    list_set* copies = pool.take_array<sorted_list>(dims);
    for (int32_t t = 0; t < d; ++t) copies[t] = copy_list(lists[t], n, pool);

    int32_t remaining = n;
    const int32_t half = n / 2;
    split_node* node = nullptr;
    pending_set* chain = nullptr;
    pending_set* chain_end = nullptr;
    while (remaining > half) {
        split_node* x = new_node(d, remaining, pool);
        if (node == nullptr) *slot = x;
        else node->left = x;
        node = x;
        compute_box(lists, x, d);

        int32_t side = 0;
        int32_t dim = 0;
        int32_t k = 0;
        choose_split(lists, d, &side, &dim, &k);
        if (k < 1 || k >= remaining)
            throw std::runtime_error("split_tree: a split made no progress (coincident or non-finite points)");

        auto* peeled = pool.take_array<pending_set>(1);
        peeled->lists = nullptr;
        peeled->count = k;
        peeled->next = nullptr;
        if (chain_end == nullptr) chain = peeled;
        else chain_end->next = peeled;
        chain_end = peeled;
        peeled->lists = pool.take_array<sorted_list>(dims);
        for (int32_t t = 0; t < d; ++t) peeled->lists[t] = sorted_list{nullptr, nullptr, nullptr};
        for (int32_t t = 0; t < d; ++t)
            peeled->lists[t] = link_block(pool.take_array<list_entry>(static_cast<size_t>(k)), k);
        remaining -= k;

        list_entry* e = side == 0 ? lists[dim].head : lists[dim].tail;
        for (int32_t j = 0; j < k; ++j) {
            point* p = e->pt;
            p->target = peeled->lists;
            for (int32_t t = 0; t < d; ++t) unlink(lists[t], p->entries[static_cast<size_t>(t)]);
            e = side == 0 ? e->next : e->prev;
        }
    }

    // The remainder keeps its order: its lists are copies of what is left.
    auto* rest = pool.take_array<pending_set>(1);
    rest->lists = nullptr;
    rest->count = remaining;
    rest->next = nullptr;
    chain_end->next = rest;
    rest->lists = pool.take_array<sorted_list>(dims);
    for (int32_t t = 0; t < d; ++t) rest->lists[t] = sorted_list{nullptr, nullptr, nullptr};
    for (int32_t t = 0; t < d; ++t) {
        rest->lists[t] = copy_list(lists[t], remaining, pool);
        for (list_entry* e = rest->lists[t].head; e != nullptr; e = e->next)
            e->pt->entries[static_cast<size_t>(t)] = e;
    }
    release_lists(lists, d, pool);

    // Distribution: one pass over each full copy deals the peeled points to
    // their sets in ascending order; `tail` serves as the fill cursor.
    for (pending_set* p = chain; p != rest; p = p->next)
        for (int32_t t = 0; t < d; ++t) p->lists[t].tail = p->lists[t].head;
    for (int32_t t = 0; t < d; ++t) {
        for (list_entry* e = copies[t].head; e != nullptr; e = e->next) {
            point* p = e->pt;
            if (p->target == nullptr) continue;
            sorted_list& dst = p->target[t];
            list_entry* f = dst.tail;
            f->pt = p;
            p->entries[static_cast<size_t>(t)] = f;
            dst.tail = f->next;
        }
    }
    release_lists(copies, d, pool);
    for (pending_set* p = chain; p != rest; p = p->next)
        for (int32_t t = 0; t < d; ++t) p->lists[t].tail = p->lists[t].block + (p->count - 1);

    // The round nodes are chained through `left`: round i's right child is
    // the set peeled in round i, the last round's left child the remainder.
    split_node* round = *slot;
    for (pending_set* p = chain; p != nullptr;) {
        pending_set* next = p->next;
        if (p == rest) {
            tasks.push_back(build_task{p->lists, p->count, &round->left});
        } else {
            tasks.push_back(build_task{p->lists, p->count, &round->right});
            if (next != rest) round = round->left;
        }
        pool.give(p);
        p = next;
    }
}

}  // namespace

void compute_box(const list_set* lists, split_node* node, int32_t d) {
    double sum = 0.0;
    for (int32_t i = 0; i < d; ++i) {
        const double lo = coord_at(lists[i].head, i);
        const double hi = coord_at(lists[i].tail, i);
        node->center[i] = (lo + hi) * 0.5;
        const double h = (hi - lo) * 0.5;
        sum = sum + h * h;
    }
    node->radius = std::sqrt(sum);
}

void choose_split(const list_set* lists, int32_t d, int32_t* side, int32_t* dim, int32_t* count) {
    double best = -1.0;
    int32_t best_dim = 0;
    for (int32_t i = 0; i < d; ++i) {
        const double extent = coord_at(lists[i].tail, i) - coord_at(lists[i].head, i);
        if (extent > best) {
            best = extent;
            best_dim = i;
        }
    }
    const double mid = best * 0.5 + coord_at(lists[best_dim].head, best_dim);

    int32_t k = 0;
    const list_entry* low = lists[best_dim].head;
    const list_entry* high = lists[best_dim].tail;
    for (;;) {
        if (coord_at(low, best_dim) > mid) {
            *side = 0;
            break;
        }
        if (mid > coord_at(high, best_dim)) {
            *side = 1;
            break;
        }
        ++k;
        low = low->next;
        high = high->prev;
        // Only a set without extent (coincident or non-finite points) lets
        // both walks pass every point.
        if (low == nullptr || high == nullptr)
            throw std::runtime_error("split_tree: a split found no middle (coincident or non-finite points)");
    }
    *dim = best_dim;
    *count = k;
}

split_node* build_split_tree(list_set* lists, int32_t n, int32_t d, block_pool& pool) {
    assert(n >= 1 && d >= 1);
    split_node* root = nullptr;
    // Depth-first over the sets, in the order a recursive builder would take
    // them, with an explicit stack: trees over geometrically spaced points
    // are thousands of levels deep.
    std::vector<build_task> stack{build_task{lists, n, &root}};
    std::vector<build_task> made;
    while (!stack.empty()) {
        const build_task task = stack.back();
        stack.pop_back();
        if (task.count == 1) {
            *task.slot = make_leaf(task.lists, d, pool);
            continue;
        }
        made.clear();
        split_set(task.lists, task.count, d, task.slot, made, pool);
        stack.insert(stack.end(), made.rbegin(), made.rend());
    }
    return root;
}

void release_tree(split_node* root, block_pool& pool) {
    std::vector<split_node*> stack;
    if (root != nullptr) stack.push_back(root);
    while (!stack.empty()) {
        split_node* node = stack.back();
        stack.pop_back();
        if (node->left != nullptr) stack.push_back(node->left);
        if (node->right != nullptr) stack.push_back(node->right);
        pool.give(node->center);
        pool.give(node);
    }
}
