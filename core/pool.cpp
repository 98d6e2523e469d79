// SPDX-License-Identifier: MIT
#include "pool.h"

#include <cstdint>
#include <cstdlib>
#include <new>

// Every block is preceded by a 16-byte tag whose second word is its size
// class (large_class for a malloc'ed block). A large block's tag sits at the
// end of a header that also links it into the pool's list of large blocks,
// so that give() unlinks it in O(1) and the destructor can find it.
namespace {

constexpr std::size_t tag_bytes = 16;
constexpr std::size_t large_class = ~std::size_t{0};

inline std::size_t& class_of(void* block) { return static_cast<std::size_t*>(block)[-1]; }

}  // namespace

struct block_pool::large_header {
    large_header* next;
    large_header* prev;
    std::size_t unused;
    std::size_t size_class;
};

block_pool::~block_pool() {
    for (large_header* h = large_; h != nullptr;) {
        large_header* next = h->next;
        std::free(h);
        h = next;
    }
    for (void* slab : slabs_) std::free(slab);
}

void block_pool::throw_too_large() { throw std::bad_alloc(); }

void* block_pool::take(std::size_t bytes) {
    if (bytes <= small_limit - tag_bytes) {
        const std::size_t need = bytes + tag_bytes;
        int size_class = need <= 256 ? static_cast<int>((need + 15) / 16) - 1 : 16;
        while (class_bytes(size_class) < need) ++size_class;
        return take_small(size_class);
    }
    return take_large(bytes);
}

void* block_pool::take_small(int size_class) {
    void* block = free_[size_class];
    if (block != nullptr) {
        free_[size_class] = *static_cast<void**>(block);
    } else {
        const std::size_t bytes = class_bytes(size_class);
        if (static_cast<std::size_t>(slab_end_ - slab_next_) < bytes) {
            slabs_.reserve(slabs_.size() + 1);
            void* slab = std::malloc(slab_bytes);
            if (slab == nullptr) throw std::bad_alloc();
            slabs_.push_back(slab);
            slab_next_ = static_cast<char*>(slab);
            slab_end_ = slab_next_ + slab_bytes;
        }
        block = slab_next_ + tag_bytes;
        slab_next_ += bytes;
    }
    class_of(block) = static_cast<std::size_t>(size_class);
    ++held_;
    return block;
}

void* block_pool::take_large(std::size_t bytes) {
    static_assert(sizeof(large_header) % 16 == 0, "large blocks must stay 16-byte aligned");
    if (bytes > static_cast<std::size_t>(-1) - sizeof(large_header)) throw std::bad_alloc();
    auto* h = static_cast<large_header*>(std::malloc(sizeof(large_header) + bytes));
    if (h == nullptr) throw std::bad_alloc();
    h->prev = nullptr;
    h->next = large_;
    if (large_ != nullptr) large_->prev = h;
    large_ = h;
    h->size_class = large_class;
    ++held_;
    return h + 1;
}

void block_pool::give(void* block) noexcept {
    if (block == nullptr) return;
    --held_;
    const std::size_t size_class = class_of(block);
    if (size_class != large_class) {
        *static_cast<void**>(block) = free_[size_class];
        free_[size_class] = block;
        return;
    }
    large_header* h = static_cast<large_header*>(block) - 1;
    if (h->prev != nullptr) h->prev->next = h->next;
    else large_ = h->next;
    if (h->next != nullptr) h->next->prev = h->prev;
    std::free(h);
}
