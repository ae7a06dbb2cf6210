// The effect object: construction, parameters, bands, programs and rate
// changes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "effect/FlangerEffect.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::unique_ptr<FlangerEffect> makeEffect() {
    return std::make_unique<FlangerEffect>(nullptr);
}

TEST(Construction, LeavesTheNeutralProgramApplied) {
    auto fx = makeEffect();
    EXPECT_EQ(fx->getBufferLength(), 400);
    EXPECT_EQ(fx->getDelaySamples(), 199);
    EXPECT_EQ(fx->getReadPos(), 201);
    EXPECT_EQ(fx->getWritePos(), 0);
    EXPECT_EQ(fx->getFeedbackSign(), 1);
    EXPECT_EQ(fx->getMixSign(), 1);
    EXPECT_EQ(fx->getFilterType(), 0);
    EXPECT_EQ(fx->getInjectMode(), 1);
    EXPECT_EQ(fx->getGain(), 1.0f);
    const float expected[kNumParams] = {0.5f, 0, 1, 0, 0.5f, 0.7f, 0, 0, 0, 0, 0, 0.5f};
    for (int i = 0; i < kNumParams; ++i) EXPECT_EQ(fx->getParameter(i), expected[i]) << i;
    const AEffect* e = fx->getAeffect();
    EXPECT_EQ(e->numInputs, 2);
    EXPECT_EQ(e->numOutputs, 2);
    EXPECT_EQ(e->numPrograms, 20);
    EXPECT_EQ(e->numParams, 12);
    EXPECT_EQ(e->uniqueID, 0x51563037);  // 'QV07'
    EXPECT_EQ(e->flags, 8 | 16);
    for (int line = 1; line <= 2; ++line)
        for (int ch = 0; ch < 2; ++ch) EXPECT_EQ(fx->getPostLine(line, ch).getDelay(), 0);
}

TEST(Parameters, OutOfRangeIndicesAreIgnored) {
    auto fx = makeEffect();
    for (VstInt32 index : {12, -1, 1000, std::numeric_limits<VstInt32>::min()}) {
        fx->setParameter(index, 0.9f);
        EXPECT_EQ(fx->getParameter(index), 0.0f);
    }
    EXPECT_EQ(fx->getParameter(0), 0.5f);
}

TEST(Parameters, LandInTheirProgramSlots) {
    auto fx = makeEffect();
    for (VstInt32 i = 0; i < kNumParams; ++i)
        fx->setParameter(i, 0.01f * static_cast<float>(i + 1) + 0.3f);
    const FlangerProgram& p = fx->program(0);
    EXPECT_EQ(p.fPost1Send, fx->getParameter(kPost1Send));
    EXPECT_EQ(p.fPost1Depth, fx->getParameter(kPost1Depth));
    EXPECT_EQ(p.fInjectMode, fx->getParameter(kInjectMode));
    EXPECT_EQ(p.fPost2Send, fx->getParameter(kPost2Send));
    EXPECT_EQ(p.fPost2Depth, fx->getParameter(kPost2Depth));
    EXPECT_EQ(p.fOutputGain, fx->getParameter(kOutputGain));
    // Slot 7 holds index 9, slot 8 index 7, slot 9 index 10, slot 10 index 8.
    const float* slots = &p.fDepth;
    EXPECT_EQ(slots[7], fx->getParameter(9));
    EXPECT_EQ(slots[8], fx->getParameter(7));
    EXPECT_EQ(slots[9], fx->getParameter(10));
    EXPECT_EQ(slots[10], fx->getParameter(8));
}

TEST(Parameters, DepthSetsTheDelayByTruncation) {
    auto fx = makeEffect();
    fx->setParameter(kDepth, 1.0f);
    EXPECT_EQ(fx->getDelaySamples(), 399);
    fx->setParameter(kDepth, 0.25f);
    EXPECT_EQ(fx->getDelaySamples(), 99);
    fx->setParameter(kDepth, 0.0f);
    EXPECT_EQ(fx->getDelaySamples(), 0);
    EXPECT_EQ(fx->getReadPos(), fx->getWritePos());
}

TEST(Parameters, HostileDepthsKeepTheReadPositionInsideTheLine) {
    auto fx = makeEffect();
    for (float v : {-1.0f, 2.0f, kNaN, kInf, -kInf, 1e30f, -1e-30f}) {
        fx->setParameter(kDepth, v);
        EXPECT_GE(fx->getReadPos(), 0) << v;
        EXPECT_LT(fx->getReadPos(), fx->getBufferLength()) << v;
        EXPECT_GE(fx->getDelaySamples(), 0) << v;
        EXPECT_LT(fx->getDelaySamples(), fx->getBufferLength()) << v;
        // The value itself is kept as the host sent it.
        if (!std::isnan(v)) {
            EXPECT_EQ(fx->getParameter(kDepth), v);
        }
    }
}

