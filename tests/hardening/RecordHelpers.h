// Helpers shared by the hardening tests: an instance made through the entry
// point, and the effect object behind its record.
#pragma once

#include "effect/FlangerEffect.h"
#include "frame/AudioEffect.h"

namespace hardening {

inline VstIntPtr VSTCALLBACK hostCallback(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*,
                                          float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

// An opened, resumed instance at 44100 Hz; null when the entry failed.
inline AEffect* openRecord() {
    AEffect* fx = pluginEntry(hostCallback);
    if (fx == nullptr) return nullptr;
    fx->dispatcher(fx, effOpen, 0, 0, nullptr, 0.0f);
    fx->dispatcher(fx, effSetSampleRate, 0, 0, nullptr, 44100.0f);
    fx->dispatcher(fx, effSetBlockSize, 0, 4096, nullptr, 0.0f);
    fx->dispatcher(fx, effMainsChanged, 0, 1, nullptr, 0.0f);
    return fx;
}

inline void closeRecord(AEffect* fx) {
    fx->dispatcher(fx, effClose, 0, 0, nullptr, 0.0f);
}

inline FlangerEffect& effectBehind(AEffect* fx) {
    return *static_cast<FlangerEffect*>(static_cast<AudioEffect*>(fx->object));
}

}  // namespace hardening
