// The processing of a block split at depth points, apart from the flanger's
// own processing so that only the effects that split blocks carry it.
#include <cstdint>

#include "effect/ChainKernels.h"
#include "effect/FlangerEffect.h"

// A block split at depth points: the same view and bookkeeping as runChain,
// the routine called once per piece, the read position moved between pieces
// as a depth change moves it when a new view is taken.
template <bool kAccumulate>
void FlangerEffect::runChainSplit(float** inputs, float** outputs, VstInt32 sampleFrames,
                                  const DepthPoint* points, int count, const float* held) {
    if (sampleFrames <= 0) return;
    const std::uint32_t version = controlVersion.load(std::memory_order_acquire);
    View& v = view;
    const bool fresh = version != v.version;
    if (fresh) refreshView(version);
    const std::int32_t length = v.length;
    auto behind = [length](std::int32_t w, std::int32_t delay) {
        return w - delay < 0 ? w - delay + length : w - delay;
    };
    std::int32_t w = v.writePos;
    std::int32_t r = v.readPos;
    if (fresh && held != nullptr) r = behind(w, depthDelay(*held, length));
    chain::Lane* lanes = v.lanes;
    const chain::Routine routine = v.routines[kAccumulate];

    std::int32_t at = 0;
    for (int i = 0; i <= count; ++i) {
        const std::int32_t end = i < count ? points[i].frame : sampleFrames;
        if (end > at) {
            const std::int32_t n = end - at;
            lanes[0].in = inputs[0] + at;
            lanes[0].out = outputs[0] + at;
            lanes[1].in = inputs[1] + at;
            lanes[1].out = outputs[1] + at;
            routine(v.settings, lanes, length, w, r, n);
            const std::int32_t advance = n < length ? n : n % length;
            w += advance;
            if (w >= length) w -= length;
            r += advance;
            if (r >= length) r -= length;
            at = end;
        }
        if (i < count) r = behind(w, depthDelay(points[i].depth, length));
    }

    storeView(w, r);
}

template void FlangerEffect::runChainSplit<false>(float**, float**, VstInt32, const DepthPoint*,
                                                  int, const float*);
template void FlangerEffect::runChainSplit<true>(float**, float**, VstInt32, const DepthPoint*, int,
                                                 const float*);
