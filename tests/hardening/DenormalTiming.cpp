// Processing time after the music stops. A burst of noise fills the main
// lines, strong positive feedback (0.97, filter off) lets it decay, and the
// smallest values settle in the subnormal range, where they never reach
// zero. The time for a long stretch of that silence is compared with the
// time for the same length of ordinary signal, once through the class
// directly (the caller's floating-point mode, as before the guard) and once
// through the record (flush-to-zero and denormals-are-zero during the call).
// Only ratios within one run are meaningful.
//
// Usage: denormal_timing [seconds of audio per measurement, default 20]
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "effect/FlangerEffect.h"
#include "frame/AudioEffect.h"

namespace {

constexpr std::int32_t kBlock = 512;
constexpr std::int64_t kRate = 44100;

VstIntPtr VSTCALLBACK hostCallback(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

// The class on its own: whatever mode the calling thread is in.
struct Direct {
    std::unique_ptr<FlangerEffect> fx = std::make_unique<FlangerEffect>(nullptr);
    void set(VstInt32 i, float v) { fx->setParameter(i, v); }
    void process(float** in, float** out) { fx->processReplacing(in, out, kBlock); }
};

// Through the record the entry point returns, as a host calls it.
struct Record {
    AEffect* fx = pluginEntry(hostCallback);
    Record() { fx->dispatcher(fx, effSetSampleRate, 0, 0, nullptr, static_cast<float>(kRate)); }
    ~Record() { fx->dispatcher(fx, effClose, 0, 0, nullptr, 0.0f); }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    void set(VstInt32 i, float v) { fx->setParameter(fx, i, v); }
    void process(float** in, float** out) { fx->processReplacing(fx, in, out, kBlock); }
};

struct Run {
    double seconds = 0.0;
    long long subnormalOutputs = 0;
};

// `frames` frames in blocks; level 0 is silence, anything else noise.
template <typename Driver>
Run render(Driver& d, std::int64_t frames, float level, std::uint32_t seed) {
    std::vector<float> inL(kBlock), inR(kBlock), outL(kBlock), outR(kBlock);
    float* ins[2] = {inL.data(), inR.data()};
    float* outs[2] = {outL.data(), outR.data()};
    Run r;
    const auto start = std::chrono::steady_clock::now();
    for (std::int64_t done = 0; done < frames; done += kBlock) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(kBlock); ++i) {
            seed = seed * 1664525u + 1013904223u;
            inL[i] = level * (static_cast<float>(seed >> 9) / 8388608.0f - 1.0f);
            inR[i] = -inL[i];
        }
        d.process(ins, outs);
        for (std::size_t i = 0; i < static_cast<std::size_t>(kBlock); ++i)
            r.subnormalOutputs += (std::fpclassify(outL[i]) == FP_SUBNORMAL) +
                                  (std::fpclassify(outR[i]) == FP_SUBNORMAL);
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
}

template <typename Driver>
void configure(Driver& d) {
    d.set(kDepth, 0.05f);  // 19-sample delay: the tail settles within about 1.5 s
    d.set(kFeedBack, 0.97f);
    d.set(kFeedBSign, 1.0f);  // positive feedback and mix
    d.set(kFilterType, 0.0f);
}

template <typename Driver>
void measure(const char* name, std::int64_t frames) {
    Driver tail;
    configure(tail);
    render(tail, 4096, 0.5f, 1u);       // the burst fills the whole line
    render(tail, 5 * kRate, 0.0f, 0u);  // decay into the subnormal floor
    const Run silence = render(tail, frames, 0.0f, 0u);

    Driver music;
    configure(music);
    const Run ordinary = render(music, frames, 0.3f, 2u);

    const double perFrame = 1.0e9 / static_cast<double>(frames);
    std::printf(
        "%-8s silence after burst %8.1f ns/frame (%lld subnormal outputs), "
        "ordinary signal %8.1f ns/frame, ratio %.2f\n",
        name, silence.seconds * perFrame, silence.subnormalOutputs, ordinary.seconds * perFrame,
        silence.seconds / ordinary.seconds);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 20.0;
    if (argc > 1) {
        char* end = nullptr;
        seconds = std::strtod(argv[1], &end);
        if (end == argv[1] || *end != '\0' || !(seconds > 0.0) || seconds > 3600.0) {
            std::fprintf(stderr,
                         "denormal_timing: '%s' is not a length in seconds; give a number "
                         "between 0 and 3600, e.g. 20\n",
                         argv[1]);
            return 2;
        }
    }
    const auto frames = static_cast<std::int64_t>(seconds * static_cast<double>(kRate));
    std::printf("%.1f s of stereo audio per measurement, blocks of %d frames\n", seconds, kBlock);
    measure<Direct>("class", frames);
    measure<Record>("record", frames);
    return 0;
}
