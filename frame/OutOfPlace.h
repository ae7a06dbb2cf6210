// Processing for front ends whose hosts may hand the same memory as input
// and output. The chain reads the output already written when a VST 2 host
// processes in place; here the input is copied first, in steps of a
// scratch buffer the caller allocated beforehand, so the output never
// depends on how the host lays out its buffers. Audio thread: never
// allocates.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "frame/AudioEffect.h"

namespace outofplace {

// Longest single call into the effect, which counts frames in 32 signed bits.
constexpr std::uint32_t kMaxCallFrames = 1u << 30;

// True when any of the two output arrays overlaps any of the two input
// arrays over n frames.
inline bool aliased(const float* const in[2], float* const out[2], std::uint32_t n) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(n) * sizeof(float);
    for (int i = 0; i < 2; ++i) {
        for (int o = 0; o < 2; ++o) {
            const auto a = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(in[i]));
            const auto b = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(out[o]));
            if (a < b + bytes && b < a + bytes) return true;
        }
    }
    return false;
}

// Runs `run(ins, outs, n)` over `frames` frames of two channels, in steps
// the effect can take, each step's input copied first when the arrays
// overlap. `scratch` holds 2 * scratchFrames samples. A null `in` is
// silence.
template <typename Run>
inline void forEachStep(const float* const in[2], float* const out[2], std::uint32_t frames,
                        float* scratch, std::uint32_t scratchFrames, Run&& run) {
    const bool copy = in == nullptr || aliased(in, out, frames);
    for (std::uint32_t done = 0; done < frames;) {
        const std::uint32_t n = std::min(frames - done, copy ? scratchFrames : kMaxCallFrames);
        float* outs[2] = {out[0] + done, out[1] + done};
        float* ins[2];
        if (copy) {
            ins[0] = scratch;
            ins[1] = scratch + scratchFrames;
            for (int c = 0; c < 2; ++c) {
                if (in != nullptr)
                    std::memcpy(ins[c], in[c] + done, n * sizeof(float));
                else
                    std::memset(ins[c], 0, n * sizeof(float));
            }
        } else {
            // The chain only reads arrays that are not also outputs.
            ins[0] = const_cast<float*>(in[0] + done);
            ins[1] = const_cast<float*>(in[1] + done);
        }
        run(ins, outs, n);
        done += n;
    }
}

// processReplacing over `frames` frames of two channels, as forEachStep.
inline void process(AudioEffect& effect, const float* const in[2], float* const out[2],
                    std::uint32_t frames, float* scratch, std::uint32_t scratchFrames) {
    forEachStep(in, out, frames, scratch, scratchFrames,
                [&effect](float** ins, float** outs, std::uint32_t n) {
                    effect.processReplacing(ins, outs, static_cast<VstInt32>(n));
                });
}

}  // namespace outofplace
