// Uniform grid of square cells over the canvas, used by the solver to find the
// labels whose boxes can touch a given box without scanning every label.
//
// A label is registered in every cell that its box touches. The grid is filled in
// one go from every label's box: each cell's registrations lie together, newest
// label first, cells in row-major order, and each carries a copy of the label's
// box, so that a query reads memory in order and never looks a label up.
//
// A query reports each label once, in this order: cells row by row from the top,
// columns left to right, newest registration first in a cell, each label at its
// first encounter. The solver adds its float cost terms in this order, so it is part
// of the results. A label's first encounter is recognised without per-query state:
// it is the first cell, row-major, of the overlap of the label's cell range with
// the query's, which flags set at build time identify.
//
// Where each cell's registrations start is kept in one of two forms, chosen at each
// build; both hold the same registrations in the same order and visit alike.
// - Dense: the start of every cell of the canvas, filled by a counting sort. A query
//   reads two starts per row, but the form costs memory and time for every cell of
//   the canvas, so it serves only canvases with at most 128 cells per label or per
//   registration (plus 65,536).
// - Sparse: the occupied cells alone, filled by sorting the registrations: the
//   occupied rows in order, and per row its occupied columns in order with their
//   starts. A query finds a row's columns by binary search and steps over empty
//   rows and cells, so memory and time follow the registrations, not the canvas.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>
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
    // below 1, as for a width or height below 1). Allocates nothing: any number of
    // cells that 32-bit rows and columns give is accepted.
    bool configure(int32_t w, int32_t h, int32_t cellSize);

    int32_t rowCount() const { return rows; }
    int32_t columnCount() const { return cols; }
    float cellSize() const { return cellWidth; }
    float inverseCellSize() const { return invCellWidth; }

    // The form of the cell starts. Builds choose it (automatic) unless one is forced;
    // forcing exists for tests, which compare the forms. A forced dense form refuses
    // more than INT32_MAX cells with std::bad_alloc.
    enum class Storage : uint8_t { automatic, dense, sparse };
    void forceStorage(Storage storage) { forced = storage; }
    bool isSparse() const { return sparse; }

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
    // in the visiting order above. Always inlined, as the solver's sums need.
    template <class Visitor>
    [[gnu::always_inline]] void visit(float x0, float y0, float x1, float y1,
                                      Visitor&& visitor) const {
        const CellRange range = cellRange(x0, y0, x1, y1);
        if (range.empty()) {
            return;
        }
        const PackedEntry* pool = packed.data();
        if (sparse) [[unlikely]] {
            // The same walk over the occupied rows and, in each, the occupied cells
            // within the columns. It stays inline and calls nothing out of line: a
            // visitor passed out of line would keep the caller's sums in memory, and
            // a call would cost registers, in the dense loop below too.
            const int32_t* occupied = sparseCells.rows.data();
            const int32_t* rowsEnd = occupied + sparseCells.rows.size();
            for (const int32_t* row = std::lower_bound(occupied, rowsEnd, range.rowLo);
                 row != rowsEnd && *row <= range.rowHi; ++row) {
                const SparseSpan cells = sparseCellsWithin(static_cast<size_t>(row - occupied),
                                                           range.colLo, range.colHi);
                if (cells.first == cells.last) {
                    continue;
                }
                // The first cell found counts as the query's first column even past it:
                // then no label of the row reaches the first column, so every label of
                // that cell starts there and has kFirstColumn set.
                const uint32_t rowNeed = *row == range.rowLo ? 0u : kFirstRow;
                const uint32_t* starts = sparseCells.starts.data();
                uint32_t e = starts[cells.first];
                const uint32_t firstColumnEnd = starts[cells.first + 1];
                const uint32_t rowEnd = starts[cells.last];
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
            return;
        }
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
    // a range of many cells is hinted only in part, and the sparse form, whose
    // cells are found by search, is not hinted.
    void prefetchStarts(const CellRange& range) const;
    void prefetchEntries(const CellRange& range) const;

private:
    // The occupied cells of the sparse form, row-major.
    struct SparseCells {
        std::vector<int32_t> rows;       // occupied rows, ascending
        std::vector<uint32_t> rowCells;  // row k's cells: rowCells[k] .. rowCells[k + 1] - 1
        std::vector<int32_t> columns;    // each cell's column, ascending within its row
        std::vector<uint32_t> starts;  // cell j's registrations: starts[j] .. starts[j + 1] - 1
    };

    int32_t rows = 0;
    int32_t cols = 0;
    float cellWidth = 100.0f;
    float cellHeight = 100.0f;
    float invCellWidth = 0.01f;
    float invCellHeight = 0.01f;
    Storage forced = Storage::automatic;
    bool sparse = false;
    // Dense form: cellStart[c] .. cellStart[c + 1] are the registrations of cell c in
    // `packed`, row-major. Only the form in use holds memory.
    std::vector<uint32_t> cellStart;
    SparseCells sparseCells;
    // Every build overwrites all of `packed`, so it grows without keeping or
    // clearing what it held.
    GrowList<PackedEntry> packed;

    int64_t cellsInUse() const;
    // Whether the dense form suits `cells` cells for `items` labels or registrations.
    // Its starts then take at most 512 bytes per item (plus 256 KiB), no more than a
    // label's own records and candidates. Up to about that many cells per label it
    // is also the faster form: a sparse build sorts its registrations, a dense one
    // sweeps every cell, and solves of 50,000 to 200,000 labels came out even
    // between 64 and 128 cells per label.
    static bool denseSuits(int64_t cells, int64_t items);

    template <class BoxOf>
    void buildDense(int32_t count, BoxOf& boxOf);
    template <class BoxOf>
    void buildSparse(int32_t count, BoxOf& boxOf, uint32_t total);

    // The cells of occupied row k of the sparse form within columns colLo .. colHi:
    // cells first .. last - 1 of sparseCells.
    struct SparseSpan {
        size_t first;
        size_t last;
    };
    SparseSpan sparseCellsWithin(size_t k, int32_t colLo, int32_t colHi) const {
        const int32_t* columns = sparseCells.columns.data();
        const int32_t* to = columns + sparseCells.rowCells[k + 1];
        const int32_t* first = std::lower_bound(columns + sparseCells.rowCells[k], to, colLo);
        const int32_t* last = std::upper_bound(first, to, colHi);
        return SparseSpan{static_cast<size_t>(first - columns),
                          static_cast<size_t>(last - columns)};
    }
};

inline bool SpatialGrid::denseSuits(int64_t cells, int64_t items) {
    constexpr int64_t kCellsPerItem = 128;
    constexpr int64_t kCellsAlways = int64_t{1} << 16;
    return cells <= kCellsPerItem * items + kCellsAlways &&
           cells <= std::numeric_limits<int32_t>::max();
}

template <class BoxOf>
void SpatialGrid::build(int32_t count, BoxOf&& boxOf) {
    // The label count decides the common case without a pass over the boxes; past
    // it the registrations are counted, which the sparse form needs anyway.
    const int64_t cells = cellsInUse();
    if (forced == Storage::dense || (forced == Storage::automatic && denseSuits(cells, count))) {
        buildDense(count, boxOf);
        return;
    }
    uint64_t total = 0;
    for (int32_t i = 0; i < count; ++i) {
        const PackedEntry b = boxOf(i);
        const CellRange r = cellRange(b.x0, b.y0, b.x1, b.y1);
        if (r.empty()) {
            continue;
        }
        // At most 2^62 per label, and the sum stops past INT32_MAX, so no overflow.
        total += static_cast<uint64_t>(r.rowHi - r.rowLo + 1) *
                 static_cast<uint64_t>(r.colHi - r.colLo + 1);
        if (total > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
            throw std::bad_alloc();
        }
    }
    if (forced == Storage::automatic && denseSuits(cells, static_cast<int64_t>(total))) {
        buildDense(count, boxOf);
        return;
    }
    buildSparse(count, boxOf, static_cast<uint32_t>(total));
}

template <class BoxOf>
void SpatialGrid::buildDense(int32_t count, BoxOf& boxOf) {
    const int64_t cellCount = cellsInUse();
    if (cellCount > std::numeric_limits<int32_t>::max()) {
        throw std::bad_alloc();
    }
    const size_t cells = static_cast<size_t>(cellCount);
    cellStart.assign(cells + 1, 0u);
    if (sparse) {
        sparseCells = SparseCells{};
        sparse = false;
    }
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

template <class BoxOf>
void SpatialGrid::buildSparse(int32_t count, BoxOf& boxOf, uint32_t total) {
    // Every registration as its cell (row in the high half, column in the low, so
    // that keys go row-major) and its label's age (0 for the newest): sorted, each
    // cell's registrations lie together, newest first.
    struct Registration {
        uint64_t cell;
        uint32_t age;
        uint32_t first;
    };
    std::vector<Registration> all;
    all.reserve(total);
    for (int32_t i = 0; i < count; ++i) {
        const PackedEntry b = boxOf(i);
        const CellRange r = cellRange(b.x0, b.y0, b.x1, b.y1);
        if (r.empty()) {
            continue;
        }
        const auto age = static_cast<uint32_t>(count - 1 - i);
        for (int32_t row = r.rowLo; row <= r.rowHi; ++row) {
            const uint64_t rowKey = static_cast<uint64_t>(row) << 32;
            const uint32_t rowFlag = row == r.rowLo ? kFirstRow : 0u;
            for (int32_t col = r.colLo; col <= r.colHi; ++col) {
                all.push_back(Registration{rowKey | static_cast<uint32_t>(col), age,
                                           rowFlag | (col == r.colLo ? kFirstColumn : 0u)});
            }
        }
    }
    std::sort(all.begin(), all.end(), [](const Registration& a, const Registration& b) {
        return a.cell != b.cell ? a.cell < b.cell : a.age < b.age;
    });
    // The new index is made aside and the registrations written only once nothing
    // can fail, so that a build that runs out of memory leaves the grid as it was.
    SparseCells index;
    size_t occupiedRows = 0;
    size_t occupiedCells = 0;
    for (uint32_t k = 0; k < total; ++k) {
        if (k == 0 || all[k].cell != all[k - 1].cell) {
            ++occupiedCells;
            occupiedRows += k == 0 || (all[k].cell >> 32) != (all[k - 1].cell >> 32);
        }
    }
    index.rows.reserve(occupiedRows);
    index.rowCells.reserve(occupiedRows + 1);
    index.columns.reserve(occupiedCells);
    index.starts.reserve(occupiedCells + 1);
    packed.resizeForOverwrite(total);
    PackedEntry* pool = packed.data();
    for (uint32_t k = 0; k < total; ++k) {
        const Registration& g = all[k];
        if (k == 0 || g.cell != all[k - 1].cell) {
            const auto row = static_cast<int32_t>(g.cell >> 32);
            if (index.rows.empty() || index.rows.back() != row) {
                index.rows.push_back(row);
                index.rowCells.push_back(static_cast<uint32_t>(index.columns.size()));
            }
            index.columns.push_back(static_cast<int32_t>(g.cell & 0xFFFFFFFFu));
            index.starts.push_back(k);
        }
        PackedEntry b = boxOf(count - 1 - static_cast<int32_t>(g.age));
        b.first = g.first;
        pool[k] = b;
    }
    index.rowCells.push_back(static_cast<uint32_t>(index.columns.size()));
    index.starts.push_back(total);
    sparseCells = std::move(index);
    sparse = true;
    std::vector<uint32_t>().swap(cellStart);
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
    if (range.empty() || sparse) {
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
    if (range.empty() || sparse) {
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
