// SPDX-License-Identifier: MIT
// A growable array of trivially copyable records in one malloc'd block,
// left uninitialised on growth. Large arrays grow with realloc, which moves
// pages instead of copying them, and ask for transparent huge pages, which
// cut the cost of touching fresh memory. The array owns its block.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
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
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~raw_array() { std::free(data_); }

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
    // Gives back unused capacity.
    void shrink_to_fit() {
        if (capacity_ > size_ && size_ > 0) reallocate(size_);
    }
    void clear() { size_ = 0; }

private:
    void reallocate(std::size_t count) {
        if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = count * sizeof(T);
        void* block = std::realloc(data_, bytes);
        if (block == nullptr) throw std::bad_alloc();
        constexpr std::size_t huge_page = std::size_t{2} << 20;
        if (bytes >= 2 * huge_page) {
            // The aligned part of the block only; failure merely costs speed.
            auto first = (reinterpret_cast<std::uintptr_t>(block) + huge_page - 1) & ~(huge_page - 1);
            const auto last = (reinterpret_cast<std::uintptr_t>(block) + bytes) & ~(huge_page - 1);
            if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
        }
        data_ = static_cast<T*>(block);
        capacity_ = count;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};
