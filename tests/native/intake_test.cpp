// Label intake: the candidate runs that add appends and the label records it keeps.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "engine/engine.h"

namespace quillset {
namespace {

// 46 x (12 + 4) text with the default padding of 2: every label box is 50 x 20.
TextSize fixedSize(const std::string&, int32_t) { return TextSize{46, 12, 4}; }

struct Expected {
    float x0, y0, x1, y1, baseCost;
};

// Tier 0 of a 50 x 20 label around the object (100, 100, 300, 200) on a
// 1000 x 1000 canvas, each value formed in single precision in rule order.
std::vector<Expected> workedExampleTier0() {
    std::vector<Expected> out = {
        {100, 80, 150, 100, 0.0f + 0.0f},
        {300, 100, 350, 120, 10.0f + 0.0f},
        {100, 200, 150, 220, 20.0f + 0.0f},
        {50, 100, 100, 120, 30.0f + 0.0f},
    };
    const float step = 1.0f / 3.0f;  // both sides have three divisions
    for (int j = 1; j < 3; ++j) {
        const float f = static_cast<float>(j) * step;
        const float x = f * 150.0f + 100.0f;
        const float s = f * 10.0f + 100.0f;
        out.push_back({x, 80, x + 50.0f, 100, (s + 0.0f) + 0.0f});
        out.push_back({x, 200, x + 50.0f, 220, (s + 20.0f) + 0.0f});
    }
    for (int j = 1; j < 3; ++j) {
        const float f = static_cast<float>(j) * step;
        const float y = f * 80.0f + 100.0f;
        const float s = f * 10.0f + 100.0f;
        out.push_back({300, y, 350, y + 20.0f, (s + 10.0f) + 0.0f});
        out.push_back({50, y, 100, y + 20.0f, (s + 30.0f) + 0.0f});
    }
    return out;
}

TEST(Intake, WorkedExampleCandidatesInOrder) {
    Quillset engine(1000, 1000, fixedSize);
    engine.add(100, 100, 300, 200, "label", 16);
    const std::vector<Expected> tier0 = workedExampleTier0();
    ASSERT_EQ(tier0.size(), 12u);
    // The usual decimal quotes of these values are rounded to eight digits.
    EXPECT_FLOAT_EQ(tier0[4].baseCost, 103.33334f);
    EXPECT_FLOAT_EQ(tier0[11].y1, 173.33334f);

    // Four tiers at 16, 14, 12 and 12 points, each a copy of tier 0 a further
    // costScaleTier dearer.
    const int16_t fontSizes[4] = {16, 14, 12, 12};
    ASSERT_EQ(engine.candidateRecords().size(), 48u);
    ASSERT_EQ(engine.labelRecords().size(), 1u);
    EXPECT_EQ(engine.labelRecords()[0].candidateCount, 48);
    for (size_t tier = 0; tier < 4; ++tier) {
        for (size_t i = 0; i < 12; ++i) {
            const Candidate& c = engine.candidateRecords()[tier * 12 + i];
            const Expected& e = tier0[i];
            SCOPED_TRACE(testing::Message() << "tier " << tier << " candidate " << i);
            EXPECT_EQ((std::vector<float>{c.boxX0, c.boxY0, c.boxX1, c.boxY1, c.baseCost,
                                          c.occludeCost, c.area, c.invArea}),
                      (std::vector<float>{e.x0, e.y0, e.x1, e.y1,
                                          e.baseCost + static_cast<float>(tier) * 10000.0f, 0.0f,
                                          1000.0f, 1.0f / 1000.0f}));
            EXPECT_EQ(c.fontSize, fontSizes[tier]);
            EXPECT_EQ(c.textAscent, 12);
        }
    }
}

TEST(Intake, FallbackCandidate) {
    // Too small to measure; or measured, but no box fits the canvas. The font
    // size is the base size's low 16 bits, unscaled.
    const int32_t cases[][3] = {{1000, 8, 8}, {10, 70000, 70000 - 65536}};
    for (const auto& [canvas, baseFontSize, fontSize] : cases) {
        int calls = 0;
        Quillset engine(canvas, canvas, [&](const std::string&, int32_t) {
            ++calls;
            return TextSize{46, 12, 4};
        });
        engine.add(1, 1, 5, 5, "label", baseFontSize);
        EXPECT_EQ(calls, baseFontSize == 8 ? 0 : 4);
        ASSERT_EQ(engine.candidateRecords().size(), 1u);
        const Candidate& c = engine.candidateRecords()[0];
        EXPECT_EQ((std::vector<float>{c.boxX0, c.boxY0, c.boxX1, c.boxY1, c.baseCost, c.occludeCost,
                                      c.area, c.invArea}),
                  (std::vector<float>{0, 0, 0, 0, 1e9f, 0, 0.1f, 10.0f}));
        EXPECT_EQ(c.fontSize, fontSize);
        EXPECT_EQ(c.textAscent, 0);
        EXPECT_EQ(engine.labelRecords()[0].candidateCount, 1);
        EXPECT_EQ(engine.labelRecords()[0].cost, 1e9f);
    }
}

TEST(Intake, LabelItemTakesItsFirstCandidate) {
    LayoutConfig config;
    config.costPos1_Top = 50.0f;  // the first candidate is not the cheapest
    Quillset engine(1000, 1000, fixedSize, config);
    engine.add(100, 100, 300, 200, "a", 16);
    engine.add(100.5f, 19.5f, 299.2f, 90.0f, "b", 16);  // no top anchor: starts right
    ASSERT_EQ(engine.labelRecords().size(), 2u);
    const struct {
        int32_t firstCandidate;
        float x0, y0, cost;
    } expected[] = {{0, 100, 80, 50}, {48, 300, 19, 10}};
    for (int32_t i = 0; i < 2; ++i) {
        const LabelItem& label = engine.labelRecords()[static_cast<size_t>(i)];
        const Candidate& first =
            engine.candidateRecords()[static_cast<size_t>(label.firstCandidate)];
        EXPECT_EQ(label.index, i);
        EXPECT_EQ(label.firstCandidate, expected[i].firstCandidate);
        EXPECT_EQ(label.chosen, 0);
        EXPECT_EQ((std::vector<float>{label.boxX0, label.boxY0, label.boxX1, label.boxY1,
                                      label.area, label.cost}),
                  (std::vector<float>{first.boxX0, first.boxY0, first.boxX1, first.boxY1,
                                      first.area, first.baseCost}));
        EXPECT_EQ(first.boxX0, expected[i].x0);
        EXPECT_EQ(first.boxY0, expected[i].y0);
        EXPECT_EQ(label.cost, expected[i].cost);
    }
    EXPECT_EQ(engine.labelRecords()[1].firstCandidate + engine.labelRecords()[1].candidateCount,
              static_cast<int32_t>(engine.candidateRecords().size()));
}

TEST(Intake, FailedAddLeavesItsCandidatesBehind) {
    int calls = 0;
    Quillset engine(1000, 1000, [&](const std::string&, int32_t) {
        if (++calls == 3) throw std::runtime_error("measure failed");
        return TextSize{46, 12, 4};
    });
    EXPECT_THROW(engine.add(100, 100, 300, 200, "x", 16), std::runtime_error);
    EXPECT_TRUE(engine.labelRecords().empty());
    EXPECT_EQ(engine.candidateRecords().size(), 24u);  // tiers 0 and 1
    engine.add(100, 100, 300, 200, "y", 16);
    ASSERT_EQ(engine.labelRecords().size(), 1u);
    EXPECT_EQ(engine.labelRecords()[0].index, 0);
    EXPECT_EQ(engine.labelRecords()[0].firstCandidate, 24);
    EXPECT_EQ(engine.labelRecords()[0].candidateCount, 48);
    EXPECT_EQ(engine.layout().size(), 1u);
}

TEST(Intake, NestedCallsFromTheMeasuringFunctionAreRefused) {
    Quillset* self = nullptr;
    bool nestedClear = false;
    bool swallow = false;
    Quillset engine(1000, 1000, [&](const std::string& text, int32_t) {
        if (text == "outer") {
            try {
                nestedClear ? self->clear() : self->add(0, 0, 10, 10, "inner", 16);
            } catch (const std::runtime_error&) {
                if (!swallow) throw;
            }
        }
        return TextSize{46, 12, 4};
    });
    self = &engine;
    engine.add(500, 500, 600, 600, "before", 16);
    const size_t before = engine.candidateRecords().size();
    for (const bool clear : {false, true}) {
        nestedClear = clear;
        EXPECT_THROW(engine.add(100, 100, 300, 200, "outer", 16), std::runtime_error);
        EXPECT_EQ(engine.labelRecords().size(), 1u);
        EXPECT_EQ(engine.candidateRecords().size(), before);
    }
    // A refused nested call changes nothing, so the outer add completes intact.
    swallow = true;
    engine.add(100, 100, 300, 200, "outer", 16);
    ASSERT_EQ(engine.labelRecords().size(), 2u);
    EXPECT_EQ(engine.labelRecords()[1].index, 1);
    EXPECT_EQ(engine.labelRecords()[1].firstCandidate, static_cast<int32_t>(before));
    EXPECT_EQ(engine.candidateRecords().size(), before + 48);
    // The refusal ends with the outer call.
    engine.add(0, 100, 10, 110, "after", 16);
    engine.clear();
    EXPECT_TRUE(engine.labelRecords().empty());
}

}  // namespace
}  // namespace quillset
