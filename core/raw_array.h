// SPDX-License-Identifier: MIT
// A growable array of trivially copyable records in one block, left
// uninitialised on growth. Small arrays live in malloc'd blocks; large ones
// in mappings of their own, which grow with mremap: pages move, nothing is
// copied. (Transparent huge pages were tried: their first use stalls for
// compaction, and a mapping that mremap moves loses them anyway.) The
// array owns its block.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

template <typename T>
class raw_array {
    static_assert(std::is_trivially_copyable<T>::value, "raw_array holds plain records");

public:
    raw_array() = default;
    explicit raw_array(std::size_t count) { resize(count); }
    raw_array(const raw_array&) = delete;
    raw_array& operator=(const raw_array&) = delete;
    raw_array(raw_array&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    raw_array& operator=(raw_array&& other) noexcept {
        if (this != &other) {
            release(data_, capacity_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~raw_array() { release(data_, capacity_); }

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

    // New elements are uninitialised. Throws std::bad_alloc.
    void resize(std::size_t count) {
        if (count > capacity_) reallocate(count);
        size_ = count;
    }
    void reserve(std::size_t count) {
        if (count > capacity_) reallocate(count);
    }
    void push_back(const T& value) {
        if (size_ == capacity_) reallocate(capacity_ < 64 ? 64 : capacity_ * 2);
        data_[size_++] = value;
    }
    // Whether the array lives in a mapping of its own (whole pages, from
    // data() on, up to the capacity).
    bool in_mapping() const { return data_ != nullptr && mapped(capacity_); }

    // Gives back unused capacity.
    void shrink_to_fit() {
        if (capacity_ > size_ && size_ > 0) reallocate(size_);
    }
    void clear() { size_ = 0; }

private:
    // Blocks from this size on are mappings of their own.
    static constexpr std::size_t mapped_bytes = std::size_t{1} << 21;

    static bool mapped(std::size_t capacity) { return capacity * sizeof(T) >= mapped_bytes; }

    static void release(T* data, std::size_t capacity) {
        if (data == nullptr) return;
        if (mapped(capacity)) munmap(data, capacity * sizeof(T));
        else std::free(data);
    }

    void reallocate(std::size_t count) {
        if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = count * sizeof(T);
        void* block = nullptr;
        if (!mapped(count) && (data_ == nullptr || !mapped(capacity_))) {
            block = std::realloc(data_, bytes);
            if (block == nullptr) throw std::bad_alloc();
        } else if (!mapped(count)) {
            // A mapping shrunk to a small block.
            block = std::malloc(bytes);
            if (block == nullptr) throw std::bad_alloc();
            std::memcpy(block, data_, (size_ < count ? size_ : count) * sizeof(T));
            munmap(data_, capacity_ * sizeof(T));
        } else if (data_ != nullptr && mapped(capacity_)) {
            block = mremap(data_, capacity_ * sizeof(T), bytes, MREMAP_MAYMOVE);
            if (block == MAP_FAILED) throw std::bad_alloc();
        } else {
            block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (block == MAP_FAILED) throw std::bad_alloc();
            if (size_ > 0) std::memcpy(block, data_, size_ * sizeof(T));
            std::free(data_);
        }
        data_ = static_cast<T*>(block);
        capacity_ = count;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};
