// Stereo biquad: one coefficient set shared by both channels, a separate
// direct-form-I history per channel. Coefficients are designed in 32-bit
// floats with the rounding points fixed below; each step sums in double
// precision and rounds once.
#pragma once

#include <cstdint>

#include "dsp/Flush.h"
#include "dsp/Relaxed.h"

class BiquadFilter {
public:
    enum Channel : int { kLeft = 0, kRight = 1 };
    enum Type : std::int32_t { kNone = 0, kLowPass = 1, kHighPass = 2, kBandPass = 3, kNotch = 4 };

    BiquadFilter() = default;
    virtual ~BiquadFilter() = default;

    BiquadFilter(const BiquadFilter&) = delete;
    BiquadFilter& operator=(const BiquadFilter&) = delete;

    // Designs the coefficients for types 1 to 4 (cutoff in Hz, rate in Hz);
    // any other type leaves them as they are. Never touches the histories.
    void calcCoefficients(float cutoff, float q, float rate, std::int32_t type);

    struct Coefficients {
        float b0, b1, b2, a1, a2;
    };
    // Copies the five coefficients as one set. A redesign on another thread
    // may overlap the copy; a mixed set could put the poles outside the
    // unit circle, so an overlapped copy is retried a few times and false
    // is answered when none came out whole. Never blocks.
    //
    // The sequence counter is odd while a redesign writes. Each coefficient
    // is written with release order and read with acquire order: a copy
    // that reads any value of a redesign that started after the counter
    // was read must then see the counter changed. On x86 these orders cost
    // nothing over plain moves.
    // Inline: the audio thread takes it on every call.
    bool snapshot(Coefficients& out) const {
        for (int attempt = 0; attempt < 4; ++attempt) {
            const std::uint32_t before = sequence.load(std::memory_order_acquire);
            if ((before & 1u) != 0) continue;
            const Coefficients c{
                b0.load(std::memory_order_acquire), b1.load(std::memory_order_acquire),
                b2.load(std::memory_order_acquire), a1.load(std::memory_order_acquire),
                a2.load(std::memory_order_acquire)};
            if (sequence.load(std::memory_order_relaxed) == before) {
                out = c;
                return true;
            }
        }
        return false;
    }

    float filterSample(Channel channel, float x) {
        History& h = history[channel];
        const float y = step(x, h.x0, h.x1, h.y0, h.y1);
        h.x1 = h.x0;
        h.x0 = x;
        h.y1 = h.y0;
        h.y0 = y;
        return y;
    }

    // One direct-form-I step on explicit history values: the sum in double
    // precision, rounded once to float, then subnormals and -0.0 flushed.
    static float step(const Coefficients& c, float x, float x0, float x1, float y0, float y1) {
        const double y = static_cast<double>(c.b0) * x + static_cast<double>(c.b1) * x0 +
                         static_cast<double>(c.b2) * x1 - static_cast<double>(c.a1) * y0 -
                         static_cast<double>(c.a2) * y1;
        return flushDenormal(static_cast<float>(y));
    }
    // The same with the current coefficients; for the thread that designs
    // them.
    float step(float x, float x0, float x1, float y0, float y1) const {
        return step(Coefficients{b0, b1, b2, a1, a2}, x, x0, x1, y0, y1);
    }

    // Clears both histories; coefficients unchanged.
    void reset() { history[kLeft] = history[kRight] = History{}; }

    struct History {
        float x0 = 0.0f, x1 = 0.0f;  // x[n-1], x[n-2]
        float y0 = 0.0f, y1 = 0.0f;  // y[n-1], y[n-2]
    };
    History& channelHistory(Channel c) { return history[c]; }

    // Read them as a set through snapshot when another thread may redesign.
    Relaxed<float> a1, a2, b0, b1, b2;
    const float twoPi = 6.2831855f;

private:
    // Odd while a redesign is writing the coefficients.
    Relaxed<std::uint32_t> sequence{0};
    History history[2];
};
