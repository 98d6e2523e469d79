// SPDX-License-Identifier: MIT
#include "pair_search.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

#include "ordered_results.h"
#include "run_workers.h"

namespace {

using std::size_t;

// Searching the pairs between u and v; v < 0 stands for all pairs inside u.
struct search_task {
    int32_t u;
    int32_t v;
};

constexpr int64_t poll_steps = 1 << 16;

// Below this radius the squares summed for it fall under the normal range,
// where doubles lose their relative precision (a set of points 1e-170 apart
// gets radius 0): the test could pass for sets that are not separated, so
// such a pair is always split instead.
const double smallest_radius = std::sqrt(std::numeric_limits<double>::min());

// The search over one tree for one s. D is the dimension when it is small
// and known, 0 otherwise; the arithmetic is the same either way, in the
// same order.
template <int D>
class searcher {
public:
    searcher(const split_tree& tree, double s, interrupt& stop)
        : records_(tree.records.data()), d_(D > 0 ? D : tree.d), stride_(tree.node_stride()), s_(s), stop_(stop) {}

    const split_node& node(int32_t x) const {
        return *reinterpret_cast<const split_node*>(records_ + static_cast<size_t>(x) * stride());
    }
    const double* center(int32_t x) const {
        return records_ + static_cast<size_t>(x) * stride() + split_tree::node_values;
    }
    bool is_leaf(int32_t x) const { return node(x).size == 1; }

    // Inlined by hand: with a search per kind of sink, the compiler stops
    // inlining it by itself, which costs 4% of the search.
    __attribute__((always_inline)) bool separated(int32_t a, int32_t b) const {
        const split_node& u = node(a);
        const split_node& v = node(b);
        const double r = v.radius > u.radius ? v.radius : u.radius;
        if (!(r >= smallest_radius)) return false;
        const double* cu = center(a);
        const double* cv = center(b);
        double sum = 0.0;
        for (int32_t i = 0; i < (D > 0 ? D : d_); ++i) {
            const double diff = cu[i] - cv[i];
            sum = sum + diff * diff;
        }
        const double dist = std::sqrt(sum);
        return dist - (r + r) > r * s_;
    }

    // Whether u is the node to split when the pair (u, v) is not separated:
    // the one of larger radius, v on a tie, never a leaf.
    bool split_first(int32_t a, int32_t b) const {
        return is_leaf(b) || (!is_leaf(a) && node(a).radius > node(b).radius);
    }

    // The pairs between u and v, depth first. The pair to visit next is
    // kept in (u, v) rather than pushed and popped again.
    template <typename Sink>
    void pairs_between(int32_t u, int32_t v, Sink& out) {
        const size_t bottom = pair_stack_.size();
        for (;;) {
            if (++steps_ >= poll_steps) {
                steps_ = 0;
                stop_.poll();
            }
            const split_node& x = node(u);
            const split_node& y = node(v);
            // Two leaves are distinct points and always a pair, even when
            // their distance underflows to 0 and the test cannot tell them
            // apart.
            if ((x.size == 1 && y.size == 1) || separated(u, v)) {
                out.add(separated_pair{index_run{x.first_leaf, x.size}, index_run{y.first_leaf, y.size}});
                if (pair_stack_.size() == bottom) return;
                std::tie(u, v) = pair_stack_.back();
                pair_stack_.pop_back();
            } else if (y.size == 1 || (x.size != 1 && x.radius > y.radius)) {
                pair_stack_.emplace_back(x.left, v);
                u = x.right;
            } else {
                pair_stack_.emplace_back(u, y.left);
                v = y.right;
            }
        }
    }

    template <typename Sink>
    void pairs_inside(int32_t root, Sink& out) {
        std::vector<int32_t> stack{root};
        while (!stack.empty()) {
            const int32_t x = stack.back();
            stack.pop_back();
            if (is_leaf(x)) continue;
            pairs_between(node(x).left, node(x).right, out);
            stack.push_back(node(x).left);
            stack.push_back(node(x).right);
        }
    }

