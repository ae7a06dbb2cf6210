// The VST 3 build's saved state: every program's name and values, the
// current program and its values, behind a magic, a version and the
// record's length, little-endian on every platform so a project moves
// between them. Each class has its own format: its magic and its number of
// values per program.
//
// Layout (version 1): magic, version (uint32), length of the whole record
// (uint32), current program (int32), its values (float each), then per
// program its 24-byte name (zero-terminated) and values. Values are
// normalised: finite, 0..1. The flanger's record ("FLST", twelve values) is
// 1504 bytes, the companion's ("FLSW", eighteen) 2008.
#pragma once

#include <cstdint>

#include "effect/FlangerParams.h"
#include "effect/SweepParams.h"
#include "vst3/vst3.h"

constexpr std::int32_t kMaxStateParams = kSweepNumParams;

struct Snapshot {
    std::int32_t program = 0;
    float current[kMaxStateParams] = {};
    char names[kNumPrograms][kProgramNameBytes] = {};
    float values[kNumPrograms][kMaxStateParams] = {};
};

struct StateFormat {
    unsigned char magic[4];
    std::uint32_t version;
    std::int32_t params;  // values per program, at most kMaxStateParams

    constexpr std::uint32_t bytes() const {
        return 12 + 4 + 4 * static_cast<std::uint32_t>(params) +
               kNumPrograms * (kProgramNameBytes + 4 * static_cast<std::uint32_t>(params));
    }
};

constexpr StateFormat kFlangerState{{'F', 'L', 'S', 'T'}, 1, kNumParams};
constexpr StateFormat kSweepState{{'F', 'L', 'S', 'W'}, 1, kSweepNumParams};
constexpr std::uint32_t kMaxStateBytes = kSweepState.bytes();
static_assert(kFlangerState.bytes() == 1504 && kSweepState.bytes() == 2008,
              "saved projects depend on these layouts");

// Reads exactly one record of `format` from the stream's position; bytes
// after it stay unread. False, with `out` unchanged, for a short stream,
// another magic, version or length, a program out of range, a name without
// terminator or a value that is not a finite number in 0..1.
bool readState(vst3::IBStream* stream, const StateFormat& format, Snapshot& out);
bool writeState(vst3::IBStream* stream, const StateFormat& format, const Snapshot& state);

// The same on bytes in memory.
bool decodeState(const StateFormat& format, const unsigned char* bytes, std::uint32_t size,
                 Snapshot& out);
void encodeState(const StateFormat& format, const Snapshot& state,
                 unsigned char* bytes);  // format.bytes()
