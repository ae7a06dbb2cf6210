// Port layout of the LV2 build, shared by the plug-in and the program that
// writes its Turtle description: two audio inputs, two audio outputs, then
// one control input per parameter in the VST 2 build's order. The companion
// has its eighteen controls and then an atom input for the host's
// time:Position.
#pragma once

#include <cstdint>

#include "effect/FlangerParams.h"
#include "effect/SweepParams.h"

namespace lv2port {

constexpr std::uint32_t kInLeft = 0;
constexpr std::uint32_t kInRight = 1;
constexpr std::uint32_t kOutLeft = 2;
constexpr std::uint32_t kOutRight = 3;
constexpr std::uint32_t kFirstControl = 4;
constexpr std::uint32_t kCount = kFirstControl + kNumParams;

constexpr std::uint32_t kSweepTime = kFirstControl + kSweepNumParams;
constexpr std::uint32_t kSweepCount = kSweepTime + 1;
// The atom input's buffer as the bundle asks hosts for it (rsz:minimumSize):
// a sequence claiming more than this is ignored, so nothing past what the
// host must provide is ever read.
constexpr std::uint32_t kTimeBufferBytes = 8192;

// Control port of parameter `index`.
constexpr std::uint32_t control(std::int32_t index) {
    return kFirstControl + static_cast<std::uint32_t>(index);
}

}  // namespace lv2port
