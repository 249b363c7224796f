// The grid against the plain statement of its visiting rule (chained_grid.h): same
// labels, same order, for every query, since the order fixes the order of the
// solver's float additions. Each storage form of the grid is checked, and the dense
// and sparse forms against each other.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "chained_grid.h"
#include "engine/spatial_grid.h"

namespace quillset {
namespace {

struct Box {
    float x0, y0, x1, y1;
};

// Mostly small boxes near the canvas, some wide, inverted, off the canvas, beyond
// the int32 range or NaN.
Box randomBox(std::mt19937& rng, float w, float h) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const float x = unit(rng) * (w + 200.0f) - 100.0f;
    const float y = unit(rng) * (h + 200.0f) - 100.0f;
    const float kind = unit(rng);
    if (kind < 0.04f) {
        return {x, y, x - 150.0f * unit(rng), y + 10.0f};
    }
    if (kind < 0.06f) {
        return {-3e10f, y, 3e10f, y + 5.0f};
    }
    if (kind < 0.07f) {
        return {std::numeric_limits<float>::quiet_NaN(), y, x, y + 5.0f};
    }
    if (kind < 0.15f) {
        return {x, y, x + 400.0f * unit(rng), y + 300.0f * unit(rng)};
    }
    return {x, y, x + 80.0f * unit(rng), y + 25.0f * unit(rng)};
}

using testing_reference::ChainedGrid;

std::vector<int32_t> chained(const ChainedGrid& grid, const Box& q, std::vector<int32_t>& stamps,
                             int32_t stamp) {
    std::vector<int32_t> seen;
    grid.query(q.x0, q.y0, q.x1, q.y1, stamps, stamp, [&](int32_t j) { seen.push_back(j); });
    return seen;
}

std::vector<int32_t> packed(const SpatialGrid& grid, const Box& q) {
    std::vector<int32_t> seen;
    grid.visit(q.x0, q.y0, q.x1, q.y1, [&](const PackedEntry& e) { seen.push_back(e.labelIndex); });
    return seen;
}

class PackedGrid : public testing::TestWithParam<SpatialGrid::Storage> {};

std::string formName(const testing::TestParamInfo<SpatialGrid::Storage>& info) {
    static const char* const names[] = {"automatic", "dense", "sparse"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Forms, PackedGrid,
                         testing::Values(SpatialGrid::Storage::automatic,
                                         SpatialGrid::Storage::dense, SpatialGrid::Storage::sparse),
                         formName);

TEST_P(PackedGrid, VisitsLikeTheChainedRule) {
    const struct {
        int32_t w, h, cell, labels;
    } cases[] = {{1000, 600, 100, 300},  {1000, 600, 41, 500},
                 {333, 999, 7, 400},     {100, 100, 1000, 50},
                 {5000, 5000, 64, 2000}, {5000, 5000, 7, 40}};  // few labels, mostly empty cells
    std::mt19937 rng(7);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << " x " << c.h << " cell " << c.cell);
        std::vector<Box> boxes;
        SpatialGrid grid;
        grid.forceStorage(GetParam());
        ChainedGrid reference;
        ASSERT_TRUE(grid.configure(c.w, c.h, c.cell));
        reference.configure(c.w, c.h, c.cell);
        reference.reset();
        for (int32_t i = 0; i < c.labels; ++i) {
            boxes.push_back(randomBox(rng, static_cast<float>(c.w), static_cast<float>(c.h)));
            reference.insert(i, boxes[i].x0, boxes[i].y0, boxes[i].x1, boxes[i].y1);
        }
        grid.build(c.labels, [&](int32_t i) {
            return PackedEntry{boxes[i].x0, boxes[i].y0, boxes[i].x1, boxes[i].y1, i, 0u};
        });
        ASSERT_EQ(static_cast<size_t>(grid.end() - grid.begin()), reference.entries.size());
        std::vector<int32_t> stamps(boxes.size(), 0);
        for (int32_t q = 1; q <= 400; ++q) {
            const Box box = randomBox(rng, static_cast<float>(c.w), static_cast<float>(c.h));
            ASSERT_EQ(packed(grid, box), chained(reference, box, stamps, q))
                << box.x0 << ", " << box.y0 << ", " << box.x1 << ", " << box.y1;
        }
        // Every registration carries its label's box.
        for (const PackedEntry& e : grid) {
            const Box& b = boxes[e.labelIndex];
            EXPECT_TRUE(e.x0 == b.x0 || (std::isnan(e.x0) && std::isnan(b.x0)));
            EXPECT_EQ(e.y1, b.y1);
        }
    }
}

