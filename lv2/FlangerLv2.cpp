// The LV2 front end: one FlangerEffect per instance, driven only through
// the operations a VST 2 host reaches (rate, resume and suspend, parameters,
// processReplacing), so the two builds sound the same for the same rate,
// signal and control values.
//
// Hosts may hand the same buffer as input and output (most LV2 hosts do):
// the input is copied first (frame/OutOfPlace.h), into buffers allocated
// with the instance, so the output never depends on how the host lays out
// buffers.
#include <lv2/core/lv2.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "effect/FlangerEffect.h"
#include "frame/DenormalGuard.h"
#include "frame/OutOfPlace.h"
#include "lv2/Lv2Ports.h"

#ifndef FLANGER_LV2_URI
#error "FLANGER_LV2_URI must name the plug-in's URI"
#endif

namespace {

// Frames copied per step when the host's buffers overlap.
constexpr std::uint32_t kScratchFrames = 1024;

struct Instance {
    std::unique_ptr<FlangerEffect> effect;
    std::unique_ptr<float[]> scratch;  // kScratchFrames per channel
    const float* in[2] = {};
    float* out[2] = {};
    const float* control[kNumParams] = {};
    // Bit patterns of the control values last applied, so NaN compares
    // equal to itself and no value is sent twice.
    std::uint32_t applied[kNumParams] = {};
    bool fresh = true;  // nothing applied yet

    bool connected() const {
        if (in[0] == nullptr || in[1] == nullptr || out[0] == nullptr || out[1] == nullptr)
            return false;
        for (const float* c : control) {
            if (c == nullptr) return false;
        }
        return true;
    }

    // Sends every control value that changed since the last run, in
    // parameter order, as a VST 2 host sends automation.
    void applyControls() {
        for (std::int32_t i = 0; i < kNumParams; ++i) {
            const float value = *control[i];
            std::uint32_t bits = 0;
            std::memcpy(&bits, &value, sizeof bits);
            if (!fresh && bits == applied[i]) continue;
            applied[i] = bits;
            effect->setParameter(i, value);
        }
        fresh = false;
    }

    void process(std::uint32_t frames) {
        outofplace::process(*effect, in, out, frames, scratch.get(), kScratchFrames);
    }
};

// The rates a VST 2 host's effSetSampleRate gives the effect unchanged;
// the effect ignores or clamps any other, so it would not run at the
// host's rate.
bool takesRate(double rate) {
    return rate >= static_cast<double>(kMinSampleRate) &&
           rate <= static_cast<double>(kMaxSampleRate);
}

LV2_Handle instantiate(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const*) {
    if (!takesRate(rate)) return nullptr;
    const float r = static_cast<float>(rate);
    try {
        auto self = std::make_unique<Instance>();
        self->effect = std::make_unique<FlangerEffect>(nullptr);
        FlangerEffect& fx = *self->effect;
        fx.setSampleRate(r);
        if (!fx.runsAt(r)) return nullptr;
        self->scratch.reset(new float[2 * kScratchFrames]());
        return self.release();
    } catch (...) {
        return nullptr;
    }
}

void connectPort(LV2_Handle handle, std::uint32_t port, void* data) {
    auto* self = static_cast<Instance*>(handle);
    auto* samples = static_cast<float*>(data);
    switch (port) {
        case lv2port::kInLeft: self->in[0] = samples; break;
        case lv2port::kInRight: self->in[1] = samples; break;
        case lv2port::kOutLeft: self->out[0] = samples; break;
        case lv2port::kOutRight: self->out[1] = samples; break;
        default:
            if (port >= lv2port::kFirstControl && port < lv2port::kCount)
                self->control[port - lv2port::kFirstControl] = samples;
            break;
    }
}

void activate(LV2_Handle handle) {
    static_cast<Instance*>(handle)->effect->resume();
}

void run(LV2_Handle handle, std::uint32_t frames) {
    auto* self = static_cast<Instance*>(handle);
    if (frames == 0 || !self->connected()) return;
    const DenormalGuard guard;
    self->applyControls();
    self->process(frames);
}

void deactivate(LV2_Handle handle) {
    static_cast<Instance*>(handle)->effect->suspend();
}

void cleanup(LV2_Handle handle) {
    delete static_cast<Instance*>(handle);
}

const void* extensionData(const char*) {
    return nullptr;
}

const LV2_Descriptor kDescriptor = {
    FLANGER_LV2_URI, instantiate, connectPort, activate, run, deactivate, cleanup, extensionData,
};

}  // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index) {
    return index == 0 ? &kDescriptor : nullptr;
}
