// The solver: an initial pass that gives every label its cheapest candidate by base
// cost plus the cost of covering objects, then shuffled improvement passes that move
// a label when another of its candidates is strictly cheaper once the overlap with
// the other labels' current boxes is counted.
//
// Every sum is single precision and its order of additions is fixed: the all-pairs
// scan adds in list order, the grid in its query visiting order. Comparisons are
// strict, so ties keep the earlier or the current candidate.
#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <numeric>

#include "engine.h"

namespace quillset {

namespace {

// Area of the strict intersection of two boxes; boxes that only share an edge or a
// corner, and any test that meets a NaN, give 0.
inline float overlapArea(float ax0, float ay0, float ax1, float ay1, float bx0, float by0,
                         float bx1, float by1) {
    if (bx1 > ax0 && ax1 > bx0 && by1 > ay0 && ay1 > by0) {
        const float h = std::max(std::min(ay1, by1) - std::max(ay0, by0), 0.0f);
        const float w = std::max(std::min(ax1, bx1) - std::max(ax0, bx0), 0.0f);
        return h * w;
    }
    return 0.0f;
}

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

}  // namespace

// Sum over labels of the weighted overlap of `box` with each label's object box
// (occlusion) or current box (overlap), leaving out `skipIndex` (-1 skips none).
template <Box (*OtherBox)(const LabelItem&)>
static float weightedSum(Quillset& engine, bool useGrid, const Box& box, float invArea,
                         float weight, int32_t skipIndex) {
    const LabelItem* labels = engine.labels.data();
    float sum = 0.0f;
    if (useGrid) {
        const int32_t stamp = engine.nextQueryStamp();
        engine.grid.query(box.x0, box.y0, box.x1, box.y1, engine.visitStamps, stamp,
                          [&](int32_t j) {
                              if (j == skipIndex) {
                                  return;
                              }
                              sum = term(box, OtherBox(labels[j]), invArea, weight) + sum;
                          });
    } else {
        const size_t n = engine.labels.size();
        for (size_t j = 0; j < n; ++j) {
            if (labels[j].index == skipIndex) {
                continue;
            }
            sum = term(box, OtherBox(labels[j]), invArea, weight) + sum;
        }
    }
    return sum;
}

void Quillset::shuffleVisitOrder() {
    // Drawn by hand: std::shuffle and std::uniform_int_distribution are free to
    // draw differently, and the visiting order decides which label moves first.
    const uint64_t M = 4294967295u;
    const size_t n = visitOrder.size();
    for (size_t t = 1; t < n; ++t) {
        const uint64_t k = static_cast<uint64_t>(t) + 1;
        uint64_t r;
        do {
            r = static_cast<uint64_t>(rng());
        } while (!(r / k < M / k || M % k == k - 1));
        const uint64_t j = r % k;
        if (j != t) {
            std::swap(visitOrder[t], visitOrder[j]);
        }
    }
}

void Quillset::improveSweep(bool useGrid, uint32_t& changed) {
    const float overlapWeight = config.costOverlapBase;
    for (const int32_t p : visitOrder) {
        LabelItem& label = labels[static_cast<size_t>(p)];
        const Candidate* run = candidates.data() + label.firstCandidate;
        const Candidate& cur = run[label.chosen];
        const float ovl = weightedSum<currentBox>(*this, useGrid, currentBox(label), cur.invArea,
                                                  overlapWeight, label.index);
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
            const float o = weightedSum<currentBox>(*this, useGrid, candidateBox(c), c.invArea,
                                                    overlapWeight, label.index);
            const float total = o + s;
            if (best > total) {
                best = total;
                bestIndex = i;
            }
        }
        if (bestIndex != -1) {
            const Candidate& chosen = run[bestIndex];
            label.chosen = bestIndex;
            label.boxX0 = chosen.boxX0;
            label.boxY0 = chosen.boxY0;
            label.boxX1 = chosen.boxX1;
            label.boxY1 = chosen.boxY1;
            label.area = chosen.area;
            ++changed;
        }
    }
}

void Quillset::solve() {
    if (labels.empty()) {
        return;
    }
    const size_t n = labels.size();
    if (visitStamps.size() < n) {
        visitStamps.resize(n, 0);
    }

    // The threshold is widened to 64 bits and compared unsigned: 0 always uses the
    // grid, a negative threshold never does.
    bool useGrid = static_cast<uint64_t>(n) >=
                   static_cast<uint64_t>(static_cast<int64_t>(config.spatialIndexThreshold));
    if (useGrid) {
        const int32_t cellSize = config.gridSize < 1 ? 100 : config.gridSize;
        // A canvas without cells (width or height below 1) falls back to the scan
        // for this solve, so that costs are still counted.
        useGrid = grid.configure(canvasWidth, canvasHeight, cellSize);
        if (useGrid) {
            grid.reset();
            for (const LabelItem& label : labels) {
                grid.insert(label.index, label.objX0, label.objY0, label.objX1, label.objY1);
            }
        }
    }

    // Initial pass: base cost plus occlusion of every object, the label's own
    // included; the earlier candidate wins a tie.
    const float occludeWeight = config.costOccludeObj;
    for (LabelItem& label : labels) {
        Candidate* run = candidates.data() + label.firstCandidate;
        float best = FLT_MAX;
        int32_t bestIndex = 0;
        for (int32_t i = 0; i < label.candidateCount; ++i) {
            Candidate& c = run[i];
            const float occ = weightedSum<objectBox>(*this, useGrid, candidateBox(c), c.invArea,
                                                     occludeWeight, -1);
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

    visitOrder.resize(n);
    std::iota(visitOrder.begin(), visitOrder.end(), 0);

    for (int32_t pass = 0; pass < config.maxIterations;) {
        shuffleVisitOrder();
        // The grid holds the boxes of the start of the pass and is not updated when
        // a label moves within it.
        if (useGrid) {
            grid.reset();
            for (const LabelItem& label : labels) {
                grid.insert(label.index, label.boxX0, label.boxY0, label.boxX1, label.boxY1);
            }
        }
        uint32_t changed = 0;
        improveSweep(useGrid, changed);
        if (changed == 0) {
            break;
        }
        ++pass;
    }
}

}  // namespace quillset
