// Uniform grid of square cells over the canvas, used by the solver to find the
// labels whose boxes can touch a given box without scanning every label.
//
// A label is registered in every cell that its box touches. The grid is filled in
// one go from every label's box by a counting sort: each cell's registrations lie
// together, newest label first, and each carries a copy of the label's box, so that
// a query reads memory in order and never looks a label up.
//
// A query reports each label once, in this order: cells row by row from the top,
// columns left to right, newest registration first in a cell, each label at its
// first encounter. The solver adds its float cost terms in this order, so it is part
// of the results. A label's first encounter is recognised without per-query state:
// it is the first cell, row-major, of the overlap of the label's cell range with
// the query's, which flags set at build time identify.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "arith.h"
#include "grow_list.h"

namespace quillset {

// Inclusive cell range of a box; empty when lo > hi on either axis.
struct CellRange {
    int32_t colLo;
    int32_t colHi;
    int32_t rowLo;
    int32_t rowHi;
    bool empty() const { return rowLo > rowHi || colLo > colHi; }
};

// One registration: the label's box, and whether this cell is in the first column
// or the first row of the label's own cell range.
struct PackedEntry {
    float x0;
    float y0;
    float x1;
    float y1;
    int32_t labelIndex;
    uint32_t first;  // kFirstColumn | kFirstRow
};

constexpr uint32_t kFirstColumn = 1u;
constexpr uint32_t kFirstRow = 2u;

class SpatialGrid {
public:
    // Sizes the grid for a w x h canvas with square cells of `cellSize` (>= 1).
    // Returns false, touching nothing, when the canvas has no cells (rows or cols
    // below 1, as for a width or height below 1). Throws std::bad_alloc, touching
    // nothing, when rows x cols does not fit a signed 32-bit count.
    bool configure(int32_t w, int32_t h, int32_t cellSize);

    int32_t rowCount() const { return rows; }
    int32_t columnCount() const { return cols; }
    float cellSize() const { return cellWidth; }
    float inverseCellSize() const { return invCellWidth; }

    // The registrations of the last build, cell by cell in row-major order.
    const PackedEntry* begin() const { return packed.data(); }
    const PackedEntry* end() const { return packed.data() + packed.size(); }

    // The cells a box touches. Cell coordinates come from multiplying by the stored
    // reciprocal and truncating toward zero (NaN and out-of-range products give
    // INT32_MIN); the smaller-of comes first, then the larger-of with 0, so
    // coordinates off the canvas fall into the first or last column or row.
    CellRange cellRange(float x0, float y0, float x1, float y1) const {
        const int32_t lastCol = wrapAdd(cols, -1);
        const int32_t lastRow = wrapAdd(rows, -1);
        auto clampTo = [](int32_t v, int32_t last) {
            const int32_t below = v < last ? v : last;
            return below > 0 ? below : 0;
        };
        return CellRange{
            clampTo(truncToInt32(x0 * invCellWidth), lastCol),
            clampTo(truncToInt32(x1 * invCellWidth), lastCol),
            clampTo(truncToInt32(y0 * invCellHeight), lastRow),
            clampTo(truncToInt32(y1 * invCellHeight), lastRow),
        };
    }

    // Registers labels 0 .. count - 1 in that order of insertion, replacing what
    // the grid held; boxOf(i) gives label i's box as a PackedEntry (labelIndex and
    // box set). The grid must be configured with at least one cell. Throws
    // std::bad_alloc when the registrations do not fit 32-bit positions.
    template <class BoxOf>
    void build(int32_t count, BoxOf&& boxOf);

    // Calls visitor(entry) once for each label registered in the cells of the box,
    // in the visiting order above.
    template <class Visitor>
    void visit(float x0, float y0, float x1, float y1, Visitor&& visitor) const {
        const CellRange range = cellRange(x0, y0, x1, y1);
        if (range.empty()) {
            return;
        }
        const PackedEntry* pool = packed.data();
        const uint32_t* start = cellStart.data();
        for (int32_t row = range.rowLo; row <= range.rowHi; ++row) {
            // Past the box's first row only labels whose range starts in this row are
            // new; past its first column, likewise for columns.
            const uint32_t rowNeed = row == range.rowLo ? 0u : kFirstRow;
            const uint32_t* cells = start + static_cast<int64_t>(row) * cols;
            uint32_t e = cells[range.colLo];
            const uint32_t firstColumnEnd = cells[range.colLo + 1];
            const uint32_t rowEnd = cells[range.colHi + 1];
            for (; e < firstColumnEnd; ++e) {
                if ((pool[e].first & rowNeed) == rowNeed) {
                    visitor(pool[e]);
                }
            }
            const uint32_t need = rowNeed | kFirstColumn;
            for (; e < rowEnd; ++e) {
                if ((pool[e].first & need) == need) {
                    visitor(pool[e]);
                }
            }
        }
    }