TEST_P(PackedGrid, MovedLabelKeepsItsCellsWithTheNewBox) {
    SpatialGrid grid;
    grid.forceStorage(GetParam());
    ASSERT_TRUE(grid.configure(1000, 600, 100));
    const Box boxes[] = {{90, 90, 110, 110}, {150, 150, 160, 160}};
    grid.build(2, [&](int32_t i) {
        return PackedEntry{boxes[i].x0, boxes[i].y0, boxes[i].x1, boxes[i].y1, i, 0u};
    });
    grid.moveLabel(0, 90, 90, 110, 110, 700, 500, 720, 510);
    // Found through its old cells (0-1, 0-1), once, measured with its new box.
    std::vector<PackedEntry> seen;
    grid.visit(0, 0, 199, 199, [&](const PackedEntry& e) { seen.push_back(e); });
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].labelIndex, 0);
    EXPECT_EQ(seen[0].x0, 700.0f);
    EXPECT_EQ(seen[0].y1, 510.0f);
    EXPECT_EQ(seen[1].labelIndex, 1);
    for (const PackedEntry& e : grid) {
        EXPECT_EQ(e.x1, e.labelIndex == 0 ? 720.0f : 160.0f);
    }
    int found = 0;
    grid.visit(700, 500, 720, 510, [&](const PackedEntry&) { ++found; });
    EXPECT_EQ(found, 0);
}

std::vector<PackedEntry> entries(const SpatialGrid& grid, const Box& q) {
    std::vector<PackedEntry> seen;
    grid.visit(q.x0, q.y0, q.x1, q.y1, [&](const PackedEntry& e) { seen.push_back(e); });
    return seen;
}

// Same labels, boxes and flags, bit for bit, in the same order.
bool sameEntries(const PackedEntry* a, const PackedEntry* aEnd, const PackedEntry* b,
                 const PackedEntry* bEnd) {
    // An empty list may be a null pointer, which memcmp must not get.
    return aEnd - a == bEnd - b &&
           (a == aEnd || std::memcmp(a, b, sizeof(PackedEntry) * (aEnd - a)) == 0);
}

// The dense and the sparse form hold the same registrations and visit alike, also
// after labels move, on canvases from crowded to nearly empty, with boxes off the
// canvas, inverted, NaN and spanning every cell.
TEST(PackedGridForms, DenseAndSparseAgree) {
    const struct {
        int32_t w, h, cell, labels;
    } cases[] = {{1000, 600, 100, 300}, {1000, 600, 41, 500}, {333, 999, 7, 400},
                 {100, 100, 1000, 50},  {8000, 3000, 5, 60},  {20000, 20000, 3, 30}};
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << " x " << c.h << " cell " << c.cell);
        const auto w = static_cast<float>(c.w);
        const auto h = static_cast<float>(c.h);
        std::vector<Box> boxes;
        for (int32_t i = 0; i < c.labels; ++i) {
            boxes.push_back(randomBox(rng, w, h));
        }
        auto boxOf = [&](int32_t i) {
            return PackedEntry{boxes[i].x0, boxes[i].y0, boxes[i].x1, boxes[i].y1, i, 0u};
        };
        SpatialGrid dense;
        SpatialGrid sparse;
        dense.forceStorage(SpatialGrid::Storage::dense);
        sparse.forceStorage(SpatialGrid::Storage::sparse);
        ASSERT_TRUE(dense.configure(c.w, c.h, c.cell));
        ASSERT_TRUE(sparse.configure(c.w, c.h, c.cell));
        // The second build of each replaces a first one of other boxes.
        dense.build(c.labels / 2, [&](int32_t i) { return boxOf(c.labels - 1 - i); });
        sparse.build(c.labels / 2, [&](int32_t i) { return boxOf(c.labels - 1 - i); });
        dense.build(c.labels, boxOf);
        sparse.build(c.labels, boxOf);
        ASSERT_FALSE(dense.isSparse());
        ASSERT_TRUE(sparse.isSparse());
        ASSERT_TRUE(sameEntries(dense.begin(), dense.end(), sparse.begin(), sparse.end()));
        std::vector<bool> moved(boxes.size(), false);
        for (int32_t q = 0; q < 600; ++q) {
            // Every third query moves a label first, at most once each, as a pass does.
            const auto label = static_cast<size_t>(unit(rng) * static_cast<float>(c.labels));
            if (q % 3 == 0 && label < boxes.size() && !moved[label]) {
                moved[label] = true;
                const Box& from = boxes[label];
                const Box to = randomBox(rng, w, h);
                const auto i = static_cast<int32_t>(label);
                dense.moveLabel(i, from.x0, from.y0, from.x1, from.y1, to.x0, to.y0, to.x1, to.y1);
                sparse.moveLabel(i, from.x0, from.y0, from.x1, from.y1, to.x0, to.y0, to.x1, to.y1);
            }
            Box box = randomBox(rng, w, h);
            if (q % 50 == 0) {
                box = {-1e30f, -1e30f, 1e30f, 1e30f};  // every cell
            }
            const std::vector<PackedEntry> a = entries(dense, box);
            const std::vector<PackedEntry> b = entries(sparse, box);
            ASSERT_TRUE(sameEntries(a.data(), a.data() + a.size(), b.data(), b.data() + b.size()))
                << box.x0 << ", " << box.y0 << ", " << box.x1 << ", " << box.y1;
        }
        EXPECT_TRUE(sameEntries(dense.begin(), dense.end(), sparse.begin(), sparse.end()));
    }
}

}  // namespace
}  // namespace quillset
