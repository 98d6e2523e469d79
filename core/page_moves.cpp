// SPDX-License-Identifier: MIT
#include "page_moves.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "raw_array.h"

namespace {

using std::size_t;

constexpr int fresh_flags = MAP_PRIVATE | MAP_ANONYMOUS;

// Fresh pages, at `hint` if nothing is mapped there, else where the
// system puts them; aligned to `align` (a multiple of the system's page).
char* map_fresh(size_t bytes, size_t align, void* hint = nullptr) {
    void* block = mmap(hint, bytes, PROT_READ | PROT_WRITE, fresh_flags, -1, 0);
    if (block == MAP_FAILED) return nullptr;
    if (reinterpret_cast<uintptr_t>(block) % align == 0) return static_cast<char*>(block);
    // Only for a page larger than the system's: map more, keep an aligned part.
    munmap(block, bytes);
    block = mmap(nullptr, bytes + align, PROT_READ | PROT_WRITE, fresh_flags, -1, 0);
    if (block == MAP_FAILED) return nullptr;
    char* start = static_cast<char*>(block);
    const size_t skip = (align - reinterpret_cast<uintptr_t>(start) % align) % align;
    if (skip > 0) munmap(start, skip);
    munmap(start + skip + bytes, align - skip);
    return start + skip;
}

bool claim_pages(void* at, size_t length) {
    void* block = mmap(at, length, PROT_READ | PROT_WRITE, fresh_flags | MAP_FIXED_NOREPLACE, -1, 0);
    if (block == MAP_FAILED) return false;
    // Kernels before 4.17 take the address as a hint only.
    if (block == at) return true;
    munmap(block, length);
    return false;
}

bool move_pages(void* from, size_t length, void* to) {
    if (!remap_pages) return false;
    return mremap(from, length, length, MREMAP_MAYMOVE | MREMAP_FIXED, to) != MAP_FAILED;
}

size_t round_up(size_t bytes, size_t page) { return (bytes + page - 1) / page * page; }

// The least a mapping grows by: each growth takes the address space's lock,
// which stalls the other writers' page faults.
constexpr size_t growth_step = size_t{32} << 20;

// Pages moved at a time when a block is assembled: what the block claims
// ahead of the pages that leave the sources.
constexpr size_t move_step = size_t{16} << 20;

// A block of `bytes` filled from the top down. Memory is claimed next to
// the lowest byte claimed so far; when something else is mapped there, what
// is in the block is copied to a fresh mapping of the whole size. The block
// ends at `top` if there is room, so that a caller can place it where the
// system leaves room below: under the lowest of its mappings, since the
// system gives out addresses from the top down.
class falling_block {
public:
    falling_block(size_t bytes, uintptr_t top, const page_ops& ops)
        : bytes_(bytes), low_(bytes), top_(top), ops_(ops) {}
    falling_block(const falling_block&) = delete;
    falling_block& operator=(const falling_block&) = delete;
    ~falling_block() {
        if (low_ < bytes_) munmap(at(low_), bytes_ - low_);
    }

    char* at(size_t offset) const { return reinterpret_cast<char*>(base_ + offset); }

    // Makes [offset, bytes) part of the block; offset is a page boundary.
    void claim_from(size_t offset) {
        if (offset >= low_) return;
        if (low_ == bytes_) {
            const size_t length = bytes_ - offset;
            char* top = map_fresh(length, ops_.page, top_ > bytes_ ? reinterpret_cast<void*>(top_ - length) : nullptr);
            if (top == nullptr) throw allocation_failure(bytes_ - offset);
            base_ = reinterpret_cast<uintptr_t>(top) - offset;
            low_ = offset;
            if (reinterpret_cast<uintptr_t>(top) >= offset) return;
            // No room below at all: start over in one piece.
            relocate();
            return;
        }
        if (ops_.claim(at(offset), low_ - offset)) {
            low_ = offset;
            return;
        }
        relocate();
    }

    page_block release() {
        page_block block{at(0), bytes_};
        low_ = bytes_;
        return block;
    }

private:
    void relocate() {
        char* whole = map_fresh(bytes_, ops_.page);
        if (whole == nullptr) throw allocation_failure(bytes_);
        std::memcpy(whole + low_, at(low_), bytes_ - low_);
        munmap(at(low_), bytes_ - low_);
        base_ = reinterpret_cast<uintptr_t>(whole);
        low_ = 0;
    }

