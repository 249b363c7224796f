// The solver's passes, as functions over the engine's plain lists. Quillset::solve
// runs them in order; tests call them directly.
//
// Every sum is single precision and its order of additions is fixed: the all-pairs
// scan adds in list order, the grid in its visiting order. Comparisons are strict,
// so ties keep the earlier or the current candidate.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>

#include "records.h"
#include "spatial_grid.h"

namespace quillset {

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

// Shuffles `order` in place with `rng`, draw for draw as the placement rules fix it:
// the visiting order decides which label moves first.
void shuffleVisitOrder(std::span<int32_t> order, std::mt19937& rng);

// Registers every label in `grid` with its object box (objects) or its current box.
void fillGrid(SpatialGrid& grid, std::span<const LabelItem> labels, bool objects);

// Gives every label the candidate with the lowest base cost plus occlusion cost and
// writes every candidate's occludeCost. `grid` is null for the all-pairs scan, or
// holds the object boxes (fillGrid). `order` (one entry per label) is scratch.
void initialPass(std::span<LabelItem> labels, std::span<Candidate> candidates,
                 const SpatialGrid* grid, float occludeWeight, std::span<int32_t> order);

// One improvement pass over the labels in `order`: moves a label to another of its
// candidates when that is strictly cheaper once its overlap with the other labels'
// current boxes is counted. `grid` is null for the all-pairs scan, or holds the
// labels' current boxes (fillGrid); a label that moves keeps its cells but its
// registrations take its new box. Returns the number of labels moved.
uint32_t improvementPass(std::span<LabelItem> labels, std::span<const Candidate> candidates,
                         std::span<const int32_t> order, SpatialGrid* grid, float overlapWeight);

}  // namespace quillset
