// Port layout of the LV2 build, shared by the plug-in and the program that
// writes its Turtle description: two audio inputs, two audio outputs, then
// one control input per parameter in the VST 2 build's order.
#pragma once

#include <cstdint>

#include "effect/FlangerParams.h"

namespace lv2port {

constexpr std::uint32_t kInLeft = 0;
constexpr std::uint32_t kInRight = 1;
constexpr std::uint32_t kOutLeft = 2;
constexpr std::uint32_t kOutRight = 3;
constexpr std::uint32_t kFirstControl = 4;
constexpr std::uint32_t kCount = kFirstControl + kNumParams;

// Control port of parameter `index`.
constexpr std::uint32_t control(std::int32_t index) {
    return kFirstControl + static_cast<std::uint32_t>(index);
}

}  // namespace lv2port