    const size_t bytes_;
    size_t low_;  // the lowest offset claimed; bytes_ when none is
    const uintptr_t top_;
    uintptr_t base_ = 0;
    const page_ops& ops_;
};

// Where a block of `bytes` may end so that the address space below is free
// now: a range found by mapping it and giving it back at once. Where the
// address space cannot hold the block beside its sources (a limit), the
// block ends at `fallback` and takes its chances there.
uintptr_t free_top(size_t bytes, size_t page, uintptr_t fallback) {
    void* probe = mmap(nullptr, bytes + page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (probe == MAP_FAILED) return fallback;
    munmap(probe, bytes + page);
    return (reinterpret_cast<uintptr_t>(probe) + bytes + page) / page * page;
}

}  // namespace

const page_ops& system_pages() {
    static const page_ops ops{static_cast<size_t>(sysconf(_SC_PAGESIZE)), &claim_pages, &move_pages};
    return ops;
}

moved_range move_or_copy(char* to, char* from, size_t length, const page_ops& ops) {
    const size_t page = ops.page;
    const uintptr_t to_at = reinterpret_cast<uintptr_t>(to);
    const size_t head = (page - to_at % page) % page;
    if ((reinterpret_cast<uintptr_t>(from) - to_at) % page != 0 || length < head + page) {
        if (length > 0) std::memcpy(to, from, length);
        return moved_range{from, 0};
    }
    const size_t body = (length - head) / page * page;
    std::memcpy(to, from, head);
    std::memcpy(to + head + body, from + head + body, length - head - body);
    if (ops.move(from + head, body, to + head)) return moved_range{from + head, body};
    // The failed move may have unmapped the destination: map it again.
    if (mmap(to + head, body, PROT_READ | PROT_WRITE, fresh_flags | MAP_FIXED, -1, 0) == MAP_FAILED)
        throw allocation_failure(body);
    std::memcpy(to + head, from + head, body);
    return moved_range{from, 0};
}

page_buffer::~page_buffer() {
    if (data_ == nullptr) return;
    if (on_heap_) {
        std::free(data_);
        return;
    }
    // Unmap around the holes only: something else may be mapped there now.
    std::sort(holes_.begin(), holes_.end(),
              [](const moved_range& a, const moved_range& b) { return a.begin < b.begin; });
    char* next = data_;
    for (const moved_range& hole : holes_) {
        if (hole.begin > next) munmap(next, static_cast<size_t>(hole.begin - next));
        next = hole.begin + hole.length;
    }
    if (next < data_ + capacity_) munmap(next, static_cast<size_t>(data_ + capacity_ - next));
}

void page_buffer::reserve(size_t bytes) {
    if (bytes <= capacity_) return;
    // A copy keeps the whole capacity: the writers' positions run ahead of size_.
    if (data_ == nullptr || on_heap_) {
        const size_t least = std::max({bytes, 2 * capacity_, 16 * ops_->page});
        if (least < raw_array<char>::mapping_bytes) {
            const size_t wanted = round_up(least, ops_->page);
            auto* block = static_cast<char*>(std::aligned_alloc(ops_->page, wanted));
            if (block == nullptr) throw allocation_failure(wanted);
            if (data_ != nullptr) std::memcpy(block, data_, capacity_);
            std::free(data_);
            data_ = block;
            capacity_ = wanted;
            on_heap_ = true;
            return;
        }
    }
    const size_t least = std::max({bytes, capacity_ + std::max(capacity_ / 8, growth_step), raw_array<char>::mapping_bytes});
    const size_t wanted = round_up(least, ops_->page);
    const bool fresh = data_ == nullptr || on_heap_ || !remap_pages;
    void* block = fresh ? mmap(nullptr, wanted, PROT_READ | PROT_WRITE, fresh_flags, -1, 0)
                        : mremap(data_, capacity_, wanted, MREMAP_MAYMOVE);
    if (block == MAP_FAILED) throw allocation_failure(wanted);
    if (data_ != nullptr && fresh) {
        std::memcpy(block, data_, capacity_);
        if (on_heap_) std::free(data_);
        else munmap(data_, capacity_);
    }
    data_ = static_cast<char*>(block);
    capacity_ = wanted;
    on_heap_ = false;
}

size_t page_buffer::start_stretch() {
    const size_t start = round_up(size_, ops_->page) + ops_->page;
    reserve(start + ops_->page);
    size_ = start;
    return start;
}

void page_buffer::shift_down(size_t offset, size_t length, size_t shift) {
    if (shift > 0 && length > 0) std::memmove(data_ + offset - shift, data_ + offset, length);
}

void page_buffer::moved_out(const moved_range& range) {
    if (range.length > 0) holes_.push_back(range);
}

page_block concatenate(const std::vector<stretch_ref>& parts, const page_ops& ops) {
    size_t total = 0;
    uintptr_t lowest = UINTPTR_MAX;
    for (const stretch_ref& part : parts) {
        total += part.length;
        lowest = std::min(lowest, reinterpret_cast<uintptr_t>(part.source->data()));
    }
    const size_t bytes = round_up(std::max(total, size_t{1}), ops.page);
    falling_block block(bytes, free_top(bytes, ops.page, lowest / ops.page * ops.page), ops);
    size_t end = total;
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        const size_t begin = end - part->length;
        // From the top down, a step at a time, so that the block claims
        // little more than the pages that have left the sources.
        for (size_t high = end; high > begin;) {
            const size_t low = std::max(begin, (high - 1) / move_step * move_step);
            block.claim_from(low / ops.page * ops.page);
            char* from = part->source->data() + part->offset + (low - begin);
            if (part->source->movable()) part->source->moved_out(move_or_copy(block.at(low), from, high - low, ops));
            else std::memcpy(block.at(low), from, high - low);
            high = low;
        }
        end = begin;
    }
    block.claim_from(0);
    return block.release();
}
