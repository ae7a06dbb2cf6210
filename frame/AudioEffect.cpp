#include "frame/AudioEffect.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "frame/DenormalGuard.h"

namespace {

AudioEffect* effectOf(AEffect* e) {
    return e != nullptr ? static_cast<AudioEffect*>(e->object) : nullptr;
}

// The record's five entries: find the object, forward unchanged, and let no
// exception cross into the host.
VstIntPtr VSTCALLBACK dispatchEntry(AEffect* e, VstInt32 opCode, VstInt32 index, VstIntPtr value,
                                    void* ptr, float opt) {
    AudioEffect* fx = effectOf(e);
    if (fx == nullptr) return 0;
    VstIntPtr answer = 0;
    try {
        answer = fx->dispatcher(opCode, index, value, ptr, opt);
    } catch (...) {
        answer = 0;
    }
    if (opCode == effClose) {
        delete fx;
        return 1;
    }
    return answer;
}

bool channelsPresent(float** inputs, float** outputs) {
    return inputs != nullptr && outputs != nullptr && inputs[0] != nullptr &&
           inputs[1] != nullptr && outputs[0] != nullptr && outputs[1] != nullptr;
}

void VSTCALLBACK processEntry(AEffect* e, float** inputs, float** outputs, VstInt32 frames) {
    AudioEffect* fx = effectOf(e);
    if (fx == nullptr || frames <= 0 || !channelsPresent(inputs, outputs)) return;
    const DenormalGuard guard;
    try {
        fx->process(inputs, outputs, frames);
    } catch (...) {
    }
}

void VSTCALLBACK processReplacingEntry(AEffect* e, float** inputs, float** outputs,
                                       VstInt32 frames) {
    AudioEffect* fx = effectOf(e);
    if (fx == nullptr || frames <= 0 || !channelsPresent(inputs, outputs)) return;
    const DenormalGuard guard;
    try {
        fx->processReplacing(inputs, outputs, frames);
    } catch (...) {
    }
}

void VSTCALLBACK setParameterEntry(AEffect* e, VstInt32 index, float value) {
    AudioEffect* fx = effectOf(e);
    if (fx == nullptr) return;
    try {
        fx->setParameter(index, value);
    } catch (...) {
    }
}

float VSTCALLBACK getParameterEntry(AEffect* e, VstInt32 index) {
    AudioEffect* fx = effectOf(e);
    if (fx == nullptr) return 0.0f;
    try {
        return fx->getParameter(index);
    } catch (...) {
        return 0.0f;
    }
}

// Truncation toward zero into 32 bits; NaN gives 0 and values beyond the
// range saturate instead of being undefined.
VstInt32 truncateToInt32(double v) {
    if (!(v == v)) return 0;
    if (v >= 2147483647.0) return 2147483647;
    if (v <= -2147483648.0) return -2147483647 - 1;
    return static_cast<VstInt32>(v);
}

const char kHugeText[] = " Huge!  ";
const char kMinusInfinityText[] = "  -oo   ";
const char kNotANumberText[] = "  NaN   ";

}  // namespace

AudioEffect::AudioEffect(audioMasterCallback master, VstInt32 programs, VstInt32 params)
    : sampleRate(44100.0f),
      audioMaster(master),
      numPrograms(programs),
      numParams(params),
      curProgram(0),
      blockSize(1024) {
    std::memset(&cEffect, 0, sizeof cEffect);
    cEffect.magic = kEffectMagic;
    cEffect.dispatcher = dispatchEntry;
    cEffect.process = processEntry;
    cEffect.setParameter = setParameterEntry;
    cEffect.getParameter = getParameterEntry;
    cEffect.numPrograms = programs;
    cEffect.numParams = params;
    cEffect.numInputs = 1;
    cEffect.numOutputs = 2;
    cEffect.flags = 0;
    cEffect.ioRatio = 1.0f;
    cEffect.object = this;
    cEffect.user = nullptr;
    cEffect.uniqueID = vstFourCC('N', 'o', 'E', 'f');
    cEffect.version = 1;
    cEffect.processReplacing = processReplacingEntry;
}

AudioEffect::~AudioEffect() = default;

void AudioEffect::setParameter(VstInt32, float) {}
float AudioEffect::getParameter(VstInt32) {
    return 0.0f;
}

void AudioEffect::setParameterAutomated(VstInt32 index, float value) {
    setParameter(index, value);
    if (audioMaster != nullptr)
        audioMaster(&cEffect, audioMasterAutomate, index, 0, nullptr, value);
}

void AudioEffect::processReplacing(float**, float**, VstInt32) {}

