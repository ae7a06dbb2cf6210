// The delay line and the biquad on their own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <thread>

#include "dsp/BiquadFilter.h"
#include "dsp/DelayLine.h"
#include "dsp/Flush.h"

namespace {

std::uint32_t bitsOf(float f) {
    std::uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

TEST(Flush, ZeroesOnlyValuesWithAnAllZeroExponent) {
    const float tiny = std::numeric_limits<float>::denorm_min();
    const float smallestNormal = std::numeric_limits<float>::min();
    EXPECT_EQ(bitsOf(flushDenormal(tiny)), 0u);
    EXPECT_EQ(bitsOf(flushDenormal(-tiny)), 0u);
    EXPECT_EQ(bitsOf(flushDenormal(-0.0f)), 0u);
    EXPECT_EQ(bitsOf(flushDenormal(smallestNormal * 0.999f)), 0u);
    // Normal values pass unchanged, the smallest ones included.
    for (float v : {smallestNormal, -smallestNormal, 1.0f, -3.0e38f, 1e-30f})
        EXPECT_EQ(bitsOf(flushDenormal(v)), bitsOf(v)) << v;
    EXPECT_TRUE(std::isnan(flushDenormal(std::numeric_limits<float>::quiet_NaN())));
    EXPECT_TRUE(std::isinf(flushDenormal(std::numeric_limits<float>::infinity())));
}

struct LengthCase {
    float rate;
    std::int32_t length;
};
class DelayLineLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(DelayLineLength, ScalesWithTheRate) {
    DelayLine line(500, GetParam().rate);
    EXPECT_EQ(line.getLength(), GetParam().length);
    DelayLine other(500, 44100.0f);
    ASSERT_TRUE(other.setSampleRate(GetParam().rate));
    EXPECT_EQ(other.getLength(), GetParam().length);
}

INSTANTIATE_TEST_SUITE_P(Rates, DelayLineLength,
                         ::testing::Values(LengthCase{44100.0f, 500}, LengthCase{48000.0f, 544},
                                           LengthCase{96000.0f, 1088}, LengthCase{22050.0f, 250},
                                           // Rates too low for a slot keep one.
                                           LengthCase{50.0f, 1}));

TEST(DelayLine, NewLineDelaysByLengthMinusOne) {
    DelayLine line(500, 44100.0f);
    EXPECT_EQ(line.getDelay(), 499);
    EXPECT_EQ(line.tick(1.0f), 0.0f);
    for (int i = 1; i < 499; ++i) ASSERT_EQ(line.tick(0.0f), 0.0f) << i;
    EXPECT_EQ(line.tick(0.0f), 1.0f);  // the impulse emerges on the 500th tick
}

TEST(DelayLine, ImpulseEmergesAfterExactlyTheDelay) {
    for (std::int32_t n : {0, 1, 3, 250, 499}) {
        DelayLine line(500, 44100.0f);
        line.setDelay(n);
        for (std::int32_t i = 0; i < 600; ++i) {
            const float y = line.tick(i == 10 ? 1.0f : 0.0f);
            ASSERT_EQ(y, i == 10 + n ? 1.0f : 0.0f) << "delay " << n << " tick " << i;
        }
    }
}

TEST(DelayLine, SetDelayCapsAndWraps) {
    DelayLine line(500, 44100.0f);
    line.setDelay(0);
    line.tick(0.0f);  // write index 1
    line.setDelay(3);
    EXPECT_EQ(line.getReadIndex(), 498);
    line.setDelay(700);
    EXPECT_EQ(line.getDelay(), 499);
    line.setDelay(-5);
    EXPECT_EQ(line.getDelay(), 0);
}

TEST(DelayLine, ResetClearsSamplesButKeepsTheDelay) {
    DelayLine line(500, 44100.0f);
    line.setDelay(5);
    for (int i = 0; i < 20; ++i) line.tick(1.0f);
    line.reset();
    EXPECT_EQ(line.getDelay(), 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(line.tick(2.0f), 0.0f);
    EXPECT_EQ(line.tick(0.0f), 2.0f);
}

TEST(DelayLine, RateChangeKeepsIndicesInsideTheNewLine) {
    DelayLine line(500, 44100.0f);
    line.setDelay(100);
    for (int i = 0; i < 400; ++i) line.tick(0.0f);  // write index 400
    ASSERT_TRUE(line.setSampleRate(48000.0f));      // still inside: kept
    EXPECT_EQ(line.getWriteIndex(), 400);
    EXPECT_EQ(line.getDelay(), 100);
    ASSERT_TRUE(line.setSampleRate(22050.0f));  // 250 samples: brought inside
    EXPECT_LT(line.getWriteIndex(), 250);
    EXPECT_LT(line.getReadIndex(), 250);
    EXPECT_EQ(line.getDelay(), 100);
    line.setDelay(400);
    EXPECT_EQ(line.getDelay(), 249);
}

struct CoefficientCase {
    std::int32_t type;
    float b0, b1, b2;
};
class BiquadDesign : public ::testing::TestWithParam<CoefficientCase> {};

TEST_P(BiquadDesign, MatchesKnownCoefficientsAt5100Hz) {
    BiquadFilter f;
    const CoefficientCase c = GetParam();
    f.calcCoefficients(5100.0f, 0.7f, 44100.0f, c.type);
    EXPECT_NEAR(f.b0, c.b0, 1e-7);
    EXPECT_NEAR(f.b1, c.b1, 1e-7);
    EXPECT_NEAR(f.b2, c.b2, 1e-7);
    EXPECT_NEAR(f.a1, -1.0137682f, 1e-7);
    EXPECT_NEAR(f.a2, 0.3563576f, 1e-7);
}

INSTANTIATE_TEST_SUITE_P(Types, BiquadDesign,
                         ::testing::Values(CoefficientCase{1, 0.0856473f, 0.1712947f, 0.0856473f},
                                           CoefficientCase{2, 0.5925314f, -1.1850629f, 0.5925314f},
                                           CoefficientCase{3, 0.3218212f, 0.0f, -0.3218212f},
                                           CoefficientCase{4, 0.6781788f, -1.0137682f,
                                                           0.6781788f}));

double gainAt(const BiquadFilter& f, double w) {
    const std::complex<double> z1 = std::polar(1.0, -w), z2 = z1 * z1;
    const double b0 = f.b0, b1 = f.b1, b2 = f.b2, a1 = f.a1, a2 = f.a2;
    return std::abs((b0 + b1 * z1 + b2 * z2) / (1.0 + a1 * z1 + a2 * z2));
}

TEST(BiquadDesign, ResponsesHaveTheirShapeAcrossCutoffAndQ) {
    for (float hz : {200.0f, 1000.0f, 5100.0f, 10000.0f}) {
        for (float q : {0.01f, 0.3f, 0.7f, 1.0f}) {
            BiquadFilter f;
            const double w = 2.0 * M_PI * hz / 44100.0;
            f.calcCoefficients(hz, q, 44100.0f, BiquadFilter::kLowPass);
            // 32-bit coefficients: unity within 1e-4 where it is 1.
            EXPECT_NEAR(gainAt(f, 0.0), 1.0, 1e-4) << hz << " Hz, Q " << q;
            EXPECT_NEAR(gainAt(f, M_PI), 0.0, 1e-6) << hz << " Hz, Q " << q;
            f.calcCoefficients(hz, q, 44100.0f, BiquadFilter::kHighPass);
            EXPECT_NEAR(gainAt(f, 0.0), 0.0, 1e-6) << hz << " Hz, Q " << q;
            EXPECT_NEAR(gainAt(f, M_PI), 1.0, 1e-4) << hz << " Hz, Q " << q;
            f.calcCoefficients(hz, q, 44100.0f, BiquadFilter::kBandPass);
            EXPECT_NEAR(gainAt(f, w), 1.0, 1e-3) << hz << " Hz, Q " << q;
            f.calcCoefficients(hz, q, 44100.0f, BiquadFilter::kNotch);
            EXPECT_NEAR(gainAt(f, w), 0.0, 1e-3) << hz << " Hz, Q " << q;
            // Stable: both poles inside the unit circle.
            EXPECT_LT(std::fabs(f.a2), 1.0f) << hz << " Hz, Q " << q;
            EXPECT_LT(std::fabs(f.a1), 1.0f + f.a2) << hz << " Hz, Q " << q;
        }
    }
}

TEST(BiquadFilter, StepFlushesAndKeepsChannelsApart) {
    BiquadFilter f;
    f.calcCoefficients(5100.0f, 0.7f, 44100.0f, BiquadFilter::kLowPass);
    EXPECT_EQ(f.filterSample(BiquadFilter::kLeft, 1.0f), f.b0);
    auto& right = f.channelHistory(BiquadFilter::kRight);
    EXPECT_EQ(right.x0, 0.0f);
    EXPECT_EQ(right.y0, 0.0f);
    // A result below the smallest normal float leaves and enters the
    // history as +0.0, while the input history keeps x unflushed.
    f.reset();
    const float tiny = std::numeric_limits<float>::denorm_min() * 4;
    const float y = f.filterSample(BiquadFilter::kRight, tiny);
    EXPECT_EQ(bitsOf(y), 0u);
    EXPECT_EQ(right.y0, 0.0f);
    EXPECT_EQ(right.x0, tiny);
}

TEST(BiquadFilter, ResetClearsHistoryAndKeepsCoefficients) {
    BiquadFilter f;
    f.calcCoefficients(1000.0f, 0.5f, 44100.0f, BiquadFilter::kBandPass);
    const float b0 = f.b0;
    float first = f.filterSample(BiquadFilter::kLeft, 0.5f);
    float second = f.filterSample(BiquadFilter::kLeft, 0.5f);
    EXPECT_NE(first, second);  // history matters...
    f.reset();
    EXPECT_EQ(f.filterSample(BiquadFilter::kLeft, 0.5f), first);  // ...and is gone
    EXPECT_EQ(f.b0, b0);
    // Recomputing coefficients leaves the history alone.
    f.calcCoefficients(2000.0f, 0.5f, 44100.0f, BiquadFilter::kBandPass);
    EXPECT_EQ(f.channelHistory(BiquadFilter::kLeft).x0, 0.5f);
}

// A redesign on another thread never hands the audio thread a set that
// mixes two designs (which could put the poles outside the unit circle).
TEST(BiquadFilter, SnapshotNeverMixesTwoDesigns) {
    BiquadFilter a, b, shared;
    a.calcCoefficients(200.0f, 0.01f, 44100.0f, BiquadFilter::kLowPass);
    b.calcCoefficients(10000.0f, 1.0f, 44100.0f, BiquadFilter::kHighPass);
    BiquadFilter::Coefficients ca{}, cb{};
    ASSERT_TRUE(a.snapshot(ca));
    ASSERT_TRUE(b.snapshot(cb));
    shared.calcCoefficients(200.0f, 0.01f, 44100.0f, BiquadFilter::kLowPass);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop.load(std::memory_order_relaxed); ++i) {
            if (i % 2 == 0)
                shared.calcCoefficients(10000.0f, 1.0f, 44100.0f, BiquadFilter::kHighPass);
            else
                shared.calcCoefficients(200.0f, 0.01f, 44100.0f, BiquadFilter::kLowPass);
        }
    });
    // Read for a fixed time: a writer preempted mid-redesign leaves no whole
    // set for a while, and torn reads are rare, so count by time.
    long whole = 0, mixed = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < deadline) {
        BiquadFilter::Coefficients c;
        if (!shared.snapshot(c)) continue;
        ++whole;
        if (std::memcmp(&c, &ca, sizeof c) != 0 && std::memcmp(&c, &cb, sizeof c) != 0) ++mixed;
    }
    stop = true;
    writer.join();
    EXPECT_GT(whole, 0);
    EXPECT_EQ(mixed, 0);
}

}  // namespace
