// SPDX-License-Identifier: MIT
#include "split_tree.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "checks.h"
#include "work_pool.h"

namespace {

using std::size_t;

// A position or count as an array index; positions are never negative.
constexpr size_t at(index_t i) { return static_cast<size_t>(i); }

// How one call of the construction cuts its set (a range of positions of
// the working arrays) in rounds until at most half of it remains, each
// round peeling one side of a cut off as a new set:
// - By partitioning (partition_rounds): a round counts the points on either
//   side of the cut, then moves the peeled ones to the top of the range and
//   computes both parts' boxes. Two passes over what remains, per round.
// - On sorted lists (peel_on_lists): when a round of a set of sorted_min
//   points or more would peel under 1/skew_ratio of it, partitioning could
//   cost a pass per point peeled; the call then goes on with one doubly
//   linked list per active dimension, ascending, reads each round's box
//   from the lists' ends and unlinks only what the round peels. At its end
//   it deals the points out to the new sets in list order, so that every
//   set it makes is presorted.
// - A presorted set has its positions stored ascending in every active
//   dimension in builder::sorted_, and knows no box: its call reads the box
//   from those ends and walks at most count / skew_ratio steps in from both
//   ends of the cut's dimension. A skewed first cut keeps it on lists (built
//   from sorted_ without sorting); otherwise it goes back to partitioning,
//   and the sets it makes are no longer presorted.
struct build_task {
    index_t lo;
    index_t count;
    index_t node;  // the subtree's root
    bool presorted;
};

// A set handed to another worker, with its box: low[0..d), then high[0..d)
// (unused for a presorted set).
struct shared_set {
    build_task task;
    std::vector<double> box;
};

constexpr index_t skew_ratio = 8;
constexpr index_t sorted_min = 256;
// Sets from this size on may go to another worker.
constexpr index_t shared_min = 16384;
// Work (points visited) between two polls of the interrupt.
constexpr int64_t poll_work = 1 << 16;

// Ascending order of doubles as unsigned integers (-0.0 just below 0.0).
inline uint64_t sort_key(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits >> 63) != 0 ? ~bits : bits | (uint64_t{1} << 63);
}
// Sorts ids by keys, both of length count, in place; scratch buffers are the
// caller's. LSD radix sort on 16-bit digits, skipping digits all keys share;
// small inputs go to std::sort. Any bits give a well-defined order.
void sort_by_key(raw_array<uint64_t>& keys, raw_array<index_t>& ids, raw_array<uint64_t>& key_tmp,
                 raw_array<index_t>& id_tmp, interrupt& stop) {
    const size_t count = keys.size();
    if (count < 1024) {
        std::vector<std::pair<uint64_t, index_t>> both(count);
        for (size_t i = 0; i < count; ++i) both[i] = {keys[i], ids[i]};
        std::sort(both.begin(), both.end());
        for (size_t i = 0; i < count; ++i) {
            keys[i] = both[i].first;
            ids[i] = both[i].second;
        }
        return;
    }
    key_tmp.resize(count);
    id_tmp.resize(count);
    std::vector<uint32_t> histogram(size_t{1} << 16);
    for (int shift = 0; shift < 64; shift += 16) {
        stop.poll();
        std::fill(histogram.begin(), histogram.end(), 0);
        for (size_t i = 0; i < count; ++i) ++histogram[(keys[i] >> shift) & 0xffff];
        // Every key has the same digit here: nothing to move.
        if (histogram[(keys[0] >> shift) & 0xffff] == count) continue;
        uint32_t sum = 0;
        for (auto& h : histogram) sum += std::exchange(h, sum);
        for (size_t i = 0; i < count; ++i) {
            const uint32_t slot = histogram[(keys[i] >> shift) & 0xffff]++;
            key_tmp[slot] = keys[i];
            id_tmp[slot] = ids[i];
        }
        std::swap(keys, key_tmp);
        std::swap(ids, id_tmp);
    }
}

// One doubly linked list per active dimension a over the m points of a set,
// numbered u = position - lo: point_at[a*m + q] is the point at place q of
// list a, place_of[a*m + u] the place of point u there; next and prev link
// the places still in the list (-1 past an end), head and tail its ends.
struct sorted_lists {
    size_t m = 0;
    raw_array<index_t> point_at, place_of, next, prev;
    std::vector<index_t> head, tail;
};

// A set peeled by a round on sorted lists, before its points have moved.
struct peeled_set {
    index_t lo;
    index_t count;
    index_t node;
};

