// SPDX-License-Identifier: MIT
// Bytes written on several threads, each into a page_buffer of its own,
// then concatenated into one block by moving whole pages between mappings
// (mremap) where the two sides allow it and copying the rest. Moving a page
// costs next to nothing; copying into fresh memory costs a page fault per
// page. A page_buffer owns its mapping; concatenate() hands its block to
// the caller, who releases it with munmap (raw_array::adopt_pages).
#pragma once

#include <cstddef>
#include <vector>

// The page size and the two mapping calls that the moves rest on. Tests
// replace them to simulate larger pages and failures.
struct page_ops {
    // A multiple of the system's page size.
    std::size_t page;
    // Maps fresh pages over [at, at + length), where nothing may be mapped
    // yet; false when something is there or the memory is refused.
    bool (*claim)(void* at, std::size_t length);
    // Moves the pages of [from, from + length) onto `to`, replacing what
    // is there (mremap with MREMAP_FIXED). On false, the source is intact
    // but the destination's pages may have been unmapped.
    bool (*move)(void* from, std::size_t length, void* to);
};

// The system's page size (sysconf) and the real calls.
const page_ops& system_pages();

// The part of a source whose pages moved away: no longer the source's.
struct moved_range {
    char* begin;
    std::size_t length;
};

// Copies `length` bytes from `from` to `to`. When both are at the same
// offset within a page, the whole pages in between are moved instead; if
// that fails, the destination's pages are mapped again and copied into.
// [to, to + length) must lie in pages of a private anonymous mapping of
// the caller that may be replaced. Returns the moved part of the source
// (empty when all was copied). Throws allocation_failure when even the
// fallback finds no memory.
moved_range move_or_copy(char* to, char* from, std::size_t length, const page_ops& ops);

// A growable block written in stretches: each stretch starts on a page
// boundary with at least one spare page below it, so that it can be
// shifted down by less than a page to match the offset of its destination.
// Below raw_array's mapping size the block is a malloc'd one, which the
// allocator hands out again call after call without fresh page faults; its
// pages cannot move, so they are copied. From that size on it is a mapping.
class page_buffer {
public:
    explicit page_buffer(const page_ops& ops = system_pages()) : ops_(&ops) {}
    page_buffer(const page_buffer&) = delete;
    page_buffer& operator=(const page_buffer&) = delete;
    ~page_buffer();

    char* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    // Whether its pages may move (it is a mapping).
    bool movable() const { return !on_heap_; }

    // Makes room for at least `bytes` in all; the block may move. A mapping
    // grows by 32 MiB or an eighth, whichever is more, so that capacity
    // stays close to what is used and growths are few.
    // Throws allocation_failure.
    void reserve(std::size_t bytes);
    // The bytes up to `bytes` are written.
    void set_size(std::size_t bytes) { size_ = bytes; }
    // Where the next stretch starts: past the last one, on a page boundary,
    // above a spare page. Makes room for it.
    std::size_t start_stretch();
    // Shifts the `length` bytes at `offset` (a stretch start) down by
    // `shift` (under a page), into the spare room below.
    void shift_down(std::size_t offset, std::size_t length, std::size_t shift);
    // The range moved out by move_or_copy: it is no longer ours to unmap.
    void moved_out(const moved_range& range);

private:
    const page_ops* ops_;
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool on_heap_ = false;
    std::vector<moved_range> holes_;
};

// One stretch of a page_buffer.
struct stretch_ref {
    page_buffer* source;
    std::size_t offset;
    std::size_t length;
};

// The stretches, in order, concatenated into one block of whole pages
// (ops.page), at least one. The block is built from the top down, claiming
// memory next to what it has as it goes and taking the pages out of the
// sources, so that the sources and the block together never hold much more
// than the bytes themselves. Stretches of mappings already at their destination's
// offset within a page (shift_down; the block starts on a page boundary)
// move by pages. Throws allocation_failure, having unmapped the block; the
// sources release the rest.
struct page_block {
    char* data;
    std::size_t bytes;
};
page_block concatenate(const std::vector<stretch_ref>& parts, const page_ops& ops);