struct SignCase {
    float value;
    int feedback, mix;
};
class FeedBSign : public ::testing::TestWithParam<SignCase> {};

TEST_P(FeedBSign, QuartersSelectTheSigns) {
    auto fx = makeEffect();
    fx->setParameter(kFeedBSign, GetParam().value);
    EXPECT_EQ(fx->getFeedbackSign(), GetParam().feedback) << GetParam().value;
    EXPECT_EQ(fx->getMixSign(), GetParam().mix) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(Quarters, FeedBSign,
                         ::testing::Values(SignCase{0.0f, -1, -1}, SignCase{0.2499f, -1, -1},
                                           SignCase{0.25f, -1, 1}, SignCase{0.4999f, -1, 1},
                                           SignCase{0.5f, 1, -1}, SignCase{0.7499f, 1, -1},
                                           SignCase{0.75f, 1, 1}, SignCase{1.0f, 1, 1},
                                           // Outside 0..1 the signs stay as they were (+1, +1).
                                           SignCase{1.5f, 1, 1}, SignCase{-0.1f, 1, 1},
                                           SignCase{kNaN, 1, 1}));

struct BandCase {
    float value;
    int band;
};
class FilterTypeBands : public ::testing::TestWithParam<BandCase> {};

TEST_P(FilterTypeBands, SplitAtMultiplesOfTheStep) {
    auto fx = makeEffect();
    fx->setParameter(kFilterType, 0.62f);  // band pass before the value under test
    fx->setParameter(kFilterType, GetParam().value);
    EXPECT_EQ(fx->getFilterType(), GetParam().band) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, FilterTypeBands,
    ::testing::Values(BandCase{0.0f, 0}, BandCase{0.1999f, 0}, BandCase{0.2f, 1},
                      BandCase{std::nextafter(0.4f, 0.0f), 1}, BandCase{0.4f, 2},
                      BandCase{std::nextafter(0.6f, 0.0f), 2}, BandCase{0.6f, 3},
                      BandCase{std::nextafter(0.8f, 0.0f), 3}, BandCase{0.8f, 4}, BandCase{1.0f, 4},
                      BandCase{-0.1f, 3}, BandCase{1.2f, 3}, BandCase{kNaN, 3}));

class InjectModeBands : public ::testing::TestWithParam<BandCase> {};

TEST_P(InjectModeBands, SplitAtEighths) {
    auto fx = makeEffect();
    fx->setParameter(kInjectMode, 0.5f);
    fx->setParameter(kInjectMode, GetParam().value);
    EXPECT_EQ(fx->getInjectMode(), GetParam().band) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, InjectModeBands,
    ::testing::Values(BandCase{0.0f, 1}, BandCase{std::nextafter(0.125f, 0.0f), 1},
                      BandCase{0.125f, 2}, BandCase{0.25f, 3}, BandCase{0.375f, 4},
                      BandCase{0.5f, 5}, BandCase{0.625f, 6}, BandCase{0.75f, 7},
                      BandCase{0.8749f, 7}, BandCase{0.875f, 8}, BandCase{1.0f, 8},
                      BandCase{-0.1f, 0}, BandCase{1.5f, 0}, BandCase{kNaN, 0}));

TEST(Parameters, SmallQIsRaisedForTheFilterOnly) {
    auto fx = makeEffect();
    for (float q : {0.0f, 0.005f, 0.01f, -1.0f, kNaN}) {
        fx->setParameter(kQFactor, q);
        EXPECT_EQ(fx->getParameter(kQFactor), 0.01f) << q;
        if (!std::isnan(q)) {
            EXPECT_EQ(fx->program(0).fQFactor, q) << "program keeps " << q;
        }
    }
    fx->setParameter(kQFactor, 0.02f);
    EXPECT_EQ(fx->getParameter(kQFactor), 0.02f);
}

TEST(Parameters, FilterIsDesignedOnlyWhileOn) {
    auto fx = makeEffect();
    const BiquadFilter& f = fx->getFilter();
    fx->setParameter(kCutoff, 0.5f);
    fx->setParameter(kQFactor, 0.7f);
    EXPECT_EQ(f.b0, 0.0f);  // filter off: nothing computed
    fx->setParameter(kFilterType, 0.2f);
    EXPECT_NEAR(f.b0, 0.0856473f, 1e-7);
    fx->setParameter(kCutoff, 1.0f);
    BiquadFilter expected;
    expected.calcCoefficients(10000.0f, 0.7f, 44100.0f, 1);
    EXPECT_EQ(f.b0, expected.b0);
    EXPECT_EQ(f.a1, expected.a1);
}

TEST(Parameters, OutputGainIsTwiceTheValue) {
    auto fx = makeEffect();
    fx->setParameter(kOutputGain, 1.0f);
    EXPECT_EQ(fx->getGain(), 2.0f);
    fx->setParameter(kOutputGain, 0.0f);
    EXPECT_EQ(fx->getGain(), 0.0f);
}

TEST(Parameters, PostDepthsTruncateToSamples) {
    auto fx = makeEffect();
    fx->setParameter(kPost1Depth, 0.7f);
    EXPECT_EQ(fx->getPostLine(1, 0).getDelay(), 349);
    EXPECT_EQ(fx->getPostLine(1, 1).getDelay(), 349);
    fx->setParameter(kPost2Depth, 0.5f);
    EXPECT_EQ(fx->getPostLine(2, 0).getDelay(), 250);
    fx->setParameter(kPost2Depth, 1.0f);
    EXPECT_EQ(fx->getPostLine(2, 1).getDelay(), 499);
    for (float v : {-1.0f, kNaN, kInf, 1e20f}) {
        fx->setParameter(kPost1Depth, v);
        EXPECT_GE(fx->getPostLine(1, 0).getDelay(), 0) << v;
        EXPECT_LT(fx->getPostLine(1, 0).getDelay(), 500) << v;
    }
}

struct RateCase {
    float rate;
    std::int32_t mainLength, postLength;
};
class RateChange : public ::testing::TestWithParam<RateCase> {};

TEST_P(RateChange, ResizesEveryLine) {
    auto fx = makeEffect();
    fx->setSampleRate(GetParam().rate);
    EXPECT_EQ(fx->getBufferLength(), GetParam().mainLength);
    EXPECT_EQ(fx->getPostLine(1, 0).getLength(), GetParam().postLength);
    EXPECT_EQ(fx->getPostLine(2, 1).getLength(), GetParam().postLength);
}

INSTANTIATE_TEST_SUITE_P(Rates, RateChange,
                         ::testing::Values(RateCase{48000.0f, 435, 544},
                                           RateCase{96000.0f, 870, 1088},
                                           RateCase{22050.0f, 200, 250},
                                           RateCase{44100.0f, 400, 500}));

TEST(RateChange, KeepsPositionsThatStillFitAndRestoresOthers) {
    auto fx = makeEffect();
    float in[2][300] = {}, out[2][300] = {};
    float* ins[2] = {in[0], in[1]};
    float* outs[2] = {out[0], out[1]};
    fx->processReplacing(ins, outs, 150);
    fx->setSampleRate(48000.0f);  // write 150 and read 351 still fit in 435
    EXPECT_EQ(fx->getWritePos(), 150);
    EXPECT_EQ(fx->getReadPos(), 351);
    EXPECT_EQ(fx->getDelaySamples(), 199);
    fx->processReplacing(ins, outs, 200);  // write 350, read 116
    fx->setSampleRate(22050.0f);           // 200 samples: write 350 falls outside
    EXPECT_LT(fx->getWritePos(), 200);
    EXPECT_LT(fx->getReadPos(), 200);
    // The read position follows the depth in the new line.
    EXPECT_EQ(fx->getDelaySamples(), 99);
}

TEST(RateChange, IgnoresRatesThatAreNotPositiveAndClampsHugeOnes) {
    auto fx = makeEffect();
    for (float r : {0.0f, -44100.0f, kNaN, -kInf}) {
        fx->setSampleRate(r);
        EXPECT_EQ(fx->getCurrentRate(), 44100.0f) << r;
        EXPECT_EQ(fx->getBufferLength(), 400) << r;
    }
    fx->setSampleRate(kInf);
    EXPECT_EQ(fx->getCurrentRate(), kMaxSampleRate);
    fx->setSampleRate(1e-20f);
    EXPECT_GE(fx->getBufferLength(), 1);
}

TEST(Programs, SwitchingAppliesTheProgramAndKeepsEdits) {
    auto fx = makeEffect();
    fx->setProgram(5);
    fx->setParameter(kFeedBack, 0.5f);
    fx->setProgram(6);
    EXPECT_EQ(fx->getParameter(kFeedBack), 0.81f);
    EXPECT_EQ(fx->getFeedbackSign(), -1);
    EXPECT_EQ(fx->getMixSign(), 1);
    fx->setProgram(5);
    EXPECT_EQ(fx->getParameter(kFeedBack), 0.5f);
    EXPECT_EQ(fx->getFilterType(), 3);
    // A direct call out of range changes nothing.
    fx->setProgram(20);
    fx->setProgram(-1);
    EXPECT_EQ(fx->getProgram(), 5);
}

}  // namespace