// What one worker reuses from set to set: its stack of sets with their
// boxes (2d values each), the box being cut and the peeled part's, and the
// scratch arrays of the rounds on sorted lists.
struct workspace {
    explicit workspace(size_t dims) : box(2 * dims), peeled_box(2 * dims) {}
    std::vector<build_task> stack;
    std::vector<double> boxes;
    std::vector<double> box;
    std::vector<double> peeled_box;
    sorted_lists lists;
    std::vector<peeled_set> peeled;
    raw_array<index_t> group, moved, ids, id_tmp;
    raw_array<uint64_t> keys, key_tmp;
    raw_array<double> rows;
    int64_t work = 0;  // points visited since the last poll
};

class builder {
public:
    builder(raw_array<double>&& x, index_t n, int32_t d, int workers, interrupt& stop, split_tree& tree)
        : n_(n), d_(d), dims_(at(d)), workers_(workers), stop_(stop), tree_(tree),
          xs_(std::move(x)) {
        assert(xs_.size() == at(n) * dims_);
        idx_.resize(at(n));
        for (index_t i = 0; i < n; ++i) idx_[at(i)] = i;
        tree.records.resize(tree.node_count() * tree.node_stride());
        tree.order.resize(at(n));
        // Address space only: pages are touched by the sets that use them.
        sorted_.resize(dims_ * at(n));
    }

    void run() {
        std::vector<double> box(2 * dims_);
        bounding_box(box.data());
        constant_box_ = box;
        active_index_.assign(dims_, -1);
        for (int32_t k = 0; k < d_; ++k) {
            if (box[dims_ + at(k)] > box[at(k)]) {
                active_index_[at(k)] = static_cast<int32_t>(active_dims_.size());
                active_dims_.push_back(k);
            }
        }
        work_pool<shared_set> pool(std::min(workers_, 1 + n_ / shared_min), stop_);
        pool_ = &pool;
        pool.run(shared_set{build_task{0, n_, 0, false}, std::move(box)}, [this] {
            return [this, ws = workspace(dims_)](shared_set&& set) mutable { build_shared(std::move(set), ws); };
        });
    }

    // The working values back in input order. Sets are split in place, and
    // every worker stops between two sets, so that positions and indices
    // always move together.
    void give_back(raw_array<double>& x) {
        x.resize(xs_.size());
        for (size_t p = 0; p < idx_.size(); ++p)
            std::memcpy(&x[at(idx_[p]) * dims_], &xs_[p * dims_], dims_ * sizeof(double));
    }

private:
    double& xs(index_t pos, int32_t k) { return xs_[at(pos) * dims_ + at(k)]; }
    index_t& sorted(int32_t k, index_t pos) {
        return sorted_[at(k) * at(n_) + at(pos)];
    }

    void count_work(workspace& ws, int64_t points) {
        ws.work += points;
        if (ws.work >= poll_work) {
            ws.work = 0;
            stop_.poll();
        }
    }

    // Builds the subtree of a set taken from the pool and of every set made
    // from it, handing large ones over while some worker waits.
    void build_shared(shared_set&& set, workspace& ws) {
        ws.stack.assign(1, set.task);
        ws.boxes = std::move(set.box);
        ws.boxes.resize(2 * dims_);
        while (!ws.stack.empty()) {
            const build_task task = ws.stack.back();
            ws.stack.pop_back();
            std::copy(ws.boxes.end() - static_cast<std::ptrdiff_t>(2 * dims_), ws.boxes.end(), ws.box.begin());
            ws.boxes.resize(ws.boxes.size() - 2 * dims_);
            if (pool_->failed()) return;
            const size_t first_child = ws.stack.size();
            build_set(task, ws);
            if (workers_ > 1) hand_over(ws, first_child);
        }
    }

    void hand_over(workspace& ws, size_t first_child) {
        for (size_t i = first_child; i < ws.stack.size();) {
            if (ws.stack[i].count < shared_min || pool_->waiting() == 0) {
                ++i;
                continue;
            }
            const auto at = ws.boxes.begin() + static_cast<std::ptrdiff_t>(i * 2 * dims_);
            shared_set set{ws.stack[i], std::vector<double>(at, at + static_cast<std::ptrdiff_t>(2 * dims_))};
            ws.stack.erase(ws.stack.begin() + static_cast<std::ptrdiff_t>(i));
            ws.boxes.erase(at, at + static_cast<std::ptrdiff_t>(2 * dims_));
            pool_->hand_over(std::move(set));
        }
    }

