// The solver: grid against scan in the initial pass (a label outside every cell
// included), the passes called on their own, and the two-label worked example.
#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include "engine/engine.h"
#include "engine/solver.h"

namespace quillset {
namespace {

// Every label box is 50 x 20.
TextSize fixedSize(const std::string&, int32_t) { return TextSize{46, 12, 4}; }

LayoutConfig withThreshold(int32_t threshold) {
    LayoutConfig config;
    config.spatialIndexThreshold = threshold;
    return config;
}

// Label 1's object lies only in the cells of label 0's fourth candidate (its
// left anchor), which covers part of it; twelve overlapping objects further
// right give plenty of moves and queries.
void addScene(Quillset& engine) {
    engine.add(100, 100, 300, 200, "p", 16);
    engine.add(20, 110, 80, 150, "q", 16);
    for (int i = 0; i < 12; ++i) {
        const float x = 500.0f + 40.0f * static_cast<float>(i % 4);
        const float y = 100.0f + 30.0f * static_cast<float>(i / 4);
        engine.add(x, y, x + 60.0f, y + 20.0f, "x", 16);
    }
}

std::vector<uint32_t> layoutBits(const Quillset& engine) {
    std::vector<uint32_t> bits;
    for (const LayoutResult& r : engine.layout()) {
        bits.insert(bits.end(), {std::bit_cast<uint32_t>(r.left), std::bit_cast<uint32_t>(r.top),
                                 static_cast<uint32_t>(r.width), static_cast<uint32_t>(r.height),
                                 static_cast<uint32_t>(r.fontSize)});
    }
    return bits;
}

std::vector<uint32_t> occludeBits(const Quillset& engine) {
    std::vector<uint32_t> bits;
    for (const Candidate& c : engine.candidateRecords()) {
        bits.push_back(std::bit_cast<uint32_t>(c.occludeCost));
    }
    return bits;
}

TEST(Solver, GridAndScanAgreeOnSingleContributorOcclusion) {
    // A row of objects 30 apart: a side candidate covers at most the neighbour's
    // object and only touches its own, so every sum has one non-zero term.
    auto build = [](int32_t threshold) {
        LayoutConfig config = withThreshold(threshold);
        config.maxIterations = 0;
        auto engine = std::make_unique<Quillset>(1000, 1000, fixedSize, config);
        for (int i = 0; i < 6; ++i) {
            const float x = 150.0f + 130.0f * static_cast<float>(i);
            engine->add(x, 300, x + 100.0f, 360, "x", 16);
        }
        engine->solve();
        return engine;
    };
    const auto grid = build(0);
    const auto scan = build(-1);
    EXPECT_EQ(occludeBits(*grid), occludeBits(*scan));
    EXPECT_EQ(layoutBits(*grid), layoutBits(*scan));
    int covering = 0;
    for (const Candidate& c : scan->candidateRecords()) {
        covering += c.occludeCost > 0.0f;
    }
    EXPECT_GT(covering, 10);
}

TEST(Solver, LabelOutsideEveryCellStillGetsItsInitialChoice) {
    // The second object reaches past the int32 range, so its cell range comes out
    // empty and the grid holds it nowhere; its top anchor covers the first object.
    auto build = [](int32_t threshold) {
        LayoutConfig config = withThreshold(threshold);
        config.maxIterations = 0;
        auto engine = std::make_unique<Quillset>(1000, 1000, fixedSize, config);
        engine->add(100, 250, 140, 290, "o", 16);
        engine->add(100, 300, 1e12f, 360, "w", 16);
        engine->solve();
        return engine;
    };
    const auto grid = build(0);
    const auto scan = build(-1);
    const LabelItem& wide = grid->labelRecords()[1];
    SpatialGrid cells;
    ASSERT_TRUE(cells.configure(1000, 1000, 100));
    EXPECT_TRUE(cells.cellRange(wide.objX0, wide.objY0, wide.objX1, wide.objY1).empty());
    EXPECT_GT(grid->candidateRecords()[static_cast<size_t>(wide.firstCandidate)].occludeCost, 0.0f);
    EXPECT_NE(wide.chosen, 0);
    // The grid misses only the wide object, which none of the wide label's own
    // candidates overlaps, so that label's sums agree with the scan.
    const auto own = [&wide](const Quillset& engine) {
        const std::vector<uint32_t> bits = occludeBits(engine);
        return std::vector<uint32_t>(bits.begin() + wide.firstCandidate,
                                     bits.begin() + wide.firstCandidate + wide.candidateCount);
    };
    EXPECT_EQ(own(*grid), own(*scan));
    EXPECT_EQ(wide.chosen, scan->labelRecords()[1].chosen);
}

TEST(Solver, WorkedExample) {
    for (const int32_t threshold : {20, 0}) {
        SCOPED_TRACE(threshold);
        Quillset engine(1000, 1000, fixedSize, withThreshold(threshold));
        engine.add(100, 100, 300, 200, "A", 16);
        engine.add(100, 40, 300, 90, "B", 16);
        engine.solve();
        const LabelItem& a = engine.labelRecords()[0];
        const LabelItem& b = engine.labelRecords()[1];
        // A's top anchor covers 50 x 10 of B's object.
        EXPECT_EQ(engine.candidateRecords()[0].occludeCost,
                  (500.0f * (1.0f / 1000.0f)) * 100000.0f);
        EXPECT_EQ(a.chosen, 1);
        EXPECT_EQ(a.cost, 10.0f);
        EXPECT_EQ(a.boxX0, 300.0f);
        EXPECT_EQ(a.boxY0, 100.0f);
        EXPECT_EQ(b.chosen, 0);
        EXPECT_EQ(b.cost, 0.0f);
        EXPECT_EQ(b.boxY0, 20.0f);
    }
}

TEST(Solver, NoLabelsDrawsNothing) {
    // A solve without labels must leave the generator alone: afterwards the engine
    // places a scene exactly as a fresh one does.
    Quillset fresh(1000, 1000, fixedSize, withThreshold(0));
    addScene(fresh);
    fresh.solve();
    Quillset used(1000, 1000, fixedSize, withThreshold(0));
    used.solve();
    EXPECT_TRUE(used.layout().empty());
    addScene(used);
    used.solve();
    EXPECT_EQ(layoutBits(used), layoutBits(fresh));
}

// Two labels whose cheapest candidates overlap, as plain lists for the passes.
struct TwoLabels {
    std::vector<LabelItem> labels;
    std::vector<Candidate> candidates;
};

TwoLabels overlappingPair() {
    Quillset engine(1000, 1000, fixedSize);
    engine.add(100, 100, 140, 140, "a", 16);
    engine.add(110, 60, 150, 75, "b", 16);
    const auto labels = engine.labelRecords();
    const auto candidates = engine.candidateRecords();
    return TwoLabels{{labels.begin(), labels.end()}, {candidates.begin(), candidates.end()}};
}

TEST(Passes, FirstVisitedLabelMovesAndTheSecondSeesTheFreedSpace) {
    for (const bool useGrid : {false, true}) {
        SCOPED_TRACE(useGrid ? "grid" : "scan");
        TwoLabels pair = overlappingPair();
        SpatialGrid grid;
        ASSERT_TRUE(grid.configure(1000, 1000, 100));
        SpatialGrid* g = useGrid ? &grid : nullptr;
        std::vector<int32_t> order(2);
        if (g != nullptr) {
            fillGrid(grid, pair.labels, /*objects=*/true);
        }
        initialPass(pair.labels, pair.candidates, g, 100000.0f, order);
        // Both top anchors: a's box (100, 80, 150, 100) covers none of b's object
        // (110, 60, 150, 75), b's box (110, 40, 160, 60) only touches it.
        ASSERT_EQ(pair.labels[0].chosen, 0);
        ASSERT_EQ(pair.labels[1].chosen, 0);
        pair.labels[1].chosen = 2;  // b put on its bottom anchor, over a's top anchor
        const Candidate& bottom =
            pair.candidates[static_cast<size_t>(pair.labels[1].firstCandidate + 2)];
        pair.labels[1].boxX0 = bottom.boxX0;
        pair.labels[1].boxY0 = bottom.boxY0;
        pair.labels[1].boxX1 = bottom.boxX1;
        pair.labels[1].boxY1 = bottom.boxY1;
        ASSERT_GT(overlapArea(bottom.boxX0, bottom.boxY0, bottom.boxX1, bottom.boxY1,
                              pair.labels[0].boxX0, pair.labels[0].boxY0, pair.labels[0].boxX1,
                              pair.labels[0].boxY1),
                  0.0f);
        if (g != nullptr) {
            fillGrid(grid, pair.labels, /*objects=*/false);
        }
        const std::vector<int32_t> visit = {1, 0};
        EXPECT_EQ(improvementPass(pair.labels, pair.candidates, visit, g, 100000.0f), 1u);
        // b moves off a's box to a cheaper free candidate; a, visited second, stays.
        EXPECT_NE(pair.labels[1].chosen, 2);
        EXPECT_EQ(pair.labels[0].chosen, 0);
        EXPECT_EQ(overlapArea(pair.labels[1].boxX0, pair.labels[1].boxY0, pair.labels[1].boxX1,
                              pair.labels[1].boxY1, pair.labels[0].boxX0, pair.labels[0].boxY0,
                              pair.labels[0].boxX1, pair.labels[0].boxY1),
                  0.0f);
        // A second pass finds nothing cheaper.
        EXPECT_EQ(improvementPass(pair.labels, pair.candidates, visit, g, 100000.0f), 0u);
    }
}

TEST(Passes, OverlapAreaIsStrict) {
    const struct {
        float b[4];
        float area;
    } cases[] = {
        {{10, 0, 20, 10}, 0.0f},     // shares an edge
        {{10, 10, 20, 20}, 0.0f},    // shares a corner
        {{5, 5, 15, 15}, 25.0f},     // overlaps a quarter
        {{2, 2, 4, 4}, 4.0f},        // inside
        {{std::nanf(""), 0, 5, 5}, 0.0f},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(overlapArea(0, 0, 10, 10, c.b[0], c.b[1], c.b[2], c.b[3]), c.area);
        EXPECT_EQ(overlapArea(c.b[0], c.b[1], c.b[2], c.b[3], 0, 0, 10, 10), c.area);
    }
}

// The passes as a solve runs them, with the grid in each storage form: every
// choice, box and cost the same to the bit, since both visit alike.
TEST(Passes, DenseAndSparseGridsSolveAlike) {
    Quillset engine(3000, 2000, fixedSize);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < 600; ++i) {
        const float x = unit(rng) * 3100.0f - 50.0f;
        const float y = unit(rng) * 2100.0f - 50.0f;
        engine.add(x, y, x + 4.0f + unit(rng) * 150.0f, y + 4.0f + unit(rng) * 60.0f, "x", 16);
    }
    const LayoutConfig config;
    auto solveWith = [&](SpatialGrid::Storage storage) {
        const auto labelRecords = engine.labelRecords();
        const auto candidateRecords = engine.candidateRecords();
        std::vector<LabelItem> labels(labelRecords.begin(), labelRecords.end());
        std::vector<Candidate> candidates(candidateRecords.begin(), candidateRecords.end());
        SpatialGrid grid;
        grid.forceStorage(storage);
        EXPECT_TRUE(grid.configure(3000, 2000, 100));
        std::vector<int32_t> order(labels.size());
        fillGrid(grid, labels, /*objects=*/true);
        initialPass(labels, candidates, &grid, config.costOccludeObj, order);
        std::iota(order.begin(), order.end(), 0);
        std::mt19937 passRng(9);
        uint32_t moves = 0;
        for (int pass = 0; pass < 8; ++pass) {
            shuffleVisitOrder(order, passRng);
            fillGrid(grid, labels, /*objects=*/false);
            moves += improvementPass(labels, candidates, order, &grid, config.costOverlapBase);
        }
        EXPECT_GT(moves, 50u);
        std::vector<unsigned char> bytes(labels.size() * sizeof(LabelItem) +
                                         candidates.size() * sizeof(Candidate));
        std::memcpy(bytes.data(), labels.data(), labels.size() * sizeof(LabelItem));
        std::memcpy(bytes.data() + labels.size() * sizeof(LabelItem), candidates.data(),
                    candidates.size() * sizeof(Candidate));
        return bytes;
    };
    EXPECT_EQ(solveWith(SpatialGrid::Storage::dense), solveWith(SpatialGrid::Storage::sparse));
}

}  // namespace
}  // namespace quillset
