// The engine's one wide kernel, with its portable twin beside it. Both give the
// same answer for every input, NaN included; the wide one only decides faster.
#pragma once

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace quillset {

// The four strict tests of overlapArea between a fixed query box and a box given as
// four consecutive floats x0, y0, x1, y1. The wide form runs them side by side as
// (x1, y1, -x0, -y0) > (q.x0, q.y0, -q.x1, -q.y1): negation is exact and a NaN fails
// every comparison either way. One combined branch instead of four is what pays:
// the tests' outcomes are unpredictable.
class StrictOverlap {
public:
    StrictOverlap(float x0, float y0, float x1, float y1)
#if defined(__SSE__)
        : bound_(_mm_setr_ps(x0, y0, -x1, -y1))
#else
        : x0_(x0),
          y0_(y0),
          x1_(x1),
          y1_(y1)
#endif
    {
    }

    bool operator()(const float* box) const {
#if defined(__SSE__)
        const __m128 b = _mm_loadu_ps(box);
        const __m128 swapped = _mm_shuffle_ps(b, b, _MM_SHUFFLE(1, 0, 3, 2));
        const __m128 signs = _mm_setr_ps(0.0f, 0.0f, -0.0f, -0.0f);
        return _mm_movemask_ps(_mm_cmpgt_ps(_mm_xor_ps(swapped, signs), bound_)) == 0xF;
#else
        return box[2] > x0_ && x1_ > box[0] && box[3] > y0_ && y1_ > box[1];
#endif
    }

private:
#if defined(__SSE__)
    __m128 bound_;
#else
    float x0_, y0_, x1_, y1_;
#endif
};

}  // namespace quillset
