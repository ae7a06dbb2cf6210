// The processing of a block split at depth points, apart from the flanger's
// own processing so that only the effects that split blocks carry it.
#include <cstdint>

#include "effect/ChainKernels.h"
#include "effect/FlangerEffect.h"

// A block split at depth points: the same view and bookkeeping as runChain,
// the split routine running the pieces, the read position moved between
// them as a depth change moves it when a new view is taken.
template <bool kAccumulate>
void FlangerEffect::runChainSplit(float** inputs, float** outputs, VstInt32 sampleFrames,
                                  const DepthPoint* points, int count, const std::int32_t* held) {
    if (sampleFrames <= 0) return;
    const std::uint32_t version = controlVersion.load(std::memory_order_acquire);
    View& v = view;
    const bool fresh = version != v.version;
    if (fresh) refreshView(version);
    const std::int32_t length = v.length;
    // A held delay from a line of another length (none is, while the rate
    // stays) still reads inside the line.
    auto behind = [length](std::int32_t w, std::int32_t delay) {
        const std::int32_t d = delay < length ? delay : length - 1;
        return w - d < 0 ? w - d + length : w - d;
    };
    std::int32_t w = v.writePos;
    std::int32_t r = v.readPos;
    if (fresh && held != nullptr) r = behind(w, *held);
    chain::Lane* lanes = v.lanes;
    lanes[0].in = inputs[0];
    lanes[0].out = outputs[0];
    lanes[1].in = inputs[1];
    lanes[1].out = outputs[1];
    v.splits[kAccumulate](v.settings, lanes, length, w, r, sampleFrames, points, count);

    storeView(w, r);
}

template void FlangerEffect::runChainSplit<false>(float**, float**, VstInt32, const DepthPoint*,
                                                  int, const std::int32_t*);
template void FlangerEffect::runChainSplit<true>(float**, float**, VstInt32, const DepthPoint*, int,
                                                 const std::int32_t*);
