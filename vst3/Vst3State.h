// The VST 3 build's saved state: every program's name and values, the
// current program and its values, behind a magic, a version and the
// record's length, little-endian on every platform so a project moves
// between them.
//
// Layout (version 1, 1504 bytes): "FLST", version (uint32), length of the
// whole record (uint32), current program (int32), its twelve values
// (float each), then per program its 24-byte name (zero-terminated) and
// twelve values. Values are normalised: finite, 0..1.
#pragma once

#include <cstdint>

#include "effect/FlangerParams.h"
#include "vst3/vst3.h"

struct Snapshot {
    std::int32_t program = 0;
    float current[kNumParams] = {};
    char names[kNumPrograms][kProgramNameBytes] = {};
    float values[kNumPrograms][kNumParams] = {};
};

constexpr std::uint32_t kStateVersion = 1;
constexpr std::uint32_t kStateBytes =
    12 + 4 + 4 * kNumParams + kNumPrograms * (kProgramNameBytes + 4 * kNumParams);

// Reads exactly one record from the stream's position; bytes after it stay
// unread. False, with `out` unchanged, for a short stream, another magic,
// version or length, a program out of range, a name without terminator or
// a value that is not a finite number in 0..1.
bool readState(vst3::IBStream* stream, Snapshot& out);
bool writeState(vst3::IBStream* stream, const Snapshot& state);

// The same on bytes in memory.
bool decodeState(const unsigned char* bytes, std::uint32_t size, Snapshot& out);
void encodeState(const Snapshot& state, unsigned char* bytes);  // kStateBytes