    template <typename Sink>
    void run(const search_task& task, Sink& out) {
        if (task.v < 0) pairs_inside(task.u, out);
        else pairs_between(task.u, task.v, out);
    }

    // Replaces a task by the tasks it consists of, in the order of their
    // pairs; a task that is a single pair stays whole.
    void expand(const search_task& task, std::vector<search_task>& into) const {
        const int32_t u = task.u;
        const int32_t v = task.v;
        if (v < 0) {
            if (is_leaf(u)) return;
            into.push_back(search_task{node(u).left, node(u).right});
            into.push_back(search_task{node(u).right, -1});
            into.push_back(search_task{node(u).left, -1});
        } else if ((is_leaf(u) && is_leaf(v)) || separated(u, v)) {
            into.push_back(task);
        } else if (split_first(u, v)) {
            into.push_back(search_task{node(u).right, v});
            into.push_back(search_task{node(u).left, v});
        } else {
            into.push_back(search_task{u, node(v).right});
            into.push_back(search_task{u, node(v).left});
        }
    }

    int64_t weight(const search_task& task) const {
        if (task.v < 0) return node(task.u).size;
        return int64_t{node(task.u).size} + node(task.v).size;
    }

private:
    size_t stride() const { return D > 0 ? split_tree::node_values + D : stride_; }

