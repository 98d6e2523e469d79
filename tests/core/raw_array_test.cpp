// SPDX-License-Identifier: MIT
#include "raw_array.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <new>

namespace {

struct record {
    int32_t a;
    int32_t b;
    double c;
};

// Growth crosses from a malloc'd block to a mapping of its own and grows
// that by mremap; shrinking goes back the other way. Values must survive
// every step.
TEST(raw_array, values_survive_growth_and_shrinking_across_block_kinds) {
    raw_array<record> a;
    const size_t count = size_t{1} << 18;  // 4 MiB of records
    for (size_t i = 0; i < count; ++i) a.push_back(record{static_cast<int32_t>(i), -1, 0.5 * static_cast<double>(i)});
    for (size_t i = 0; i < count; i += 997) ASSERT_EQ(a[i].a, static_cast<int32_t>(i));
    a.resize(count * 3);  // a larger mapping
    EXPECT_EQ(a[count - 1].c, 0.5 * static_cast<double>(count - 1));
    a.resize(1000);
    a.shrink_to_fit();  // back to a small block
    for (size_t i = 0; i < 1000; ++i) ASSERT_EQ(a[i].a, static_cast<int32_t>(i));
    raw_array<record> b(std::move(a));
    EXPECT_EQ(b[999].a, 999);
    EXPECT_EQ(a.data(), nullptr);  // NOLINT(bugprone-use-after-move)
}

TEST(raw_array, adopted_block_of_two_mappings_grows_by_copying) {
    // Two mappings side by side (the halves differ in a flag), as a block
    // assembled by moving pages is; mremap refuses to grow such a block.
    const size_t bytes = size_t{4} << 20;
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(block, MAP_FAILED);
    ASSERT_EQ(madvise(static_cast<char*>(block) + bytes / 2, bytes / 2, MADV_DONTFORK), 0);
    raw_array<int64_t> a;
    a.push_back(-1);
    const size_t count = bytes / sizeof(int64_t);
    a.adopt_pages(static_cast<int64_t*>(block), count, bytes);
    for (size_t i = 0; i < count; ++i) a[i] = static_cast<int64_t>(i);
    a.push_back(-2);
    a.resize(3 * count);
    EXPECT_EQ(a[count - 1], static_cast<int64_t>(count - 1));
    EXPECT_EQ(a[count], -2);
}

TEST(raw_array, impossible_size_throws_bad_alloc) {
    raw_array<record> a;
    EXPECT_THROW(a.resize(static_cast<size_t>(-1) / 2), std::bad_alloc);
    EXPECT_TRUE(a.empty());
}

}  // namespace
