// SPDX-License-Identifier: MIT
#include "ordered_results.h"

#include <algorithm>

using std::size_t;

void ordered_pairs::sink::grow() {
    const size_t used_bytes = used();
    buffer_->reserve(used_bytes + sizeof(separated_pair));
    write_at(used_bytes);
}

ordered_pairs::ordered_pairs(int workers, const page_ops& ops) : ops_(ops) {
    for (int w = 0; w < workers; ++w) workers_.push_back(std::make_unique<worker_state>(ops));
}

ordered_pairs::sink& ordered_pairs::begin_task(int worker, size_t task) {
    worker_state& state = *workers_[static_cast<size_t>(worker)];
    if (state.stretches.empty() || state.last_task + 1 != task) {
        const size_t start = state.buffer.start_stretch();
        state.stretches.push_back(stretch{task, worker, start, 0, 0});
        state.out.write_at(start);
    }
    state.last_task = task;
    return state.out;
}

void ordered_pairs::end_task(int worker) {
    worker_state& state = *workers_[static_cast<size_t>(worker)];
    const size_t used = state.out.used();
    state.buffer.set_size(used);
    stretch& last = state.stretches.back();
    last.length = used - last.offset;
}

size_t ordered_pairs::pairs() const {
    size_t bytes = 0;
    for (const auto& state : workers_) {
        for (const stretch& part : state->stretches) bytes += part.length;
        // The task under way when a worker stopped.
        if (!state->stretches.empty()) {
            const stretch& last = state->stretches.back();
            bytes += state->out.used() - last.offset - last.length;
        }
    }
    return bytes / sizeof(separated_pair);
}

size_t ordered_pairs::prepare() {
    order_.clear();
    for (const auto& state : workers_) order_.insert(order_.end(), state->stretches.begin(), state->stretches.end());
    std::sort(order_.begin(), order_.end(), [](const stretch& a, const stretch& b) { return a.task < b.task; });
    size_t at = 0;
    for (stretch& part : order_) {
        part.destination = at;
        at += part.length;
    }
    return copied(at) ? 0 : order_.size();
}

void ordered_pairs::align(size_t i) {
    stretch& part = order_[i];
    page_buffer& buffer = workers_[static_cast<size_t>(part.worker)]->buffer;
    if (!buffer.movable()) return;
    // The block that the stretches go to starts on a page boundary; below
    // each stretch is a spare page.
    const uintptr_t from = reinterpret_cast<uintptr_t>(buffer.data() + part.offset);
    const size_t shift = static_cast<size_t>(from - part.destination) % ops_.page;
    if (part.length < 4 * ops_.page || shift == 0) return;
    buffer.shift_down(part.offset, part.length, shift);
    part.offset -= shift;
}

raw_array<separated_pair> ordered_pairs::finish() {
    size_t total = 0;
    for (const stretch& part : order_) total += part.length;
    raw_array<separated_pair> out;
    if (copied(total)) {
        out.resize(total / sizeof(separated_pair));
        for (const stretch& part : order_)
            if (part.length > 0)
                std::memcpy(reinterpret_cast<char*>(out.data()) + part.destination,
                            workers_[static_cast<size_t>(part.worker)]->buffer.data() + part.offset, part.length);
        return out;
    }
    std::vector<stretch_ref> parts;
    parts.reserve(order_.size());
    for (const stretch& part : order_)
        parts.push_back(stretch_ref{&workers_[static_cast<size_t>(part.worker)]->buffer, part.offset, part.length});
    const page_block block = concatenate(parts, ops_);
    out.adopt_pages(reinterpret_cast<separated_pair*>(block.data), total / sizeof(separated_pair), block.bytes);
    return out;
}