VstIntPtr AudioEffect::dispatcher(VstInt32 opCode, VstInt32 index, VstIntPtr value, void* ptr,
                                  float opt) {
    // Operations that write text get the host's buffer as it is; a null
    // buffer is answered without a call.
    char* text = static_cast<char*>(ptr);
    switch (opCode) {
        case effOpen: open(); return 0;
        case effClose: close(); return 0;
        case effSetProgram:
            if (value >= 0 && value < numPrograms) setProgram(static_cast<VstInt32>(value));
            return 0;
        case effGetProgram: return getProgram();
        case effSetProgramName:
            if (text != nullptr) setProgramName(text);
            return 0;
        case effGetProgramName:
            if (text != nullptr) getProgramName(text);
            return 0;
        case effGetParamLabel:
            if (text != nullptr) getParameterLabel(index, text);
            return 0;
        case effGetParamDisplay:
            if (text != nullptr) getParameterDisplay(index, text);
            return 0;
        case effGetParamName:
            if (text != nullptr) getParameterName(index, text);
            return 0;
        case effGetVu: return truncateToInt32(static_cast<double>(getVu()) * 32767.0);
        case effSetSampleRate: setSampleRate(opt); return 0;
        case effSetBlockSize: setBlockSize(static_cast<VstInt32>(value)); return 0;
        case effMainsChanged:
            if (value == 0)
                suspend();
            else
                resume();
            return 0;
        case effIdentify: return vstFourCC('N', 'v', 'E', 'f');
        case effGetChunk: return getChunk(static_cast<void**>(ptr), index != 0);
        case effSetChunk: return setChunk(ptr, static_cast<VstInt32>(value), index != 0);
        default:
            // Editor opcodes 13 to 21 (no editor is ever attached), and every
            // opcode this frame does not know.
            return 0;
    }
}

void AudioEffect::open() {}
void AudioEffect::close() {}
VstInt32 AudioEffect::getProgram() {
    return curProgram;
}
void AudioEffect::setProgram(VstInt32 program) {
    curProgram = program;
}
void AudioEffect::setProgramName(char* name) {
    *name = '\0';
}
void AudioEffect::getProgramName(char* name) {
    *name = '\0';
}
void AudioEffect::getParameterLabel(VstInt32, char* label) {
    *label = '\0';
}
void AudioEffect::getParameterDisplay(VstInt32, char* text) {
    *text = '\0';
}
void AudioEffect::getParameterName(VstInt32, char* text) {
    *text = '\0';
}
float AudioEffect::getVu() {
    return 0.0f;
}
VstInt32 AudioEffect::getChunk(void**, bool) {
    return 0;
}
VstInt32 AudioEffect::setChunk(void*, VstInt32, bool) {
    return 0;
}
void AudioEffect::setSampleRate(float rate) {
    sampleRate = rate;
}
void AudioEffect::setBlockSize(VstInt32 size) {
    blockSize = size;
}
void AudioEffect::suspend() {}
void AudioEffect::resume() {}

void AudioEffect::setUniqueID(VstInt32 id) {
    cEffect.uniqueID = id;
}
void AudioEffect::setNumInputs(VstInt32 inputs) {
    cEffect.numInputs = inputs;
}
void AudioEffect::setNumOutputs(VstInt32 outputs) {
    cEffect.numOutputs = outputs;
}

void AudioEffect::setFlag(VstInt32 flag, bool state) {
    if (state)
        cEffect.flags |= flag;
    else
        cEffect.flags &= ~flag;
}

void AudioEffect::hasVu(bool state) {
    setFlag(effFlagsHasVu, state);
}
void AudioEffect::hasClip(bool state) {
    setFlag(effFlagsHasClip, state);
}
void AudioEffect::canMono(bool state) {
    setFlag(effFlagsCanMono, state);
}
void AudioEffect::canProcessReplacing(bool state) {
    setFlag(effFlagsCanReplacing, state);
}
void AudioEffect::programsAreChunks(bool state) {
    setFlag(effFlagsProgramChunks, state);
}
void AudioEffect::setRealtimeQualities(VstInt32 q) {
    cEffect.realQualities = q;
}
void AudioEffect::setOfflineQualities(VstInt32 q) {
    cEffect.offQualities = q;
}
void AudioEffect::setInitialDelay(VstInt32 delay) {
    cEffect.initialDelay = delay;
}

float AudioEffect::getSampleRate() {
    return sampleRate;
}
VstInt32 AudioEffect::getBlockSize() {
    return blockSize;
}

VstInt32 AudioEffect::getMasterVersion() {
    if (audioMaster == nullptr) return 1;
    const VstIntPtr v = audioMaster(&cEffect, audioMasterVersion, 0, 0, nullptr, 0.0f);
    return v == 0 ? 1 : static_cast<VstInt32>(v);
}

VstInt32 AudioEffect::getCurrentUniqueId() {
    if (audioMaster == nullptr) return 0;
    return static_cast<VstInt32>(audioMaster(&cEffect, audioMasterCurrentId, 0, 0, nullptr, 0.0f));
}

