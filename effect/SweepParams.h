// Fixed facts of the companion with the timeline-locked sweep: its counts,
// identifiers and the indices of the six parameters after the flanger's
// twelve.
#pragma once

#include <cstdint>

#include "effect/FlangerParams.h"

constexpr std::int32_t kSweepNumParams = 18;
constexpr VstInt32 kSweepUniqueId = vstFourCC('Q', 'V', '0', 'S');
constexpr const char* kSweepEffectName = "Static Flanger Sweep";
constexpr const char* kSweepProductName = "Static Flanger Sweep";

enum SweepParamIndex : std::int32_t {
    kSweepShape = 12,
    kSweepSync = 13,
    kSweepRate = 14,
    kSweepLow = 15,
    kSweepHigh = 16,
    kSweepPhase = 17,
};

// Bands of the two stepped sweep parameters.
constexpr std::int32_t kSweepShapeBands = 5;  // Off, Sine, Triangle, Saw, Square
constexpr std::int32_t kSweepSyncBands = 9;   // Off, 1/16 .. 8 bars
// Timeline frames between control points.
constexpr std::int64_t kSweepControlFrames = 32;
