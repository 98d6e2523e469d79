// SPDX-License-Identifier: MIT
// A growable array of trivially copyable records in one block, left
// uninitialised on growth. Small arrays live in malloc'd blocks; large ones
// in mappings, which grow with mremap: pages move, nothing is copied.
// (Transparent huge pages were tried: their first use stalls for
// compaction, and a mapping that mremap moves loses them anyway.) An array
// can also take over a block assembled from several mappings (see
// page_moves.h); such an array grows by copying into a fresh mapping. The
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

// A block of `bytes` could not be had. What it says stays generic; callers
// that know what the block was for say more.
struct allocation_failure : std::bad_alloc {
    explicit allocation_failure(std::size_t wanted) : bytes(wanted) {}
    std::size_t bytes;
};

// ThreadSanitizer does not see mremap: pages it moves keep the record of
// the accesses at their old address, and a later mapping there shows races
// between threads that never met. Under it, mappings grow and move by copying.
#if defined(__SANITIZE_THREAD__)
constexpr bool remap_pages = false;
#else
constexpr bool remap_pages = true;
#endif

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
          capacity_(std::exchange(other.capacity_, 0)),
          pieced_(std::exchange(other.pieced_, false)) {}
    raw_array& operator=(raw_array&& other) noexcept {
        if (this != &other) {
            release(data_, capacity_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
            pieced_ = std::exchange(other.pieced_, false);
        }
        return *this;
    }
    ~raw_array() { release(data_, capacity_); }

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
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
    // Takes over `bytes` (whole pages, at least mapping_bytes) mapped at
    // `data`, possibly as several mappings, holding `count` records; what
    // the array held is released.
    void adopt_pages(T* data, std::size_t count, std::size_t bytes) {
        release(data_, capacity_);
        data_ = data;
        size_ = count;
        capacity_ = bytes / sizeof(T);
        pieced_ = true;
    }

    // Blocks from this size on are mappings.
    static constexpr std::size_t mapping_bytes = std::size_t{1} << 21;

    // Gives back unused capacity.
    void shrink_to_fit() {
        if (capacity_ > size_ && size_ > 0) reallocate(size_);
    }
    void clear() { size_ = 0; }

private:
    static bool mapped(std::size_t capacity) { return capacity * sizeof(T) >= mapping_bytes; }

    static void release(T* data, std::size_t capacity) {
        if (data == nullptr) return;
        if (mapped(capacity)) munmap(data, capacity * sizeof(T));
        else std::free(data);
    }

    void reallocate(std::size_t count) {
        if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) throw allocation_failure(PTRDIFF_MAX);
        const std::size_t bytes = count * sizeof(T);
        void* block = nullptr;
        if (!mapped(count) && (data_ == nullptr || !mapped(capacity_))) {
            block = std::realloc(data_, bytes);
            if (block == nullptr) throw allocation_failure(bytes);
        } else if (!mapped(count)) {
            // A mapping shrunk to a small block.
            block = std::malloc(bytes);
            if (block == nullptr) throw allocation_failure(bytes);
            std::memcpy(block, data_, (size_ < count ? size_ : count) * sizeof(T));
            munmap(data_, capacity_ * sizeof(T));
        } else if (data_ != nullptr && mapped(capacity_) && !pieced_ && remap_pages) {
            block = mremap(data_, capacity_ * sizeof(T), bytes, MREMAP_MAYMOVE);
            if (block == MAP_FAILED) throw allocation_failure(bytes);
        } else {
            // mremap takes one mapping only: an adopted block of several
            // is copied, as a malloc'd one is.
            block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (block == MAP_FAILED) throw allocation_failure(bytes);
            if (size_ > 0) std::memcpy(block, data_, (size_ < count ? size_ : count) * sizeof(T));
            release(data_, capacity_);
        }
        data_ = static_cast<T*>(block);
        capacity_ = count;
        pieced_ = false;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool pieced_ = false;  // data_ was adopted and may span several mappings
};