void AudioEffect::masterIdle() {
    if (audioMaster != nullptr) audioMaster(&cEffect, audioMasterIdle, 0, 0, nullptr, 0.0f);
}

bool AudioEffect::isInputConnected(VstInt32 input) {
    if (audioMaster == nullptr) return true;
    return audioMaster(&cEffect, audioMasterPinConnected, input, 0, nullptr, 0.0f) == 0;
}

bool AudioEffect::isOutputConnected(VstInt32 output) {
    if (audioMaster == nullptr) return true;
    return audioMaster(&cEffect, audioMasterPinConnected, output, 1, nullptr, 0.0f) == 0;
}

void AudioEffect::dB2string(float value, char* text) {
    if (value <= 0.0f) {
        std::memcpy(text, kMinusInfinityText, sizeof kMinusInfinityText);
        return;
    }
    float2string(static_cast<float>(20.0 * std::log10(static_cast<double>(value))), text);
}

void AudioEffect::Hz2string(float samples, char* text) {
    if (samples == 0.0f) {
        float2string(0.0f, text);
        return;
    }
    float2string(static_cast<float>(static_cast<double>(getSampleRate()) / samples), text);
}

void AudioEffect::ms2string(float samples, char* text) {
    float2string(static_cast<float>(static_cast<double>(samples) * 1000.0 / getSampleRate()), text);
}

void AudioEffect::float2string(float value, char* text) {
    // Fixed point in an 8-character field: sign, integer digits, point, and
    // as many fraction digits as fill the rest. Digits are cut, never
    // rounded, so 0.99999994 shows 0.999999.
    double v = value;
    if (v != v) {
        std::memcpy(text, kNotANumberText, sizeof kNotANumberText);
        return;
    }
    bool negative = false;
    int c = 0;
    if (v < 0) {
        negative = true;
        v = -v;
        c = 1;
        if (v > 9999999) {
            std::memcpy(text, kHugeText, sizeof kHugeText);
            return;
        }
    } else if (v > 99999999) {
        std::memcpy(text, kHugeText, sizeof kHugeText);
        return;
    }
    // Integer parts with more digits than the field has room for would lose
    // their leading digits: they are too large as well.
    if (std::floor(v) >= (negative ? 1000000.0 : 10000000.0)) {
        std::memcpy(text, kHugeText, sizeof kHugeText);
        return;
    }

    char digits[8];
    int count = 0;
    double n = std::floor(v);
    digits[count++] = static_cast<char>('0' + static_cast<int>(std::fmod(n, 10.0)));
    n /= 10.0;
    c += 2;
    while (n >= 1.0 && c < 8) {
        digits[count++] = static_cast<char>('0' + static_cast<int>(std::fmod(n, 10.0)));
        n /= 10.0;
        ++c;
    }

    char* p = text;
    if (negative) *p++ = '-';
    while (count > 0) *p++ = digits[--count];
    *p++ = '.';
    if (c < 8) {
        const int k = 8 - c;
        double m = std::fmod(v, 1.0) * std::pow(10.0, k);
        char fraction[8];
        for (int i = k - 1; i >= 0; --i) {
            if (m <= 0.0) {
                fraction[i] = '0';
            } else {
                fraction[i] = static_cast<char>('0' + static_cast<int>(std::fmod(m, 10.0)));
                m /= 10.0;
            }
        }
        std::memcpy(p, fraction, static_cast<std::size_t>(k));
        p += k;
    }
    *p = '\0';
}

void AudioEffect::long2string(VstInt32 value, char* text) {
    if (value >= 100000000) {
        std::memcpy(text, kHugeText, sizeof kHugeText);
        return;
    }
    char wide[16];
    std::snprintf(wide, sizeof wide, "%7d", static_cast<int>(value));
    // Keep at most the first 8 characters; nothing is written after the
    // terminator.
    std::size_t n = std::strlen(wide);
    if (n > 8) n = 8;
    std::memcpy(text, wide, n);
    text[n] = '\0';
}

AEffect* pluginEntry(audioMasterCallback audioMaster) noexcept {
    return pluginEntry(audioMaster, createEffectInstance);
}

AEffect* pluginEntry(audioMasterCallback audioMaster,
                     AudioEffect* (*create)(audioMasterCallback)) noexcept {
    try {
        // A host without a callback gets an instance whose host calls
        // answer their fixed values; a host that answers 0 gets none.
        if (audioMaster != nullptr &&
            audioMaster(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0)
            return nullptr;
        AudioEffect* fx = create(audioMaster);
        return fx != nullptr ? fx->getAeffect() : nullptr;
    } catch (...) {
        return nullptr;
    }
}
