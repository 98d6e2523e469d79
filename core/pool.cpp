// SPDX-License-Identifier: MIT
#include "pool.h"

#include <cstdlib>
#include <new>

// Each block is preceded by a header that links it into the pool's list of
// live blocks, so that give() unlinks in O(1) and the destructor can find
// the blocks a failed call never handed back.
struct alignas(std::max_align_t) block_pool::header {
    header* next;
    header* prev;
};

block_pool::~block_pool() {
    header* h = first_;
    while (h != nullptr) {
        header* next = h->next;
        std::free(h);
        h = next;
    }
}

void* block_pool::take(std::size_t bytes) {
    if (bytes > static_cast<std::size_t>(-1) - sizeof(header)) throw std::bad_alloc();
    auto* h = static_cast<header*>(std::malloc(sizeof(header) + bytes));
    if (h == nullptr) throw std::bad_alloc();
    h->prev = nullptr;
    h->next = first_;
    if (first_ != nullptr) first_->prev = h;
    first_ = h;
    ++held_;
    return h + 1;
}

void block_pool::give(void* block) noexcept {
    if (block == nullptr) return;
    header* h = static_cast<header*>(block) - 1;
    if (h->prev != nullptr) h->prev->next = h->next;
    else first_ = h->next;
    if (h->next != nullptr) h->next->prev = h->prev;
    --held_;
    std::free(h);
}
