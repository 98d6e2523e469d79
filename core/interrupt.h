// SPDX-License-Identifier: MIT
// How a caller stops a long computation of the core. The core calls poll()
// every few thousand steps of work, on every thread it runs on. On the
// thread that made the interrupt, poll() asks the caller's check at most
// once per period; once the check has answered yes, poll() throws
// `interrupted` there and on every other thread of the computation, whose
// owners then release what they hold as for any other exception.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

struct interrupted : std::exception {
    const char* what() const noexcept override { return "interrupted"; }
};

class interrupt {
public:
    // Returns true when the computation is to stop. Runs on the thread that
    // made the interrupt.
    using check_fn = bool (*)(void* context);

    // Never stops.
    interrupt() = default;
    interrupt(check_fn check, void* context, std::chrono::milliseconds period = std::chrono::milliseconds(50))
        : check_(check), context_(context), owner_(std::this_thread::get_id()), period_(period),
          next_(std::chrono::steady_clock::now() + period) {}
    interrupt(const interrupt&) = delete;
    interrupt& operator=(const interrupt&) = delete;

    void poll() {
        if (stopped_.load(std::memory_order_relaxed)) throw interrupted();
        if (check_ == nullptr || std::this_thread::get_id() != owner_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return;
        next_ = now + period_;
        if (check_(context_)) {
            stopped_.store(true, std::memory_order_relaxed);
            throw interrupted();
        }
    }

private:
    check_fn check_ = nullptr;
    void* context_ = nullptr;
    std::thread::id owner_;
    std::chrono::steady_clock::duration period_{};
    std::chrono::steady_clock::time_point next_{};
    std::atomic<bool> stopped_{false};
};
