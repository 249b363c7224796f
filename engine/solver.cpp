// The solver: an initial pass that gives every label its cheapest candidate by base
// cost plus the cost of covering objects, then shuffled improvement passes that move
// a label when another of its candidates is strictly cheaper once the overlap with
// the other labels' current boxes is counted.
#include "solver.h"

#include <algorithm>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <numeric>

#include "engine.h"
#include "simd.h"

namespace quillset {

namespace {

struct Box {
    float x0, y0, x1, y1;
};

inline Box objectBox(const LabelItem& label) {
    return Box{label.objX0, label.objY0, label.objX1, label.objY1};
}

inline Box currentBox(const LabelItem& label) {
    return Box{label.boxX0, label.boxY0, label.boxX1, label.boxY1};
}

inline Box candidateBox(const Candidate& c) { return Box{c.boxX0, c.boxY0, c.boxX1, c.boxY1}; }

// One weighted term: the covered fraction of the querying box times the weight.
inline float term(const Box& a, const Box& b, float invArea, float weight) {
    return (overlapArea(a.x0, a.y0, a.x1, a.y1, b.x0, b.y0, b.x1, b.y1) * invArea) * weight;
}

// Sum over every label of the weighted overlap of `box` with that label's object
// box (occlusion) or current box (overlap), leaving out `skipIndex` (-1 skips none),
// added in list order.
template <Box (*OtherBox)(const LabelItem&)>
float scanSum(std::span<const LabelItem> labels, const Box& box, float invArea, float weight,
              int32_t skipIndex) {
    float sum = 0.0f;
    for (const LabelItem& other : labels) {
        if (other.index == skipIndex) {
            continue;
        }
        sum = term(box, OtherBox(other), invArea, weight) + sum;
    }
    return sum;
}

// The same sum over the labels that the grid reports for `box`, in its visiting
// order. Each registration carries the box to measure against: the object box in
// the initial pass, the current box in an improvement pass.
template <bool kEveryTerm>
[[gnu::always_inline]] inline float gridSumOf(const SpatialGrid& grid, const Box& box,
                                              float invArea, float weight, int32_t skipIndex) {
    float sum = 0.0f;
    const StrictOverlap overlaps(box.x0, box.y0, box.x1, box.y1);
    grid.visit(box.x0, box.y0, box.x1, box.y1, [&](const PackedEntry& e) {
        if (e.labelIndex == skipIndex) {
            return;
        }
        if (kEveryTerm || overlaps(&e.x0)) {
            sum = term(box, Box{e.x0, e.y0, e.x1, e.y1}, invArea, weight) + sum;
        }
    });
    return sum;
}

[[gnu::always_inline]] inline float gridSum(const SpatialGrid& grid, const Box& box, float invArea,
                                            float weight, int32_t skipIndex) {
    // A label that does not overlap adds (0 * invArea) * weight. That is a signed
    // zero unless the weight is infinite or NaN, and adding a zero changes no sum
    // (a sum that starts at +0 never becomes -0), so such terms are left out; with
    // an infinite or NaN weight every term counts.
    const float zeroTerm = (0.0f * invArea) * weight;
    if (zeroTerm == 0.0f) {
        return gridSumOf<false>(grid, box, invArea, weight, skipIndex);
    }
    return gridSumOf<true>(grid, box, invArea, weight, skipIndex);
}

// Roughly the cells that a label's candidates touch: its object box grown on every
// side by the size of its current box. Only cache hints use it, so it reads nothing
// but the label record.
CellRange reach(const SpatialGrid& grid, const LabelItem& label) {
    const float w = label.boxX1 - label.boxX0;
    const float h = label.boxY1 - label.boxY0;
    return grid.cellRange(label.objX0 - w, label.objY0 - h, label.objX1 + w, label.objY1 + h);
}

// Cache hints for one label record, which may straddle two lines.
void hintRecord(const LabelItem& label) {
    const char* at = reinterpret_cast<const char*>(&label);
    __builtin_prefetch(at);
    __builtin_prefetch(at + sizeof(LabelItem) - 1);
}

// Cache hints for a label's candidate run, at most `mostLines` lines of it; kWrite
// when the pass will write the candidates.
template <bool kWrite>
void hintRun(const Candidate* candidates, const LabelItem& label, size_t mostLines) {
    const char* from = reinterpret_cast<const char*>(candidates + label.firstCandidate);
    const size_t bytes = label.candidateCount * sizeof(Candidate);
    const char* to = from + (bytes < mostLines * 64 ? bytes : mostLines * 64);
    for (const char* line = from; line < to; line += 64) {
        __builtin_prefetch(line, kWrite ? 1 : 0);
    }
}

// Every label once, in order of the grid cell where its object's cell range starts;
// the grid holds the object boxes.
void orderByCell(const SpatialGrid& grid, std::span<const LabelItem> labels,
                 std::span<int32_t> order) {
    // The object grid lists every label once with both first-cell flags: in the
    // cell where its own range starts. Cells go row by row, so this is the labels
    // sorted by that cell.
    const uint32_t both = kFirstRow | kFirstColumn;
    size_t m = 0;
    for (const PackedEntry& e : grid) {
        if ((e.first & both) == both) {
            order[m++] = e.labelIndex;
        }
    }
    // Labels registered in no cell (a range that wraps past the int32 limits comes
    // out empty) follow in list order.
    if (m < labels.size()) {
        for (const LabelItem& label : labels) {
            if (grid.cellRange(label.objX0, label.objY0, label.objX1, label.objY1).empty()) {
                order[m++] = label.index;
            }
        }
    }
}

}  // namespace

void shuffleVisitOrder(std::span<int32_t> order, std::mt19937& rng) {
    // Drawn by hand: std::shuffle and std::uniform_int_distribution are free to
    // draw differently.
    const uint64_t M = 4294967295u;
    const size_t n = order.size();
    for (size_t t = 1; t < n; ++t) {
        const uint64_t k = static_cast<uint64_t>(t) + 1;
        uint64_t r;
        do {
            r = static_cast<uint64_t>(rng());
        } while (!(r / k < M / k || M % k == k - 1));
        const uint64_t j = r % k;
        if (j != t) {
            std::swap(order[t], order[j]);
        }
    }
}

void fillGrid(SpatialGrid& grid, std::span<const LabelItem> labels, bool objects) {
    const LabelItem* all = labels.data();
    const auto count = static_cast<int32_t>(labels.size());
    if (objects) {
        grid.build(count, [all](int32_t i) {
            const LabelItem& l = all[i];
            return PackedEntry{l.objX0, l.objY0, l.objX1, l.objY1, l.index, 0u};
        });
    } else {
        grid.build(count, [all](int32_t i) {
            const LabelItem& l = all[i];
            return PackedEntry{l.boxX0, l.boxY0, l.boxX1, l.boxY1, l.index, 0u};
        });
    }
}

void initialPass(std::span<LabelItem> labels, std::span<Candidate> candidates,
                 const SpatialGrid* grid, float occludeWeight, std::span<int32_t> order) {
    // Each label's choice depends on the objects and its own candidates only, so
    // labels may go in any order: with the grid they go cell by cell, so that
    // consecutive labels query neighbouring cells.
    const size_t n = labels.size();
    if (grid != nullptr) {
        orderByCell(*grid, labels, order);
    } else {
        std::iota(order.begin(), order.end(), 0);
    }
    // In cell order the labels' records and candidates lie anywhere: hint the
    // record, then the candidate run, a few labels ahead.
    constexpr size_t kAheadLabel = 16;
    constexpr size_t kAheadRun = 8;
    constexpr size_t kMostRunLines = 16;
    for (size_t k = 0; k < n; ++k) {
        if (grid != nullptr) {
            if (k + kAheadLabel < n) {
                hintRecord(labels[order[k + kAheadLabel]]);
            }
            if (k + kAheadRun < n) {
                hintRun<true>(candidates.data(), labels[order[k + kAheadRun]], kMostRunLines);
            }
        }
        LabelItem& label = labels[static_cast<size_t>(order[k])];
        Candidate* run = candidates.data() + label.firstCandidate;
        float best = FLT_MAX;
        int32_t bestIndex = 0;
        for (int32_t i = 0; i < label.candidateCount; ++i) {
            Candidate& c = run[i];
            // Occlusion counts every object, the label's own included.
            const float occ =
                grid != nullptr
                    ? gridSum(*grid, candidateBox(c), c.invArea, occludeWeight, -1)
                    : scanSum<objectBox>(labels, candidateBox(c), c.invArea, occludeWeight, -1);
            c.occludeCost = occ;
            const float total = occ + c.baseCost;
            if (best > total) {
                best = total;
                bestIndex = i;
            }
        }
        const Candidate& chosen = run[bestIndex];
        label.chosen = bestIndex;
        label.boxX0 = chosen.boxX0;
        label.boxY0 = chosen.boxY0;
        label.boxX1 = chosen.boxX1;
        label.boxY1 = chosen.boxY1;
        label.area = chosen.area;
        label.cost = best;
    }
}

uint32_t improvementPass(std::span<LabelItem> labels, std::span<const Candidate> candidates,
                         std::span<const int32_t> order, SpatialGrid* grid, float overlapWeight) {
    auto overlapSum = [&](const Box& box, float invArea, int32_t self) {
        return grid != nullptr ? gridSum(*grid, box, invArea, overlapWeight, self)
                               : scanSum<currentBox>(labels, box, invArea, overlapWeight, self);
    };
    // The visiting order is random, so every label, its candidates and its cells are
    // far in memory from the last ones. Hints run ahead of the sweep in three steps:
    // the label record; then its current candidate and the cell starts around its
    // object; then its whole candidate run and the registrations of all those cells.
    // Whether a label looks at its other candidates is known only once its overlap
    // is summed, and about half do in a first pass, so every label gets them all.
    constexpr size_t kAheadLabel = 12;
    constexpr size_t kAheadStarts = 6;
    constexpr size_t kAheadEntries = 3;
    const size_t n = order.size();
    uint32_t changed = 0;
    for (size_t k = 0; k < n; ++k) {
        if (grid != nullptr) {
            if (k + kAheadLabel < n) {
                hintRecord(labels[order[k + kAheadLabel]]);
            }
            if (k + kAheadStarts < n) {
                const LabelItem& ahead = labels[order[k + kAheadStarts]];
                __builtin_prefetch(&candidates[ahead.firstCandidate + ahead.chosen]);
                grid->prefetchStarts(reach(*grid, ahead));
            }
            if (k + kAheadEntries < n) {
                const LabelItem& ahead = labels[order[k + kAheadEntries]];
                hintRun<false>(candidates.data(), ahead, SIZE_MAX / 64);
                grid->prefetchEntries(reach(*grid, ahead));
            }
        }
        LabelItem& label = labels[static_cast<size_t>(order[k])];
        const Candidate* run = candidates.data() + label.firstCandidate;
        const Candidate& cur = run[label.chosen];
        const float ovl = overlapSum(currentBox(label), cur.invArea, label.index);
        const float current = (cur.occludeCost + cur.baseCost) + ovl;
        // Cheap enough already: nothing to gain from looking further.
        if (current < 1.0f) {
            continue;
        }
        float best = current;
        int32_t bestIndex = -1;
        for (int32_t i = 0; i < label.candidateCount; ++i) {
            if (i == label.chosen) {
                continue;
            }
            const Candidate& c = run[i];
            const float s = c.occludeCost + c.baseCost;
            // The overlap can only add cost, so a static cost at the best already
            // loses and its overlap need not be computed.
            if (s >= best) {
                continue;
            }
            const float o = overlapSum(candidateBox(c), c.invArea, label.index);
            const float total = o + s;
            if (best > total) {
                best = total;
                bestIndex = i;
            }
        }
        if (bestIndex != -1) {
            const Candidate& chosen = run[bestIndex];
            if (grid != nullptr) {
                // A label moves at most once per pass, so its box until now is the one
                // it was registered with; later queries this pass find it through
                // those cells and measure its new box.
                grid->moveLabel(label.index, label.boxX0, label.boxY0, label.boxX1, label.boxY1,
                                chosen.boxX0, chosen.boxY0, chosen.boxX1, chosen.boxY1);
            }
            label.chosen = bestIndex;
            label.boxX0 = chosen.boxX0;
            label.boxY0 = chosen.boxY0;
            label.boxX1 = chosen.boxX1;
            label.boxY1 = chosen.boxY1;
            label.area = chosen.area;
            ++changed;
        }
    }
    return changed;
}

void Quillset::solve() {
    if (labels.empty()) {
        return;
    }
    const size_t n = labels.size();
    const std::span<LabelItem> labelSpan(labels.data(), n);
    const std::span<Candidate> candidateSpan(candidates.data(), candidates.size());
    // The threshold is widened to 64 bits and compared unsigned: 0 always uses the
    // grid, a negative threshold never does.
    const bool wantGrid = static_cast<uint64_t>(n) >=
                          static_cast<uint64_t>(static_cast<int64_t>(config.spatialIndexThreshold));
    SpatialGrid* useGrid = nullptr;
    if (wantGrid) {
        const int32_t cellSize = config.gridSize < 1 ? 100 : config.gridSize;
        // A canvas without cells (width or height below 1) falls back to the scan
        // for this solve, so that costs are still counted.
        if (grid.configure(canvasWidth, canvasHeight, cellSize)) {
            useGrid = &grid;
            fillGrid(grid, labelSpan, /*objects=*/true);
        }
    }

    visitOrder.resize(n);
    initialPass(labelSpan, candidateSpan, useGrid, config.costOccludeObj, visitOrder);

    std::iota(visitOrder.begin(), visitOrder.end(), 0);
    for (int32_t pass = 0; pass < config.maxIterations;) {
        shuffleVisitOrder(visitOrder, rng);
        if (useGrid != nullptr) {
            fillGrid(grid, labelSpan, /*objects=*/false);
        }
        if (improvementPass(labelSpan, candidateSpan, visitOrder, useGrid,
                            config.costOverlapBase) == 0) {
            break;
        }
        ++pass;
    }
}

}  // namespace quillset
