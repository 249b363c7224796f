#include "large_alloc.h"

#include <cstdint>

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#include <sys/mman.h>
#define QUILLSET_MAP_LARGE 1
#endif

namespace quillset::large_block {

#if defined(QUILLSET_MAP_LARGE)

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kPage = 4096;

size_t roundUp(size_t bytes, size_t unit) { return (bytes + unit - 1) / unit * unit; }

}  // namespace

bool mapped(size_t bytes) noexcept {
    // The upper bound keeps the rounding in map() from overflowing.
    return bytes >= kHugePage && bytes <= (static_cast<size_t>(-1) >> 1);
}

void* map(size_t bytes) {
    const size_t length = roundUp(bytes, kPage);
    // Map one huge page more than needed, then give back the unaligned ends.
    const size_t span = length + kHugePage;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        throw std::bad_alloc();
    }
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = roundUp(start, kHugePage);
    if (aligned > start) {
        munmap(raw, aligned - start);
    }
    const uintptr_t end = start + span;
    if (end > aligned + length) {
        munmap(reinterpret_cast<void*>(aligned + length), end - (aligned + length));
    }
    void* block = reinterpret_cast<void*>(aligned);
    // Only advice: where huge pages are off or unsupported the block works as is.
    madvise(block, length, MADV_HUGEPAGE);
    return block;
}

void unmap(void* block, size_t bytes) noexcept { munmap(block, roundUp(bytes, kPage)); }

#else

bool mapped(size_t) noexcept { return false; }

void* map(size_t) { throw std::bad_alloc(); }

void unmap(void*, size_t) noexcept {}

#endif

}  // namespace quillset::large_block
