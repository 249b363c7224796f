#include "grow_list.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#include <sys/mman.h>
#define QUILLSET_GROW_BY_MREMAP 1
#endif

namespace quillset::grow_list_detail {

namespace {

void* growOnHeap(void* block, size_t bytes) {
    void* grown = std::realloc(block, bytes);
    if (grown == nullptr) {
        throw std::bad_alloc();
    }
    return grown;
}

}  // namespace

#if defined(QUILLSET_GROW_BY_MREMAP)

namespace {

constexpr size_t kMapFrom = size_t{1} << 20;
constexpr uintptr_t kAlign = uintptr_t{2} << 20;

size_t pageRound(size_t bytes) { return (bytes + 4095) / 4096 * 4096; }

}  // namespace

void* grow(void* block, size_t had, size_t keep, size_t bytes, bool* mapped) {
    if (bytes < kMapFrom) {
        return growOnHeap(block, bytes);
    }
    const size_t length = pageRound(bytes);
    // Reserve room for the new block anywhere its start can have the old block's
    // offset within 2 MiB (offset 0 for a first mapping).
    const size_t span = length + kAlign;
    void* room = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (room == MAP_FAILED) {
        throw std::bad_alloc();
    }
    const uintptr_t start = reinterpret_cast<uintptr_t>(room);
    const uintptr_t offset = *mapped ? reinterpret_cast<uintptr_t>(block) % kAlign : 0;
    uintptr_t target = (start - offset + kAlign - 1) / kAlign * kAlign + offset;
    if (target < start) {
        target += kAlign;
    }
    void* grown;
    if (*mapped) {
        // Moves the pages onto the reservation; the added tail is readable and
        // writable like the rest.
        grown = mremap(block, pageRound(had), length, MREMAP_MAYMOVE | MREMAP_FIXED,
                       reinterpret_cast<void*>(target));
    } else {
        grown = mmap(reinterpret_cast<void*>(target), length, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    }
    if (grown == MAP_FAILED) {
        munmap(room, span);
        throw std::bad_alloc();
    }
    if (!*mapped) {
        if (keep > 0) {
            std::memcpy(grown, block, keep);
        }
        std::free(block);
        *mapped = true;
    }
    // Give back the reservation around the new block.
    if (target > start) {
        munmap(room, target - start);
    }
    const uintptr_t end = start + span;
    const uintptr_t used = target + length;
    if (end > used) {
        munmap(reinterpret_cast<void*>(used), end - used);
    }
    return grown;
}

void release(void* block, size_t bytes, bool mapped) noexcept {
    if (mapped) {
        munmap(block, pageRound(bytes));
    } else {
        std::free(block);
    }
}

#else

void* grow(void* block, size_t, size_t, size_t bytes, bool*) { return growOnHeap(block, bytes); }

void release(void* block, size_t, bool) noexcept { std::free(block); }

#endif

}  // namespace quillset::grow_list_detail
