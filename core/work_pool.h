// SPDX-License-Identifier: MIT
// A fork-join pool for one recursive computation: the calling thread and up
// to workers - 1 threads started for the call take shared tasks until none
// is queued and none is running. A running task may hand tasks over while
// some started worker waits for one. The pool knows nothing of what a task
// holds; it owns its threads and the queued tasks, and releases both before
// run() returns or throws.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "interrupt.h"

// The points where the pool can fail other than in a task: starting a
// thread, and a worker's setup (the body of make_worker below).
enum class pool_step { thread_start, worker_setup };

// A catch (...) on a thread path holds C++ exceptions as exception_ptr and
// rethrows anything else: glibc ends a thread (pthread_exit, as CPython does
// to a thread at exit) by a forced unwind, which std::current_exception()
// cannot hold and which must not be swallowed. (Naming it in a handler,
// catch (abi::__forced_unwind&), binds a null reference, which
// UndefinedBehaviorSanitizer reports.)

// For tests: when set, called at every pool_step, before the step itself;
// what it throws stands for that step failing. Set it only while no pool runs.
extern void (*pool_fault_hook)(pool_step step);

// The part of the pool that does not depend on the task type: threads,
// counts, the first error, all guarded by mutex_ (idle() expects it held;
// the other members take it themselves).
class pool_threads {
public:
    pool_threads(int workers, interrupt& stop) : workers_(workers), stop_(stop) {}
    pool_threads(const pool_threads&) = delete;
    pool_threads& operator=(const pool_threads&) = delete;
    ~pool_threads() { stop_and_join(); }

    // Whether a worker failed: a task may stop early once it is set, and
    // workers take no more tasks. Cheap enough to ask between small steps.
    bool failed() const { return failed_.load(std::memory_order_relaxed); }

protected:
    // Starts up to workers - 1 threads running `loop`; a thread that cannot
    // be started is not an error: the call goes on with the ones that did.
    void start(const std::function<void()>& loop);
    // Runs `loop` on the calling thread, then joins the others and rethrows
    // the first error. `loop` records its errors with fail() and lets only
    // glibc's forced unwind through (the calling thread ended by
    // pthread_exit inside its caller's check): the threads are then joined
    // and the unwind goes on.
    void run_and_join(const std::function<void()>& loop);
    // Records the first error (none for a forced unwind) and wakes every
    // worker.
    void fail(std::exception_ptr error);
    void stop_and_join();
    // Waits for a change; the calling thread also polls the interrupt
    // every period, so that it notices a request to stop while idle.
    void idle(std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;
    std::condition_variable wake_;
    const int workers_;
    interrupt& stop_;
    int started_ = 1;  // the calling thread and the threads started
    int busy_ = 0;     // workers running a task
    std::atomic<bool> failed_{false};  // written under the lock
    std::exception_ptr error_;
    std::thread::id caller_;
    std::vector<std::thread> threads_;
};

template <typename Task>
class work_pool : public pool_threads {
public:
    using pool_threads::pool_threads;

    // Runs `first` and everything handed over from it. Each worker calls
    // make_worker() once, then runs tasks with what it returned, a callable
    // f(Task&&) holding the worker's scratch space. The first exception of
    // any worker stops the others and is rethrown here after all joined.
    template <typename MakeWorker>
    void run(Task first, MakeWorker make_worker) {
        queue_.push_back(std::move(first));
        const std::function<void()> loop = [this, &make_worker] {
            try {
                if (pool_fault_hook != nullptr) pool_fault_hook(pool_step::worker_setup);
                auto worker = make_worker();
                serve(worker);
            } catch (...) {
                std::exception_ptr error = std::current_exception();
                fail(error);
                if (!error) throw;
            }
        };
        start(loop);
        run_and_join(loop);
        queue_.clear();
    }

    // Started workers that are neither running a task nor about to take a
    // queued one: how many tasks it is worth handing over now.
    int waiting() {
        std::lock_guard<std::mutex> lock(mutex_);
        return started_ - busy_ - static_cast<int>(queue_.size());
    }

    void hand_over(Task&& task) {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(task));
        wake_.notify_one();
    }

private:
    template <typename Worker>
    void serve(Worker& worker) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!failed_) {
            if (queue_.empty()) {
                if (busy_ == 0) return;
                idle(lock);
                continue;
            }
            Task task = std::move(queue_.back());
            queue_.pop_back();
            ++busy_;
            lock.unlock();
            try {
                worker(std::move(task));
            } catch (...) {
                lock.lock();
                --busy_;
                throw;
            }
            lock.lock();
            --busy_;
            if (busy_ == 0 && queue_.empty()) wake_.notify_all();
        }
    }

    std::vector<Task> queue_;
};