    void push(workspace& ws, const build_task& task, const double* box) {
        ws.stack.push_back(task);
        ws.boxes.insert(ws.boxes.end(), box, box + 2 * dims_);
    }

    // The box of all points, in the pass that also turns every -0.0 into
    // 0.0 (adding 0.0 leaves other values as they are): boxes then do not
    // depend on which of two equal zeros a scan meets first, and neither
    // does the sign of a zero centre.
    void bounding_box(double* box) {
        double* low = box;
        double* high = box + dims_;
        for (size_t k = 0; k < dims_; ++k) low[k] = high[k] = xs_[k] + 0.0;
        for (index_t p = 0; p < n_; ++p) {
            double* row = &xs(p, 0);
            for (size_t k = 0; k < dims_; ++k) {
                row[k] += 0.0;
                if (row[k] < low[k]) low[k] = row[k];
                if (row[k] > high[k]) high[k] = row[k];
            }
        }
    }

    void make_leaf(index_t lo, index_t node) {
        tree_.node(node) = split_node{0.0, -1, -1, lo, 1};
        std::memcpy(tree_.center(node), &xs(lo, 0), dims_ * sizeof(double));
        tree_.order[at(lo)] = idx_[at(lo)];
    }

    // An inner node over positions lo .. lo + size with the given box; its
    // children are set by the caller.
    void make_node(index_t node, index_t lo, index_t size, const double* box) {
        double* center = tree_.center(node);
        double sum = 0.0;
        for (size_t k = 0; k < dims_; ++k) {
            const double low = box[k];
            const double high = box[dims_ + k];
            center[k] = (low + high) * 0.5;
            const double h = (high - low) * 0.5;
            sum = sum + h * h;
        }
        tree_.node(node) = split_node{std::sqrt(sum), -1, -1, lo, size};
    }

    // The round node's children: the next round (or the remainder) at
    // node + 1, the k points peeled after the rest - k that stay.
    index_t link_round(index_t node, index_t rest, index_t k) {
        const index_t right = node + 2 * (rest - k);
        tree_.node(node).left = node + 1;
        tree_.node(node).right = right;
        return right;
    }

    // The cut of a set with this box: the longest side (the first of equal
    // ones) and its middle.
    void choose_cut(const double* box, int32_t* dim, double* mid) const {
        double best = -1.0;
        size_t best_dim = 0;
        for (size_t k = 0; k < dims_; ++k) {
            const double extent = box[dims_ + k] - box[k];
            if (extent > best) {
                best = extent;
                best_dim = k;
            }
        }
        *dim = static_cast<int32_t>(best_dim);
        *mid = best * 0.5 + box[best_dim];
    }

    // Which end of the cut a round peels, with L points at or below mid
    // and H at or above it: the low end with L when L <= H, else the high
    // end with H. Points on mid go with the peeled end.
    static void choose_side(index_t at_or_below, index_t at_or_above, index_t count, bool* low_end, index_t* k) {
        *low_end = at_or_below <= at_or_above;
        *k = *low_end ? at_or_below : at_or_above;
        if (*k < 1 || *k >= count) throw coincident_points();
    }

    // Whether peeling k of `rest` points is skewed: k < rest / skew_ratio,
    // without a product that could overflow.
    static bool skewed(index_t k, index_t rest) { return k <= (rest - 1) / skew_ratio; }

    // One call of the construction over a set (see the comment at the top).
    void build_set(const build_task& task, workspace& ws) {
        if (task.count == 1) {
            make_leaf(task.lo, task.node);
            return;
        }
        if (task.presorted) {
            double* box = ws.box.data();
            std::copy(constant_box_.begin(), constant_box_.end(), box);
            for (const int32_t k : active_dims_) {
                box[k] = xs(sorted(k, task.lo), k);
                box[d_ + k] = xs(sorted(k, task.lo + task.count - 1), k);
            }
            if (task.count >= sorted_min && presorted_cut_is_skewed(task.lo, task.count, box)) {
                peel_on_lists(task.lo, task.count, task.count / 2, task.node, true, ws);
                return;
            }
        }
        partition_rounds(task, ws);
    }

