// Uniform grid of square cells over the canvas, used by the solver to find the
// labels whose boxes can touch a given box without scanning every label.
//
// Larger cells mean fewer cells per box but more labels per cell to test; the cell
// size is the caller's choice. The grid stores label indices only, never boxes: the
// caller's visitor looks the box up itself. All registrations of all cells share
// one pooled entry list, chained per cell from a head index, so filling the grid
// allocates nothing once the pool has grown. A query reports each label once by
// comparing a per-label stamp with the query's stamp instead of building a set.
#pragma once

#include <cstdint>
#include <vector>

#include "arith.h"

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

    CellRange cellRange(float x0, float y0, float x1, float y1) const;

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

private:
    int64_t cellsInUse() const;
};

}  // namespace quillset
