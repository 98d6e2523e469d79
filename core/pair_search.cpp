// SPDX-License-Identifier: MIT
#include "pair_search.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

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

    bool separated(int32_t a, int32_t b) const {
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
    void pairs_between(int32_t u, int32_t v, raw_array<separated_pair>& out) {
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
                out.push_back(separated_pair{index_run{x.first_leaf, x.size}, index_run{y.first_leaf, y.size}});
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

    void pairs_inside(int32_t root, raw_array<separated_pair>& out) {
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

    void run(const search_task& task, raw_array<separated_pair>& out) {
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

// Runs body(w, failed) on `workers` threads at once, the calling one as
// w = 0. `failed` turns true when a worker has thrown; the first exception
// is thrown again here once all have returned.
template <typename Body>
void run_workers(int workers, const Body& body) {
    std::exception_ptr error;
    std::mutex error_mutex;
    std::atomic<bool> failed{false};
    auto work = [&](int w) {
        try {
            body(w, failed);
        } catch (...) {
            std::lock_guard<std::mutex> lock(error_mutex);
            if (!error) error = std::current_exception();
            failed = true;
        }
    };
    std::vector<std::thread> threads;
    try {
        for (int w = 1; w < workers; ++w) threads.emplace_back(work, w);
    } catch (...) {
        for (auto& t : threads) t.join();
        throw;
    }
    work(0);
    for (auto& t : threads) t.join();
    if (error) std::rethrow_exception(error);
}

constexpr size_t page = 4096;

// Pairs written from the top of a mapping downwards: a worker that takes
// tasks in descending order holds their pairs in ascending order. Below the
// lowest pair there is always at least a page to spare.
class falling_buffer {
public:
    explicit falling_buffer(size_t pairs) { reserve(pairs * sizeof(separated_pair)); }
    falling_buffer(const falling_buffer&) = delete;
    falling_buffer& operator=(const falling_buffer&) = delete;
    ~falling_buffer() {
        if (base_ != nullptr) munmap(base_, bytes_);
    }

    void prepend(const separated_pair* pairs, size_t count) {
        const size_t need = count * sizeof(separated_pair);
        if (low_ < need + page) reserve(2 * (bytes_ + need));
        low_ -= need;
        if (need > 0) std::memcpy(base_ + low_, pairs, need);
    }
    char* begin() { return base_ + low_; }
    size_t bytes() const { return bytes_ - low_; }

private:
    // A larger mapping, the pairs so far moved to its top.
    void reserve(size_t bytes) {
        bytes = (bytes + page + page - 1) / page * page;
        void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (block == MAP_FAILED) throw std::bad_alloc();
        auto* base = static_cast<char*>(block);
        const size_t used = bytes_ - low_;
        if (used > 0) std::memcpy(base + bytes - used, base_ + low_, used);
        if (base_ != nullptr) munmap(base_, bytes_);
        base_ = base;
        low_ = bytes - used;
        bytes_ = bytes;
    }

    char* base_ = nullptr;
    size_t bytes_ = 0;
    size_t low_ = 0;  // offset of the lowest pair
};

// Moves `length` bytes at `from` down by `shift` (under a page), the two
// halves on two threads. The upper half lands on the last `shift` bytes of
// the lower half's source, which are therefore read first.
void shift_down(char* from, size_t length, size_t shift) {
    if (length < (size_t{1} << 22)) {
        std::memmove(from - shift, from, length);
        return;
    }
    const size_t half = length / 2;
    std::vector<char> seam(from + half - shift, from + half);
    std::thread upper([=] { std::memmove(from + half - shift, from + half, length - half); });
    std::memmove(from - shift, from, half - shift);
    std::memcpy(from + half - 2 * shift, seam.data(), shift);
    upper.join();
}

// Appends the pairs of `tail` to `out`. Where `out` is a mapping, whole
// pages of `tail` are moved into it rather than copied: first the pairs are
// shifted within `tail` by under a page so that both sides share their
// offset within a page, then the page that holds the seam is copied and
// the rest moved by mremap. Copying fresh memory costs as much as
// searching here; moving pages costs next to nothing.
void append_moving_pages(raw_array<separated_pair>& out, falling_buffer& tail) {
    const size_t first = out.size();
    const size_t length = tail.bytes();
    out.resize(first + length / sizeof(separated_pair));
    char* to = reinterpret_cast<char*>(out.data() + first);
    char* from = tail.begin();
    if (!out.in_mapping() || length < 4 * page) {
        if (length > 0) std::memcpy(to, from, length);
        return;
    }
    const size_t shift = (reinterpret_cast<uintptr_t>(from) - reinterpret_cast<uintptr_t>(to)) % page;
    if (shift != 0) {
        shift_down(from, length, shift);
        from -= shift;
    }
    const size_t head = (page - reinterpret_cast<uintptr_t>(to) % page) % page;
    std::memcpy(to, from, head);
    const size_t body = (length - head) / page * page;
    if (mremap(from + head, body, body, MREMAP_MAYMOVE | MREMAP_FIXED, to + head) == MAP_FAILED)
        std::memcpy(to + head, from + head, body);
    std::memcpy(to + head + body, from + head + body, length - head - body);
}

template <int D>
raw_array<separated_pair> search_all(const split_tree& tree, double s, int workers, interrupt& stop) {
    raw_array<separated_pair> out;
    if (workers <= 1 || tree.n < 4096) {
        searcher<D> search(tree, s, stop);
        search.pairs_inside(0, out);
        return out;
    }
    std::vector<search_task> tasks;
    {
        searcher<D> search(tree, s, stop);
        tasks = plan(search, tree.n, workers);
    }
    // The calling thread takes tasks from the front and writes their pairs
    // straight into the result; the others take them from the back. With
    // two workers, the second writes into a falling buffer whose pages then
    // move into the result; with more, each keeps its tasks' pairs as
    // stretches of a buffer of its own, copied into place at the end.
    struct stretch {
        int worker;
        size_t begin;
        size_t end;
    };
    std::vector<raw_array<separated_pair>> buffers(static_cast<size_t>(workers));
    std::vector<stretch> made(tasks.size());
    falling_buffer falling(workers == 2 ? 16 * static_cast<size_t>(tree.n) : 0);
    std::mutex claim;
    size_t front = 0;
    size_t back = tasks.size();
    run_workers(workers, [&](int w, const std::atomic<bool>& failed) {
        raw_array<separated_pair>& buffer = w == 0 ? out : buffers[static_cast<size_t>(w)];
        searcher<D> search(tree, s, stop);
        for (;;) {
            size_t i = 0;
            {
                std::lock_guard<std::mutex> lock(claim);
                if (front == back || failed.load()) return;
                i = w == 0 ? front++ : --back;
            }
            if (w == 0 || workers > 2) {
                const size_t begin = buffer.size();
                search.run(tasks[i], buffer);
                made[i] = stretch{w, begin, buffer.size()};
            } else {
                buffer.clear();
                search.run(tasks[i], buffer);
                falling.prepend(buffer.data(), buffer.size());
            }
        }
    });
    if (workers == 2) {
        append_moving_pages(out, falling);
        return out;
    }
    std::vector<size_t> offset(tasks.size() + 1, 0);
    for (size_t i = 0; i < tasks.size(); ++i) offset[i + 1] = offset[i] + (made[i].end - made[i].begin);
    out.resize(offset.back());
    const size_t copied = front;
    std::atomic<size_t> next{copied};
    run_workers(workers, [&](int, const std::atomic<bool>&) {
        for (size_t i = next++; i < tasks.size(); i = next++) {
            const stretch& part = made[i];
            if (part.end > part.begin)
                std::memcpy(out.data() + offset[i], buffers[static_cast<size_t>(part.worker)].data() + part.begin,
                            (part.end - part.begin) * sizeof(separated_pair));
        }
    });
    return out;
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