    // The rounds of a call by partitioning. The round nodes chain through
    // `left`; round i's right child is the set it peels, placed at the top
    // of the round's positions, so that the leaf order (left subtree first)
    // is the positions' order.
    void partition_rounds(const build_task& task, workspace& ws) {
        const index_t lo = task.lo;
        const index_t half = task.count / 2;
        index_t rest = task.count;
        index_t node = task.node;
        double* box = ws.box.data();
        while (rest > half) {
            count_work(ws, rest);
            make_node(node, lo, rest, box);
            int32_t dim = 0;
            double mid = 0.0;
            choose_cut(box, &dim, &mid);
            index_t below = 0;
            index_t above = 0;
            for (index_t p = lo; p < lo + rest; ++p) {
                const double v = xs(p, dim);
                below += v <= mid;
                above += v >= mid;
            }
            bool low_end = false;
            index_t k = 0;
            choose_side(below, above, rest, &low_end, &k);
            if (rest >= sorted_min && skewed(k, rest)) {
                peel_on_lists(lo, rest, half, node, false, ws);
                return;
            }
            partition(lo, rest, k, dim, mid, low_end, box, ws.peeled_box.data());
            const index_t right = link_round(node, rest, k);
            push(ws, build_task{lo + rest - k, k, right, false}, ws.peeled_box.data());
            rest -= k;
            node += 1;
        }
        push(ws, build_task{lo, rest, node, false}, box);
    }

    // Whether the first cut of a presorted set peels under 1/skew_ratio of
    // it: the walk of both ends of the list of the cut's dimension.
    bool presorted_cut_is_skewed(index_t lo, index_t count, const double* box) {
        int32_t dim = 0;
        double mid = 0.0;
        choose_cut(box, &dim, &mid);
        if (active_index_[at(dim)] < 0) throw coincident_points();
        const index_t limit = count / skew_ratio;
        for (index_t c = 0; c <= limit; ++c) {
            if (xs(sorted(dim, lo + c), dim) > mid) return true;
            if (mid > xs(sorted(dim, lo + count - 1 - c), dim)) return true;
        }
        return false;
    }

    // Moves the k points of positions lo .. lo + count on the peeled side of
    // mid to the top of that range, and writes the boxes of both parts (the
    // rest's into `box`).
    void partition(index_t lo, index_t count, index_t k, int32_t dim, double mid, bool low_end, double* box,
                   double* peeled_box) {
        double* rest_low = box;
        double* rest_high = box + dims_;
        double* peel_low = peeled_box;
        double* peel_high = peeled_box + dims_;
        const double inf = std::numeric_limits<double>::infinity();
        for (size_t t = 0; t < dims_; ++t) {
            rest_low[t] = peel_low[t] = inf;
            rest_high[t] = peel_high[t] = -inf;
        }
        auto peeled = [&](index_t p) {
            const double v = xs(p, dim);
            return low_end ? v <= mid : v >= mid;
        };
        auto add = [&](index_t p, double* low, double* high) {
            const double* row = &xs(p, 0);
            for (size_t t = 0; t < dims_; ++t) {
                low[t] = row[t] < low[t] ? row[t] : low[t];
                high[t] = row[t] > high[t] ? row[t] : high[t];
            }
        };
        index_t i = lo;
        index_t j = lo + count - 1;
        for (;;) {
            while (i <= j && !peeled(i)) add(i++, rest_low, rest_high);
            while (i <= j && peeled(j)) add(j--, peel_low, peel_high);
            if (i >= j) break;
            swap_rows(i, j);
            add(i++, rest_low, rest_high);
            add(j--, peel_low, peel_high);
        }
        assert(i == lo + count - k);
        (void)k;
    }

    void swap_rows(index_t a, index_t b) {
        double* ra = &xs(a, 0);
        double* rb = &xs(b, 0);
        for (size_t t = 0; t < dims_; ++t) std::swap(ra[t], rb[t]);
        std::swap(idx_[at(a)], idx_[at(b)]);
    }

