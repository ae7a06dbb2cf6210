// The audio path: each processing call reads the effect's shared state once
// into the chain's records, checks every index against its line, runs one
// routine of the chain's loops (ChainKernels) and writes the positions
// back.
#include <algorithm>
#include <cstdint>

#include "effect/ChainKernels.h"
#include "effect/FlangerEffect.h"

using chain::Lane;
using chain::Line;
using chain::Settings;

namespace {

template <int Mode>
void injectRoutineOf(const FlangerEffect& fx, const float& in, float& out, float d,
                     DelayLine& post2) {
    inject::apply<Mode>(fx.getPost2Send(), in, out, d, post2);
}

constexpr InjectRoutine kRoutines[8] = {
    injectRoutineOf<1>, injectRoutineOf<2>, injectRoutineOf<3>, injectRoutineOf<4>,
    injectRoutineOf<5>, injectRoutineOf<6>, injectRoutineOf<7>, injectRoutineOf<8>,
};

// The mode (1..8) of a routine from the table; the dedicated loops stand
// in for the call through it.
int modeOf(InjectRoutine routine) {
    for (int m = 0; m < 8; ++m) {
        if (kRoutines[m] == routine) return m + 1;
    }
    return 1;
}

// A post line's indices as this call uses them (`read` read once by the
// caller): inside the line, or a zero delay when another thread left them
// outside.
Line lineOf(DelayLine& line, std::int32_t read) {
    Line l{line.data(), line.getLength(), line.getWriteIndex(), read};
    if (l.write < 0 || l.write >= l.length) l.write = 0;
    if (l.read < 0 || l.read >= l.length) l.read = l.write;
    return l;
}

// The index to store back after `frames` samples: ours, unless another
// thread moved the read index meanwhile (a delay change made from the
// write index as it stood at the start); that one is carried forward.
std::int32_t settledRead(std::int32_t ours, std::int32_t before, std::int32_t now,
                         std::int32_t frames, std::int32_t length) {
    if (now == before || now < 0 || now >= length) return ours;
    return static_cast<std::int32_t>((static_cast<std::int64_t>(now) + frames) % length);
}

void storeLine(DelayLine& line, const Line& l, std::int32_t readBefore, std::int32_t frames) {
    line.setIndices(l.write,
                    settledRead(l.read, readBefore, line.getReadIndex(), frames, l.length));
}

}  // namespace

InjectRoutine injectRoutineFor(std::int32_t mode) {
    return (mode >= 1 && mode <= 8) ? kRoutines[mode - 1] : kRoutines[0];
}

void FlangerEffect::selectChain() {
    chainIndex = (filterType != 0 ? 8 : 0) + modeOf(injectRoutine) - 1;
}

void FlangerEffect::process(float** inputs, float** outputs, VstInt32 sampleFrames) {
    runChain<true>(inputs, outputs, sampleFrames);
}

void FlangerEffect::processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) {
    runChain<false>(inputs, outputs, sampleFrames);
}

// The chain index is read once; every value it can hold names a complete,
// consistent routine, so a change on another thread takes effect from the
// next call.
template <bool kAccumulate>
void FlangerEffect::runChain(float** inputs, float** outputs, VstInt32 sampleFrames) {
    if (sampleFrames <= 0) return;
    // Shared state is read once, checked, and written back at the end; the
    // loops index only with these locals.
    const std::int32_t length = bufferLength;
    if (length <= 0) return;
    std::int32_t w = writePos;
    if (w < 0 || w >= length) w = 0;
    const std::int32_t readBefore = readPos;
    std::int32_t r = readBefore;
    if (r < 0 || r >= length) r = w;

    const std::int32_t index = chainIndex;
    const bool filterOn = index >= 8;
    const chain::Routine routine = kernels->routines[kAccumulate][filterOn ? 1 : 0][index & 7];

    // The filter's coefficients as one consistent set; if a redesign keeps
    // overlapping the copy, the last whole set is used for this block.
    // Without the filter they are not used.
    BiquadFilter::Coefficients c;
    if (filterOn && filter.snapshot(c)) blockCoefficients = c;
    Settings s;
    s.b0 = blockCoefficients.b0;
    s.b1 = blockCoefficients.b1;
    s.b2 = blockCoefficients.b2;
    s.a1 = blockCoefficients.a1;
    s.a2 = blockCoefficients.a2;
    s.feedback = fFeedBack;
    s.post1Send = fPost1Send;
    s.post2Send = fPost2Send;
    s.feedbackSign = static_cast<float>(feedbackSign);
    s.mixSign = static_cast<float>(mixSign);
    s.gain = gain;

    const std::int32_t reads[4] = {post1L.getReadIndex(), post2L.getReadIndex(),
                                   post1R.getReadIndex(), post2R.getReadIndex()};
    Lane lanes[2] = {
        {inputs[0], outputs[0], bufferL.get(), filter.channelHistory(BiquadFilter::kLeft),
         lineOf(post1L, reads[0]), lineOf(post2L, reads[1])},
        {inputs[1], outputs[1], bufferR.get(), filter.channelHistory(BiquadFilter::kRight),
         lineOf(post1R, reads[2]), lineOf(post2R, reads[3])},
    };

    const std::int32_t n = sampleFrames;
    routine(s, lanes, length, w, r, n);

    // A division only for blocks longer than the line.
    const std::int32_t advance = n < length ? n : n % length;
    w += advance;
    if (w >= length) w -= length;
    r += advance;
    if (r >= length) r -= length;
    writePos = w;
    readPos = settledRead(r, readBefore, readPos, n, length);
    if (filterOn) {
        filter.channelHistory(BiquadFilter::kLeft) = lanes[0].history;
        filter.channelHistory(BiquadFilter::kRight) = lanes[1].history;
    }
    storeLine(post1L, lanes[0].post1, reads[0], n);
    storeLine(post2L, lanes[0].post2, reads[1], n);
    storeLine(post1R, lanes[1].post1, reads[2], n);
    storeLine(post2R, lanes[1].post2, reads[3], n);
}
