// Allocator for the engine's largest lists: labels, candidates and the grid's
// packed registrations.
//
// Blocks of 2 MiB or more are mapped straight from the system, aligned to 2 MiB
// and offered to transparent huge pages where the system has them: a list that
// grows to hundreds of megabytes then takes one page fault per 2 MiB instead of
// one per 4 KiB, and the solver's random reads miss the TLB far less. Smaller
// blocks, systems without mmap and sanitizer builds (whose checks need the heap)
// use operator new.
#pragma once

#include <cstddef>
#include <new>

namespace quillset {

namespace large_block {

// True when a block of `bytes` is mapped rather than taken from the heap.
bool mapped(size_t bytes) noexcept;

// A block of `bytes` (mapped(bytes) must hold); throws std::bad_alloc.
void* map(size_t bytes);

// Returns a block from map(bytes).
void unmap(void* block, size_t bytes) noexcept;

}  // namespace large_block

template <class T>
class LargeAllocator {
public:
    using value_type = T;

    LargeAllocator() noexcept = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}

    T* allocate(size_t n) {
        if (n > static_cast<size_t>(-1) / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        const size_t bytes = n * sizeof(T);
        if (large_block::mapped(bytes)) {
            return static_cast<T*>(large_block::map(bytes));
        }
        return static_cast<T*>(::operator new(bytes, std::align_val_t{alignof(T)}));
    }

    void deallocate(T* p, size_t n) noexcept {
        const size_t bytes = n * sizeof(T);
        if (large_block::mapped(bytes)) {
            large_block::unmap(p, bytes);
        } else {
            ::operator delete(p, std::align_val_t{alignof(T)});
        }
    }

    friend bool operator==(const LargeAllocator&, const LargeAllocator&) noexcept { return true; }
};

}  // namespace quillset
