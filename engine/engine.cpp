#include "engine.h"

#include <stdexcept>
#include <utility>

namespace quillset {

Quillset::Quillset(int32_t w, int32_t h, MeasureFunc measure, const LayoutConfig& cfg)
    : config(cfg),
      canvasWidth(w),
      canvasHeight(h),
      measureFunc(std::move(measure)),
      rng(12345u) {
    labels.reserve(128);
    candidates.reserve(4096);
}

void Quillset::set_config(const LayoutConfig& cfg) { config = cfg; }

void Quillset::set_canvas_size(int32_t width, int32_t height) {
    canvasWidth = width;
    canvasHeight = height;
}

void Quillset::clear() {
    if (addInProgress) {
        throw std::runtime_error(
            "Quillset.clear() cannot be called while an add() of the same Quillset is "
            "measuring a label");
    }
    // The grid and the generator are left alone: every solve that uses
    // the grid rebuilds it, and the random sequence continues across clears.
    labels.clear();
    candidates.clear();
    visitOrder.clear();
}

}  // namespace quillset
