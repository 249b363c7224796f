// Native benchmark driver: builds a deterministic scene, adds it with a native
// measuring function and times the engine's phases. Linked against the engine of
// whichever tree is measured, so the same driver compares two engine versions and
// runs under callgrind without an interpreter.
//
//   driver N [uniform|clustered] [whole|phases|solve-only] [repeats]
//
// whole:      add, the default solve and layout on a fresh engine per repeat.
// phases:     add, then on the same engine a solve without improvement passes (the
//             initial pass) and one with a single pass; `pass_ms` is their difference.
// solve-only: add and the default solve, for callgrind (--toggle-collect on solve).
//
// Prints one JSON object: times in milliseconds (median of the repeats) and, for
// whole, a hash of every layout field's bits.
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace {

using quillset::LayoutConfig;
using quillset::LayoutResult;
using quillset::Quillset;
using quillset::TextSize;

struct SplitMix {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1), 24 bits, exact in float.
    float unit() { return static_cast<float>(next() >> 40) * (1.0f / 16777216.0f); }
};

struct Item {
    float l, t, r, b;
    std::string text;
    int32_t size;
};

// Area per object in canvas units squared: the same density at every size.
constexpr double kAreaPerObject = 5000.0;

std::vector<Item> scene(int n, bool clustered, int32_t& side) {
    side = static_cast<int32_t>(std::ceil(std::sqrt(n * kAreaPerObject)));
    SplitMix rng{static_cast<uint64_t>(n) * 7919u + (clustered ? 1u : 0u)};
    const float s = static_cast<float>(side);
    std::vector<float> cx, cy, spread;
    if (clustered) {
        // Towns around cities: cluster weights fall off, spreads vary tenfold.
        const int clusters = std::max(1, n / 150);
        for (int c = 0; c < clusters; ++c) {
            cx.push_back(rng.unit() * s);
            cy.push_back(rng.unit() * s);
            spread.push_back(100.0f + 400.0f * rng.unit() * rng.unit());
        }
    }
    std::vector<Item> items;
    items.reserve(static_cast<size_t>(n));
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz";
    for (int i = 0; i < n; ++i) {
        float x, y;
        if (clustered && rng.unit() < 0.8f) {
            const size_t c = static_cast<size_t>(rng.next() % cx.size());
            // Sum of three uniforms: a bell of the cluster's spread.
            const float u = rng.unit() + rng.unit() + rng.unit() - 1.5f;
            const float v = rng.unit() + rng.unit() + rng.unit() - 1.5f;
            x = std::min(std::max(cx[c] + u * spread[c], 0.0f), s);
            y = std::min(std::max(cy[c] + v * spread[c], 0.0f), s);
        } else {
            x = rng.unit() * s;
            y = rng.unit() * s;
        }
        const int len = 3 + static_cast<int>(rng.next() % 10) + static_cast<int>(rng.next() % 8);
        std::string text;
        for (int k = 0; k < len; ++k) {
            text.push_back(letters[rng.next() % 26]);
        }
        const uint64_t pick = rng.next() % 20;
        const int32_t size = pick < 12 ? 10 : pick < 17 ? 12 : pick < 19 ? 14 : 18;
        items.push_back(Item{x - 2.0f, y - 2.0f, x + 2.0f, y + 2.0f, std::move(text), size});
    }
    return items;
}

TextSize measure(const std::string& text, int32_t size) {
    const int32_t len = static_cast<int32_t>(text.size());
    return TextSize{(size * len * 56 + 99) / 100, (size * 74 + 99) / 100, (size * 24 + 99) / 100};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// Processor time of this process: on a machine shared with other work it varies
// less than wall time, since time spent waiting for a core is not counted.
double cpuMs() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

uint64_t layoutHash(const std::vector<LayoutResult>& results) {
    uint64_t h = 1469598103934665603ull;
    for (const LayoutResult& r : results) {
        uint32_t words[9];
        std::memcpy(&words[0], &r.left, 4);
        std::memcpy(&words[1], &r.top, 4);
        const int32_t ints[7] = {r.fontSize, r.padding_x,  r.padding_y,  r.width,
                                 r.height,   r.textAscent, r.textDescent};
        std::memcpy(&words[2], ints, sizeof ints);
        for (uint32_t w : words) {
            h = (h ^ w) * 1099511628211ull;
        }
    }
    return h;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s N [uniform|clustered] [whole|phases|solve-only] [repeats]\n",
                     argv[0]);
        return 2;
    }
    const int n = std::atoi(argv[1]);
    const bool clustered = argc > 2 && std::strcmp(argv[2], "clustered") == 0;
    const std::string mode = argc > 3 ? argv[3] : "whole";
    const int repeats = argc > 4 ? std::max(1, std::atoi(argv[4])) : 1;
    if (mode != "whole" && mode != "phases" && mode != "solve-only") {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }

    int32_t side = 0;
    const std::vector<Item> items = scene(n, clustered, side);
    std::vector<double> addMs, solveMs, layoutMs, initialMs, passMs;
    uint64_t hash = 0;
    for (int rep = 0; rep < repeats; ++rep) {
        LayoutConfig config;
        if (mode == "phases") {
            config.maxIterations = 0;
        }
        Quillset engine(side, side, measure, config);
        double t0 = cpuMs();
        for (const Item& it : items) {
            engine.add(it.l, it.t, it.r, it.b, it.text, it.size);
        }
        addMs.push_back(cpuMs() - t0);
        t0 = cpuMs();
        engine.solve();
        solveMs.push_back(cpuMs() - t0);
        if (mode == "phases") {
            config.maxIterations = 1;
            engine.set_config(config);
            t0 = cpuMs();
            engine.solve();
            initialMs.push_back(solveMs.back());
            passMs.push_back(cpuMs() - t0 - solveMs.back());
        } else if (mode == "whole") {
            t0 = cpuMs();
            const std::vector<LayoutResult> results = engine.layout();
            layoutMs.push_back(cpuMs() - t0);
            hash = layoutHash(results);
        }
    }
    std::printf(
        "{\"n\": %d, \"scene\": \"%s\", \"mode\": \"%s\", \"add_ms\": %.3f, "
        "\"solve_ms\": %.3f, \"initial_ms\": %.3f, \"pass_ms\": %.3f, \"layout_ms\": %.3f, "
        "\"hash\": \"%016llx\"}\n",
        n, clustered ? "clustered" : "uniform", mode.c_str(), median(addMs), median(solveMs),
        median(initialMs), median(passMs), median(layoutMs), static_cast<unsigned long long>(hash));
    return 0;
}
