// SPDX-License-Identifier: MIT
// One body run on several threads for the length of a call: the calling
// thread and up to workers - 1 threads started for it. The threads belong
// to the call and are joined before it returns or throws.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

// Joins the threads it holds when it goes out of scope, telling them to
// stop first unless the work finished.
struct thread_guard {
    std::vector<std::thread> threads;
    std::atomic<bool>& failed;
    bool finished = false;
    thread_guard(const thread_guard&) = delete;
    thread_guard& operator=(const thread_guard&) = delete;
    ~thread_guard() {
        if (!finished) failed = true;
        for (auto& t : threads)
            if (t.joinable()) t.join();
    }
};

// Runs body(w, failed) once for every w in 0 .. workers - 1: w = 0 on the
// calling thread, the others on threads of their own, or, where a thread
// cannot be started, on the calling thread after w = 0. `failed` turns true
// when one has thrown; the first exception is thrown again here once all
// have returned. Only std::exception and its kin are caught (all that the
// core throws): the forced unwind of a calling thread that the runtime ends
// (pthread_exit at interpreter exit, which no catch (...) may swallow)
// passes through, and the guard joins the others on its way.
template <typename Body>
void run_workers(int workers, const Body& body) {
    std::exception_ptr error;
    std::mutex error_mutex;
    std::atomic<bool> failed{false};
    auto work = [&](int w) {
        try {
            body(w, static_cast<const std::atomic<bool>&>(failed));
        } catch (const std::exception&) {
            std::lock_guard<std::mutex> lock(error_mutex);
            if (!error) error = std::current_exception();
            failed = true;
        }
    };
    thread_guard guard{{}, failed};
    guard.threads.reserve(static_cast<std::size_t>(workers > 1 ? workers - 1 : 0));
    int started = 1;
    for (; started < workers; ++started) {
        try {
            guard.threads.emplace_back(work, started);
        } catch (const std::exception&) {  // no thread, or no memory for its start
            break;
        }
    }
    work(0);
    for (int w = started; w < workers; ++w) work(w);
    guard.finished = true;
    for (auto& t : guard.threads) t.join();
    if (error) std::rethrow_exception(error);
}
