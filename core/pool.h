// SPDX-License-Identifier: MIT
// Allocation for one decomposition. Every block the construction takes comes
// from the call's block_pool and is normally handed back explicitly by its
// owner; whatever is still held when the pool is destroyed (a call that ended
// with an exception) is released then, so a failed call leaks nothing.
#pragma once

#include <cstddef>

class block_pool {
public:
    block_pool() = default;
    block_pool(const block_pool&) = delete;
    block_pool& operator=(const block_pool&) = delete;
    ~block_pool();

    // Uninitialised storage for `bytes` bytes, aligned for any scalar type.
    // Throws std::bad_alloc when memory is exhausted.
    void* take(std::size_t bytes);
    // Hands back a block obtained from take(); null is ignored.
    void give(void* block) noexcept;

    template <typename T>
    T* take_array(std::size_t count) {
        return static_cast<T*>(take(count * sizeof(T)));
    }

    std::size_t blocks_held() const { return held_; }

private:
    struct header;
    header* first_ = nullptr;
    std::size_t held_ = 0;
};
