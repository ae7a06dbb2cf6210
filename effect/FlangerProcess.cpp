// The audio path: block splitting and the per-sample chain.
#include <algorithm>

#include "effect/FlangerEffect.h"

namespace {

template <int Mode>
void injectRoutineOf(const FlangerEffect& fx, const float& in, float& out, float d, DelayLine& post2) {
    inject::apply<Mode>(fx.getPost2Send(), in, out, d, post2);
}

// One load of a position another thread may store to: the compiler may
// neither repeat it nor merge it with an earlier one.
std::int32_t loadOnce(const std::int32_t& position) {
    return *static_cast<const volatile std::int32_t*>(&position);
}

}  // namespace

InjectRoutine injectRoutineFor(std::int32_t mode) {
    static constexpr InjectRoutine kRoutines[8] = {
        injectRoutineOf<1>, injectRoutineOf<2>, injectRoutineOf<3>, injectRoutineOf<4>,
        injectRoutineOf<5>, injectRoutineOf<6>, injectRoutineOf<7>, injectRoutineOf<8>,
    };
    return (mode >= 1 && mode <= 8) ? kRoutines[mode - 1] : kRoutines[0];
}

void FlangerEffect::process(float** inputs, float** outputs, VstInt32 sampleFrames) {
    run<true>(inputs, outputs, sampleFrames);
}

void FlangerEffect::processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) {
    run<false>(inputs, outputs, sampleFrames);
}

template <bool kAccumulate>
void FlangerEffect::run(float** inputs, float** outputs, VstInt32 sampleFrames) {
    if (sampleFrames <= 0) return;
    float* inL = inputs[0];
    float* inR = inputs[1];
    float* outL = outputs[0];
    float* outR = outputs[1];
    // Hosts may move readPos from another thread (a depth change) while a
    // block runs. The positions are therefore read once, kept in range and
    // advanced in locals, so every chunk is bounded by the positions it
    // actually uses.
    const std::int32_t length = bufferLength;
    const std::int32_t startRead = loadOnce(readPos);
    const std::int32_t startWrite = loadOnce(writePos);
    const std::int32_t w0 = (startWrite >= 0 && startWrite < length) ? startWrite : 0;
    std::int32_t w = w0;
    std::int32_t r = (startRead >= 0 && startRead < length) ? startRead : 0;
    std::int32_t remaining = sampleFrames;
    while (remaining > 0) {
        // Chunks never cross the end of the main lines, so positions run
        // straight inside one.
        const std::int32_t chunk = std::min({remaining, length - w, length - r});
        runChannel<kAccumulate>(inL, outL, bufferL.get(), BiquadFilter::kLeft, w, r, chunk);
        runChannel<kAccumulate>(inR, outR, bufferR.get(), BiquadFilter::kRight, w, r, chunk);
        w += chunk;
        if (w == length) w = 0;
        r += chunk;
        if (r == length) r = 0;
        inL += chunk;
        inR += chunk;
        outL += chunk;
        outR += chunk;
        remaining -= chunk;
    }
    const std::int32_t moved = loadOnce(readPos);
    writePos = w;
    if (moved == startRead) {
        readPos = r;
    } else {
        // A depth change placed readPos behind the block's starting write
        // position; keep that distance behind the new one.
        const std::int32_t m = (moved >= 0 && moved < length) ? moved : 0;
        std::int32_t delay = w0 - m;
        if (delay < 0) delay += length;
        std::int32_t next = w - delay;
        if (next < 0) next += length;
        readPos = next;
    }
}

template <bool kAccumulate>
void FlangerEffect::runChannel(const float* in, float* out, float* line, int channel,
                               std::int32_t w, std::int32_t r, std::int32_t n) {
    DelayLine& p1 = channel == BiquadFilter::kLeft ? post1L : post1R;
    DelayLine& p2 = channel == BiquadFilter::kLeft ? post2L : post2R;
    const auto ch = static_cast<BiquadFilter::Channel>(channel);
    const float fbSign = static_cast<float>(feedbackSign);
    const float mix = static_cast<float>(mixSign);
    for (std::int32_t i = 0; i < n; ++i) {
        const float prior = kAccumulate ? out[i] : 0.0f;
        const float x = in[i];
        float d = line[r + i];
        if (filterType != 0) d = filter.filterSample(ch, d);
        line[w + i] = static_cast<float>(static_cast<double>(x) +
                                         static_cast<double>(fbSign * d) * fFeedBack);
        out[i] = x + mix * d;
        const float r1 = flushDenormal(p1.tick(out[i]));
        out[i] = static_cast<float>(static_cast<double>(out[i]) +
                                    static_cast<double>(fPost1Send) * r1);
        injectRoutine(*this, in[i], out[i], d, p2);
        const float y = out[i] * gain;
        out[i] = kAccumulate ? prior + y : y;
    }
}
