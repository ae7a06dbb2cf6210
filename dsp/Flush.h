// Replaces +0.0, -0.0 and subnormal samples with +0.0 by testing the eight
// exponent bits; every other value (including NaN and infinities) passes
// unchanged. A bit test, not a threshold comparison, so it is exact and
// branch-free.
#pragma once

#include <cstdint>
#include <cstring>

inline float flushDenormal(float x) {
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const std::uint32_t keep = (bits & 0x7F800000u) != 0 ? 0xFFFFFFFFu : 0u;
    bits &= keep;
    std::memcpy(&x, &bits, sizeof bits);
    return x;
}
