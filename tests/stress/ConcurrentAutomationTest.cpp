// Processing on one thread while another thread automates every parameter,
// switches programs and reads every text, through the record's entries only.
// The host interface gives no synchronisation, so the values a block sees
// may be any mixture of old and new; what must hold is memory safety (the
// sanitizer builds run this too), no data race (the thread-sanitizer build,
// preset `tsan`) and audio that stays finite and bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "dsp/BiquadFilter.h"
#include "effect/FlangerParams.h"
#include "frame/AudioEffect.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Seconds of concurrent running; shorter when every access is checked.
constexpr double kSeconds = kSanitized ? 2.0 : 3.0;

// Input peak and the largest output it may produce: the strongest loop the
// automated range allows (feedback up to 0.85 around a resonant filter,
// both post flangers fully sent, gain 2) stays far below.
constexpr float kInputPeak = 0.5f;
constexpr float kOutputLimit = 1000.0f;

VstIntPtr VSTCALLBACK hostCallback(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

// Small deterministic generator, one per thread.
struct Random {
    std::uint32_t state;
    std::uint32_t next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    float unit() { return static_cast<float>(next() >> 8) * (1.0f / 16777216.0f); }
    std::int32_t below(std::int32_t n) {
        return static_cast<std::int32_t>(next() % std::uint32_t(n));
    }
};

struct AudioFigures {
    long long blocks = 0;
    long long frames = 0;
    long long nonFinite = 0;
    float peak = 0.0f;
};

struct ControlFigures {
    long long parameterSets = 0;
    long long programSwitches = 0;
    long long textReads = 0;
    long long textFaults = 0;
};

constexpr unsigned char kCanary = 0xA5;
constexpr std::size_t kTextBuffer = 128;

// Reads one text opcode into a canary-filled buffer; counts a fault when
// anything past the bound changed or a written text has no terminator.
bool readText(AEffect* fx, VstInt32 opcode, VstInt32 index, std::size_t bound) {
    unsigned char buf[kTextBuffer];
    std::memset(buf, kCanary, sizeof buf);
    fx->dispatcher(fx, opcode, index, 0, buf, 0.0f);
    for (std::size_t i = bound; i < kTextBuffer; ++i)
        if (buf[i] != kCanary) return false;
    return std::memchr(buf, 0, bound) != nullptr;
}

void runAudio(AEffect* fx, const std::atomic<bool>& stop, AudioFigures& fig) {
    Random rng{0x12345678u};
    // Block sizes that straddle the main line's end in different ways.
    static const std::int32_t kSizes[] = {1, 7, 64, 399, 401, 512, 1024, 2048};
    constexpr std::size_t kMax = 2048;
    std::vector<float> inL(kMax), inR(kMax), outL(kMax), outR(kMax);
    double phase = 0.0;
    while (!stop.load(std::memory_order_relaxed)) {
        const std::int32_t n = kSizes[rng.below(8)];
        for (std::int32_t i = 0; i < n; ++i) {
            phase += 0.0627;
            const auto k = static_cast<std::size_t>(i);
            inL[k] = kInputPeak * static_cast<float>(std::sin(phase));
            inR[k] = kInputPeak * (rng.unit() * 2.0f - 1.0f);
        }
        const std::int32_t mode = rng.below(3);
        float* inputs[2] = {inL.data(), inR.data()};
        float* outputs[2] = {outL.data(), outR.data()};
        if (mode == 2) {  // in place, as many hosts process
            outputs[0] = inL.data();
            outputs[1] = inR.data();
        } else {
            std::fill_n(outL.begin(), n, 0.0f);
            std::fill_n(outR.begin(), n, 0.0f);
        }
        if (mode == 1)
            fx->process(fx, inputs, outputs, n);
        else
            fx->processReplacing(fx, inputs, outputs, n);
        for (int c = 0; c < 2; ++c) {
            for (std::int32_t i = 0; i < n; ++i) {
                const float y = outputs[c][i];
                if (!std::isfinite(y))
                    ++fig.nonFinite;
                else if (std::fabs(y) > fig.peak)
                    fig.peak = std::fabs(y);
            }
        }
        ++fig.blocks;
        fig.frames += n;
    }
}

void runControl(AEffect* fx, const std::atomic<bool>& stop, ControlFigures& fig) {
    Random rng{0x9E3779B9u};
    while (!stop.load(std::memory_order_relaxed)) {
        for (VstInt32 i = 0; i < kNumParams; ++i) {
            float v = rng.unit();
            // Edges of the range and of the stepped bands come up often.
            if (rng.below(8) == 0) v = static_cast<float>(rng.below(2));
            if (i == kFeedBack) v *= 0.85f;
            fx->setParameter(fx, i, v);
            ++fig.parameterSets;
        }
        if (rng.below(4) == 0) {
            // Programs whose FeedBack stays at 0.85 or less: above that a
            // resonant filter in the loop may take the loop gain past 1 by
            // design (programs 1 and 5 carry 0.87 and 0.97).
            static const VstIntPtr kBoundedPrograms[] = {0,  2,  3,  4,  6,  7,  8,  9,  10,
                                                         11, 12, 13, 14, 15, 16, 17, 18, 19};
            fx->dispatcher(fx, effSetProgram, 0, kBoundedPrograms[rng.below(18)], nullptr, 0.0f);
            ++fig.programSwitches;
        }
        for (VstInt32 i = 0; i < kNumParams; ++i) {
            for (VstInt32 op : {effGetParamName, effGetParamLabel, effGetParamDisplay}) {
                if (!readText(fx, op, i, kParamTextBytes)) ++fig.textFaults;
                ++fig.textReads;
            }
        }
        if (!readText(fx, effGetProgramName, 0, kProgramNameBytes)) ++fig.textFaults;
        if (!readText(fx, effGetProgramNameIndexed, rng.below(kNumPrograms), kProgramNameBytes))
            ++fig.textFaults;
        fig.textReads += 2;
    }
}

TEST(ConcurrentAutomation, AudioStaysFiniteAndBoundedWhileAnotherThreadAutomates) {
    AEffect* fx = pluginEntry(hostCallback);
    ASSERT_NE(fx, nullptr);
    fx->dispatcher(fx, effOpen, 0, 0, nullptr, 0.0f);
    fx->dispatcher(fx, effSetSampleRate, 0, 0, nullptr, 44100.0f);
    fx->dispatcher(fx, effSetBlockSize, 0, 2048, nullptr, 0.0f);
    fx->dispatcher(fx, effMainsChanged, 0, 1, nullptr, 0.0f);

    std::atomic<bool> stop{false};
    AudioFigures audio;
    ControlFigures control;
    std::thread audioThread(runAudio, fx, std::cref(stop), std::ref(audio));
    std::thread controlThread(runControl, fx, std::cref(stop), std::ref(control));
    std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
    stop = true;
    audioThread.join();
    controlThread.join();

    fx->dispatcher(fx, effMainsChanged, 0, 0, nullptr, 0.0f);
    fx->dispatcher(fx, effClose, 0, 0, nullptr, 0.0f);

    std::printf(
        "stress: %.1f s, %lld blocks, %lld frames, peak %.3f; %lld parameter sets, "
        "%lld program switches, %lld text reads\n",
        kSeconds, audio.blocks, audio.frames, static_cast<double>(audio.peak),
        control.parameterSets, control.programSwitches, control.textReads);
    EXPECT_GT(audio.blocks, 100);
    EXPECT_GT(control.programSwitches, 10);
    EXPECT_EQ(audio.nonFinite, 0);
    EXPECT_LT(audio.peak, kOutputLimit);
    EXPECT_EQ(control.textFaults, 0);
}

// The coefficients go out as one set: while one thread redesigns between
// two filters, every set the other thread copies is one of the two whole.
TEST(ConcurrentAutomation, CoefficientCopiesAreWholeSetsWhileAnotherThreadRedesigns) {
    BiquadFilter filter, low, high;
    low.calcCoefficients(300.0f, 0.5f, 44100.0f, BiquadFilter::kLowPass);
    high.calcCoefficients(6000.0f, 0.9f, 44100.0f, BiquadFilter::kHighPass);
    BiquadFilter::Coefficients sets[2];
    ASSERT_TRUE(low.snapshot(sets[0]) && high.snapshot(sets[1]));
    filter.calcCoefficients(300.0f, 0.5f, 44100.0f, BiquadFilter::kLowPass);

    std::atomic<bool> stop{false};
    std::thread designer([&] {
        for (int i = 0; !stop.load(std::memory_order_relaxed); ++i) {
            if (i % 2 == 0)
                filter.calcCoefficients(6000.0f, 0.9f, 44100.0f, BiquadFilter::kHighPass);
            else
                filter.calcCoefficients(300.0f, 0.5f, 44100.0f, BiquadFilter::kLowPass);
        }
    });
    long long copies = 0, torn = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < end) {
        BiquadFilter::Coefficients c;
        if (!filter.snapshot(c)) continue;
        ++copies;
        if (std::memcmp(&c, &sets[0], sizeof c) != 0 && std::memcmp(&c, &sets[1], sizeof c) != 0)
            ++torn;
    }
    stop = true;
    designer.join();
    EXPECT_GT(copies, 1000);
    EXPECT_EQ(torn, 0);
}

}  // namespace
