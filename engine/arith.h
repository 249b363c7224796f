// Integer conversions with the platform's results but without undefined behaviour.
// The placement rules truncate floats toward zero the way x86's cvttss2si does
// (NaN and anything outside int32 give INT32_MIN) and add 32-bit integers with
// two's-complement wrap-around; plain C++ casts and `+` would be undefined there.
#pragma once

#include <cstdint>

namespace quillset {

constexpr int32_t kIntNaN = INT32_MIN;

// Truncation toward zero; NaN and values outside [-2^31, 2^31) give INT32_MIN.
inline int32_t truncToInt32(float v) {
    // 2147483648.0f is exact; the negated test also catches NaN.
    if (!(v >= -2147483648.0f && v < 2147483648.0f)) {
        return kIntNaN;
    }
    return static_cast<int32_t>(v);
}

inline int32_t wrapAdd(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

inline int32_t wrapTwice(int32_t a) { return static_cast<int32_t>(static_cast<uint32_t>(a) * 2u); }

// The low 16 bits, read back as signed.
inline int16_t low16(int32_t v) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(v) & 0xFFFFu));
}

}  // namespace quillset
