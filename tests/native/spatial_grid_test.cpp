// The uniform grid: sizing, cell ranges, chaining of entries and query order.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <new>
#include <vector>

#include "engine/spatial_grid.h"

namespace quillset {
namespace {

struct Box {
    float x0, y0, x1, y1;
};

// Grid over a 1000 x 600 canvas with cells of 100: 10 columns, 6 rows.
SpatialGrid standardGrid() {
    SpatialGrid grid;
    EXPECT_TRUE(grid.configure(1000, 600, 100));
    grid.reset();
    return grid;
}

void insert(SpatialGrid& grid, int32_t label, Box b) { grid.insert(label, b.x0, b.y0, b.x1, b.y1); }

std::vector<int32_t> visits(const SpatialGrid& grid, Box b, std::vector<int32_t>& stamps,
                            int32_t stamp) {
    std::vector<int32_t> seen;
    grid.query(b.x0, b.y0, b.x1, b.y1, stamps, stamp,
               [&](int32_t label) { seen.push_back(label); });
    return seen;
}

TEST(SpatialGrid, ConfigureRoundsColumnsAndRowsUp) {
    SpatialGrid grid;
    EXPECT_TRUE(grid.configure(1000, 600, 100));
    EXPECT_EQ(grid.cols, 10);
    EXPECT_EQ(grid.rows, 6);
    EXPECT_EQ(grid.cellWidth, 100.0f);
    EXPECT_EQ(grid.invCellHeight, 1.0f / 100.0f);
    EXPECT_TRUE(grid.configure(1001, 600, 100));
    EXPECT_EQ(grid.cols, 11);
    EXPECT_EQ(grid.rows, 6);
}

TEST(SpatialGrid, CellRanges) {
    const SpatialGrid grid = standardGrid();
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

TEST(SpatialGrid, InsertChainsOneEntryPerTouchedCell) {
    SpatialGrid grid = standardGrid();
    insert(grid, 7, {250, 50, 260, 70});
    ASSERT_EQ(grid.entries.size(), 1u);
    EXPECT_EQ(grid.entries[0].labelIndex, 7);
    EXPECT_EQ(grid.entries[0].next, -1);
    EXPECT_EQ(grid.cellHeads[0 * 10 + 2], 0);

    insert(grid, 3, {90, 90, 110, 110});
    ASSERT_EQ(grid.entries.size(), 5u);
    for (size_t e = 1; e < 5; ++e) {
        EXPECT_EQ(grid.entries[e].labelIndex, 3);
    }
    // Row by row, columns left to right.
    EXPECT_EQ((std::vector<int32_t>{grid.cellHeads[0], grid.cellHeads[1], grid.cellHeads[10],
                                    grid.cellHeads[11]}),
              (std::vector<int32_t>{1, 2, 3, 4}));

    std::vector<int32_t> stamps(8, 0);
    EXPECT_EQ(visits(grid, {50, 50, 150, 150}, stamps, 1), std::vector<int32_t>{3});
}

TEST(SpatialGrid, QueryOrderAndDeduplication) {
    SpatialGrid grid = standardGrid();
    insert(grid, 0, {10, 10, 20, 20});     // A, cell (0, 0)
    insert(grid, 1, {30, 30, 40, 40});     // B, same cell, newer
    insert(grid, 2, {50, 50, 250, 60});    // C across columns 0-2
    insert(grid, 3, {150, 10, 160, 20});   // D, column 1 only
    std::vector<int32_t> stamps(4, 0);
    // Column 0 newest first (C, B, A), then column 1 (D; C already seen).
    EXPECT_EQ(visits(grid, {0, 0, 299, 99}, stamps, 1), (std::vector<int32_t>{2, 1, 0, 3}));
    // The same stamp again finds everything marked.
    EXPECT_TRUE(visits(grid, {0, 0, 299, 99}, stamps, 1).empty());
    EXPECT_EQ(visits(grid, {200, 0, 299, 99}, stamps, 2), std::vector<int32_t>{2});
}

TEST(SpatialGrid, InvertedBoxAcrossCellsRegistersAndVisitsNothing) {
    SpatialGrid grid = standardGrid();
    insert(grid, 0, {250, 50, 150, 70});
    EXPECT_TRUE(grid.entries.empty());
    insert(grid, 1, {0, 0, 999, 599});
    std::vector<int32_t> stamps(2, 0);
    EXPECT_TRUE(visits(grid, {250, 50, 150, 70}, stamps, 1).empty());
    EXPECT_TRUE(visits(grid, {50, 350, 60, 50}, stamps, 2).empty());
}

TEST(SpatialGrid, ResetEmptiesCellsAndRestartsThePool) {
    SpatialGrid grid = standardGrid();
    insert(grid, 0, {0, 0, 999, 599});
    grid.reset();
    EXPECT_TRUE(grid.entries.empty());
    std::vector<int32_t> stamps(2, 0);
    EXPECT_TRUE(visits(grid, {0, 0, 999, 599}, stamps, 1).empty());
    insert(grid, 1, {550, 350, 560, 360});
    EXPECT_EQ(grid.cellHeads[3 * 10 + 5], 0);
    EXPECT_EQ(visits(grid, {0, 0, 999, 599}, stamps, 2), std::vector<int32_t>{1});
}

TEST(SpatialGrid, HeadsGrowAndNeverShrink) {
    SpatialGrid grid = standardGrid();
    EXPECT_EQ(grid.cellHeads.size(), 60u);
    insert(grid, 4, {550, 50, 560, 60});  // head 5
    ASSERT_TRUE(grid.configure(100, 100, 100));
    EXPECT_EQ(grid.rows * grid.cols, 1);
    EXPECT_EQ(grid.cellHeads.size(), 60u);
    grid.reset();  // only the head in use is reset
    EXPECT_EQ(grid.cellHeads[0], -1);
    EXPECT_EQ(grid.cellHeads[5], 0);
    ASSERT_TRUE(grid.configure(2000, 600, 100));
    EXPECT_EQ(grid.cellHeads.size(), 120u);
}

TEST(SpatialGrid, ConfigureWithoutUsableCellsTouchesNothing) {
    // No cells at all (rows x cols <= 0): false. More cells than a signed 32-bit
    // count: std::bad_alloc.
    const struct {
        int32_t w, h, cell;
        bool throws;
    } cases[] = {{0, 600, 100, false},
                 {1000, 0, 100, false},
                 {-500, 600, 100, false},
                 {1000, -99, 100, false},
                 {100000, 100000, 1, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << " x " << c.h << " at " << c.cell);
        SpatialGrid grid = standardGrid();
        ASSERT_TRUE(grid.configure(1000, 600, 50));  // 20 x 12
        if (c.throws) {
            EXPECT_THROW(grid.configure(c.w, c.h, c.cell), std::bad_alloc);
        } else {
            EXPECT_FALSE(grid.configure(c.w, c.h, c.cell));
        }
        EXPECT_EQ(grid.cols, 20);
        EXPECT_EQ(grid.rows, 12);
        EXPECT_EQ(grid.cellWidth, 50.0f);
        EXPECT_EQ(grid.invCellWidth, 1.0f / 50.0f);
        EXPECT_EQ(grid.cellHeads.size(), 240u);
    }
}

}  // namespace
}  // namespace quillset