    // Rewrites the box of a label's registrations to (x0, y0, x1, y1). They stay in
    // the cells of the box the label was built with, (regX0 .. regY1).
    void moveLabel(int32_t labelIndex, float regX0, float regY0, float regX1, float regY1, float x0,
                   float y0, float x1, float y1);

    // Cache hints for a query to come over the cells of `range`: first the cell
    // starts, then, once those are at hand, the registrations. They change nothing;
    // a range of many cells is hinted only in part.
    void prefetchStarts(const CellRange& range) const;
    void prefetchEntries(const CellRange& range) const;

private:
    int32_t rows = 0;
    int32_t cols = 0;
    float cellWidth = 100.0f;
    float cellHeight = 100.0f;
    float invCellWidth = 0.01f;
    float invCellHeight = 0.01f;
    // cellStart[c] .. cellStart[c + 1] are the registrations of cell c in `packed`.
    // Every build overwrites all of `packed`, so it grows without keeping or
    // clearing what it held.
    std::vector<uint32_t> cellStart;
    GrowList<PackedEntry> packed;

    int64_t cellsInUse() const;
};

template <class BoxOf>
void SpatialGrid::build(int32_t count, BoxOf&& boxOf) {
    const size_t cells = static_cast<size_t>(cellsInUse());
    cellStart.assign(cells + 1, 0u);
    uint32_t* start = cellStart.data();
    // Count the registrations of every cell.
    uint64_t total = 0;
    for (int32_t i = 0; i < count; ++i) {
        const PackedEntry b = boxOf(i);
        const CellRange r = cellRange(b.x0, b.y0, b.x1, b.y1);
        if (r.empty()) {
            continue;
        }
        for (int32_t row = r.rowLo; row <= r.rowHi; ++row) {
            uint32_t* cellsOfRow = start + static_cast<int64_t>(row) * cols;
            for (int32_t col = r.colLo; col <= r.colHi; ++col) {
                ++cellsOfRow[col];
            }
        }
        total += static_cast<uint64_t>(r.rowHi - r.rowLo + 1) *
                 static_cast<uint64_t>(r.colHi - r.colLo + 1);
    }
    if (total > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        throw std::bad_alloc();
    }
    // Each cell's end, then fill every cell from its end backwards in insertion
    // order, so that the newest label comes first and each start ends up in place.
    uint32_t sum = 0;
    for (size_t c = 0; c < cells; ++c) {
        sum += start[c];
        start[c] = sum;
    }
    start[cells] = sum;
    packed.clear();
    packed.resizeForOverwrite(static_cast<size_t>(total));
    PackedEntry* pool = packed.data();
    for (int32_t i = 0; i < count; ++i) {
        PackedEntry b = boxOf(i);
        const CellRange r = cellRange(b.x0, b.y0, b.x1, b.y1);
        if (r.empty()) {
            continue;
        }
        for (int32_t row = r.rowLo; row <= r.rowHi; ++row) {
            uint32_t* cellsOfRow = start + static_cast<int64_t>(row) * cols;
            const uint32_t rowFlag = row == r.rowLo ? kFirstRow : 0u;
            for (int32_t col = r.colLo; col <= r.colHi; ++col) {
                b.first = rowFlag | (col == r.colLo ? kFirstColumn : 0u);
                pool[--cellsOfRow[col]] = b;
            }
        }
    }
}

namespace grid_detail {

inline void prefetch(const void* address) {
#if defined(__GNUC__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

// Hints cover at most the first four rows of a range.
inline constexpr int32_t kHintedRows = 4;

}  // namespace grid_detail

inline void SpatialGrid::prefetchStarts(const CellRange& range) const {
    if (range.empty()) {
        return;
    }
    const int32_t rowHi = std::min(range.rowHi, range.rowLo + grid_detail::kHintedRows - 1);
    for (int32_t row = range.rowLo; row <= rowHi; ++row) {
        const uint32_t* cells = cellStart.data() + static_cast<int64_t>(row) * cols;
        grid_detail::prefetch(cells + range.colLo);
        grid_detail::prefetch(cells + range.colHi + 1);
    }
}

inline void SpatialGrid::prefetchEntries(const CellRange& range) const {
    if (range.empty()) {
        return;
    }
    const int32_t rowHi = std::min(range.rowHi, range.rowLo + grid_detail::kHintedRows - 1);
    for (int32_t row = range.rowLo; row <= rowHi; ++row) {
        const uint32_t* cells = cellStart.data() + static_cast<int64_t>(row) * cols;
        const char* from = reinterpret_cast<const char*>(packed.data() + cells[range.colLo]);
        const char* to = reinterpret_cast<const char*>(packed.data() + cells[range.colHi + 1]);
        // At most eight lines of 64 bytes per row.
        const char* last = to - from > 8 * 64 ? from + 8 * 64 : to;
        for (const char* line = from; line < last; line += 64) {
            grid_detail::prefetch(line);
        }
    }
}

}  // namespace quillset
