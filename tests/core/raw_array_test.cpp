// SPDX-License-Identifier: MIT
#include "raw_array.h"

#include <gtest/gtest.h>

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

TEST(raw_array, impossible_size_throws_bad_alloc) {
    raw_array<record> a;
    EXPECT_THROW(a.resize(static_cast<size_t>(-1) / 2), std::bad_alloc);
    EXPECT_TRUE(a.empty());
}

}  // namespace
