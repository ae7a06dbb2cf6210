// The chain's loops are built once per instruction set (plain C++, SSE2,
// AVX); whichever the machine runs, the samples must be the same. Every
// scenario renders through each set this build has and this machine runs,
// in every way a host may hand over its arrays and in several block
// patterns, with parameters moving between blocks, and must match the plain
// loops fed one frame per block bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "effect/ChainKernels.h"
#include "effect/FlangerEffect.h"

struct FlangerAccess {
    static void use(FlangerEffect& fx, chain::InstructionSet set) {
        fx.kernels = &chain::kernelsFor(set);
        fx.changed();
    }
};

namespace {

using chain::InstructionSet;

constexpr std::int32_t kFrames = 2400;

// Twelve parameter values in index order.
using Values = std::vector<float>;

struct Scenario {
    const char* name;
    Values values;
    // Set from this frame on (at the first block boundary at or after it).
    std::int32_t changeAt;
    Values changed;
};

// Depth for a main-line delay of n samples at 44100 Hz (line of 400).
constexpr float mainDelay(int n) {
    return (static_cast<float>(n) + 0.5f) / 399.0f;
}
// Post depth for a delay of n samples (factor 500).
constexpr float postDelay(int n) {
    return (static_cast<float>(n) + 0.5f) / 500.0f;
}
// Inject Mode value for mode m.
constexpr float mode(int m) {
    return (static_cast<float>(m) - 0.5f) / 8.0f;
}

// Depth, FeedBack, FeedB Sign, Filter Type, Cutoff, Q, Post1 send, Post1
// depth, Inject Mode, Post2 send, Post2 depth, Output Gain.
const Scenario kScenarios[] = {
    {"LowPassModeOneSweepsDepth",
     {0.5f, 0.9f, 1.0f, 0.3f, 0.3f, 0.8f, 0.6f, postDelay(3), mode(1), 0.7f, postDelay(40), 0.4f},
     700,
     {mainDelay(2), 0.9f, 1.0f, 0.3f, 0.3f, 0.8f, 0.6f, postDelay(3), mode(1), 0.7f, postDelay(40),
      0.4f}},
    {"FilterSwitchesOnAndModesChange",
     {mainDelay(1), 0.8f, 0.1f, 0.0f, 0.6f, 0.2f, 0.5f, postDelay(0), mode(2), 0.5f, postDelay(499),
      0.5f},
     900,
     {mainDelay(1), 0.8f, 0.1f, 0.7f, 0.6f, 0.2f, 0.5f, postDelay(0), mode(3), 0.5f, postDelay(499),
      0.5f}},
    {"NotchModeFourWithReadsJustAheadOfWrites",
     {mainDelay(3), 0.95f, 0.4f, 0.9f, 0.1f, 0.9f, 1.0f, postDelay(498), mode(4), 1.0f,
      postDelay(497), 0.6f},
     1300,
     {mainDelay(4), 0.95f, 0.4f, 0.9f, 0.1f, 0.9f, 1.0f, postDelay(1), mode(5), 1.0f, postDelay(2),
      0.6f}},
    {"NoFilterModesSixToEight",
     {0.0f, 0.97f, 0.6f, 0.0f, 0.5f, 0.7f, 0.3f, postDelay(2), mode(6), 0.9f, postDelay(1), 0.5f},
     1000,
     {mainDelay(9), 0.97f, 0.6f, 0.0f, 0.5f, 0.7f, 0.3f, postDelay(2), mode(8), 0.9f, postDelay(1),
      0.5f}},
    {"BandPassModeSevenFilterSwitchesOff",
     {mainDelay(30), 0.7f, 0.8f, 0.5f, 0.8f, 0.5f, 0.4f, postDelay(100), mode(7), 0.6f,
      postDelay(3), 0.45f},
     1500,
     {mainDelay(30), 0.7f, 0.8f, 0.0f, 0.8f, 0.5f, 0.4f, postDelay(100), mode(7), 0.6f,
      postDelay(3), 0.45f}},
};

void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

enum class Layout { kSeparate, kInPlace, kCrossed, kSharedOut, kShifted, kLeftInPlace };
const Layout kLayouts[] = {Layout::kSeparate,  Layout::kInPlace, Layout::kCrossed,
                           Layout::kSharedOut, Layout::kShifted, Layout::kLeftInPlace};

float signal(std::int32_t channel, std::int32_t i) {
    // Deterministic noise with an impulse, then silence for the tails.
    if (i >= 1800) return i == 1800 + channel ? 1.0f : 0.0f;
    std::uint32_t s = static_cast<std::uint32_t>(i) * 2654435761u + (channel != 0 ? 97u : 13u);
    s ^= s >> 15;
    s *= 2246822519u;
    s ^= s >> 13;
    return static_cast<float>(s >> 8) / 16777216.0f - 0.5f;
}

void apply(FlangerEffect& fx, const Values& v) {
    for (int k = 0; k < kNumParams; ++k) fx.setParameter(k, v[static_cast<std::size_t>(k)]);
}

// Renders a scenario through arrays that hold the whole signal, handed over
// block by block as the layout says; answers what the output arrays hold at
// the end (separate outputs start at 0.25, for the adding entry). With
// `refreshEveryBlock` a parameter is set to its own value before every
// block.
std::vector<float> render(const Scenario& sc, InstructionSet set, Layout layout, bool adding,
                          const std::vector<std::int32_t>& blocks, bool refreshEveryBlock) {
    auto fx = std::make_unique<FlangerEffect>(nullptr);
    FlangerAccess::use(*fx, set);
    apply(*fx, sc.values);
    constexpr std::int32_t kStride = kFrames + 8;
    std::vector<float> arena(4 * kStride, 0.25f);
    float* ins[2] = {arena.data() + 4, arena.data() + 4 + kStride};
    float* outs[2] = {arena.data() + 4 + 2 * kStride, arena.data() + 4 + 3 * kStride};
    for (std::int32_t c = 0; c < 2; ++c)
        for (std::int32_t i = 0; i < kFrames; ++i) ins[c][i] = signal(c, i);
    switch (layout) {
        case Layout::kSeparate: break;
        case Layout::kInPlace: outs[0] = ins[0], outs[1] = ins[1]; break;
        case Layout::kCrossed: outs[0] = ins[1], outs[1] = ins[0]; break;
        case Layout::kSharedOut: outs[1] = outs[0]; break;
        case Layout::kShifted: outs[0] = ins[0] - 1, outs[1] = ins[1] + 1; break;
        case Layout::kLeftInPlace: outs[0] = ins[0]; break;
    }
    bool changed = false;
    std::size_t b = 0;
    for (std::int32_t pos = 0; pos < kFrames;) {
        // Blocks end where the parameters change, as a host that automates
        // at the frame splits them.
        const std::int32_t end = !changed && pos < sc.changeAt ? sc.changeAt : kFrames;
        const std::int32_t n = std::min(blocks[b++ % blocks.size()], end - pos);
        if (!changed && pos >= sc.changeAt) {
            apply(*fx, sc.changed);
            changed = true;
        }
        if (refreshEveryBlock) fx->setParameter(kOutputGain, fx->getParameter(kOutputGain));
        float* in[2] = {ins[0] + pos, ins[1] + pos};
        float* out[2] = {outs[0] + pos, outs[1] + pos};
        if (adding)
            fx->process(in, out, n);
        else
            fx->processReplacing(in, out, n);
        pos += n;
    }
    std::vector<float> result(outs[0], outs[0] + kFrames);
    result.insert(result.end(), outs[1], outs[1] + kFrames);
    return result;
}

class InstructionSets : public ::testing::TestWithParam<Scenario> {};

TEST_P(InstructionSets, EveryLayoutAndBlockPatternMatchesThePlainLoops) {
    const Scenario& sc = GetParam();
    const std::vector<std::vector<std::int32_t>> patterns = {
        {1}, {3}, {1, 2, 3, 4, 5, 6, 7, 8, 31, 32, 33, 399, 401, 64, 4096}};
    std::vector<InstructionSet> sets = {InstructionSet::kPlain};
    for (InstructionSet s : {InstructionSet::kSse2, InstructionSet::kAvx})
        if (chain::kernelsFor(s).set == s) sets.push_back(s);
    for (Layout layout : kLayouts) {
        for (bool adding : {false, true}) {
            // One frame per block: every frame sees every change as it comes.
            const std::vector<float> reference =
                render(sc, InstructionSet::kPlain, layout, adding, {1}, false);
            for (InstructionSet set : sets) {
                for (std::size_t p = 0; p < patterns.size(); ++p) {
                    for (bool refresh : {false, true}) {
                        const std::vector<float> out =
                            render(sc, set, layout, adding, patterns[p], refresh);
                        ASSERT_EQ(std::memcmp(out.data(), reference.data(),
                                              reference.size() * sizeof(float)),
                                  0)
                            << "set " << static_cast<int>(set) << ", layout "
                            << static_cast<int>(layout) << (adding ? ", adding" : "")
                            << ", pattern " << p << (refresh ? ", refreshed every block" : "");
                    }
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Chain, InstructionSets, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& p) {
                             return std::string(p.param.name);
                         });

}  // namespace
