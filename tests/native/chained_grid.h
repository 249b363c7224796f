// The grid's visiting rule stated plainly: the chained form that the engine's
// packed grid must visit exactly like.
//
// Registrations of all cells share one pooled entry list, chained per cell from a
// head index, newest first. A query walks the cells of a box row by row from the
// top, columns left to right, follows each chain, and reports each label once by
// comparing a per-label stamp with the query's stamp. The stamp is set before the
// visitor runs. Cell ranges follow the same rule as SpatialGrid::cellRange.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/arith.h"

namespace quillset::testing_reference {

struct GridEntry {
    int32_t labelIndex;
    int32_t next;  // next older entry of the same cell, -1 at the end
};

class ChainedGrid {
public:
    int32_t rows = 0;
    int32_t cols = 0;
    float invCellWidth = 0.01f;
    float invCellHeight = 0.01f;
    std::vector<int32_t> cellHeads;
    std::vector<GridEntry> entries;

    // cols = ceil(w / s) and rows = ceil(h / s) in 32-bit arithmetic; the heads grow
    // and never shrink.
    void configure(int32_t w, int32_t h, int32_t cellSize) {
        cols = wrapAdd(w, cellSize - 1) / cellSize;
        rows = wrapAdd(h, cellSize - 1) / cellSize;
        invCellWidth = 1.0f / static_cast<float>(cellSize);
        invCellHeight = invCellWidth;
        const int64_t cells = static_cast<int64_t>(rows) * cols;
        if (cells > static_cast<int64_t>(cellHeads.size())) {
            cellHeads.resize(static_cast<size_t>(cells), -1);
        }
    }

    // Empties the heads in use and the pool.
    void reset() {
        const int64_t cells = static_cast<int64_t>(rows) * cols;
        for (int64_t c = 0; c < cells; ++c) {
            cellHeads[static_cast<size_t>(c)] = -1;
        }
        entries.clear();
    }

    struct Range {
        int32_t colLo, colHi, rowLo, rowHi;
    };

    Range cellRange(float x0, float y0, float x1, float y1) const {
        auto clampTo = [](int32_t v, int32_t last) {
            const int32_t below = v < last ? v : last;
            return below > 0 ? below : 0;
        };
        return Range{clampTo(truncToInt32(x0 * invCellWidth), cols - 1),
                     clampTo(truncToInt32(x1 * invCellWidth), cols - 1),
                     clampTo(truncToInt32(y0 * invCellHeight), rows - 1),
                     clampTo(truncToInt32(y1 * invCellHeight), rows - 1)};
    }

    void insert(int32_t labelIndex, float x0, float y0, float x1, float y1) {
        const Range r = cellRange(x0, y0, x1, y1);
        for (int32_t row = r.rowLo; row <= r.rowHi; ++row) {
            for (int32_t col = r.colLo; col <= r.colHi; ++col) {
                int32_t& head = cellHeads[static_cast<size_t>(row * cols + col)];
                entries.push_back(GridEntry{labelIndex, head});
                head = static_cast<int32_t>(entries.size() - 1);
            }
        }
    }

    template <class Visitor>
    void query(float x0, float y0, float x1, float y1, std::vector<int32_t>& visitStamps,
               int32_t stamp, Visitor&& visit) const {
        const Range r = cellRange(x0, y0, x1, y1);
        for (int32_t row = r.rowLo; row <= r.rowHi; ++row) {
            for (int32_t col = r.colLo; col <= r.colHi; ++col) {
                for (int32_t e = cellHeads[static_cast<size_t>(row * cols + col)]; e != -1;
                     e = entries[static_cast<size_t>(e)].next) {
                    const int32_t label = entries[static_cast<size_t>(e)].labelIndex;
                    if (visitStamps[static_cast<size_t>(label)] == stamp) {
                        continue;
                    }
                    visitStamps[static_cast<size_t>(label)] = stamp;
                    visit(label);
                }
            }
        }
    }
};

}  // namespace quillset::testing_reference
