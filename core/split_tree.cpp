// SPDX-License-Identifier: MIT
#include "split_tree.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

using std::size_t;

// A set of points waiting for its subtree: positions lo .. lo + count of
// the working arrays, the subtree's root at node `node`. A set whose points
// are also listed ascending in every dimension (`listed`, see builder::ranked)
// may use them; any other set knows its bounding box.
struct build_task {
    int32_t lo;
    int32_t count;
    int32_t node;
    bool listed;
};

// Splits with a peeled side under 1/skew_ratio of the set are skewed: cutting
// such a set by partitioning would cost a pass over it per round. From
// sorted_min points on, a call meeting one continues on sorted lists, whose
// rounds cost only what they peel.
constexpr int32_t skew_ratio = 8;
constexpr int32_t sorted_min = 256;
// Sets from this size on may go to another worker.
constexpr int32_t shared_min = 16384;
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
void sort_by_key(raw_array<uint64_t>& keys, raw_array<int32_t>& ids, raw_array<uint64_t>& key_tmp,
                 raw_array<int32_t>& id_tmp, interrupt& stop) {
    const size_t count = keys.size();
    if (count < 1024) {
        std::vector<std::pair<uint64_t, int32_t>> both(count);
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
            const uint32_t at = histogram[(keys[i] >> shift) & 0xffff]++;
            key_tmp[at] = keys[i];
            id_tmp[at] = ids[i];
        }
        std::swap(keys, key_tmp);
        std::swap(ids, id_tmp);
    }
}

// What one worker reuses from set to set: its stack of sets with their
// boxes (2d values each), and the scratch arrays of the sorted rounds.
struct workspace {
    std::vector<build_task> stack;
    std::vector<double> boxes;
    std::vector<double> box;
    std::vector<double> peeled_box;
    raw_array<int32_t> lists, where, next, prev, group, moved, ids, id_tmp;
    raw_array<uint64_t> keys, key_tmp;
    raw_array<double> rows;
};

class builder {
public:
    builder(raw_array<double>&& x, int32_t n, int32_t d, int workers, interrupt& stop, split_tree& tree)
        : n_(n), d_(d), dims_(static_cast<size_t>(d)), workers_(workers), stop_(stop), tree_(tree),
          xs_(std::move(x)) {
        assert(xs_.size() == static_cast<size_t>(n) * dims_);
        idx_.resize(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i) idx_[static_cast<size_t>(i)] = i;
        tree.records.resize(tree.node_count() * tree.node_stride());
        tree.order.resize(static_cast<size_t>(n));
        // Address space only: pages are touched by the sets that use them.
        ranked_.resize(dims_ * static_cast<size_t>(n));
    }

    void run() {
        std::vector<double> box(2 * dims_);
        bounding_box(box.data());
        constant_box_ = box;
        line_of_.assign(dims_, -1);
        for (int32_t k = 0; k < d_; ++k) {
            if (box[dims_ + static_cast<size_t>(k)] > box[static_cast<size_t>(k)]) {
                line_of_[static_cast<size_t>(k)] = static_cast<int32_t>(active_.size());
                active_.push_back(k);
            }
        }
        shared_.push_back(shared_task{build_task{0, n_, 0, false}, std::move(box)});
        const int helpers = std::min(workers_ - 1, n_ / shared_min);
        std::vector<std::thread> threads;
        try {
            for (int w = 0; w < helpers; ++w) threads.emplace_back([this] { work(); });
        } catch (...) {
            fail(std::current_exception());
        }
        work();
        for (auto& t : threads) t.join();
        if (error_) std::rethrow_exception(error_);
    }

    // The working values back in input order. Sets are split in place, and
    // every worker stops between two sets, so that positions and indices
    // always move together.
    void give_back(raw_array<double>& x) {
        x.resize(xs_.size());
        for (size_t p = 0; p < idx_.size(); ++p)
            std::memcpy(&x[static_cast<size_t>(idx_[p]) * dims_], &xs_[p * dims_], dims_ * sizeof(double));
    }

private:
    struct shared_task {
        build_task task;
        std::vector<double> box;  // low[0..d), then high[0..d); empty for listed sets
    };

    double& xs(int32_t pos, int32_t k) { return xs_[static_cast<size_t>(pos) * dims_ + static_cast<size_t>(k)]; }
    int32_t& ranked(int32_t k, int32_t pos) {
        return ranked_[static_cast<size_t>(k) * static_cast<size_t>(n_) + static_cast<size_t>(pos)];
    }

