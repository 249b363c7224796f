// The label-placement engine: owns every label, candidate and work list by value.
//
// Lifecycle: construct, then any sequence of set_config, set_canvas_size, clear,
// add, solve and layout. Nothing is validated; out-of-range values act where they
// are used. The engine has no threads and no locks: one engine must not be used
// from two threads at once. Failures are exceptions and leave the engine usable.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "grow_list.h"
#include "records.h"
#include "spatial_grid.h"

namespace quillset {

class Quillset {
public:
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
    std::vector<int32_t> visitStamps;
    int32_t queryStamp = 0;
    std::mt19937 rng;

    Quillset(int32_t w, int32_t h, MeasureFunc measure, const LayoutConfig& cfg = LayoutConfig());

    Quillset(const Quillset&) = delete;
    Quillset& operator=(const Quillset&) = delete;

    void set_config(const LayoutConfig& cfg);
    void set_canvas_size(int32_t width, int32_t height);
    void clear();

    // Measures the text at each scale tier and stores the label with its candidates.
    void add(float l, float t, float r, float b, const std::string& text, int32_t baseFontSize);

    // Chooses one candidate per label.
    void solve();

    // One result per label, in the order of add.
    std::vector<LayoutResult> layout() const;

    // Appends the candidates of one label; called once by add.
    void generate_candidates(const LabelItem& item, const std::string& text, int32_t baseFontSize);

    // Next query stamp. Restarts every visit stamp before the counter would
    // overflow, so that no stale stamp can ever equal a fresh one.
    int32_t nextQueryStamp() {
        if (queryStamp == INT32_MAX) [[unlikely]] {
            restartStamps();
        }
        return ++queryStamp;
    }

    // Shuffles visitOrder in place with rng, one pass's worth of draws.
    void shuffleVisitOrder();

private:
    // True while add runs. The measuring callable may call back into the engine;
    // a nested add or clear would corrupt the label being built, so both refuse.
    bool addInProgress = false;

    void improveSweep(bool useGrid, uint32_t& changed);
    void restartStamps();
    CellRange reach(const LabelItem& label) const;

    // Every label once, in order of the grid cell where its object's cell range
    // starts; the grid holds the object boxes.
    void orderByCell(int32_t* order) const;

    // Fills the grid's packed form with every label's object box, or current box.
    void buildGrid(bool objects);
};

}  // namespace quillset
