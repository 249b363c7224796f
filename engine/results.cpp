// Result extraction: turns every label's current candidate into a LayoutResult.
// Reads the engine and changes nothing.
#include "arith.h"
#include "engine.h"

namespace quillset {

std::vector<LayoutResult> Quillset::layout() const {
    std::vector<LayoutResult> results;
    results.reserve(labels.size());
    for (const LabelItem& label : labels) {
        const Candidate& c = candidates[static_cast<size_t>(label.firstCandidate) +
                                        static_cast<size_t>(label.chosen)];
        // Sizes come from the stored corners, not from the measured text: a box at
        // a fractional position can report one unit less than its whole size.
        const float width = c.boxX1 - c.boxX0;
        const float height = c.boxY1 - c.boxY0;
        results.push_back(LayoutResult{
            c.boxX0,
            c.boxY0,
            c.fontSize,
            config.paddingX,
            config.paddingY,
            truncToInt32(width),
            truncToInt32(height),
            c.textAscent,
            truncToInt32(height - static_cast<float>(c.textAscent)),
        });
    }
    return results;
}

}  // namespace quillset
