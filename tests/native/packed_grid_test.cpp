// The grid against the plain statement of its visiting rule (chained_grid.h): same
// labels, same order, for every query, since the order fixes the order of the
// solver's float additions.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
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

TEST(PackedGrid, VisitsLikeTheChainedRule) {
    const struct {
        int32_t w, h, cell, labels;
    } cases[] = {{1000, 600, 100, 300},
                 {1000, 600, 41, 500},
                 {333, 999, 7, 400},
                 {100, 100, 1000, 50},
                 {5000, 5000, 64, 2000}};
    std::mt19937 rng(7);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << " x " << c.h << " cell " << c.cell);
        std::vector<Box> boxes;
        SpatialGrid grid;
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

TEST(PackedGrid, MovedLabelKeepsItsCellsWithTheNewBox) {
    SpatialGrid grid;
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

}  // namespace
}  // namespace quillset