    // The rounds of a call on sorted lists, from the set at positions
    // lo .. lo + count and its node on, while more than `half` points remain
    // (see the comment at the top).
    void peel_on_lists(index_t lo, index_t count, index_t half, index_t node, bool presorted, workspace& ws) {
        open_lists(lo, count, presorted, ws);
        sorted_lists& lists = ws.lists;
        // group[u]: 0 while u remains, else the round that peeled it.
        ws.group.resize(lists.m);
        std::fill(ws.group.begin(), ws.group.end(), 0);
        ws.peeled.clear();
        std::vector<double> box(constant_box_);
        index_t rest = count;
        while (rest > half) {
            for (size_t a = 0; a < active_dims_.size(); ++a) {
                box[at(active_dims_[a])] = list_value(lists, lo, a, lists.head[a]);
                box[dims_ + at(active_dims_[a])] = list_value(lists, lo, a, lists.tail[a]);
            }
            make_node(node, lo, rest, box.data());
            int32_t dim = 0;
            double mid = 0.0;
            choose_cut(box.data(), &dim, &mid);
            const int32_t list = active_index_[at(dim)];
            if (list < 0) throw coincident_points();
            bool low_end = false;
            const index_t k = count_on_list(lists, lo, at(list), mid, rest, &low_end);
            unlink_peeled(ws, at(list), k, low_end, static_cast<index_t>(ws.peeled.size() + 1));
            const index_t right = link_round(node, rest, k);
            ws.peeled.push_back(peeled_set{lo + rest - k, k, right});
            rest -= k;
            node += 1;
            count_work(ws, k);
        }
        deal_out(lo, ws);
        for (const peeled_set& set : ws.peeled) push(ws, build_task{set.lo, set.count, set.node, true}, box.data());
        push(ws, build_task{lo, rest, node, true}, box.data());
    }

    // The coordinate of the point at place q of list a.
    double list_value(const sorted_lists& lists, index_t lo, size_t a, index_t q) {
        return xs(lo + lists.point_at[a * lists.m + at(q)], active_dims_[a]);
    }

    // The lists of positions lo .. lo + count: from sorted_ for a presorted
    // set, else by sorting each active dimension; all places linked.
    void open_lists(index_t lo, index_t count, bool presorted, workspace& ws) {
        sorted_lists& lists = ws.lists;
        const size_t m = at(count);
        const size_t active = active_dims_.size();
        lists.m = m;
        lists.point_at.resize(active * m);
        if (presorted) {
            for (size_t a = 0; a < active; ++a)
                for (size_t q = 0; q < m; ++q)
                    lists.point_at[a * m + q] = sorted(active_dims_[a], lo + static_cast<index_t>(q)) - lo;
        } else {
            for (size_t a = 0; a < active; ++a) {
                ws.keys.resize(m);
                ws.ids.resize(m);
                for (size_t u = 0; u < m; ++u) {
                    ws.keys[u] = sort_key(xs(lo + static_cast<index_t>(u), active_dims_[a]));
                    ws.ids[u] = static_cast<index_t>(u);
                }
                sort_by_key(ws.keys, ws.ids, ws.key_tmp, ws.id_tmp, stop_);
                std::copy(ws.ids.begin(), ws.ids.end(), lists.point_at.begin() + a * m);
            }
        }
        lists.place_of.resize(active * m);
        lists.next.resize(active * m);
        lists.prev.resize(active * m);
        lists.head.assign(active, 0);
        lists.tail.assign(active, count - 1);
        for (size_t a = 0; a < active; ++a) {
            for (size_t q = 0; q < m; ++q) {
                lists.place_of[a * m + at(lists.point_at[a * m + q])] = static_cast<index_t>(q);
                lists.next[a * m + q] = q + 1 < m ? static_cast<index_t>(q + 1) : -1;
                lists.prev[a * m + q] = static_cast<index_t>(q) - 1;
            }
        }
    }

    // The number of points a round peels, walking in from both ends of
    // list a until one end passes mid: the low end if its walk passes first
    // (*low_end), else the high end; points on mid go with the peeled end.
    index_t count_on_list(const sorted_lists& lists, index_t lo, size_t a, double mid, index_t rest, bool* low_end) {
        const size_t base = a * lists.m;
        index_t low = lists.head[a];
        index_t high = lists.tail[a];
        index_t k = 0;
        *low_end = false;
        for (;;) {
            if (list_value(lists, lo, a, low) > mid) {
                *low_end = true;
                break;
            }
            if (mid > list_value(lists, lo, a, high)) break;
            ++k;
            low = lists.next[base + at(low)];
            high = lists.prev[base + at(high)];
            if (low < 0 || high < 0) throw coincident_points();
        }
        if (k < 1 || k >= rest) throw coincident_points();
        return k;
    }

