// SPDX-License-Identifier: MIT
#include "work_pool.h"

#include <chrono>
#include <stdexcept>

void (*pool_fault_hook)(pool_step step) = nullptr;

namespace {

// How often the calling thread asks the interrupt while it waits.
constexpr std::chrono::milliseconds idle_poll{20};

}  // namespace

void pool_threads::start(const std::function<void()>& loop) {
    caller_ = std::this_thread::get_id();
    threads_.reserve(static_cast<std::size_t>(workers_ > 1 ? workers_ - 1 : 0));
    for (int w = 1; w < workers_; ++w) {
        try {
            if (pool_fault_hook != nullptr) pool_fault_hook(pool_step::thread_start);
            // Counted before the thread runs, so that waiting() never
            // misses a thread that is about to look for a task.
            std::lock_guard<std::mutex> lock(mutex_);
            threads_.emplace_back(loop);
            ++started_;
        } catch (...) {
            if (!std::current_exception()) throw;
            return;
        }
    }
}

void pool_threads::run_and_join(const std::function<void()>& loop) {
    try {
        loop();
    } catch (...) {
        stop_and_join();
        throw;
    }
    for (std::thread& t : threads_) t.join();
    threads_.clear();
    if (error_) std::rethrow_exception(error_);
    // A worker ended by a forced unwind of its own left no error to give.
    if (failed_) throw std::runtime_error("work_pool: a worker thread was ended before its work was done");
}

void pool_threads::fail(std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!error_) error_ = std::move(error);
    failed_ = true;
    wake_.notify_all();
}

void pool_threads::stop_and_join() {
    if (threads_.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_ = true;
        wake_.notify_all();
    }
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
}

void pool_threads::idle(std::unique_lock<std::mutex>& lock) {
    if (std::this_thread::get_id() != caller_) {
        wake_.wait(lock);
        return;
    }
    wake_.wait_for(lock, idle_poll);
    if (failed_) return;
    lock.unlock();
    stop_.poll();
    lock.lock();
}
