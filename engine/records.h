// Plain records exchanged between the engine and its host, and the engine's own
// per-label and per-candidate records. No behaviour lives here: every record is a
// fixed-size value kept by value in contiguous lists and referred to by index.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace quillset {

// Size of a text at one font size, as the measuring callable reports it.
struct TextSize {
    int32_t width;
    int32_t height;    // extent above the baseline: becomes the label's ascent
    int32_t baseline;  // extent below the baseline
};

// Every tunable value of the engine; defaults are the documented ones.
struct LayoutConfig {
    int32_t gridSize = 100;
    int32_t spatialIndexThreshold = 20;
    int32_t maxIterations = 30;
    int32_t paddingX = 2;
    int32_t paddingY = 2;
    float costPos1_Top = 0.0f;
    float costPos2_Right = 10.0f;
    float costPos3_Bottom = 20.0f;
    float costPos4_Left = 30.0f;
    float costSlidingPenalty = 100.0f;
    float costScaleTier = 10000.0f;
    float costOccludeObj = 100000.0f;
    float costOverlapBase = 100000.0f;
};

// One placed label as the host receives it.
struct LayoutResult {
    float left;
    float top;
    int32_t fontSize;
    int32_t padding_x;
    int32_t padding_y;
    int32_t width;
    int32_t height;
    int32_t textAscent;
    int32_t textDescent;
};

// Measures `text` (UTF-8 bytes) at an integer font size. May be empty; calling an
// empty one throws std::bad_function_call.
using MeasureFunc = std::function<TextSize(const std::string&, int32_t)>;

// One admissible box of one label at one font size.
struct Candidate {
    float boxX0;
    float boxY0;
    float boxX1;
    float boxY1;
    float baseCost;     // anchor + sliding + scale-tier cost, fixed at intake
    float occludeCost;  // written by the solver's initial pass
    float area;
    float invArea;      // 1 / area, or 1 for degenerate boxes
    int16_t fontSize;   // low 16 bits, read back signed
    int16_t textAscent;
};

// One added label: its normalised object box, its run of candidates and the
// current choice with a copy of the chosen box.
struct LabelItem {
    int32_t index;
    float objX0;
    float objY0;
    float objX1;
    float objY1;
    int32_t firstCandidate;
    uint16_t candidateCount;
    int32_t chosen;
    float boxX0;
    float boxY0;
    float boxX1;
    float boxY1;
    float area;
    float cost;
};

}  // namespace quillset
