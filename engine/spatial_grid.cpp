#include "spatial_grid.h"

namespace quillset {

int64_t SpatialGrid::cellsInUse() const {
    // Formed in 64 bits: up to (2^31 - 1)^2 cells for a huge canvas with small cells.
    const int64_t cells = static_cast<int64_t>(rows) * cols;
    return cells > 0 ? cells : 0;
}

bool SpatialGrid::configure(int32_t w, int32_t h, int32_t cellSize) {
    // Ceiling division in 32-bit arithmetic, wrapping like the platform's ints.
    const int32_t newCols = wrapAdd(w, cellSize - 1) / cellSize;
    const int32_t newRows = wrapAdd(h, cellSize - 1) / cellSize;
    // A canvas whose width or height is below 1 has no cells.
    if (newRows < 1 || newCols < 1) {
        return false;
    }
    rows = newRows;
    cols = newCols;
    cellWidth = static_cast<float>(cellSize);
    cellHeight = cellWidth;
    // Cell coordinates come from multiplying by this stored reciprocal, so a
    // coordinate on a cell boundary lands wherever the rounded reciprocal puts it.
    invCellWidth = 1.0f / cellWidth;
    invCellHeight = 1.0f / cellHeight;
    return true;
}

void SpatialGrid::moveLabel(int32_t labelIndex, float regX0, float regY0, float regX1, float regY1,
                            float x0, float y0, float x1, float y1) {
    const CellRange r = cellRange(regX0, regY0, regX1, regY1);
    if (r.empty()) {
        return;
    }
    PackedEntry* pool = packed.data();
    // The label's registration among the entries from .. to - 1 of one cell.
    auto rewrite = [&](uint32_t from, uint32_t to) {
        for (uint32_t e = from; e < to; ++e) {
            if (pool[e].labelIndex == labelIndex) {
                pool[e].x0 = x0;
                pool[e].y0 = y0;
                pool[e].x1 = x1;
                pool[e].y1 = y1;
                break;
            }
        }
    };
    if (sparse) {
        const uint32_t* starts = sparseCells.starts.data();
        const std::vector<int32_t>& occupied = sparseCells.rows;
        for (auto row = std::lower_bound(occupied.begin(), occupied.end(), r.rowLo);
             row != occupied.end() && *row <= r.rowHi; ++row) {
            const SparseSpan cells =
                sparseCellsWithin(static_cast<size_t>(row - occupied.begin()), r.colLo, r.colHi);
            for (size_t c = cells.first; c < cells.last; ++c) {
                rewrite(starts[c], starts[c + 1]);
            }
        }
        return;
    }
    for (int32_t row = r.rowLo; row <= r.rowHi; ++row) {
        const uint32_t* cells = cellStart.data() + static_cast<int64_t>(row) * cols;
        for (int32_t col = r.colLo; col <= r.colHi; ++col) {
            rewrite(cells[col], cells[col + 1]);
        }
    }
}

}  // namespace quillset
