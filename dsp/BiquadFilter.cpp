#include "dsp/BiquadFilter.h"

#include <cmath>

void BiquadFilter::calcCoefficients(float cutoff, float q, float rate, std::int32_t type) {
    if (type < kLowPass || type > kNotch) return;
    // Every intermediate is rounded to a 32-bit float where it is formed.
    const float w = static_cast<float>(static_cast<double>(cutoff) * twoPi / rate);
    const float c = static_cast<float>(std::cos(static_cast<double>(w)));
    const float s = static_cast<float>(std::sin(static_cast<double>(w)));
    const float alpha = s / (q + q);
    const float a0 = 1.0f + alpha;
    const float na1 = -2.0f * c;
    const float na2 = 1.0f - alpha;
    float nb0, nb1, nb2;
    switch (type) {
        case kLowPass:
            nb1 = 1.0f - c;
            nb0 = nb1 * 0.5f;
            nb2 = nb0;
            break;
        case kHighPass:
            nb1 = -(1.0f + c);
            nb0 = nb1 * -0.5f;
            nb2 = nb0;
            break;
        case kBandPass:
            nb0 = alpha;
            nb1 = 0.0f;
            nb2 = -alpha;
            break;
        default:  // kNotch
            nb0 = 1.0f;
            nb1 = -2.0f * c;
            nb2 = 1.0f;
            break;
    }
    const float g = 1.0f / a0;
    const std::uint32_t s0 = sequence.load();
    sequence.store(s0 + 1);
    b0.store(g * nb0, std::memory_order_release);
    b1.store(g * nb1, std::memory_order_release);
    b2.store(g * nb2, std::memory_order_release);
    a1.store(g * na1, std::memory_order_release);
    a2.store(g * na2, std::memory_order_release);
    sequence.store(s0 + 2, std::memory_order_release);
}
