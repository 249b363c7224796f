// The allocator of the engine's largest lists: mapped blocks from 2 MiB up, kept
// across growth, aligned for huge pages; smaller blocks from the heap.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine/large_alloc.h"

namespace quillset {
namespace {

constexpr size_t kTwoMiB = size_t{2} << 20;

TEST(LargeAlloc, GrowingListKeepsItsContentsAcrossTheThreshold) {
    // From heap blocks to mapped ones and on through several mapped regrowths.
    std::vector<uint32_t, LargeAllocator<uint32_t>> list;
    const uint32_t count = 3 * kTwoMiB / sizeof(uint32_t);
    for (uint32_t i = 0; i < count; ++i) {
        list.push_back(i * 2654435761u);
    }
    for (uint32_t i = 0; i < count; i += 4093) {
        ASSERT_EQ(list[i], i * 2654435761u);
    }
    ASSERT_EQ(list.back(), (count - 1) * 2654435761u);
    if (large_block::mapped(list.capacity() * sizeof(uint32_t))) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(list.data()) % kTwoMiB, 0u);
    }
    list.clear();
    list.shrink_to_fit();
    EXPECT_EQ(list.capacity(), 0u);
}

TEST(LargeAlloc, OnlyBlocksOfTwoMiBOrMoreAreMapped) {
    EXPECT_FALSE(large_block::mapped(kTwoMiB - 1));
    EXPECT_FALSE(large_block::mapped(static_cast<size_t>(-1)));
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
    EXPECT_TRUE(large_block::mapped(kTwoMiB));
#endif
}

TEST(LargeAlloc, ImpossibleSizesThrow) {
    LargeAllocator<uint64_t> allocator;
    EXPECT_THROW(allocator.allocate(static_cast<size_t>(-1) / 4), std::bad_array_new_length);
    // Half the address space: refused by the system, not by the size check.
    const size_t half = static_cast<size_t>(-1) / 16;
    if (large_block::mapped(half * sizeof(uint64_t))) {
        EXPECT_THROW(allocator.allocate(half), std::bad_alloc);
    }
}

}  // namespace
}  // namespace quillset
