// SPDX-License-Identifier: MIT
#include "work_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <thread>

namespace {

// A range of a sum 0 + 1 + ... + (n - 1), cut in halves down to 64 values.
struct range {
    int64_t lo;
    int64_t hi;
};

struct summing {
    work_pool<range>* pool;
    std::atomic<int64_t> total{0};
    std::atomic<int> most_waiting{0};
    std::mutex mutex;
    std::set<std::thread::id> threads;
    int64_t throw_at = -1;  // a range starting here throws

    void operator()(range r) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            threads.insert(std::this_thread::get_id());
        }
        std::vector<range> stack{r};
        while (!stack.empty()) {
            const range top = stack.back();
            stack.pop_back();
            if (top.lo == throw_at) throw std::runtime_error("task failed");
            if (top.hi - top.lo <= 64) {
                int64_t sum = 0;
                for (int64_t v = top.lo; v < top.hi; ++v) sum += v;
                total += sum;
                continue;
            }
            const int64_t mid = top.lo + (top.hi - top.lo) / 2;
            stack.push_back(range{top.lo, mid});
            const int waiting = pool->waiting();
            if (waiting > most_waiting) most_waiting = waiting;
            if (waiting > 0) pool->hand_over(range{mid, top.hi});
            else stack.push_back(range{mid, top.hi});
        }
    }
};

constexpr int64_t n = 1 << 20;

int64_t run_sum(int workers, summing& sum) {
    interrupt never;
    work_pool<range> pool(workers, never);
    sum.pool = &pool;
    pool.run(range{0, n}, [&sum] { return [&sum](range&& r) { sum(r); }; });
    return sum.total;
}

std::atomic<int> failures_left{0};
pool_step failing_step = pool_step::thread_start;

void fail_nth(pool_step step) {
    if (step == failing_step && failures_left.fetch_sub(1) == 1) throw std::bad_alloc();
}

struct hook_guard {
    hook_guard(pool_step step, int nth) {
        failing_step = step;
        failures_left = nth;
        pool_fault_hook = &fail_nth;
    }
    ~hook_guard() { pool_fault_hook = nullptr; }
};

TEST(work_pool, every_task_runs_once_on_any_number_of_workers) {
    for (const int workers : {1, 2, 8}) {
        summing sum;
        EXPECT_EQ(run_sum(workers, sum), n * (n - 1) / 2) << workers;
        EXPECT_LE(sum.threads.size(), static_cast<size_t>(workers));
        EXPECT_LE(sum.most_waiting, workers - 1);
    }
}

// A thread that cannot be started leaves its work to the others, and is
// not counted as waiting for any.
TEST(work_pool, failed_thread_start_leaves_the_work_to_started_workers) {
    for (const int nth : {1, 3}) {
        hook_guard guard(pool_step::thread_start, nth);
        summing sum;
        EXPECT_EQ(run_sum(8, sum), n * (n - 1) / 2) << nth;
        EXPECT_LE(sum.threads.size(), static_cast<size_t>(nth));
        EXPECT_LE(sum.most_waiting, nth - 1);
    }
}

// Setup failing on any worker, or a task failing, is one exception on the
// caller; the leak checker of the sanitizer builds sees the rest.
TEST(work_pool, failure_on_any_of_the_workers_reaches_the_caller) {
    for (const int nth : {1, 2, 4}) {
        hook_guard guard(pool_step::worker_setup, nth);
        summing sum;
        EXPECT_THROW(run_sum(4, sum), std::bad_alloc) << nth;
    }
    for (const int workers : {1, 4}) {
        summing sum;
        sum.throw_at = n / 2 + n / 4;
        EXPECT_THROW(run_sum(workers, sum), std::runtime_error) << workers;
        EXPECT_LT(sum.total, n * (n - 1) / 2);
    }
}

}  // namespace