    void fail(std::exception_ptr e) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!error_) error_ = std::move(e);
        failed_ = true;
        wake_.notify_all();
    }

    // One worker: takes shared sets until all are built (or a worker failed).
    void work() {
        workspace ws;
        ws.box.resize(2 * dims_);
        ws.peeled_box.resize(2 * dims_);
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (failed_) return;
            if (!shared_.empty()) {
                shared_task item = std::move(shared_.back());
                shared_.pop_back();
                ++busy_;
                lock.unlock();
                try {
                    ws.stack.assign(1, item.task);
                    ws.boxes = std::move(item.box);
                    ws.boxes.resize(2 * dims_);
                    build_all(ws);
                } catch (...) {
                    fail(std::current_exception());
                }
                lock.lock();
                --busy_;
                wake_.notify_all();
                continue;
            }
            if (busy_ == 0) return;
            wake_.wait_for(lock, std::chrono::milliseconds(20));
            if (!failed_) {
                lock.unlock();
                try {
                    stop_.poll();
                } catch (...) {
                    fail(std::current_exception());
                }
                lock.lock();
            }
        }
    }

    // Builds the subtrees of the sets on `stack` (their boxes on `boxes`,
    // 2d values each), handing large sets to idle workers.
    void build_all(workspace& ws) {
        std::vector<build_task>& stack = ws.stack;
        std::vector<double>& boxes = ws.boxes;
        std::vector<double>& box = ws.box;
        while (!stack.empty()) {
            const build_task task = stack.back();
            stack.pop_back();
            std::copy(boxes.end() - static_cast<std::ptrdiff_t>(2 * dims_), boxes.end(), box.begin());
            boxes.resize(boxes.size() - 2 * dims_);
            if (failed_.load(std::memory_order_relaxed)) return;
            const size_t first_child = stack.size();
            split_set(task, box.data(), ws);
            if (workers_ > 1) share(stack, boxes, first_child);
        }
    }

    // Moves large sets made by the last split from the local stack to the
    // shared one while workers wait for work.
    void share(std::vector<build_task>& stack, std::vector<double>& boxes, size_t first_child) {
        for (size_t i = first_child; i < stack.size();) {
            if (stack[i].count < shared_min || waiting() == 0) {
                ++i;
                continue;
            }
            const auto at = boxes.begin() + static_cast<std::ptrdiff_t>(i * 2 * dims_);
            shared_task item{stack[i], std::vector<double>(at, at + static_cast<std::ptrdiff_t>(2 * dims_))};
            stack.erase(stack.begin() + static_cast<std::ptrdiff_t>(i));
            boxes.erase(at, at + static_cast<std::ptrdiff_t>(2 * dims_));
            std::lock_guard<std::mutex> lock(mutex_);
            shared_.push_back(std::move(item));
            wake_.notify_one();
        }
    }

    int waiting() {
        std::lock_guard<std::mutex> lock(mutex_);
        return workers_ - busy_ - static_cast<int>(shared_.size());
    }

    void push(std::vector<build_task>& stack, std::vector<double>& boxes, const build_task& task,
              const double* box) {
        stack.push_back(task);
        boxes.insert(boxes.end(), box, box + 2 * dims_);
    }

    // The smallest box around positions lo .. lo + count.
    // The box of all points, in the pass that also turns every -0.0 into
    // 0.0 (adding 0.0 leaves other values as they are): boxes then do not
    // depend on which of two equal zeros a scan meets first, and neither
    // does the sign of a zero centre.
    void bounding_box(double* box) {
        double* low = box;
        double* high = box + dims_;
        for (size_t k = 0; k < dims_; ++k) low[k] = high[k] = xs_[k] + 0.0;
        for (int32_t p = 0; p < n_; ++p) {
            double* row = &xs(p, 0);
            for (size_t k = 0; k < dims_; ++k) {
                row[k] += 0.0;
                if (row[k] < low[k]) low[k] = row[k];
                if (row[k] > high[k]) high[k] = row[k];
            }
        }
    }

    void make_leaf(int32_t lo, int32_t node) {
        tree_.node(node) = split_node{0.0, -1, -1, lo, 1};
        std::memcpy(tree_.center(node), &xs(lo, 0), dims_ * sizeof(double));
        tree_.order[static_cast<size_t>(lo)] = idx_[static_cast<size_t>(lo)];
    }

    // An inner node over positions lo .. lo + size with the given box; its
    // children are set by the caller.
    void make_node(int32_t node, int32_t lo, int32_t size, const double* box) {
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

    // Which end is peeled, and how many points: with L points at or below
    // mid and H at or above it, the low end with L when L <= H, else the
    // high end with H. Points on mid go with the peeled end.
    static void choose_side(int32_t at_or_below, int32_t at_or_above, int32_t count, bool* low_end, int32_t* k) {
        *low_end = at_or_below <= at_or_above;
        *k = *low_end ? at_or_below : at_or_above;
        if (*k < 1 || *k >= count) throw coincident_points();
    }

    // One call of the construction over a set of two or more points. The
    // round nodes chain through `left`; round i's right child is the set it
    // peels, placed at the top of the round's positions, so that the leaf
    // order (left subtree first) is the positions' order.
    void split_set(const build_task& task, double* box, workspace& ws) {
        std::vector<build_task>& stack = ws.stack;
        std::vector<double>& boxes = ws.boxes;
        if (task.count == 1) {
            make_leaf(task.lo, task.node);
            return;
        }
        const int32_t lo = task.lo;
        const int32_t half = task.count / 2;
        int32_t rest = task.count;
        int32_t node = task.node;
        if (task.listed) {
            std::copy(constant_box_.begin(), constant_box_.end(), box);
            for (const int32_t k : active_) {
                box[k] = xs(ranked(k, lo), k);
                box[d_ + k] = xs(ranked(k, lo + rest - 1), k);
            }
            if (rest >= sorted_min && listed_split_is_skewed(lo, rest, box)) {
                sorted_rounds(lo, rest, half, node, true, ws);
                return;
            }
        }
        std::vector<double>& peeled_box = ws.peeled_box;
        while (rest > half) {
            // A round passes over the whole set twice.
            work_ += rest;
            if (work_ >= poll_work) {
                work_ = 0;
                stop_.poll();
            }
            make_node(node, lo, rest, box);
            int32_t dim = 0;
            double mid = 0.0;
            choose_cut(box, &dim, &mid);
            int32_t below = 0;
            int32_t above = 0;
            for (int32_t p = lo; p < lo + rest; ++p) {
                const double v = xs(p, dim);
                below += v <= mid;
                above += v >= mid;
            }
            bool low_end = false;
            int32_t k = 0;
            choose_side(below, above, rest, &low_end, &k);
            if (rest >= sorted_min && k * skew_ratio < rest) {
                sorted_rounds(lo, rest, half, node, false, ws);
                return;
            }
            partition(lo, rest, k, dim, mid, low_end, box, peeled_box.data());
            const int32_t right = node + 2 * (rest - k);
            tree_.node(node).left = node + 1;
            tree_.node(node).right = right;
            push(stack, boxes, build_task{lo + rest - k, k, right, false}, peeled_box.data());
            rest -= k;
            node += 1;
        }
        push(stack, boxes, build_task{lo, rest, node, false}, box);
    }

    // Whether the first split of a listed set peels under 1/skew_ratio of it:
    // the walk of both ends of the list of the cut's dimension.
    bool listed_split_is_skewed(int32_t lo, int32_t count, const double* box) {
        int32_t dim = 0;
        double mid = 0.0;
        choose_cut(box, &dim, &mid);
        if (line_of_[static_cast<size_t>(dim)] < 0) throw coincident_points();
        const int32_t limit = count / skew_ratio;
        for (int32_t c = 0; c <= limit; ++c) {
            if (xs(ranked(dim, lo + c), dim) > mid) return true;
            if (mid > xs(ranked(dim, lo + count - 1 - c), dim)) return true;
        }
        return false;
    }

    // Moves the k points of positions lo .. lo + count on the peeled side of
    // mid to the top of that range, and writes the boxes of both parts (the
    // rest's into `box`).
    void partition(int32_t lo, int32_t count, int32_t k, int32_t dim, double mid, bool low_end, double* box,
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
        auto peeled = [&](int32_t p) {
            const double v = xs(p, dim);
            return low_end ? v <= mid : v >= mid;
        };
        auto add = [&](int32_t p, double* low, double* high) {
            const double* row = &xs(p, 0);
            for (size_t t = 0; t < dims_; ++t) {
                low[t] = row[t] < low[t] ? row[t] : low[t];
                high[t] = row[t] > high[t] ? row[t] : high[t];
            }
        };
        int32_t i = lo;
        int32_t j = lo + count - 1;
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

    void swap_rows(int32_t a, int32_t b) {
        double* ra = &xs(a, 0);
        double* rb = &xs(b, 0);
        for (size_t t = 0; t < dims_; ++t) std::swap(ra[t], rb[t]);
        std::swap(idx_[static_cast<size_t>(a)], idx_[static_cast<size_t>(b)]);
    }

    // The rounds of a call from the set at positions lo .. lo + count on,
    // while more than `half` points remain, on per-dimension lists: doubly
    // linked, ascending, so that a round finds its cut from the lists' ends
    // and unlinks only what it peels. The lists come from `ranked` (listed)
    // or from sorting. One pass per dimension then deals the points to the
    // new sets in list order, so that they are listed too.
    void sorted_rounds(int32_t lo, int32_t count, int32_t half, int32_t node, bool listed, workspace& ws) {
        const size_t m = static_cast<size_t>(count);
        const size_t lines = active_.size();
        // One list per dimension in which the points differ at all, over
        // list positions q: lists[a*m + q] is a point (as position - lo) of
        // list a, where[a*m + u] its position there.
        raw_array<int32_t>& lists = ws.lists;
        lists.resize(lines * m);
        if (listed) {
            for (size_t a = 0; a < lines; ++a)
                for (size_t q = 0; q < m; ++q) lists[a * m + q] = ranked(active_[a], lo + static_cast<int32_t>(q)) - lo;
        } else {
            raw_array<uint64_t>& keys = ws.keys;
            raw_array<int32_t>& ids = ws.ids;
            for (size_t a = 0; a < lines; ++a) {
                keys.resize(m);
                ids.resize(m);
                for (size_t u = 0; u < m; ++u) {
                    keys[u] = sort_key(xs(lo + static_cast<int32_t>(u), active_[a]));
                    ids[u] = static_cast<int32_t>(u);
                }
                sort_by_key(keys, ids, ws.key_tmp, ws.id_tmp, stop_);
                std::copy(ids.begin(), ids.end(), lists.begin() + a * m);
            }
        }
        raw_array<int32_t>& where = ws.where;
        raw_array<int32_t>& next = ws.next;
        raw_array<int32_t>& prev = ws.prev;
        where.resize(lines * m);
        next.resize(lines * m);
        prev.resize(lines * m);
        std::vector<int32_t> head(lines, 0);
        std::vector<int32_t> tail(lines, count - 1);
        for (size_t a = 0; a < lines; ++a) {
            for (size_t q = 0; q < m; ++q) {
                where[a * m + static_cast<size_t>(lists[a * m + q])] = static_cast<int32_t>(q);
                next[a * m + q] = q + 1 < m ? static_cast<int32_t>(q + 1) : -1;
                prev[a * m + q] = static_cast<int32_t>(q) - 1;
            }
        }
        auto value = [&](size_t a, int32_t q) { return xs(lo + lists[a * m + static_cast<size_t>(q)], active_[a]); };

        // group[u]: 0 while u remains, else the round that peeled it.
        raw_array<int32_t>& group = ws.group;
        group.resize(m);
        std::fill(group.begin(), group.end(), 0);
        struct peeled_set {
            int32_t lo;
            int32_t count;
            int32_t node;
        };
        std::vector<peeled_set> peeled;
        std::vector<double> box(constant_box_);
        int32_t rest = count;
        while (rest > half) {
            for (size_t a = 0; a < lines; ++a) {
                box[static_cast<size_t>(active_[a])] = value(a, head[a]);
                box[dims_ + static_cast<size_t>(active_[a])] = value(a, tail[a]);
            }
            make_node(node, lo, rest, box.data());
            int32_t dim = 0;
            double mid = 0.0;
            choose_cut(box.data(), &dim, &mid);
            const int32_t line = line_of_[static_cast<size_t>(dim)];
            if (line < 0) throw coincident_points();
            const size_t list = static_cast<size_t>(line);
            int32_t a = head[list];
            int32_t b = tail[list];
            int32_t k = 0;
            bool low_end = false;
            for (;;) {
                if (value(list, a) > mid) {
                    low_end = true;
                    break;
                }
                if (mid > value(list, b)) break;
                ++k;
                a = next[list * m + static_cast<size_t>(a)];
                b = prev[list * m + static_cast<size_t>(b)];
                if (a < 0 || b < 0) throw coincident_points();
            }
            if (k < 1 || k >= rest) throw coincident_points();
            const auto round = static_cast<int32_t>(peeled.size() + 1);
            int32_t q = low_end ? head[list] : tail[list];
            for (int32_t j = 0; j < k; ++j) {
                const int32_t u = lists[list * m + static_cast<size_t>(q)];
                q = low_end ? next[list * m + static_cast<size_t>(q)] : prev[list * m + static_cast<size_t>(q)];
                group[static_cast<size_t>(u)] = round;
                for (size_t t = 0; t < lines; ++t) {
                    const size_t base = t * m;
                    const int32_t x = where[base + static_cast<size_t>(u)];
                    const int32_t before = prev[base + static_cast<size_t>(x)];
                    const int32_t after = next[base + static_cast<size_t>(x)];
                    if (before >= 0) next[base + static_cast<size_t>(before)] = after;
                    else head[t] = after;
                    if (after >= 0) prev[base + static_cast<size_t>(after)] = before;
                    else tail[t] = before;
                }
            }
            const int32_t right = node + 2 * (rest - k);
            tree_.node(node).left = node + 1;
            tree_.node(node).right = right;
            peeled.push_back(peeled_set{lo + rest - k, k, right});
            rest -= k;
            node += 1;
            work_ += k;
            if (work_ >= poll_work) {
                work_ = 0;
                stop_.poll();
            }
        }

        // Distribution. The remainder keeps positions lo .. lo + rest; the
        // set of round i the ones given above. Points take their new
        // positions in the order of the first list, and every list is dealt
        // out in its own order, so that each new set is listed.
        std::vector<int32_t> cursor(peeled.size() + 1);
        auto restart = [&] {
            cursor[0] = lo;
            for (size_t i = 0; i < peeled.size(); ++i) cursor[i + 1] = peeled[i].lo;
        };
        restart();
        raw_array<int32_t>& moved = ws.moved;
        moved.resize(m);
        for (size_t q = 0; q < m; ++q) {
            const auto u = static_cast<size_t>(lists[q]);
            moved[u] = cursor[static_cast<size_t>(group[u])]++;
        }
        {
            raw_array<double>& rows = ws.rows;
            raw_array<int32_t>& ids = ws.ids;
            rows.resize(m * dims_);
            ids.resize(m);
            for (size_t u = 0; u < m; ++u) {
                const auto to = static_cast<size_t>(moved[u] - lo);
                std::memcpy(&rows[to * dims_], &xs(lo + static_cast<int32_t>(u), 0), dims_ * sizeof(double));
                ids[to] = idx_[static_cast<size_t>(lo) + u];
            }
            std::memcpy(&xs(lo, 0), rows.data(), rows.size() * sizeof(double));
            std::memcpy(&idx_[static_cast<size_t>(lo)], ids.data(), m * sizeof(int32_t));
        }
        for (size_t a = 0; a < lines; ++a) {
            restart();
            for (size_t q = 0; q < m; ++q) {
                const auto u = static_cast<size_t>(lists[a * m + q]);
                ranked(active_[a], cursor[static_cast<size_t>(group[u])]++) = moved[u];
            }
        }
        for (const peeled_set& set : peeled) push(ws.stack, ws.boxes, build_task{set.lo, set.count, set.node, true}, box.data());
        push(ws.stack, ws.boxes, build_task{lo, rest, node, true}, box.data());
    }

    const int32_t n_;
    const int32_t d_;
    const size_t dims_;
    const int workers_;
    interrupt& stop_;
    split_tree& tree_;
    // Working arrays by position: the points' coordinates and indices,
    // permuted as sets are cut so that every set is a range of positions.
    raw_array<double> xs_;
    raw_array<int32_t> idx_;
    // For listed sets: ranked(t, lo .. lo + count) are the set's positions
    // ascending in coordinate t, for the dimensions in active_.
    raw_array<int32_t> ranked_;
    // The dimensions in which the points differ at all (line_of_ gives
    // their place in active_, -1 for the others), and the box of all points:
    // in the other dimensions every set's box is the same, and sorted lists
    // are only kept for the active ones (points on a line in space, say).
    std::vector<int32_t> active_;
    std::vector<int32_t> line_of_;
    std::vector<double> constant_box_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<shared_task> shared_;
    int busy_ = 0;
    std::atomic<bool> failed_{false};
    std::exception_ptr error_;
    static thread_local int64_t work_;
};

thread_local int64_t builder::work_ = 0;

}  // namespace

split_tree build_split_tree(raw_array<double>& x, int32_t n, int32_t d, int workers, interrupt& stop) {
    assert(n >= 1 && d >= 1 && workers >= 1);
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

split_tree build_split_tree(const double* x, int32_t n, int32_t d, int workers, interrupt& stop) {
    raw_array<double> copy(static_cast<size_t>(n) * static_cast<size_t>(d));
    std::memcpy(copy.data(), x, copy.size() * sizeof(double));
    return build_split_tree(copy, n, d, workers, stop);
}
