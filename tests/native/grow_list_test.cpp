// The list that holds labels, candidates and grid registrations: contents across
// its growths, storage kept by clear, failed growth.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <utility>

#include "engine/grow_list.h"

namespace quillset {
namespace {

struct Record {
    uint32_t key;
    float value;
    int16_t small;
};

Record recordAt(uint32_t i) {
    return Record{i * 2654435761u, static_cast<float>(i) * 0.5f, static_cast<int16_t>(i)};
}

TEST(GrowList, KeepsEveryRecordAcrossItsGrowths) {
    // 12-byte records: 48 MiB, past the sizes that realloc serves from the heap.
    GrowList<Record> list;
    const uint32_t count = 4u << 20;
    size_t growths = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const Record* before = list.data();
        list.push_back(recordAt(i));
        if (list.data() == before) {
            continue;
        }
        ++growths;
    }
    EXPECT_GE(growths, 5u);
    ASSERT_EQ(list.size(), count);
    for (uint32_t i = 0; i < count; i += 997) {
        ASSERT_EQ(list[i].key, recordAt(i).key);
        ASSERT_EQ(list[i].value, recordAt(i).value);
        ASSERT_EQ(list[i].small, recordAt(i).small);
    }
    EXPECT_EQ(list.back().key, recordAt(count - 1).key);
}

TEST(GrowList, ClearKeepsStorageAndReserveGrowsOnlyUpward) {
    GrowList<Record> list;
    list.reserve(100000);
    const Record* storage = list.data();
    for (uint32_t i = 0; i < 100; ++i) {
        list.push_back(recordAt(i));
    }
    list.clear();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.capacity(), 100000u);
    list.reserve(10);
    EXPECT_EQ(list.data(), storage);
    list.push_back(recordAt(7));
    EXPECT_EQ(list[0].key, recordAt(7).key);
}

TEST(GrowList, ResizeForOverwriteKeepsTheFrontAndTheStorage) {
    GrowList<Record> list;
    for (uint32_t i = 0; i < 1000; ++i) {
        list.push_back(recordAt(i));
    }
    list.resizeForOverwrite(300000);
    ASSERT_EQ(list.size(), 300000u);
    EXPECT_EQ(list[999].key, recordAt(999).key);
    const Record* storage = list.data();
    const size_t capacity = list.capacity();
    list.resizeForOverwrite(5);
    EXPECT_EQ(list.size(), 5u);
    EXPECT_EQ(list[4].key, recordAt(4).key);
    list.resizeForOverwrite(capacity);
    EXPECT_EQ(list.data(), storage);
    EXPECT_EQ(list.capacity(), capacity);
    // A move hands the storage over and leaves the source empty and usable.
    GrowList<Record> moved(std::move(list));
    EXPECT_EQ(moved.data(), storage);
    EXPECT_EQ(moved[4].key, recordAt(4).key);
    EXPECT_EQ(list.data(), nullptr);
    list.push_back(recordAt(1));
    moved = std::move(list);
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved[0].key, recordAt(1).key);
}

TEST(GrowList, FailedGrowthChangesNothing) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer aborts on impossible sizes instead of failing them";
#else
    for (const uint32_t records : {100u, 200000u}) {  // a small block, then a large one
        GrowList<Record> list;
        for (uint32_t i = 0; i < records; ++i) {
            list.push_back(recordAt(i));
        }
        const Record* storage = list.data();
        const size_t capacity = list.capacity();
        EXPECT_THROW(list.reserve(GrowList<Record>::max_size()), std::bad_alloc);
        EXPECT_THROW(list.reserve(GrowList<Record>::max_size() + 1), std::bad_alloc);
        EXPECT_EQ(list.data(), storage);
        EXPECT_EQ(list.capacity(), capacity);
        ASSERT_EQ(list.size(), records);
        EXPECT_EQ(list[records - 1].key, recordAt(records - 1).key);
        list.push_back(recordAt(records));
        EXPECT_EQ(list.back().key, recordAt(records).key);
    }
#endif
}

}  // namespace
}  // namespace quillset
