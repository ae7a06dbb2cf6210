// The signal chain: impulse responses, block splitting, the two process
// operations, in-place buffers, the filter stage, post flangers and inject
// modes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <ostream>
#include <random>
#include <vector>

#include "effect/FlangerEffect.h"

namespace {

using Buffer = std::vector<float>;

struct Stereo {
    Buffer left, right;
    explicit Stereo(std::size_t n, float fill = 0.0f) : left(n, fill), right(n, fill) {}
};

Stereo noise(std::size_t n, unsigned seed) {
    Stereo s(n);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    for (std::size_t i = 0; i < n; ++i) {
        s.left[i] = dist(rng);
        s.right[i] = dist(rng);
    }
    return s;
}

// Runs `in` through the effect in blocks of the given sizes (repeated),
// replacing or accumulating into `out`.
void run(FlangerEffect& fx, const Stereo& in, Stereo& out, const std::vector<int>& blocks,
         bool accumulate = false) {
    std::size_t pos = 0;
    std::size_t b = 0;
    while (pos < in.left.size()) {
        const std::size_t n = std::min<std::size_t>(
            static_cast<std::size_t>(blocks[b++ % blocks.size()]), in.left.size() - pos);
        float* ins[2] = {const_cast<float*>(in.left.data() + pos),
                         const_cast<float*>(in.right.data() + pos)};
        float* outs[2] = {out.left.data() + pos, out.right.data() + pos};
        if (accumulate)
            fx.process(ins, outs, static_cast<VstInt32>(n));
        else
            fx.processReplacing(ins, outs, static_cast<VstInt32>(n));
        pos += n;
    }
}

std::unique_ptr<FlangerEffect> neutral() {
    auto fx = std::make_unique<FlangerEffect>(nullptr);
    fx->setProgram(0);
    return fx;
}

Stereo impulse(std::size_t n, std::size_t at = 0) {
    Stereo s(n);
    s.left[at] = 1.0f;
    s.right[at] = 1.0f;
    return s;
}

TEST(Chain, ImpulseEchoesAfterTheDepthDelay) {
    for (float depth : {0.25f, 0.5f, 1.0f}) {
        for (float sign : {1.0f, 0.5f}) {  // mix sign +1, then -1
            auto fx = neutral();
            fx->setParameter(kDepth, depth);
            fx->setParameter(kFeedBSign, sign);
            const int delay = fx->getDelaySamples();
            Stereo out(1000);
            run(*fx, impulse(1000), out, {1000});
            for (int i = 0; i < 1000; ++i) {
                const float expected =
                    i == 0 ? 1.0f : (i == delay ? (sign == 1.0f ? 1.0f : -1.0f) : 0.0f);
                ASSERT_EQ(out.left[i], expected) << "depth " << depth << " sample " << i;
                ASSERT_EQ(out.right[i], expected) << "depth " << depth << " sample " << i;
            }
        }
    }
}

TEST(Chain, ZeroDepthEchoesAfterTheWholeLine) {
    auto fx = neutral();
    fx->setParameter(kDepth, 0.0f);
    Stereo out(900);
    run(*fx, impulse(900, 3), out, {900});
    for (int i = 0; i < 900; ++i) ASSERT_EQ(out.left[i], (i == 3 || i == 403) ? 1.0f : 0.0f) << i;
}

TEST(Chain, FullFeedbackCirculatesWithoutDecay) {
    for (float sign : {1.0f, 0.3f}) {  // feedback +1, then -1 (mix +1)
        auto fx = neutral();
        fx->setParameter(kDepth, 0.25f);  // 99 samples
        fx->setParameter(kFeedBack, 1.0f);
        fx->setParameter(kFeedBSign, sign);
        Stereo out(2000);
        run(*fx, impulse(2000), out, {2000});
        float expected = 1.0f;
        for (int k = 1; k * 99 < 2000; ++k) {
            // Each pass adds the line's sample to the output; the sign
            // alternates when feedback is negative.
            if (k > 1 && sign < 0.5f) expected = -expected;
            ASSERT_EQ(out.left[static_cast<std::size_t>(k * 99)], expected) << "pass " << k;
        }
    }
}

TEST(Chain, BlockSplitsGiveTheSameOutputAsOneBlock) {
    const Stereo in = noise(5000, 1);
    for (int program : {0, 5, 7, 14, 17}) {
        auto whole = neutral();
        whole->setProgram(program);
        Stereo expected(5000);
        run(*whole, in, expected, {5000});
        for (const std::vector<int>& blocks :
             std::vector<std::vector<int>>{{1}, {7}, {399}, {401}, {511}, {3, 1000, 17, 64}}) {
            auto fx = neutral();
            fx->setProgram(program);
            Stereo out(5000);
            run(*fx, in, out, blocks);
            ASSERT_EQ(std::memcmp(out.left.data(), expected.left.data(), 5000 * sizeof(float)), 0)
                << "program " << program << " first block " << blocks[0];
            ASSERT_EQ(std::memcmp(out.right.data(), expected.right.data(), 5000 * sizeof(float)), 0)
                << "program " << program << " first block " << blocks[0];
        }
        EXPECT_EQ(whole->getWritePos(), 5000 % 400);
    }
}

// Without the filter, long blocks run several samples of a line at once.
// A main-line read a few slots behind its write, or a post-line read a few
// slots ahead of its write, must still see what the chain sample by sample
// would see: blocks of one frame give the reference.
struct GapCase {
    std::int32_t mainDelay;  // samples
    std::int32_t postGap;    // post lines' delay is their length minus this; 0 for a short delay
    bool filter;
};

void PrintTo(const GapCase& c, std::ostream* os) {
    *os << "delay " << c.mainDelay << ", post gap " << c.postGap << (c.filter ? ", filter" : "");
}

class GroupedSamples : public ::testing::TestWithParam<GapCase> {};

std::unique_ptr<FlangerEffect> withGaps(const GapCase& c, int injectMode) {
    auto fx = neutral();
    const auto length = static_cast<float>(fx->getBufferLength() - 1);
    fx->setParameter(kDepth, (static_cast<float>(c.mainDelay) + 0.5f) / length);
    fx->setParameter(kFeedBack, 0.6f);
    fx->setParameter(kFilterType, c.filter ? 0.3f : 0.0f);
    fx->setParameter(kInjectMode, (static_cast<float>(injectMode) - 0.5f) / 8.0f);
    fx->setParameter(kPost1Send, 0.5f);
    fx->setParameter(kPost2Send, 0.7f);
    const std::int32_t postLength = fx->getPostLine(1, 0).getLength();
    const std::int32_t postDelay = c.postGap > 0 ? postLength - c.postGap : 3;
    const float depth = (static_cast<float>(postDelay) + 0.5f) / 500.0f;
    fx->setParameter(kPost1Depth, depth);
    fx->setParameter(kPost2Depth, depth);
    return fx;
}

TEST_P(GroupedSamples, ReadsNearTheirWritesMatchSampleBySample) {
    const GapCase c = GetParam();
    const Stereo in = noise(1500, 21);
    for (int mode : {1, 5, 7}) {
        auto reference = withGaps(c, mode);
        ASSERT_EQ(reference->getDelaySamples(), c.mainDelay);
        const std::int32_t postLength = reference->getPostLine(2, 1).getLength();
        ASSERT_EQ(reference->getPostLine(2, 1).getDelay(),
                  c.postGap > 0 ? postLength - c.postGap : 3);
        for (bool inPlace : {false, true}) {
            for (bool accumulate : {false, true}) {
                auto one = withGaps(c, mode);
                Stereo expected = inPlace ? in : Stereo(1500, 0.25f);
                run(*one, inPlace ? expected : in, expected, {1}, accumulate);
                for (const std::vector<int>& blocks :
                     std::vector<std::vector<int>>{{1500}, {3, 64, 5, 700, 9}}) {
                    auto fx = withGaps(c, mode);
                    Stereo out = inPlace ? in : Stereo(1500, 0.25f);
                    run(*fx, inPlace ? out : in, out, blocks, accumulate);
                    ASSERT_EQ(
                        std::memcmp(out.left.data(), expected.left.data(), 1500 * sizeof(float)), 0)
                        << "mode " << mode << (inPlace ? ", in place" : "")
                        << (accumulate ? ", adding" : "") << ", first block " << blocks[0];
                    ASSERT_EQ(
                        std::memcmp(out.right.data(), expected.right.data(), 1500 * sizeof(float)),
                        0)
                        << "mode " << mode << (inPlace ? ", in place" : "")
                        << (accumulate ? ", adding" : "") << ", first block " << blocks[0];
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Chain, GroupedSamples,
    ::testing::Values(GapCase{1, 0, false}, GapCase{2, 0, false}, GapCase{3, 0, false},
                      GapCase{4, 0, false}, GapCase{10, 1, false}, GapCase{10, 2, false},
                      GapCase{10, 3, false}, GapCase{10, 4, false}, GapCase{2, 2, false},
                      GapCase{2, 2, true}, GapCase{0, 1, true}, GapCase{4, 1, true},
                      GapCase{10, 3, true}, GapCase{10, 0, true}, GapCase{10, 4, true}));

TEST(Chain, ZeroOrNegativeCountsChangeNothing) {
    auto fx = neutral();
    Stereo in = noise(16, 2), out(16, 7.0f);
    float* ins[2] = {in.left.data(), in.right.data()};
    float* outs[2] = {out.left.data(), out.right.data()};
    fx->processReplacing(ins, outs, 0);
    fx->process(ins, outs, -5);
    EXPECT_EQ(fx->getWritePos(), 0);
    EXPECT_EQ(fx->getReadPos(), 201);
    EXPECT_EQ(out.left[0], 7.0f);
}

TEST(Chain, ProcessAddsWhatProcessReplacingWrites) {
    const Stereo in = noise(3000, 3);
    for (int program : {0, 3, 11}) {
        auto a = neutral(), b = neutral();
        a->setProgram(program);
        b->setProgram(program);
        Stereo replaced(3000), accumulated(3000, 0.25f);
        run(*a, in, replaced, {256});
        run(*b, in, accumulated, {256}, true);
        for (std::size_t i = 0; i < 3000; ++i) {
            ASSERT_EQ(accumulated.left[i], 0.25f + replaced.left[i]) << i;
            ASSERT_EQ(accumulated.right[i], 0.25f + replaced.right[i]) << i;
        }
    }
}

TEST(Chain, SwitchingProcessOperationsKeepsTheDelayContinuous) {
    const Stereo in = noise(2048, 4);
    auto a = neutral(), b = neutral();
    Stereo ref(2048), mixed(2048);
    run(*a, in, ref, {128});
    for (std::size_t pos = 0; pos < 2048; pos += 128) {
        float* ins[2] = {const_cast<float*>(in.left.data() + pos),
                         const_cast<float*>(in.right.data() + pos)};
        float* outs[2] = {mixed.left.data() + pos, mixed.right.data() + pos};
        if ((pos / 128) % 2 == 0)
            b->processReplacing(ins, outs, 128);
        else
            b->process(ins, outs, 128);  // outputs start at zero
    }
    EXPECT_EQ(std::memcmp(ref.left.data(), mixed.left.data(), 2048 * sizeof(float)), 0);
}

TEST(Chain, InPlaceBuffersSeeTheTrueInputUntilTheMix) {
    // Modes that do not read the input element after the mix give the same
    // output in place; modes that do read the output there instead.
    const Stereo in = noise(1500, 5);
    for (int mode = 1; mode <= 8; ++mode) {
        auto a = neutral(), b = neutral();
        for (auto* fx : {a.get(), b.get()}) {
            fx->setParameter(kInjectMode, (static_cast<float>(mode) - 0.5f) / 8.0f);
            fx->setParameter(kPost2Send, 0.5f);
            fx->setParameter(kPost2Depth, 0.1f);
            fx->setParameter(kFeedBack, 0.5f);
        }
        Stereo separate(1500);
        run(*a, in, separate, {300});
        Stereo inPlace = in;
        run(*b, inPlace, inPlace, {300});
        const bool readsInputLate = mode == 1 || mode == 6 || mode == 7 || mode == 8;
        const bool same =
            std::memcmp(separate.left.data(), inPlace.left.data(), 1500 * sizeof(float)) == 0;
        EXPECT_EQ(same, !readsInputLate) << "mode " << mode;
    }
}

TEST(Chain, SuspendClearsSampleMemoryButNotPositions) {
    auto fx = neutral();
    fx->setParameter(kFeedBack, 0.9f);
    fx->setParameter(kPost1Send, 0.5f);
    fx->setParameter(kPost1Depth, 0.1f);
    Stereo in = noise(700, 6), out(700);
    run(*fx, in, out, {700});
    const auto w = fx->getWritePos(), r = fx->getReadPos();
    fx->suspend();
    EXPECT_EQ(fx->getWritePos(), w);
    EXPECT_EQ(fx->getReadPos(), r);
    Stereo silence(1200), after(1200, 1.0f);
    run(*fx, silence, after, {1200});
    for (std::size_t i = 0; i < 1200; ++i) ASSERT_EQ(after.left[i], 0.0f) << i;
}

// The filter stage: off passes the delayed sample bit for bit; on, the
// first filtered sample after a reset is b0 times the input.
TEST(FilterStage, FirstEchoIsScaledByB0) {
    auto fx = neutral();
    fx->setParameter(kDepth, 0.25f);
    fx->setParameter(kFilterType, 0.3f);  // low pass
    fx->suspend();
    Stereo out(200);
    run(*fx, impulse(200), out, {200});
    EXPECT_EQ(out.left[99], fx->getFilter().b0);
    EXPECT_EQ(out.left[0], 1.0f);
}

TEST(FilterStage, SwitchedOffFreezesTheHistoryAndResumesFromIt) {
    auto fx = neutral();
    fx->setParameter(kFilterType, 0.5f);  // high pass
    Stereo in = noise(300, 10), out(300);
    run(*fx, in, out, {300});
    auto& filter = const_cast<BiquadFilter&>(fx->getFilter());
    const BiquadFilter::History before = filter.channelHistory(BiquadFilter::kRight);
    fx->setParameter(kFilterType, 0.0f);
    fx->setParameter(kCutoff, 0.9f);  // computes nothing while off
    run(*fx, in, out, {300});
    const BiquadFilter::History after = filter.channelHistory(BiquadFilter::kRight);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    EXPECT_EQ(fx->getFilter().b0, [] {
        BiquadFilter f;
        f.calcCoefficients(5100.0f, 0.7f, 44100.0f, 2);
        return f.b0;
    }());
}

TEST(FilterStage, RateChangeRedesignsButKeepsHistory) {
    auto fx = neutral();
    fx->setParameter(kFilterType, 0.7f);  // band pass
    Stereo in = noise(500, 7), out(500);
    run(*fx, in, out, {500});
    const float y0 =
        const_cast<BiquadFilter&>(fx->getFilter()).channelHistory(BiquadFilter::kLeft).y0;
    fx->setSampleRate(48000.0f);
    BiquadFilter expected;
    expected.calcCoefficients(5100.0f, 0.7f, 48000.0f, 3);
    EXPECT_EQ(fx->getFilter().b0, expected.b0);
    EXPECT_EQ(const_cast<BiquadFilter&>(fx->getFilter()).channelHistory(BiquadFilter::kLeft).y0,
              y0);
}

TEST(FilterStage, StaysStableAtLowRates) {
    // At 16 kHz the top of the Cutoff range lies above half the rate.
    for (float rate : {8000.0f, 11025.0f, 16000.0f}) {
        for (float type : {0.3f, 0.5f, 0.7f, 0.9f}) {
            auto fx = neutral();
            fx->setSampleRate(rate);
            fx->setParameter(kFilterType, type);
            fx->setParameter(kCutoff, 1.0f);
            fx->setParameter(kQFactor, 1.0f);
            fx->setParameter(kFeedBack, 0.8f);
            Stereo in = noise(20000, 8), out(20000);
            run(*fx, in, out, {512});
            float peak = 0.0f;
            for (float v : out.left) peak = std::fmax(peak, std::fabs(v));
            EXPECT_TRUE(std::isfinite(peak)) << rate << " Hz, type " << type;
            EXPECT_LT(peak, 100.0f) << rate << " Hz, type " << type;
        }
    }
}

TEST(PostFlanger1, ZeroDepthWithHalfSendScalesByOneAndAHalf) {
    auto fx = neutral();
    fx->setParameter(kPost1Send, 0.5f);
    Stereo out(10);
    run(*fx, impulse(10), out, {10});
    EXPECT_EQ(out.left[0], 1.5f);
}

struct ModeCase {
    int mode;
    // Output with send 0 for in = 1, out = mix of in and d, d = delayed sample.
    float (*withoutSend)(float in, float out, float d);
    float feedFactorD;   // how much of d post flanger 2 receives
    float feedFactorIn;  // ... and of in
    float feedFactorOut;
};

class InjectModes : public ::testing::TestWithParam<ModeCase> {};

// An impulse at 0 gives d = 1 at the main delay D; with send 0 each mode's
// output at D follows its formula. With send 1 and post-2 depth n, the post
// line's return appears n samples after what it was fed.
TEST_P(InjectModes, RouteSignalsAsDesigned) {
    const ModeCase c = GetParam();
    const float value = (static_cast<float>(c.mode) - 0.5f) / 8.0f;
    auto fx = neutral();
    fx->setParameter(kDepth, 0.25f);  // D = 99
    fx->setParameter(kInjectMode, value);
    ASSERT_EQ(fx->getInjectMode(), c.mode);
    Stereo out(400);
    run(*fx, impulse(400), out, {400});
    // At sample 0: in = 1, d = 0, out = 1. At sample 99: in = 0, d = 1, out = 1.
    EXPECT_EQ(out.left[0], c.withoutSend(1.0f, 1.0f, 0.0f)) << "mode " << c.mode;
    EXPECT_EQ(out.left[99], c.withoutSend(0.0f, 1.0f, 1.0f)) << "mode " << c.mode;

    auto wet = neutral();
    wet->setParameter(kDepth, 0.25f);
    wet->setParameter(kInjectMode, value);
    wet->setParameter(kPost2Send, 1.0f);
    wet->setParameter(kPost2Depth, 0.1f);  // 50 samples
    Stereo wetOut(400);
    run(*wet, impulse(400), wetOut, {400});
    const float fedAt0 = c.feedFactorIn * 1.0f + c.feedFactorOut * 1.0f;
    const float fedAt99 = c.feedFactorD * 1.0f + c.feedFactorOut * 1.0f;
    EXPECT_EQ(wetOut.left[50], c.withoutSend(0.0f, 0.0f, 0.0f) + fedAt0) << "mode " << c.mode;
    EXPECT_EQ(wetOut.left[149], fedAt99) << "mode " << c.mode;
}

INSTANTIATE_TEST_SUITE_P(
    AllEight, InjectModes,
    ::testing::Values(ModeCase{1, [](float, float o, float) { return o; }, 1, 1, 0},
                      ModeCase{2, [](float, float o, float) { return o; }, 0, 0, 1},
                      ModeCase{3, [](float, float o, float d) { return (d + o) * 0.5f; }, 0, 0, 1},
                      ModeCase{4, [](float, float, float d) { return d; }, 2, 0, 0},
                      ModeCase{5, [](float, float, float d) { return d; }, 1, 0, 1},
                      ModeCase{6, [](float i, float, float) { return i; }, 2, 0, 0},
                      ModeCase{7, [](float i, float, float) { return i; }, 1, 0, 1},
                      ModeCase{8, [](float i, float o, float) { return (i + o) * 0.5f; }, 1, 0, 1}),
    [](const ::testing::TestParamInfo<ModeCase>& param) {
        return "Mode" + std::to_string(param.param.mode);
    });

TEST(InjectModes, OutOfRangeValueRunsModeOne) {
    const Stereo in = noise(800, 9);
    auto a = neutral(), b = neutral();
    for (auto* fx : {a.get(), b.get()}) {
        fx->setParameter(kPost2Send, 0.7f);
        fx->setParameter(kPost2Depth, 0.2f);
    }
    a->setParameter(kInjectMode, 0.0f);
    b->setParameter(kInjectMode, 1.5f);
    EXPECT_EQ(b->getInjectMode(), 0);
    Stereo oa(800), ob(800);
    run(*a, in, oa, {800});
    run(*b, in, ob, {800});
    EXPECT_EQ(std::memcmp(oa.left.data(), ob.left.data(), 800 * sizeof(float)), 0);
}

}  // namespace
