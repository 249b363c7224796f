// The uniform grid: sizing, cell ranges, registrations and query order.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <new>
#include <vector>

#include "engine/spatial_grid.h"

namespace quillset {
namespace {

struct Box {
    float x0, y0, x1, y1;
};

// Grid over a 1000 x 600 canvas with cells of 100 (10 columns, 6 rows), holding
// `boxes` as labels 0, 1, ... in that order of insertion.
SpatialGrid gridOf(const std::vector<Box>& boxes) {
    SpatialGrid grid;
    EXPECT_TRUE(grid.configure(1000, 600, 100));
    grid.build(static_cast<int32_t>(boxes.size()), [&](int32_t i) {
        const Box& b = boxes[static_cast<size_t>(i)];
        return PackedEntry{b.x0, b.y0, b.x1, b.y1, i, 0u};
    });
    return grid;
}

std::vector<int32_t> visits(const SpatialGrid& grid, Box b) {
    std::vector<int32_t> seen;
    grid.visit(b.x0, b.y0, b.x1, b.y1, [&](const PackedEntry& e) { seen.push_back(e.labelIndex); });
    return seen;
}

size_t registrations(const SpatialGrid& grid) {
    return static_cast<size_t>(grid.end() - grid.begin());
}

TEST(SpatialGrid, ConfigureRoundsColumnsAndRowsUp) {
    SpatialGrid grid;
    EXPECT_TRUE(grid.configure(1000, 600, 100));
    EXPECT_EQ(grid.columnCount(), 10);
    EXPECT_EQ(grid.rowCount(), 6);
    EXPECT_EQ(grid.cellSize(), 100.0f);
    EXPECT_EQ(grid.inverseCellSize(), 1.0f / 100.0f);
    EXPECT_TRUE(grid.configure(1001, 600, 100));
    EXPECT_EQ(grid.columnCount(), 11);
    EXPECT_EQ(grid.rowCount(), 6);
}

TEST(SpatialGrid, CellRanges) {
    const SpatialGrid grid = gridOf({});
    const float nan = std::nanf("");
    struct Case {
        Box box;
        std::array<int32_t, 4> colLoHiRowLoHi;
    } const cases[] = {
        {{250, 50, 260, 70}, {2, 2, 0, 0}},       {{90, 90, 110, 110}, {0, 1, 0, 1}},
        {{-50, -50, -10, -10}, {0, 0, 0, 0}},      // before the canvas: first cell
        {{5000, 5000, 5100, 5100}, {9, 9, 5, 5}},  // beyond it: last cell
        {{150, 50, 200, 70}, {1, 2, 0, 0}},        // x = 200 starts column 2
        {{250, 50, 150, 70}, {2, 1, 0, 0}},        // inverted across columns: empty
        {{nan, 50, 350, 70}, {0, 3, 0, 0}},        // NaN converts to INT32_MIN, clamped to 0
        {{350, 50, nan, 70}, {3, 0, 0, 0}},        // ... so a NaN far edge empties the range
        {{350, 50, 3e11f, 70}, {3, 0, 0, 0}},      // out of int32 range: INT32_MIN too
    };
    for (const Case& c : cases) {
        const CellRange r = grid.cellRange(c.box.x0, c.box.y0, c.box.x1, c.box.y1);
        EXPECT_EQ((std::array<int32_t, 4>{r.colLo, r.colHi, r.rowLo, r.rowHi}), c.colLoHiRowLoHi)
            << c.box.x0 << ", " << c.box.y0 << ", " << c.box.x1 << ", " << c.box.y1;
    }
}

TEST(SpatialGrid, BoundaryColumnFollowsTheRoundedReciprocal) {
    SpatialGrid grid;
    ASSERT_TRUE(grid.configure(1000, 1000, 41));
    EXPECT_EQ(grid.cellRange(41, 0, 41, 0).colLo, 0);  // 41 * (1/41) = 0.99999994
    ASSERT_TRUE(grid.configure(1000, 1000, 100));
    EXPECT_EQ(grid.cellRange(200, 0, 200, 0).colLo, 2);
}

TEST(SpatialGrid, OneRegistrationPerTouchedCellAndOneVisitPerLabel) {
    SpatialGrid grid = gridOf({{250, 50, 260, 70}});
    EXPECT_EQ(registrations(grid), 1u);
    grid = gridOf({{250, 50, 260, 70}, {90, 90, 110, 110}});
    ASSERT_EQ(registrations(grid), 5u);
    // Row-major cells: (0, 0), (1, 0), (2, 0), (0, 1), (1, 1).
    std::vector<int32_t> labels;
    for (const PackedEntry& e : grid) {
        labels.push_back(e.labelIndex);
        EXPECT_EQ(e.x1, e.labelIndex == 0 ? 260.0f : 110.0f);
    }
    EXPECT_EQ(labels, (std::vector<int32_t>{1, 1, 0, 1, 1}));
    EXPECT_EQ(visits(grid, {50, 50, 150, 150}), std::vector<int32_t>{1});
}

TEST(SpatialGrid, QueryOrderAndDeduplication) {
    const SpatialGrid grid = gridOf({
        {10, 10, 20, 20},    // A, cell (0, 0)
        {30, 30, 40, 40},    // B, same cell, newer
        {50, 50, 250, 60},   // C across columns 0-2
        {150, 10, 160, 20},  // D, column 1 only
    });
    // Column 0 newest first (C, B, A), then column 1 (D; C already seen).
    EXPECT_EQ(visits(grid, {0, 0, 299, 99}), (std::vector<int32_t>{2, 1, 0, 3}));
    EXPECT_EQ(visits(grid, {200, 0, 299, 99}), std::vector<int32_t>{2});
}

TEST(SpatialGrid, InvertedBoxAcrossCellsRegistersAndVisitsNothing) {
    SpatialGrid grid = gridOf({{250, 50, 150, 70}});
    EXPECT_EQ(registrations(grid), 0u);
    grid = gridOf({{250, 50, 150, 70}, {0, 0, 999, 599}});
    EXPECT_TRUE(visits(grid, {250, 50, 150, 70}).empty());
    EXPECT_TRUE(visits(grid, {50, 350, 60, 50}).empty());
    EXPECT_EQ(visits(grid, {0, 0, 10, 10}), std::vector<int32_t>{1});
}

TEST(SpatialGrid, BuildReplacesWhatTheGridHeld) {
    SpatialGrid grid = gridOf({{0, 0, 999, 599}});
    grid.build(1, [](int32_t i) { return PackedEntry{550, 350, 560, 360, i, 0u}; });
    EXPECT_EQ(registrations(grid), 1u);
    EXPECT_EQ(visits(grid, {0, 0, 999, 599}), std::vector<int32_t>{0});
    EXPECT_TRUE(visits(grid, {0, 0, 10, 10}).empty());
    grid.build(0, [](int32_t i) { return PackedEntry{0, 0, 0, 0, i, 0u}; });
    EXPECT_TRUE(visits(grid, {0, 0, 999, 599}).empty());
}

TEST(SpatialGrid, ConfigureWithoutUsableCellsTouchesNothing) {
    const struct {
        int32_t w, h, cell;
    } cases[] = {{0, 600, 100}, {1000, 0, 100}, {-500, 600, 100}, {1000, -99, 100}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << " x " << c.h << " at " << c.cell);
        SpatialGrid grid;
        ASSERT_TRUE(grid.configure(1000, 600, 50));  // 20 x 12
        EXPECT_FALSE(grid.configure(c.w, c.h, c.cell));
        EXPECT_EQ(grid.columnCount(), 20);
        EXPECT_EQ(grid.rowCount(), 12);
        EXPECT_EQ(grid.cellSize(), 50.0f);
        EXPECT_EQ(grid.inverseCellSize(), 1.0f / 50.0f);
    }
}

// Labels at the corners and the middle of a canvas of (2^31 - 1)^2 cells of 1.
SpatialGrid hugeGridOf(const std::vector<Box>& boxes) {
    SpatialGrid grid;
    EXPECT_TRUE(grid.configure(INT32_MAX, INT32_MAX, 1));
    grid.build(static_cast<int32_t>(boxes.size()), [&](int32_t i) {
        const Box& b = boxes[static_cast<size_t>(i)];
        return PackedEntry{b.x0, b.y0, b.x1, b.y1, i, 0u};
    });
    return grid;
}

TEST(SpatialGrid, AnyCanvasGetsCellsAndFewLabelsOnAHugeOneCostLittle) {
    SpatialGrid grid;
    ASSERT_TRUE(grid.configure(100000, 100000, 1));
    EXPECT_EQ(grid.columnCount(), 100000);
    const float far = 2147483520.0f;  // the largest float below 2^31
    grid = hugeGridOf({
        {far - 128, far - 128, far, far},  // the farthest cells a float reaches
        {10, 20, 13, 21},
        {-5, -5, 1, 1},      // the first cells and before
        {12, 20, 12, 20},    // inside label 1's first cell, newer
        {1e9f, 0, 1e9f, 0},  // far along the first row
        {0, 1e9f, 0, 1e9f},  // far down the first column
    });
    ASSERT_EQ(grid.rowCount(), INT32_MAX);
    EXPECT_TRUE(grid.isSparse());
    EXPECT_EQ(registrations(grid), 129u * 129u + 8u + 4u + 1u + 1u + 1u);
    // Each label at the first cell, row-major, where its range meets the query's.
    EXPECT_EQ(visits(grid, {0, 0, far, far}), (std::vector<int32_t>{2, 4, 1, 3, 5, 0}));
    EXPECT_EQ(visits(grid, {0, 0, far, 1e9f}), (std::vector<int32_t>{2, 4, 1, 3, 5}));
    EXPECT_EQ(visits(grid, {1, 1, far, far}), (std::vector<int32_t>{2, 1, 3, 0}));
    EXPECT_EQ(visits(grid, {2, 0, 1e9f, 1e9f}), (std::vector<int32_t>{4, 1, 3}));
    EXPECT_EQ(visits(grid, {14, 0, 1e9f - 1000, 1e9f}), std::vector<int32_t>{});
    EXPECT_EQ(visits(grid, {far, far, far, far}), std::vector<int32_t>{0});
}

TEST(SpatialGrid, RegistrationsPastThirtyTwoBitsThrowAndKeepTheGrid) {
    SpatialGrid grid = hugeGridOf({{10, 20, 13, 21}});
    // 50,000^2 cells: more registrations than 32-bit positions.
    EXPECT_THROW(grid.build(2,
                            [](int32_t i) {
                                return i == 0 ? PackedEntry{0, 0, 1, 1, i, 0u}
                                              : PackedEntry{0, 0, 49999, 49999, i, 0u};
                            }),
                 std::bad_alloc);
    EXPECT_EQ(registrations(grid), 8u);
    EXPECT_EQ(visits(grid, {0, 0, 100, 100}), std::vector<int32_t>{0});
}

// The dense form while the canvas has at most 128 cells per label or per
// registration, plus 65,536; past that the sparse form, whose memory follows the
// registrations.
TEST(SpatialGrid, FormFollowsCellsPerRegistration) {
    const struct {
        int32_t canvas, cell, labels, span;  // labels of span x span cells
        bool sparse;
    } cases[] = {
        {1000, 1, 0, 1, true},           // 10^6 cells, nothing registered
        {25600, 100, 0, 1, false},       // 65,536 cells
        {25700, 100, 0, 1, true},        // 66,049 cells
        {100000, 100, 7500, 1, false},   // 10^6 cells, 7,500 labels
        {100000, 100, 7000, 1, true},    // 10^6 cells, 7,000 registrations
        {100000, 100, 1000, 3, false},   // 10^6 cells, 9,000 registrations
        {100000, 100, 1000, 2, true},    // 10^6 cells, 4,000 registrations
        {1000000, 100, 20, 1, true},     // 10^8 cells
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.canvas << " / " << c.cell << ", " << c.labels);
        SpatialGrid grid;
        ASSERT_TRUE(grid.configure(c.canvas, c.canvas, c.cell));
        const int32_t perRow = grid.columnCount() / c.span;
        grid.build(c.labels, [&](int32_t i) {
            const float x = static_cast<float>((i % perRow) * c.span * c.cell);
            const float y = static_cast<float>((i / perRow % perRow) * c.span * c.cell);
            const float edge = static_cast<float>(c.span * c.cell - 1);
            return PackedEntry{x, y, x + edge, y + edge, i, 0u};
        });
        EXPECT_EQ(grid.isSparse(), c.sparse);
    }
}

}  // namespace
}  // namespace quillset
