// The solver: query stamps across the counter's limit, grid against scan in the
// initial pass (a label outside every cell included), and the two-label worked example.
#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <memory>
#include <vector>

#include "engine/engine.h"

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
    for (const Candidate& c : engine.candidates) {
        bits.push_back(std::bit_cast<uint32_t>(c.occludeCost));
    }
    return bits;
}

TEST(Solver, NextQueryStampRestartsAtTheLimit) {
    Quillset engine(100, 100, fixedSize);
    engine.queryStamp = INT32_MAX - 1;
    engine.visitStamps = {5, INT32_MAX - 1, 7};
    EXPECT_EQ(engine.nextQueryStamp(), INT32_MAX);
    EXPECT_EQ(engine.visitStamps, (std::vector<int32_t>{5, INT32_MAX - 1, 7}));
    EXPECT_EQ(engine.nextQueryStamp(), 1);
    EXPECT_EQ(engine.queryStamp, 1);
    EXPECT_EQ(engine.visitStamps, (std::vector<int32_t>{0, 0, 0}));
    EXPECT_EQ(engine.nextQueryStamp(), 2);
}

TEST(Solver, StampWrapDuringSolveChangesNothing) {
    Quillset fresh(1000, 1000, fixedSize, withThreshold(0));
    addScene(fresh);
    fresh.solve();

    Quillset wrapped(1000, 1000, fixedSize, withThreshold(0));
    addScene(wrapped);
    // The fourth query of the solve is the first after the limit. Label 1, first
    // met there, holds the stamp that a counter restarting without clearing
    // would hand that query; the others hold stale stamps near the limit.
    wrapped.queryStamp = INT32_MAX - 3;
    wrapped.visitStamps.assign(14, INT32_MAX - 5);
    wrapped.visitStamps[0] = INT32_MAX - 3;
    wrapped.visitStamps[1] = 1;
    wrapped.solve();

    EXPECT_EQ(layoutBits(wrapped), layoutBits(fresh));
    EXPECT_EQ(occludeBits(wrapped), occludeBits(fresh));
    EXPECT_GT(fresh.candidates[3].occludeCost, 0.0f);
    ASSERT_GT(fresh.queryStamp, 100);
    // Three stamps before the limit, the rest counted again from 1.
    EXPECT_EQ(wrapped.queryStamp, fresh.queryStamp - 3);
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
    EXPECT_GT(grid->queryStamp, 0);
    EXPECT_EQ(scan->queryStamp, 0);
    EXPECT_EQ(occludeBits(*grid), occludeBits(*scan));
    EXPECT_EQ(layoutBits(*grid), layoutBits(*scan));
    int covering = 0;
    for (const Candidate& c : scan->candidates) {
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
    const LabelItem& wide = grid->labels[1];
    EXPECT_TRUE(grid->grid.cellRange(wide.objX0, wide.objY0, wide.objX1, wide.objY1).empty());
    EXPECT_GT(grid->candidates[static_cast<size_t>(wide.firstCandidate)].occludeCost, 0.0f);
    EXPECT_NE(wide.chosen, 0);
    // The grid misses only the wide object, which none of the wide label's own
    // candidates overlaps, so that label's sums agree with the scan.
    const auto own = [&wide](const Quillset& engine) {
        const std::vector<uint32_t> bits = occludeBits(engine);
        return std::vector<uint32_t>(bits.begin() + wide.firstCandidate,
                                     bits.begin() + wide.firstCandidate + wide.candidateCount);
    };
    EXPECT_EQ(own(*grid), own(*scan));
    EXPECT_EQ(wide.chosen, scan->labels[1].chosen);
}

TEST(Solver, WorkedExample) {
    for (const int32_t threshold : {20, 0}) {
        SCOPED_TRACE(threshold);
        Quillset engine(1000, 1000, fixedSize, withThreshold(threshold));
        engine.add(100, 100, 300, 200, "A", 16);
        engine.add(100, 40, 300, 90, "B", 16);
        engine.solve();
        const LabelItem& a = engine.labels[0];
        const LabelItem& b = engine.labels[1];
        // A's top anchor covers 50 x 10 of B's object.
        EXPECT_EQ(engine.candidates[0].occludeCost, (500.0f * (1.0f / 1000.0f)) * 100000.0f);
        EXPECT_EQ(a.chosen, 1);
        EXPECT_EQ(a.cost, 10.0f);
        EXPECT_EQ(a.boxX0, 300.0f);
        EXPECT_EQ(a.boxY0, 100.0f);
        EXPECT_EQ(b.chosen, 0);
        EXPECT_EQ(b.cost, 0.0f);
        EXPECT_EQ(b.boxY0, 20.0f);
        // One pass, visiting B then A, one draw: the second output comes next.
        EXPECT_EQ(engine.visitOrder, (std::vector<int32_t>{1, 0}));
        EXPECT_EQ(engine.rng(), 3823185381u);
    }
}

TEST(Solver, NoLabelsTouchesNothing) {
    Quillset engine(1000, 1000, fixedSize, withThreshold(0));
    engine.solve();
    EXPECT_EQ(engine.queryStamp, 0);
    EXPECT_TRUE(engine.visitStamps.empty());
    EXPECT_TRUE(engine.visitOrder.empty());
    EXPECT_EQ(engine.grid.rows, 0);
    EXPECT_EQ(engine.rng(), 3992670690u);
}

}  // namespace
}  // namespace quillset
