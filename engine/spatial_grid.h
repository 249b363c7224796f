// Uniform grid of square cells over the canvas, used by the solver to find the
// labels whose boxes can touch a given box without scanning every label.
//
// Larger cells mean fewer cells per box but more labels per cell to test; the cell
// size is the caller's choice. The grid has two forms that visit labels in the
// same order (cells row by row from the top, columns left to right, newest entry
// first in a cell, each label once per query):
//
// - Chained (insert / query): registrations of all cells share one pooled entry
//   list, chained per cell from a head index; labels can be added one at a time.
//   It stores label indices only, and a query reports each label once by
//   comparing a per-label stamp with the query's stamp.
// - Packed (build / visit): filled in one go from every label's box by a counting
//   sort, each cell's registrations contiguous and carrying a copy of the box, so
//   that a query reads memory in order instead of chasing chains and looking
//   boxes up label by label. A label's first visit is recognised from flags set
//   at build time instead of stamps. This is the form the solver uses.
//
// Neither form allocates once its lists have grown to the largest size used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "arith.h"
#include "grow_list.h"

namespace quillset {

struct GridEntry {
    int32_t labelIndex;
    int32_t next;  // next older entry of the same cell, -1 at the end
};

// Inclusive cell range of a box; empty when lo > hi on either axis.
struct CellRange {
    int32_t colLo;
    int32_t colHi;
    int32_t rowLo;
    int32_t rowHi;
    bool empty() const { return rowLo > rowHi || colLo > colHi; }
};

// One registration of the packed form: the label's box, and whether this cell is
// in the first column or the first row of the label's own cell range.
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
    int32_t rows = 0;
    int32_t cols = 0;
    float cellWidth = 100.0f;
    float cellHeight = 100.0f;
    float invCellWidth = 0.01f;
    float invCellHeight = 0.01f;
    std::vector<int32_t> cellHeads;
    std::vector<GridEntry> entries;

    SpatialGrid() { entries.reserve(4096); }

    // Sizes the grid for a w x h canvas with square cells of `cellSize` (>= 1).
    // Returns false, touching nothing, when the canvas has no cells (rows or cols
    // below 1, as for a width or height below 1). Throws std::bad_alloc, touching
    // nothing, when rows x cols does not fit a signed 32-bit count.
    bool configure(int32_t w, int32_t h, int32_t cellSize);

    // Empties every cell in use and the entry pool, keeping capacities.
    void reset();

    CellRange cellRange(float x0, float y0, float x1, float y1) const {
        const int32_t lastCol = wrapAdd(cols, -1);
        const int32_t lastRow = wrapAdd(rows, -1);
        // The smaller-of first, then the larger-of with 0: coordinates off the canvas
        // fall into the first or last column or row.
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

    // Registers a label in every cell its box touches; newest entry first per cell.
    void insert(int32_t labelIndex, float x0, float y0, float x1, float y1);

    // Calls visit(labelIndex) once for each label registered in the cells of the
    // box that is not yet stamped with `stamp`. Cells go row by row from the top,
    // columns left to right, newest entry first: this order fixes the order of the
    // solver's float additions. The stamp is set before the visitor runs.
    template <class Visitor>
    void query(float x0, float y0, float x1, float y1, std::vector<int32_t>& visitStamps,
               int32_t stamp, Visitor&& visit) const {
        const CellRange range = cellRange(x0, y0, x1, y1);
        if (range.empty()) {
            return;
        }
        const GridEntry* pool = entries.data();
        int32_t* stamps = visitStamps.data();
        for (int32_t row = range.rowLo; row <= range.rowHi; ++row) {
            const int32_t* heads = cellHeads.data() + static_cast<int64_t>(row) * cols;
            for (int32_t col = range.colLo; col <= range.colHi; ++col) {
                for (int32_t e = heads[col]; e != -1; e = pool[e].next) {
                    const int32_t label = pool[e].labelIndex;
                    if (stamps[label] == stamp) {
                        continue;
                    }
                    stamps[label] = stamp;
                    visit(label);
                }
            }
        }
    }

    // Packed form: cellStart[c] .. cellStart[c + 1] are the registrations of cell c
    // in `packed`, row-major, newest label first. Every build overwrites all of
    // `packed`, so it grows without keeping or clearing what it held.
    std::vector<uint32_t> cellStart;
    GrowList<PackedEntry> packed;

    // Fills the packed form with labels 0 .. count - 1, in that order of insertion;
    // boxOf(i) gives label i's box as a PackedEntry (labelIndex and box set). The
    // grid must be configured with at least one cell. Throws std::bad_alloc when
    // the registrations do not fit 32-bit positions.
    template <class BoxOf>
    void build(int32_t count, BoxOf&& boxOf);

    // Calls visit(entry) once for each label registered in the packed form in the
    // cells of the box, in the visiting order above: a label is reported in the
    // first cell, row-major, of the overlap of its cell range with the box's.
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

    // Cache hints for a query to come over the cells of `range` (from cellRange):
    // first the cell starts, then, once those are at hand, the registrations. They
    // change nothing; a range of many cells is hinted only in part.
    void prefetchStarts(const CellRange& range) const {
        if (range.empty()) {
            return;
        }
        const int32_t rowHi = range.rowHi < range.rowLo + 3 ? range.rowHi : range.rowLo + 3;
        for (int32_t row = range.rowLo; row <= rowHi; ++row) {
            const uint32_t* cells = cellStart.data() + static_cast<int64_t>(row) * cols;
            prefetch(cells + range.colLo);
            prefetch(cells + range.colHi + 1);
        }
    }
    void prefetchEntries(const CellRange& range) const {
        if (range.empty()) {
            return;
        }
        const int32_t rowHi = range.rowHi < range.rowLo + 3 ? range.rowHi : range.rowLo + 3;
        for (int32_t row = range.rowLo; row <= rowHi; ++row) {
            const uint32_t* cells = cellStart.data() + static_cast<int64_t>(row) * cols;
            const char* from = reinterpret_cast<const char*>(packed.data() + cells[range.colLo]);
            const char* to = reinterpret_cast<const char*>(packed.data() + cells[range.colHi + 1]);
            // At most eight lines of 64 bytes per row.
            const char* last = to - from > 8 * 64 ? from + 8 * 64 : to;
            for (const char* line = from; line < last; line += 64) {
                prefetch(line);
            }
        }
    }

    // Rewrites the box of a label's packed registrations to (x0, y0, x1, y1). They
    // stay in the cells of the box the label was built with, (regX0 .. regY1).
    void moveLabel(int32_t labelIndex, float regX0, float regY0, float regX1, float regY1, float x0,
                   float y0, float x1, float y1);

private:
    int64_t cellsInUse() const;

    static void prefetch(const void* address) {
#if defined(__GNUC__)
        __builtin_prefetch(address);
#else
        (void)address;
#endif
    }
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

}  // namespace quillset
