// Label intake: normalises the object box, measures the text at up to four scale
// tiers and appends every admissible label box around the object as a candidate.
// A label's candidates are fixed here; the solver only chooses among them, and its
// tie rules depend on the order in which they are generated.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "arith.h"
#include "engine.h"

namespace quillset {

namespace {

// Scale tiers in the order they are tried; the scales are single-precision values.
constexpr float kTierScale[4] = {1.0f, 0.9f, 0.8f, 0.75f};
constexpr int32_t kSmallestFontSize = 9;
constexpr float kMinObjectExtent = 2.0f;
constexpr float kMinSlideFreeLength = 1.0f;
constexpr float kSlideDivisionLength = 40.0f;
constexpr int32_t kFewestDivisions = 3;
constexpr int32_t kMostDivisions = 15;
constexpr float kSlideCostPerWholeSlide = 10.0f;
constexpr float kDegenerateArea = 0.1f;
constexpr float kFallbackCost = 1e9f;

// Clears the in-progress flag however add ends.
class AddScope {
public:
    explicit AddScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~AddScope() { flag_ = false; }
    AddScope(const AddScope&) = delete;
    AddScope& operator=(const AddScope&) = delete;

private:
    bool& flag_;
};

// Number of sliding divisions for a free length: one per 40 units, at least 3 and
// at most 15. The truncation follows the platform, so an enormous free length
// (INT32_MIN after truncation) gets the fewest divisions.
int32_t slideDivisions(float freeLength) {
    return std::min(std::max(truncToInt32(freeLength / kSlideDivisionLength), kFewestDivisions),
                    kMostDivisions);
}

}  // namespace

void Quillset::add(float l, float t, float r, float b, const std::string& text,
                   int32_t baseFontSize) {
    if (addInProgress) {
        throw std::runtime_error(
            "Quillset.add() cannot be called while an add() of the same Quillset is "
            "measuring a label");
    }
    AddScope scope(addInProgress);

    // A box narrower or lower than 2 (inverted ones included) becomes 2 around its
    // centre; then the box grows outward to whole units.
    float left = l;
    float right = r;
    if (r - l < kMinObjectExtent) {
        const float c = (r + l) * 0.5f;
        left = c - 1.0f;
        right = c + 1.0f;
    }
    float top = t;
    float bottom = b;
    if (b - t < kMinObjectExtent) {
        const float c = (t + b) * 0.5f;
        top = c - 1.0f;
        bottom = c + 1.0f;
    }

    LabelItem item{};
    item.objX0 = std::floor(left);
    item.objY0 = std::floor(top);
    item.objX1 = std::ceil(right);
    item.objY1 = std::ceil(bottom);
    item.index = static_cast<int32_t>(labels.size());
    item.firstCandidate = static_cast<int32_t>(candidates.size());

    generate_candidates(item, text, baseFontSize);

    uint16_t count =
        static_cast<uint16_t>(candidates.size() - static_cast<size_t>(item.firstCandidate));
    if (count == 0) {
        // No admissible box at any tier: park the label at the origin, unscaled,
        // at a cost no real candidate reaches.
        candidates.push_back(Candidate{0.0f, 0.0f, 0.0f, 0.0f, kFallbackCost, 0.0f, kDegenerateArea,
                                       10.0f, low16(baseFontSize), 0});
        count = 1;
    }
    const Candidate& first = candidates[static_cast<size_t>(item.firstCandidate)];
    item.candidateCount = count;
    item.chosen = 0;
    item.boxX0 = first.boxX0;
    item.boxY0 = first.boxY0;
    item.boxX1 = first.boxX1;
    item.boxY1 = first.boxY1;
    item.area = first.area;
    item.cost = first.baseCost;
    labels.push_back(item);
}

void Quillset::generate_candidates(const LabelItem& item, const std::string& text,
                                   int32_t baseFontSize) {
    for (int32_t tier = 0; tier < 4; ++tier) {
        // The product is rounded to single precision before truncation, so a base of
        // 100 gives 90 at tier 1 although 0.9f is slightly above 0.9.
        const int32_t fontSize = truncToInt32(static_cast<float>(baseFontSize) * kTierScale[tier]);
        if (fontSize < kSmallestFontSize) {
            return;
        }
        const TextSize size = measureFunc(text, fontSize);

        // Read after measuring: the configuration and canvas in force are those of
        // this moment.
        const LayoutConfig& cfg = config;
        const float canvasRight = static_cast<float>(canvasWidth);
        const float canvasBottom = static_cast<float>(canvasHeight);

        // Twice the padding is an integer product; the height sum is all 32-bit
        // integer arithmetic, while the width adds in float.
        const float W =
            std::ceil(static_cast<float>(wrapTwice(cfg.paddingX)) + static_cast<float>(size.width));
        const float H = std::ceil(static_cast<float>(
            wrapAdd(wrapAdd(size.height, size.baseline), wrapTwice(cfg.paddingY))));
        const float area = H * W;
        const float invArea = area > kDegenerateArea ? 1.0f / area : 1.0f;
        const float scaleCost = static_cast<float>(tier) * cfg.costScaleTier;
        const int16_t fontSize16 = low16(fontSize);
        const int16_t ascent16 = low16(size.height);

        // A box is admitted whole or not at all; touching the canvas edge is fine.
        auto offer = [&](float x, float y, float baseCost) {
            const float x1 = x + W;
            const float y1 = y + H;
            if (x < 0.0f || y < 0.0f || x1 > canvasRight || y1 > canvasBottom) {
                return;
            }
            candidates.push_back(
                Candidate{x, y, x1, y1, baseCost, 0.0f, area, invArea, fontSize16, ascent16});
        };

        const float x0 = item.objX0;
        const float y0 = item.objY0;
        const float x1 = item.objX1;
        const float y1 = item.objY1;

        offer(x0, y0 - H, cfg.costPos1_Top + scaleCost);
        offer(x1, y0, cfg.costPos2_Right + scaleCost);
        offer(x0, y1, cfg.costPos3_Bottom + scaleCost);
        offer(x0 - W, y0, cfg.costPos4_Left + scaleCost);

        // Slides along the top and bottom sides, then along the right and left. The
        // fractions 0 (the anchor) and 1 (flush with the far edge) are left out.
        const float freeX = std::max((x1 - W) - x0, 0.0f);
        if (freeX > kMinSlideFreeLength) {
            const int32_t d = slideDivisions(freeX);
            const float step = 1.0f / static_cast<float>(d);
            for (int32_t j = 1; j < d; ++j) {
                const float f = static_cast<float>(j) * step;
                const float x = f * freeX + x0;
                const float s = f * kSlideCostPerWholeSlide + cfg.costSlidingPenalty;
                offer(x, y0 - H, (s + cfg.costPos1_Top) + scaleCost);
                offer(x, y1, (s + cfg.costPos3_Bottom) + scaleCost);
            }
        }
        const float freeY = std::max((y1 - H) - y0, 0.0f);
        if (freeY > kMinSlideFreeLength) {
            const int32_t d = slideDivisions(freeY);
            const float step = 1.0f / static_cast<float>(d);
            for (int32_t j = 1; j < d; ++j) {
                const float f = static_cast<float>(j) * step;
                const float y = f * freeY + y0;
                const float s = f * kSlideCostPerWholeSlide + cfg.costSlidingPenalty;
                offer(x1, y, (s + cfg.costPos2_Right) + scaleCost);
                offer(x0 - W, y, (s + cfg.costPos4_Left) + scaleCost);
            }
        }
    }
}

}  // namespace quillset
