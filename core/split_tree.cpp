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
    int32_t start;  // position of the set's first leaf in the leaf order
    split_node** slot;
};

// The node and its center array share one block: the search reads both.
split_node* new_node(int32_t d, int32_t size, block_pool& pool) {
    static_assert(sizeof(split_node) % alignof(double) == 0, "center follows the node");
    auto* node = static_cast<split_node*>(pool.take(sizeof(split_node) + sizeof(double) * static_cast<size_t>(d)));
    node->left = nullptr;
    node->right = nullptr;
    node->center = reinterpret_cast<double*>(node + 1);
    node->radius = 0.0;
    node->leaf_point = nullptr;
    node->size = size;
    node->first_leaf = 0;
    return node;
}

void release_lists(list_set* lists, int32_t d, block_pool& pool) {
    for (int32_t t = 0; t < d; ++t) pool.give(lists[t].block);
    pool.give(lists);
}

split_node* make_leaf(list_set* lists, int32_t d, int32_t start, block_pool& pool) {
    split_node* leaf = new_node(d, 1, pool);
    leaf->first_leaf = start;
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

// How far ahead the linear passes prefetch point records and their entry
// slots: the points of a list are scattered in memory, and these passes are
// bound by fetching them.
constexpr int32_t record_ahead = 16;
constexpr int32_t slots_ahead = 8;

// Splits one set of n >= 2 points: peels sets off until at most half remain,
// makes the lists of every new set by one linear pass per dimension, and
// appends the build tasks of the new sets, in chain order, to `tasks`. Hangs
// the node of the first split round in *slot and releases `lists`.
//
// On entry every list of the set is its block in list order (lists are only
// ever made that way), and the set's points share one `target` value: null,
// or `lists` itself for a set peeled off by the parent call. Unlinking an
// entry leaves its pt in place, so after the split rounds the blocks still
// hold every point in order and serve for the distribution pass; a point was
// peeled here exactly when its target is neither null nor `lists`.
void split_set(list_set* lists, int32_t n, int32_t d, int32_t start, split_node** slot,
               std::vector<build_task>& tasks, std::vector<point*>& peeled_points, block_pool& pool) {
    const size_t dims = static_cast<size_t>(d);
    int32_t remaining = n;
    const int32_t half = n / 2;
    split_node* node = nullptr;
    pending_set* chain = nullptr;
    pending_set* chain_end = nullptr;
    auto append = [&](int32_t count) {
        auto* set = pool.take_array<pending_set>(1);
        set->lists = nullptr;
        set->count = count;
        set->next = nullptr;
        if (chain_end == nullptr) chain = set;
        else chain_end->next = set;
        chain_end = set;
        set->lists = pool.take_array<sorted_list>(dims);
        for (int32_t t = 0; t < d; ++t) set->lists[t] = sorted_list{nullptr, nullptr, nullptr};
        for (int32_t t = 0; t < d; ++t)
            set->lists[t] = link_block(pool.take_array<list_entry>(static_cast<size_t>(count)), count);
        return set;
    };

    while (remaining > half) {
        split_node* x = new_node(d, remaining, pool);
        x->first_leaf = start;
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
        const pending_set* peeled = append(k);
        remaining -= k;

        // Collect the k points first so that their records and entries can
        // be fetched ahead of the unlinking.
        peeled_points.clear();
        const list_entry* e = side == 0 ? lists[dim].head : lists[dim].tail;
        for (int32_t j = 0; j < k; ++j) {
            peeled_points.push_back(e->pt);
            e = side == 0 ? e->next : e->prev;
        }
        for (int32_t j = 0; j < k; ++j) {
            if (j + slots_ahead < k) {
                const point* ahead = peeled_points[static_cast<size_t>(j + slots_ahead)];
                for (int32_t t = 0; t < d; ++t) __builtin_prefetch(ahead->entries[static_cast<size_t>(t)]);
            }
            point* p = peeled_points[static_cast<size_t>(j)];
            p->target = peeled->lists;
            for (int32_t t = 0; t < d; ++t) unlink(lists[t], p->entries[static_cast<size_t>(t)]);
        }
    }
    pending_set* rest = append(remaining);

    // Distribution: one pass over each block deals every point, in list
    // order, to its peeled set or to the remainder; `tail` is the fill
    // cursor. The last pass leaves the remainder's targets null.
    for (pending_set* set = chain; set != nullptr; set = set->next)
        for (int32_t t = 0; t < d; ++t) set->lists[t].tail = set->lists[t].head;
    for (int32_t t = 0; t < d; ++t) {
        const list_entry* block = lists[t].block;
        const bool last = t == d - 1;
        for (int32_t j = 0; j < n; ++j) {
            if (j + record_ahead < n) __builtin_prefetch(block[j + record_ahead].pt, 1);
            if (j + slots_ahead < n) __builtin_prefetch(block[j + slots_ahead].pt->entries.data() + t, 1);
            point* p = block[j].pt;
            list_set* target = p->target;
            const bool stays = target == nullptr || target == lists;
            sorted_list& dst = stays ? rest->lists[t] : target[t];
            list_entry* f = dst.tail;
            f->pt = p;
            p->entries[static_cast<size_t>(t)] = f;
            dst.tail = f->next;
            if (stays && last) p->target = nullptr;
        }
    }
    release_lists(lists, d, pool);
    for (pending_set* set = chain; set != nullptr; set = set->next)
        for (int32_t t = 0; t < d; ++t) set->lists[t].tail = set->lists[t].block + (set->count - 1);

    // The round nodes are chained through `left`: round i's right child is
    // the set peeled in round i, the last round's left child the remainder.
    // Leaves come left subtree first, so every round node and the remainder
    // start where the call's set starts, and the set peeled in round i right
    // after the points that remained after that round.
    split_node* round = *slot;
    for (pending_set* set = chain; set != nullptr;) {
        pending_set* next = set->next;
        if (set == rest) {
            tasks.push_back(build_task{set->lists, set->count, start, &round->left});
        } else {
            tasks.push_back(build_task{set->lists, set->count, start + round->size - set->count, &round->right});
            if (next != rest) round = round->left;
        }
        pool.give(set);
        set = next;
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

split_node* build_split_tree(list_set* lists, int32_t n, int32_t d, block_pool& pool, int32_t* order) {
    assert(n >= 1 && d >= 1);
    split_node* root = nullptr;
    // split_set tells the points it peels by their target: start from null.
    for (const list_entry* e = lists[0].head; e != nullptr; e = e->next) e->pt->target = nullptr;
    // Depth-first over the sets, in the order a recursive builder would take
    // them, with an explicit stack: trees over geometrically spaced points
    // are thousands of levels deep.
    std::vector<build_task> stack{build_task{lists, n, 0, &root}};
    std::vector<build_task> made;
    std::vector<point*> peeled_points;
    while (!stack.empty()) {
        const build_task task = stack.back();
        stack.pop_back();
        if (task.count == 1) {
            split_node* leaf = make_leaf(task.lists, d, task.start, pool);
            if (order != nullptr) order[task.start] = leaf->leaf_point->index;
            *task.slot = leaf;
            continue;
        }
        made.clear();
        split_set(task.lists, task.count, d, task.start, task.slot, made, peeled_points, pool);
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
        pool.give(node);  // the center array with it
    }
}