    const double* records_;
    const int32_t d_;
    const size_t stride_;
    const double s_;
    interrupt& stop_;
    std::vector<std::pair<int32_t, int32_t>> pair_stack_;
    int64_t steps_ = 0;
};

// The whole search cut into tasks in the order of their pairs, small
// enough for `workers` threads to share evenly.
template <int D>
std::vector<search_task> plan(searcher<D>& search, int32_t n, int workers) {
    const int64_t limit = std::max<int64_t>(n / (32 * workers), 1024);
    std::vector<search_task> tasks{search_task{0, -1}};
    std::vector<search_task> next;
    for (bool changed = true; changed;) {
        changed = false;
        next.clear();
        for (const search_task& task : tasks) {
            if (search.weight(task) > limit) {
                const size_t before = next.size();
                search.expand(task, next);
                changed = changed || next.size() != before + 1 || next.back().u != task.u || next.back().v != task.v;
            } else {
                next.push_back(task);
            }
        }
        tasks.swap(next);
    }
    return tasks;
}

// Runs the tasks on the workers, each writing into the sink that results
// gives it for the task. The calling thread takes them one by one from the
// front; the others take runs from the back, a share of what is left, and
// go through each run in order, so that a worker's output comes in a few
// long stretches.
template <int D, typename Results>
void run_tasks(const split_tree& tree, double s, int workers, interrupt& stop, const std::vector<search_task>& tasks,
               Results& results) {
    std::mutex claim;
    size_t front = 0;
    size_t back = tasks.size();
    const size_t share = 4 * static_cast<size_t>(workers);
    run_workers(workers, [&](int w, const std::atomic<bool>& failed) {
        searcher<D> search(tree, s, stop);
        for (;;) {
            size_t first = 0;
            size_t end = 0;
            {
                std::lock_guard<std::mutex> lock(claim);
                if (front == back || failed.load()) return;
                if (w == 0) {
                    first = front++;
                    end = front;
                } else {
                    end = back;
                    back -= std::max<size_t>(1, (back - front) / share);
                    first = back;
                }
            }
            for (size_t i = first; i < end; ++i) {
                search.run(tasks[i], results.begin_task(w, i));
                results.end_task(w);
            }
        }
    });
}

template <int D>
std::vector<search_task> plan_for(const split_tree& tree, double s, int workers, interrupt& stop) {
    searcher<D> search(tree, s, stop);
    return plan(search, tree.n, workers);
}

// Below this many points one worker does the whole search.
constexpr int32_t shared_search_points = 4096;

template <int D>
raw_array<separated_pair> search_all(const split_tree& tree, double s, int workers, interrupt& stop) {
    if (workers <= 1 || tree.n < shared_search_points) {
        raw_array<separated_pair> out;
        array_sink sink{out};
        try {
            searcher<D>(tree, s, stop).pairs_inside(0, sink);
        } catch (const allocation_failure& e) {
            throw pairs_out_of_memory(out.size(), e.bytes);
        }
        return out;
    }
    const std::vector<search_task> tasks = plan_for<D>(tree, s, workers, stop);
    ordered_pairs results(workers);
    try {
        run_tasks<D>(tree, s, workers, stop, tasks, results);
        const size_t stretches = results.prepare();
        // No threads start for one stretch or none.
        std::atomic<size_t> next{0};
        run_workers(static_cast<int>(std::min<size_t>(static_cast<size_t>(workers), stretches)),
                    [&](int, const std::atomic<bool>&) {
                        for (size_t i = next++; i < stretches; i = next++) results.align(i);
                    });
        return results.finish();
    } catch (const allocation_failure& e) {
        throw pairs_out_of_memory(results.pairs(), e.bytes);
    }
}

// One counting sink per worker, each on a cache line of its own.
struct counting_results {
    struct alignas(64) slot {
        counting_sink sink;
    };
    explicit counting_results(int workers) : slots(static_cast<size_t>(workers)) {}
    counting_sink& begin_task(int w, size_t) { return slots[static_cast<size_t>(w)].sink; }
    void end_task(int) {}
    std::vector<slot> slots;
};

template <int D>
pair_count count_all(const split_tree& tree, double s, int workers, interrupt& stop) {
    if (workers <= 1 || tree.n < shared_search_points) {
        counting_sink sink;
        searcher<D>(tree, s, stop).pairs_inside(0, sink);
        return sink.count;
    }
    counting_results results(workers);
    run_tasks<D>(tree, s, workers, stop, plan_for<D>(tree, s, workers, stop), results);
    pair_count total;
    for (const auto& slot : results.slots) {
        total.pairs += slot.sink.count.pairs;
        total.points += slot.sink.count.points;
    }
    return total;
}

// Digits with a comma every three, as printed in messages.
void put_thousands(char* at, size_t room, size_t value) {
    char digits[24];
    const int length = std::snprintf(digits, sizeof digits, "%zu", value);
    size_t j = 0;
    for (int i = 0; i < length && j + 2 < room; ++i) {
        if (i > 0 && (length - i) % 3 == 0) at[j++] = ',';
        at[j++] = digits[i];
    }
    at[j] = '\0';
}

}  // namespace

raw_array<separated_pair> search_pairs(const split_tree& tree, double s, int workers, interrupt& stop) {
    switch (tree.d) {
        case 1: return search_all<1>(tree, s, workers, stop);
        case 2: return search_all<2>(tree, s, workers, stop);
        case 3: return search_all<3>(tree, s, workers, stop);
        default: return search_all<0>(tree, s, workers, stop);
    }
}

pair_count count_pairs(const split_tree& tree, double s, int workers, interrupt& stop) {
    switch (tree.d) {
        case 1: return count_all<1>(tree, s, workers, stop);
        case 2: return count_all<2>(tree, s, workers, stop);
        case 3: return count_all<3>(tree, s, workers, stop);
        default: return count_all<0>(tree, s, workers, stop);
    }
}

pairs_out_of_memory::pairs_out_of_memory(size_t found, size_t wanted) : pairs(found), bytes(wanted) {
    char found_text[32];
    char wanted_text[32];
    put_thousands(found_text, sizeof found_text, found);
    put_thousands(wanted_text, sizeof wanted_text, wanted);
    std::snprintf(message_, sizeof message_,
                  "the decomposition needs more memory: %s pairs found, the next step wanted %s bytes", found_text,
                  wanted_text);
}
