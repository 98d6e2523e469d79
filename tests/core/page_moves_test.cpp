// SPDX-License-Identifier: MIT
#include "page_moves.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "ordered_results.h"

namespace {

using std::size_t;

// The real calls with a simulated page size, or with failures injected.
int moves_failed = 0;
int moves_made = 0;
bool real_claim(void* at, size_t length) { return system_pages().claim(at, length); }
bool real_move(void* from, size_t length, void* to) {
    ++moves_made;
    return system_pages().move(from, length, to);
}
bool refuse_claim(void*, size_t) { return false; }
// A move that fails after the kernel dropped the destination's pages.
bool move_losing_destination(void*, size_t length, void* to) {
    ++moves_failed;
    munmap(to, length);
    return false;
}

const page_ops pages_16k{16384, &real_claim, &real_move};
const page_ops pages_64k{65536, &real_claim, &real_move};
const page_ops failing_moves{65536, &real_claim, &move_losing_destination};
const page_ops no_room{16384, &refuse_claim, &real_move};

struct mapping {
    explicit mapping(size_t n) : bytes(n), data(static_cast<char*>(mmap(nullptr, n, PROT_READ | PROT_WRITE,
                                                                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0))) {}
    ~mapping() { munmap(data, bytes); }
    // The first boundary of a (simulated) page.
    char* aligned(size_t page) const {
        return data + (page - reinterpret_cast<uintptr_t>(data) % page) % page;
    }
    size_t bytes;
    char* data;
};

void fill(char* at, size_t length, uint32_t seed) {
    std::mt19937 random(seed);
    for (size_t i = 0; i < length; ++i) at[i] = static_cast<char>(random());
}

TEST(page_moves, move_or_copy_moves_whole_pages_of_simulated_sizes_and_copies_the_rest) {
    for (const page_ops* ops : {&pages_16k, &pages_64k, &failing_moves}) {
        SCOPED_TRACE(ops->page);
        moves_failed = 0;
        const size_t page = ops->page;
        mapping source(9 * page);
        mapping target(9 * page);
        // Same offset within a page on both sides, neither on a boundary.
        char* from = source.aligned(page) + page + 4000;
        char* to = target.aligned(page) + 2 * page + 4000;
        const size_t length = 5 * page + 123;
        fill(from, length, 7u);
        std::vector<char> expected(from, from + length);
        const moved_range moved = move_or_copy(to, from, length, *ops);
        EXPECT_EQ(std::memcmp(to, expected.data(), length), 0);
        if (ops == &failing_moves) {
            EXPECT_EQ(moves_failed, 1);
            EXPECT_EQ(moved.length, 0u);
            // The pages the failed move dropped are mapped again.
            std::memset(target.data, 1, target.bytes);
        } else {
            EXPECT_EQ(moved.begin, source.aligned(page) + 2 * page);
            EXPECT_EQ(moved.length, 4 * page);
        }
        // Different offsets within a page: copied.
        const moved_range copied = move_or_copy(target.data + 1, source.aligned(page), page + 5, *ops);
        EXPECT_EQ(copied.length, 0u);
    }
}

// Stretches of random lengths in two page_buffers, concatenated in an
// order that alternates between them.
void expect_concatenated(const page_ops& ops, const std::vector<size_t>& lengths) {
    page_buffer buffers[2] = {page_buffer(ops), page_buffer(ops)};
    std::vector<stretch_ref> parts;
    std::vector<char> expected;
    for (size_t i = 0; i < lengths.size(); ++i) {
        page_buffer& buffer = buffers[i % 2];
        const size_t start = buffer.start_stretch();
        buffer.reserve(start + lengths[i]);
        fill(buffer.data() + start, lengths[i], static_cast<uint32_t>(i));
        buffer.set_size(start + lengths[i]);
        expected.insert(expected.end(), buffer.data() + start, buffer.data() + start + lengths[i]);
        parts.push_back(stretch_ref{&buffer, start, lengths[i]});
    }
    size_t at = 0;
    for (stretch_ref& part : parts) {
        const size_t shift = (reinterpret_cast<uintptr_t>(part.source->data() + part.offset) - at) % ops.page;
        part.source->shift_down(part.offset, part.length, shift);
        part.offset -= shift;
        at += part.length;
    }
    // The lengths below leave the first buffer small, in malloc'd memory
    // that is copied, and make the second a mapping whose pages move.
    EXPECT_FALSE(buffers[0].movable());
    EXPECT_TRUE(buffers[1].movable());
    const page_block block = concatenate(parts, ops);
    ASSERT_EQ(block.bytes % ops.page, 0u);
    ASSERT_GE(block.bytes, expected.size());
    EXPECT_EQ(std::memcmp(block.data, expected.data(), expected.size()), 0);
    std::memset(block.data, 0, block.bytes);  // every page of the block is ours
    munmap(block.data, block.bytes);
}

TEST(page_moves, concatenate_keeps_every_byte_in_order) {
    // Empty and sub-page stretches, seams inside pages, and one stretch
    // longer than a step of the assembly.
    const std::vector<size_t> lengths = {0, 100, 70000, 3 * 65536 + 16, 16, (size_t{17} << 20) + 48, 250000, 0, 48};
    for (const page_ops* ops : {&system_pages(), &pages_16k, &pages_64k, &failing_moves, &no_room}) {
        SCOPED_TRACE(ops->page);
        moves_made = 0;
        expect_concatenated(*ops, lengths);
        if (ops->move == &real_move) {
            EXPECT_GE(moves_made, 3);  // simulated pages move too
        }
    }
}

TEST(page_moves, ordered_pairs_concatenate_tasks_in_task_order_whatever_worker_made_them) {
    for (const page_ops* ops : {&pages_64k, &failing_moves}) {
        for (const size_t per_task : {size_t{3}, size_t{40000}}) {  // under and over the mapping size in all
            SCOPED_TRACE(per_task);
            ordered_pairs results(3, *ops);
            // Worker 0 takes 0, 1, 2; the others alternate from the back.
            const std::vector<std::pair<int, size_t>> runs = {{0, 0}, {1, 9}, {2, 8}, {0, 1}, {2, 7}, {1, 6},
                                                              {1, 5}, {0, 2}, {2, 4}, {1, 3}};
            for (const auto& [worker, task] : runs) {
                auto& sink = results.begin_task(worker, task);
                for (size_t k = 0; k < per_task + task; ++k)
                    sink.add(separated_pair{{static_cast<int32_t>(task), static_cast<int32_t>(k)}, {worker, 0}});
                results.end_task(worker);
            }
            ASSERT_EQ(results.pairs(), 10 * per_task + 45);
            for (size_t i = 0, n = results.prepare(); i < n; ++i) results.align(i);
            const raw_array<separated_pair> out = results.finish();
            ASSERT_EQ(out.size(), 10 * per_task + 45);
            size_t at = 0;
            for (int32_t task = 0; task < 10; ++task)
                for (size_t k = 0; k < per_task + static_cast<size_t>(task); ++k, ++at)
                    ASSERT_TRUE(out[at].first.start == task && out[at].first.count == static_cast<int32_t>(k)) << at;
        }
    }
}

}  // namespace
