// The solver's shuffle must match the generator draw for draw.
#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <vector>

#include "engine/solver.h"

namespace quillset {
namespace {

// The engine seeds its generator with this value once, at construction.
constexpr uint32_t kEngineSeed = 12345u;

TEST(Generator, FirstOutputsForTheFixedSeed) {
    std::mt19937 rng(kEngineSeed);
    EXPECT_EQ(rng(), 3992670690u);
    EXPECT_EQ(rng(), 3823185381u);
    EXPECT_EQ(rng(), 1358822685u);
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
        std::mt19937 rng(kEngineSeed);
        std::vector<int32_t> order = identity(c.n);
        for (const auto& expected : c.passes) {
            shuffleVisitOrder(order, rng);
            EXPECT_EQ(order, expected) << "n = " << c.n;
        }
    }
}

TEST(Shuffle, NoDrawsForOneLabel) {
    std::mt19937 rng(kEngineSeed);
    std::vector<int32_t> order = identity(1);
    shuffleVisitOrder(order, rng);
    EXPECT_EQ(rng(), 3992670690u);
}

}  // namespace
}  // namespace quillset
