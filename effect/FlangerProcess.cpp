// The audio path: a block takes a fresh view of the effect's shared state
// when a control operation has changed it since the last one (the change
// count), runs one routine of the chain's loops (ChainKernels) and stores
// the positions and histories back.
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

// A post line as the processing thread runs it: the write index where the
// last block left it (a rate change may have moved it while processing was
// stopped) and the read index the line's delay behind it, both brought
// inside the line should another thread have left them outside.
Line lineOf(DelayLine& line) {
    Line l{line.data(), line.getLength(), line.getWriteIndex(), 0};
    if (l.write < 0 || l.write >= l.length) l.write = 0;
    std::int32_t delay = line.getDelay();
    if (delay < 0 || delay >= l.length) delay = 0;
    l.read = l.write - delay;
    if (l.read < 0) l.read += l.length;
    return l;
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

void FlangerEffect::refreshView(std::uint32_t version) {
    View& v = view;
    v.version = version;
    const std::int32_t length = bufferLength;
    v.length = length;
    std::int32_t w = writePos;
    if (w < 0 || w >= length) w = 0;
    std::int32_t offset = readOffset;
    if (offset < 0 || offset >= length) offset = 0;
    v.writePos = w;
    v.readPos = w - offset < 0 ? w - offset + length : w - offset;

    // The chain index names a complete, consistent routine whatever the
    // other values read here.
    const std::int32_t index = chainIndex;
    v.filterOn = index >= 8;
    for (int adding = 0; adding < 2; ++adding) {
        v.routines[adding] = kernels->routines[adding][v.filterOn ? 1 : 0][index & 7];
        v.splits[adding] = kernels->splits[adding][v.filterOn ? 1 : 0][index & 7];
    }

    // The filter's coefficients as one consistent set. A copy that keeps
    // overlapping a redesign keeps the previous set; the redesign's own
    // change count brings a fresh view when it is done.
    BiquadFilter::Coefficients c;
    chain::Settings& s = v.settings;
    if (v.filterOn && filter.snapshot(c)) {
        s.b0 = c.b0;
        s.b1 = c.b1;
        s.b2 = c.b2;
        s.a1 = c.a1;
        s.a2 = c.a2;
    }
    s.feedback = fFeedBack;
    s.post1Send = fPost1Send;
    s.post2Send = fPost2Send;
    s.feedbackSign = static_cast<float>(feedbackSign);
    s.mixSign = static_cast<float>(mixSign);
    s.gain = gain;

    v.lanes[0] = {nullptr,        nullptr,
                  bufferL.get(),  filter.channelHistory(BiquadFilter::kLeft),
                  lineOf(post1L), lineOf(post2L)};
    v.lanes[1] = {nullptr,        nullptr,
                  bufferR.get(),  filter.channelHistory(BiquadFilter::kRight),
                  lineOf(post1R), lineOf(post2R)};
}

// One block: a fresh view when a control operation changed anything since
// the last one, then the routine, then the positions stored back where
// tests, tools and the control operations read them.
template <bool kAccumulate>
void FlangerEffect::runChain(float** inputs, float** outputs, VstInt32 sampleFrames) {
    if (sampleFrames <= 0) return;
    const std::uint32_t version = controlVersion.load(std::memory_order_acquire);
    if (version != view.version) refreshView(version);
    View& v = view;
    const std::int32_t length = v.length;
    chain::Lane* lanes = v.lanes;
    lanes[0].in = inputs[0];
    lanes[0].out = outputs[0];
    lanes[1].in = inputs[1];
    lanes[1].out = outputs[1];

    const std::int32_t n = sampleFrames;
    v.routines[kAccumulate](v.settings, lanes, length, v.writePos, v.readPos, n);

    // A division only for blocks longer than the line.
    const std::int32_t advance = n < length ? n : n % length;
    std::int32_t w = v.writePos + advance;
    if (w >= length) w -= length;
    std::int32_t r = v.readPos + advance;
    if (r >= length) r -= length;
    storeView(w, r);
}

void FlangerEffect::storeView(std::int32_t w, std::int32_t r) {
    View& v = view;
    const chain::Lane* lanes = v.lanes;
    v.writePos = w;
    v.readPos = r;
    writePos = w;
    readPos = r;
    if (v.filterOn) {
        filter.channelHistory(BiquadFilter::kLeft) = lanes[0].history;
        filter.channelHistory(BiquadFilter::kRight) = lanes[1].history;
    }
    post1L.setIndices(lanes[0].post1.write, lanes[0].post1.read);
    post2L.setIndices(lanes[0].post2.write, lanes[0].post2.read);
    post1R.setIndices(lanes[1].post1.write, lanes[1].post1.read);
    post2R.setIndices(lanes[1].post2.write, lanes[1].post2.read);
}
