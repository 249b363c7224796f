// The label-placement engine: owns every label, candidate and work list by value.
//
// Lifecycle: construct, then any sequence of set_config, set_canvas_size, clear,
// add, solve and layout. Nothing is validated; out-of-range values act where they
// are used. The engine has no threads and no locks: one engine must not be used
// from two threads at once. Failures are exceptions and leave the engine usable.
#pragma once

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "grow_list.h"
#include "records.h"
#include "spatial_grid.h"

namespace quillset {

class Quillset {
public:
    Quillset(int32_t w, int32_t h, MeasureFunc measure, const LayoutConfig& cfg = LayoutConfig());

    Quillset(const Quillset&) = delete;
    Quillset& operator=(const Quillset&) = delete;

    void set_config(const LayoutConfig& cfg);
    void set_canvas_size(int32_t width, int32_t height);
    void clear();

    // Measures the text at each scale tier and stores the label with its candidates.
    void add(float l, float t, float r, float b, const std::string& text, int32_t baseFontSize);

    // Chooses one candidate per label (solver.cpp).
    void solve();

    // One result per label, in the order of add.
    std::vector<LayoutResult> layout() const;

    // The label and candidate records, read-only.
    std::span<const LabelItem> labelRecords() const { return {labels.data(), labels.size()}; }
    std::span<const Candidate> candidateRecords() const {
        return {candidates.data(), candidates.size()};
    }

private:
    // Members in construction order; destruction releases them in reverse, so the
    // measuring callable is the last thing the engine lets go of.
    LayoutConfig config;
    int32_t canvasWidth;
    int32_t canvasHeight;
    MeasureFunc measureFunc;
    GrowList<LabelItem> labels;
    GrowList<Candidate> candidates;
    std::vector<int32_t> visitOrder;
    SpatialGrid grid;
    std::mt19937 rng;

    // True while add runs. Python code may run meanwhile (the measuring callable, a
    // finalizer it triggers, another thread taking the interpreter lock); an add or
    // clear from any of them would corrupt the label being built, so both refuse.
    bool addInProgress = false;

    // Appends the candidates of one label; called once by add.
    void generate_candidates(const LabelItem& item, const std::string& text, int32_t baseFontSize);
};

}  // namespace quillset
