// Small VST 2 effects for the render tool's tests, one source built three
// ways:
//   PROBE_PLUGIN  one input, two outputs, accumulating process only: the
//                 left output is the input times 2 x Gain, the right output
//                 the sample rate in MHz as it stood when switched on plus
//                 the number of frames in the call;
//   WIDE_PLUGIN   the same with six inputs and six outputs;
//   NULL_PLUGIN   an entry point that declines to create an effect.
#include <cstdio>
#include <cstring>

#include "frame/vst2.h"

namespace {

#if defined(NULL_PLUGIN)
constexpr bool kDeclines = true;
#else
constexpr bool kDeclines = false;
#endif
#if defined(WIDE_PLUGIN)
constexpr VstInt32 kInputs = 6;
constexpr VstInt32 kOutputs = 6;
#else
constexpr VstInt32 kInputs = 1;
constexpr VstInt32 kOutputs = 2;
#endif

struct Probe {
    AEffect fx{};
    float gain = 0.5f;
    float rate = 0.0f;
    float rateWhenOn = 0.0f;
};

Probe* self(AEffect* fx) {
    return static_cast<Probe*>(fx->object);
}

VstIntPtr VSTCALLBACK dispatcher(AEffect* fx, VstInt32 opcode, VstInt32, VstIntPtr value, void* ptr,
                                 float opt) {
    Probe* p = self(fx);
    char* text = static_cast<char*>(ptr);
    switch (opcode) {
        case effClose: delete p; return 1;
        case effSetSampleRate: p->rate = opt; return 0;
        case effMainsChanged:
            if (value != 0) p->rateWhenOn = p->rate;
            return 0;
        case effGetParamName: std::strcpy(text, "Gain"); return 0;
        case effGetParamLabel: std::strcpy(text, "x2"); return 0;
        case effGetParamDisplay: std::snprintf(text, 8, "%.2f", 2.0 * p->gain); return 0;
        default: return 0;
    }
}

void VSTCALLBACK process(AEffect* fx, float** inputs, float** outputs, VstInt32 frames) {
    const Probe* p = self(fx);
    for (VstInt32 i = 0; i < frames; ++i) {
        outputs[0][i] += 2.0f * p->gain * inputs[0][i];
        outputs[1][i] += p->rateWhenOn / 1e6f + static_cast<float>(frames);
    }
}

void VSTCALLBACK setParameter(AEffect* fx, VstInt32 index, float value) {
    if (index == 0) self(fx)->gain = value;
}

float VSTCALLBACK getParameter(AEffect* fx, VstInt32 index) {
    return index == 0 ? self(fx)->gain : 0.0f;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) AEffect* VSTCALLBACK
VSTPluginMain(audioMasterCallback) {
    if (kDeclines) return nullptr;
    Probe* p = new Probe();
    AEffect& fx = p->fx;
    fx.magic = kEffectMagic;
    fx.dispatcher = dispatcher;
    fx.process = process;
    fx.setParameter = setParameter;
    fx.getParameter = getParameter;
    fx.numParams = 1;
    fx.numInputs = kInputs;
    fx.numOutputs = kOutputs;
    fx.object = p;
    return &fx;
}
