// SPDX-License-Identifier: MIT
// Where the pair search writes: sinks that take the pairs one by one. The
// search runs its tasks on several workers in any order; ordered_pairs
// keeps each worker's pairs in a page_buffer of its own and concatenates
// them in task order at the end. ordered_pairs owns the buffers; finish()
// hands the result to the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "page_moves.h"
#include "pair_search.h"
#include "raw_array.h"

// Stores the pairs in an array.
struct array_sink {
    raw_array<separated_pair>& out;
    void add(const separated_pair& pair) { out.push_back(pair); }
    std::size_t pairs() const { return out.size(); }
};

// Counts the pairs and their points.
struct counting_sink {
    pair_count count;
    void add(const separated_pair& pair) {
        ++count.pairs;
        count.points += static_cast<uint64_t>(pair.first.count) + static_cast<uint64_t>(pair.second.count);
    }
};

class ordered_pairs {
public:
    // Appends pairs to a worker's buffer.
    class sink {
    public:
        void add(const separated_pair& pair) {
            if (at_ == end_) grow();
            *at_++ = pair;
        }

    private:
        friend class ordered_pairs;
        void grow();
        std::size_t used() const { return static_cast<std::size_t>(reinterpret_cast<char*>(at_) - buffer_->data()); }
        // Points the writer at byte `offset` of the buffer, up to its capacity.
        void write_at(std::size_t offset) {
            at_ = reinterpret_cast<separated_pair*>(buffer_->data() + offset);
            end_ = at_ + (buffer_->capacity() - offset) / sizeof(separated_pair);
        }

        page_buffer* buffer_ = nullptr;
        // Typed, so that the compiler keeps them in registers between pairs.
        separated_pair* at_ = nullptr;
        separated_pair* end_ = nullptr;
    };

    explicit ordered_pairs(int workers, const page_ops& ops = system_pages());

    // The sink for `task` on `worker`; tasks are numbered in the order
    // their pairs take in the result. A worker's consecutive tasks share a
    // stretch of its buffer.
    sink& begin_task(int worker, std::size_t task);
    // Called once the task's pairs are all in.
    void end_task(int worker);
    // The pairs stored so far; not while workers are adding.
    std::size_t pairs() const;

    // Finishing, once every task has ended: prepare() puts the stretches
    // in task order and returns how many are to be aligned: their number,
    // or 0 when the result is small enough to be copied; align(i) readies stretch i
    // to move by pages (any i at once on different threads); finish()
    // concatenates them. Throws allocation_failure, owning nothing then.
    std::size_t prepare();
    void align(std::size_t stretch);
    raw_array<separated_pair> finish();

private:
    struct stretch {
        std::size_t task;  // its first
        int worker;
        std::size_t offset;  // in the worker's buffer
        std::size_t length;  // bytes
        std::size_t destination;
    };
    struct worker_state {
        page_buffer buffer;
        sink out;
        std::size_t last_task = SIZE_MAX;
        std::vector<stretch> stretches;
        explicit worker_state(const page_ops& ops) : buffer(ops) { out.buffer_ = &buffer; }
    };

    // Whether a result of `bytes` is copied together rather than assembled
    // from pages.
    static bool copied(std::size_t bytes) { return bytes < raw_array<separated_pair>::mapping_bytes; }

    const page_ops& ops_;
    std::vector<std::unique_ptr<worker_state>> workers_;
    std::vector<stretch> order_;
};
