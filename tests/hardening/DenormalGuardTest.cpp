// The processing entries switch on flush-to-zero and denormals-are-zero for
// the length of the call. Normal-range results must not change by a bit,
// subnormal results must disappear from the output and the lines, and the
// caller's control and status registers must be exactly as they were
// afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include "frame/DenormalGuard.h"
#include "tests/hardening/RecordHelpers.h"

// The effect's sample memory, read between processing calls.
struct FlangerAccess {
    // Subnormal samples in the main lines and the four post lines.
    static long long subnormalsInLines(FlangerEffect& fx) {
        long long count = 0;
        const auto scan = [&count](const float* data, std::int32_t length) {
            for (std::int32_t i = 0; i < length; ++i)
                count += std::fpclassify(data[i]) == FP_SUBNORMAL;
        };
        scan(fx.bufferL.get(), fx.bufferLength);
        scan(fx.bufferR.get(), fx.bufferLength);
        for (DelayLine* line : {&fx.post1L, &fx.post1R, &fx.post2L, &fx.post2R})
            scan(line->data(), line->getLength());
        return count;
    }
    // The shortest line: every value written during a block that long is
    // still in the lines afterwards.
    static std::int32_t shortestLine(FlangerEffect& fx) {
        return std::min({fx.bufferLength, fx.post1L.getLength(), fx.post1R.getLength(),
                         fx.post2L.getLength(), fx.post2R.getLength()});
    }
};

