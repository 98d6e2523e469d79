// SPDX-License-Identifier: MIT
// Allocation for one decomposition. Every block the construction takes comes
// from the call's block_pool and is normally handed back explicitly by its
// owner; whatever is still held when the pool is destroyed (a call that ended
// with an exception) is released then, so a failed call leaks nothing.
// Small blocks are carved from large slabs and recycled through one free
// list per size class (steps of 16 bytes up to 256, then powers of two up
// to 4 KiB); large ones come from malloc.
#pragma once

#include <cstddef>
#include <vector>

class block_pool {
public:
    block_pool() = default;
    block_pool(const block_pool&) = delete;
    block_pool& operator=(const block_pool&) = delete;
    ~block_pool();

    // Uninitialised storage for `bytes` bytes, aligned to 16 bytes.
    // Throws std::bad_alloc when memory is exhausted.
    void* take(std::size_t bytes);
    // Hands back a block obtained from take(); null is ignored.
    void give(void* block) noexcept;

    template <typename T>
    T* take_array(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / 2 / sizeof(T)) throw_too_large();
        return static_cast<T*>(take(count * sizeof(T)));
    }

    std::size_t blocks_held() const { return held_; }

    static constexpr int small_classes = 20;
    static constexpr std::size_t small_limit = 4096;
    static constexpr std::size_t slab_bytes = std::size_t{1} << 20;

private:
    struct large_header;
    [[noreturn]] static void throw_too_large();
    static std::size_t class_bytes(int size_class) {
        return size_class < 16 ? std::size_t{16} * static_cast<std::size_t>(size_class + 1)
                               : std::size_t{256} << (size_class - 15);
    }
    void* take_small(int size_class);
    void* take_large(std::size_t bytes);

    void* free_[small_classes] = {};
    char* slab_next_ = nullptr;
    char* slab_end_ = nullptr;
    std::vector<void*> slabs_;
    large_header* large_ = nullptr;
    std::size_t held_ = 0;
};
