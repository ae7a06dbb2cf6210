// Fixed facts of the flanger: counts, parameter indices, identifiers and
// text bounds, kept together so the tables that depend on them can be tied
// to them with static_asserts.
#pragma once

#include <cstdint>

#include "FlangerVersion.h"
#include "frame/vst2.h"

constexpr std::int32_t kNumPrograms = 20;
constexpr std::int32_t kNumParams = 12;
constexpr std::int32_t kNumInputs = 2;
constexpr std::int32_t kNumOutputs = 2;
constexpr VstInt32 kUniqueId = vstFourCC('Q', 'V', '0', '7');

enum ParamIndex : std::int32_t {
    kDepth = 0,
    kFeedBack = 1,
    kFeedBSign = 2,
    kFilterType = 3,
    kCutoff = 4,
    kQFactor = 5,
    kPost1Send = 6,
    kPost1Depth = 7,
    kInjectMode = 8,
    kPost2Send = 9,
    kPost2Depth = 10,
    kOutputGain = 11,
};

// Program slot of each parameter index: four parameters are stored out of
// index order.
constexpr std::int32_t kSlotOfParam[kNumParams] = {0, 1, 2, 3, 4, 5, 6, 8, 10, 7, 9, 11};

// Main delay-line length at the reference rate, and the post lines' base.
constexpr std::int32_t kMaxDelayBase = 400;
constexpr std::int32_t kPostLineBase = 500;
constexpr float kReferenceRate = 44100.0f;

// Sample rates outside this range are clamped into it; rates that are not
// positive numbers are ignored.
constexpr float kMinSampleRate = 1.0f;
constexpr float kMaxSampleRate = 1536000.0f;

// Text bounds, terminator included: program names live in a 24-byte field;
// every parameter name, label and value text fits 16 bytes.
constexpr int kProgramNameBytes = 24;
constexpr int kParamTextBytes = 16;
// A parameter name and a word of its label with a space between.
constexpr int kDistinctNameBytes = 2 * kParamTextBytes;

// Texts reported through the interface-version opcodes.
constexpr const char* kEffectName = "Static Flanger";
constexpr const char* kVendorName = "Static Flanger Team";
constexpr const char* kProductName = "Static Flanger";
// major * 1000 + minor * 100 + patch: 1.0.0 answers 1000.
constexpr VstIntPtr kVendorVersion =
    FLANGER_VERSION_MAJOR * 1000 + FLANGER_VERSION_MINOR * 100 + FLANGER_VERSION_PATCH;
constexpr VstIntPtr kInterfaceVersion = 2400;