namespace {

using hardening::closeRecord;
using hardening::effectBehind;
using hardening::openRecord;

constexpr std::int32_t kBlock = 512;
constexpr int kBlocks = 12;

// Two sines and a little noise at an ordinary level: no sample, and no
// value the chain forms from them, comes near the subnormal range.
void ordinarySignal(std::vector<float>& left, std::vector<float>& right, std::uint32_t seed) {
    for (std::size_t i = 0; i < left.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        const float noise = static_cast<float>(seed >> 9) / 8388608.0f - 1.0f;
        const double t = static_cast<double>(i);
        left[i] = static_cast<float>(0.4 * std::sin(t * 0.031) + 0.2 * std::sin(t * 0.17)) +
                  0.05f * noise;
        right[i] = static_cast<float>(0.5 * std::sin(t * 0.023 + 1.0)) - 0.05f * noise;
    }
}

bool isSubnormal(float x) {
    return x != 0.0f && std::fpclassify(x) == FP_SUBNORMAL;
}

// One side's arrays for a block; in place, the outputs are the inputs.
struct Buffers {
    std::vector<float> in[2];
    std::vector<float> out[2] = {std::vector<float>(kBlock, 0.5f),
                                 std::vector<float>(kBlock, -0.5f)};
    float* ins[2];
    float* outs[2];
    Buffers(const std::vector<float>& left, const std::vector<float>& right, bool inPlace)
        : in{left, right} {
        for (int c = 0; c < 2; ++c) {
            ins[c] = in[c].data();
            outs[c] = inPlace ? in[c].data() : out[c].data();
        }
    }
};

class GuardKeepsNormalResults : public ::testing::TestWithParam<int> {};

// Every factory program, processed by the class directly (no guard) and
// through the record (guard on), replacing, adding and in place.
TEST_P(GuardKeepsNormalResults, ProgramRendersBitIdenticallyThroughTheRecord) {
    const int program = GetParam();
    FlangerEffect direct(nullptr);
    direct.setProgram(program);
    AEffect* fx = openRecord();
    ASSERT_NE(fx, nullptr);
    fx->dispatcher(fx, effSetProgram, 0, program, nullptr, 0.0f);

    std::vector<float> inL(kBlock), inR(kBlock);
    for (int b = 0; b < kBlocks; ++b) {
        ordinarySignal(inL, inR, static_cast<std::uint32_t>(b + 1));
        const int mode = b % 3;  // replacing, adding, replacing in place
        Buffers plain(inL, inR, mode == 2);
        Buffers guarded(inL, inR, mode == 2);
        if (mode == 1) {
            direct.process(plain.ins, plain.outs, kBlock);
            fx->process(fx, guarded.ins, guarded.outs, kBlock);
        } else {
            direct.processReplacing(plain.ins, plain.outs, kBlock);
            fx->processReplacing(fx, guarded.ins, guarded.outs, kBlock);
        }
        for (int c = 0; c < 2; ++c) {
            for (std::size_t i = 0; i < static_cast<std::size_t>(kBlock); ++i) {
                const float want = plain.outs[c][i];
                const float got = guarded.outs[c][i];
                ASSERT_FALSE(isSubnormal(want)) << "the signal is not ordinary at " << i;
                ASSERT_EQ(std::memcmp(&want, &got, sizeof(float)), 0)
                    << "program " << program << ", block " << b << ", channel " << c << ", sample "
                    << i << ": " << want << " vs " << got;
            }
        }
    }
    closeRecord(fx);
}

INSTANTIATE_TEST_SUITE_P(Hardening, GuardKeepsNormalResults, ::testing::Range(0, kNumPrograms));

// After a burst, strong positive feedback leaves the main lines full of
// values that decay into the subnormal range and stay there. Through the
// record they become zero, in the output and in every line, after every
// block (blocks no longer than the shortest line, so every value written is
// seen); the class on its own still produces them.
TEST(DenormalGuard, SubnormalTailAfterHighFeedbackIsFlushedThroughTheRecord) {
    auto configure = [](auto&& set) {
        set(kDepth, 0.01f);  // a 3-sample delay: the tail decays within a few thousand samples
        set(kFeedBack, 0.97f);
        set(kFeedBSign, 1.0f);
        set(kFilterType, 0.0f);
        set(kPost1Send, 0.5f);
        set(kPost2Send, 0.5f);
    };
    FlangerEffect direct(nullptr);
    configure([&](VstInt32 i, float v) { direct.setParameter(i, v); });
    AEffect* fx = openRecord();
    ASSERT_NE(fx, nullptr);
    configure([&](VstInt32 i, float v) { fx->setParameter(fx, i, v); });
    FlangerEffect& guarded = effectBehind(fx);

    constexpr std::int32_t kFrames = 256;
    ASSERT_LE(kFrames, FlangerAccess::shortestLine(guarded));
    std::vector<float> inL(kFrames), inR(kFrames), out[4];
    for (auto& o : out) o.assign(kFrames, 0.0f);
    long long directSubnormals = 0, directInLines = 0;
    long long guardedSubnormals = 0, guardedInLines = 0;
    for (int b = 0; b < 128; ++b) {
        if (b < 16)
            ordinarySignal(inL, inR, static_cast<std::uint32_t>(b + 7));
        else
            std::fill(inL.begin(), inL.end(), 0.0f), std::fill(inR.begin(), inR.end(), 0.0f);
        float* ins[2] = {inL.data(), inR.data()};
        float* directOut[2] = {out[0].data(), out[1].data()};
        float* guardedOut[2] = {out[2].data(), out[3].data()};
        direct.processReplacing(ins, directOut, kFrames);
        fx->processReplacing(fx, ins, guardedOut, kFrames);
        for (std::int32_t i = 0; i < kFrames; ++i) {
            const auto k = static_cast<std::size_t>(i);
            directSubnormals += isSubnormal(out[0][k]) + isSubnormal(out[1][k]);
            guardedSubnormals += isSubnormal(out[2][k]) + isSubnormal(out[3][k]);
        }
        directInLines += FlangerAccess::subnormalsInLines(direct);
        guardedInLines += FlangerAccess::subnormalsInLines(guarded);
    }
    EXPECT_GT(directSubnormals, 1000) << "the tail never reached the subnormal range";
    EXPECT_GT(directInLines, 1000) << "the lines never held subnormal values";
    EXPECT_EQ(guardedSubnormals, 0);
    EXPECT_EQ(guardedInLines, 0);
    closeRecord(fx);
}

#if FLANGER_HAS_MXCSR || FLANGER_HAS_FPCR
// The calling thread's floating-point state: MXCSR on x86 (control and
// flags in one register), FPCR and FPSR on ARM.
struct FpState {
    std::uint64_t control;
    std::uint64_t status;
    bool operator==(const FpState& o) const { return control == o.control && status == o.status; }
};

void PrintTo(const FpState& s, std::ostream* os) {
    *os << std::hex << "control " << s.control << ", status " << s.status;
}

#if FLANGER_HAS_MXCSR
FpState readState() {
    return {_mm_getcsr(), 0};
}
void writeState(const FpState& s) {
    _mm_setcsr(static_cast<unsigned>(s.control));
}
#else
FpState readState() {
    return {fpregs::readControl(), fpregs::readStatus()};
}
void writeState(const FpState& s) {
    fpregs::writeControl(s.control);
    fpregs::writeStatus(s.status);
}
#endif

struct CallerState {
    const char* name;
    FpState state;
};

void PrintTo(const CallerState& s, std::ostream* os) {
    *os << s.name;
}

class GuardRestoresCallerState : public ::testing::TestWithParam<CallerState> {};

TEST_P(GuardRestoresCallerState, ControlRegisterIsUnchangedAfterEachProcessingCall) {
    AEffect* fx = openRecord();
    ASSERT_NE(fx, nullptr);
    fx->setParameter(fx, kFeedBack, 0.97f);
    std::vector<float> inL(kBlock), inR(kBlock), outL(kBlock), outR(kBlock);
    ordinarySignal(inL, inR, 3u);
    float* ins[2] = {inL.data(), inR.data()};
    float* outs[2] = {outL.data(), outR.data()};

    const FpState original = readState();
    const FpState caller = GetParam().state;
    writeState(caller);
    fx->processReplacing(fx, ins, outs, kBlock);
    const FpState afterReplacing = readState();
    writeState(caller);
    fx->process(fx, ins, outs, kBlock);
    const FpState afterAdding = readState();
    writeState(original);

    EXPECT_EQ(afterReplacing, caller) << "after processReplacing";
    EXPECT_EQ(afterAdding, caller) << "after process";
    closeRecord(fx);
}

// Masks all set, as every host starts; then states with either mode already
// on, another rounding mode, and sticky exception flags the call must not
// clear or add to (every call raises the inexact flag).
#if FLANGER_HAS_MXCSR
const CallerState kCallerStates[] = {
    {"Default", {0x1F80u, 0}},
    {"FlushToZeroOn", {0x9F80u, 0}},
    {"DenormalsAreZeroOn", {0x1FC0u, 0}},
    {"BothOn", {0x9FC0u, 0}},
    {"RoundTowardZero", {0x7F80u, 0}},
    {"StickyFlagsSet", {0x1FA1u, 0}},
};
#else
// FPCR: FZ is bit 24, default NaN bit 25, rounding bits 22-23. FPSR: the
// cumulative flags, invalid operation in bit 0 and inexact in bit 4.
const CallerState kCallerStates[] = {
    {"Default", {0, 0}},
    {"FlushToZeroOn", {1u << 24, 0}},
    {"DefaultNaNOn", {1u << 25, 0}},
    {"RoundTowardZero", {3u << 22, 0}},
    {"StickyFlagsSet", {0, 0x11u}},
};
#endif

INSTANTIATE_TEST_SUITE_P(Hardening, GuardRestoresCallerState, ::testing::ValuesIn(kCallerStates),
                         [](const ::testing::TestParamInfo<CallerState>& p) {
                             return std::string(p.param.name);
                         });
#endif

}  // namespace
