// The solver's shuffle must match the generator draw for draw.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "engine/engine.h"

namespace quillset {
namespace {

TextSize fixedSize(const std::string&, int32_t) { return TextSize{46, 12, 4}; }

TEST(Generator, FirstOutputsForTheFixedSeed) {
    Quillset engine(100, 100, fixedSize);
    EXPECT_EQ(engine.rng(), 3992670690u);
    EXPECT_EQ(engine.rng(), 3823185381u);
    EXPECT_EQ(engine.rng(), 1358822685u);
}

std::vector<int32_t> identity(int32_t n) {
    std::vector<int32_t> order(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), 0);
    return order;
}

TEST(Shuffle, VisitingOrdersOfAFreshEngine) {
    struct Case {
        int32_t n;
        std::vector<std::vector<int32_t>> passes;
    };
    const std::vector<Case> cases = {
        {1, {{0}}},
        {2, {{1, 0}}},
        {5, {{2, 3, 1, 4, 0}, {3, 1, 4, 0, 2}}},
        {10, {{5, 9, 8, 4, 0, 2, 7, 1, 6, 3}}},
    };
    for (const Case& c : cases) {
        Quillset engine(100, 100, fixedSize);
        engine.visitOrder = identity(c.n);
        for (const auto& expected : c.passes) {
            engine.shuffleVisitOrder();
            EXPECT_EQ(engine.visitOrder, expected) << "n = " << c.n;
        }
    }
}

TEST(Shuffle, NoDrawsForOneLabel) {
    Quillset engine(100, 100, fixedSize);
    engine.visitOrder = identity(1);
    engine.shuffleVisitOrder();
    EXPECT_EQ(engine.rng(), 3992670690u);
}

}  // namespace
}  // namespace quillset