    // Unlinks the k points at the peeled end of list a from every list and
    // marks them as peeled by `round`.
    void unlink_peeled(workspace& ws, size_t a, index_t k, bool low_end, index_t round) {
        sorted_lists& lists = ws.lists;
        const size_t m = lists.m;
        index_t q = low_end ? lists.head[a] : lists.tail[a];
        for (index_t j = 0; j < k; ++j) {
            const index_t u = lists.point_at[a * m + at(q)];
            q = low_end ? lists.next[a * m + at(q)] : lists.prev[a * m + at(q)];
            ws.group[at(u)] = round;
            for (size_t t = 0; t < active_dims_.size(); ++t) {
                const size_t base = t * m;
                const index_t x = lists.place_of[base + at(u)];
                const index_t before = lists.prev[base + at(x)];
                const index_t after = lists.next[base + at(x)];
                if (before >= 0) lists.next[base + at(before)] = after;
                else lists.head[t] = after;
                if (after >= 0) lists.prev[base + at(after)] = before;
                else lists.tail[t] = before;
            }
        }
    }

    // The end of a call on sorted lists. The remainder keeps positions
    // lo .. lo + rest, the set of round i the ones given in ws.peeled.
    // Points take their new positions in the order of the first list, and
    // every list is dealt out in its own order into sorted_, so that each
    // new set is presorted.
    void deal_out(index_t lo, workspace& ws) {
        const sorted_lists& lists = ws.lists;
        const size_t m = lists.m;
        std::vector<index_t> cursor(ws.peeled.size() + 1);
        auto restart = [&] {
            cursor[0] = lo;
            for (size_t i = 0; i < ws.peeled.size(); ++i) cursor[i + 1] = ws.peeled[i].lo;
        };
        restart();
        ws.moved.resize(m);
        for (size_t q = 0; q < m; ++q) {
            const auto u = at(lists.point_at[q]);
            ws.moved[u] = cursor[at(ws.group[u])]++;
        }
        ws.rows.resize(m * dims_);
        ws.ids.resize(m);
        for (size_t u = 0; u < m; ++u) {
            const auto to = at(ws.moved[u] - lo);
            std::memcpy(&ws.rows[to * dims_], &xs(lo + static_cast<index_t>(u), 0), dims_ * sizeof(double));
            ws.ids[to] = idx_[at(lo) + u];
        }
        std::memcpy(&xs(lo, 0), ws.rows.data(), ws.rows.size() * sizeof(double));
        std::memcpy(&idx_[at(lo)], ws.ids.data(), m * sizeof(index_t));
        for (size_t a = 0; a < active_dims_.size(); ++a) {
            restart();
            for (size_t q = 0; q < m; ++q) {
                const auto u = at(lists.point_at[a * m + q]);
                sorted(active_dims_[a], cursor[at(ws.group[u])]++) = ws.moved[u];
            }
        }
    }

    const index_t n_;
    const int32_t d_;
    const size_t dims_;
    const int workers_;
    interrupt& stop_;
    split_tree& tree_;
    work_pool<shared_set>* pool_ = nullptr;
    // Working arrays by position: the points' coordinates and indices,
    // permuted as sets are cut so that every set is a range of positions.
    raw_array<double> xs_;
    raw_array<index_t> idx_;
    // For a presorted set at lo .. lo + count: sorted(k, lo .. lo + count)
    // are its positions ascending in coordinate k, for each k in
    // active_dims_.
    raw_array<index_t> sorted_;
    // The dimensions in which the points differ at all (active_index_ gives
    // a dimension's place among them, -1 for the others), and the box of all
    // points: in the other dimensions every set's box is the same, and
    // sorted lists are only kept for the active ones (points on a line in
    // space, say).
    std::vector<int32_t> active_dims_;
    std::vector<int32_t> active_index_;
    std::vector<double> constant_box_;
};

}  // namespace

split_tree build_split_tree(raw_array<double>& x, index_t n, int32_t d, int workers, interrupt& stop) {
    assert(n >= 1 && n <= max_points && d >= 1 && workers >= 1);
    split_tree tree;
    tree.n = n;
    tree.d = d;
    builder build(std::move(x), n, d, workers, stop, tree);
    try {
        build.run();
    } catch (const coincident_points&) {
        build.give_back(x);
        throw;
    }
    return tree;
}

split_tree build_split_tree(const double* x, index_t n, int32_t d, int workers, interrupt& stop) {
    raw_array<double> copy(at(n) * at(d));
    std::memcpy(copy.data(), x, copy.size() * sizeof(double));
    return build_split_tree(copy, n, d, workers, stop);
}
