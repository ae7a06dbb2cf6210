// The signal chain's loops, compiled once for each instruction set the
// machine may offer: plain C++ (every target), SSE2 (x86) and AVX (x86-64
// Linux, chosen at run time when the processor and the system support it).
// Every set computes the same samples bit for bit; they differ only in
// speed. FlangerEffect reads its shared state into these records and calls
// one routine per processing call.
#pragma once

#include <algorithm>
#include <cstdint>

#include "dsp/BiquadFilter.h"

namespace chain {

// Everything one call reads from the effect, fixed for the call.
struct Settings {
    double b0, b1, b2, a1, a2;  // filter coefficients, widened exactly
    double feedback;            // fFeedBack
    double post1Send;           // fPost1Send
    float post2Send;            // fPost2Send
    float feedbackSign;         // +1.0 or -1.0
    float mixSign;              // +1.0 or -1.0
    float gain;
    bool pairwise = false;  // each channel's output is its input or apart from it
};

// A post line's samples and indices, held in locals for one call.
struct Line {
    float* data;
    std::int32_t length;
    std::int32_t write;
    std::int32_t read;

    // Samples before either index reaches the end.
    std::int32_t room() const { return std::min(length - write, length - read); }
    void advance(std::int32_t n) {
        write += n;
        if (write == length) write = 0;
        read += n;
        if (read == length) read = 0;
    }
};

// One channel's arrays, main line, filter history and post lines.
struct Lane {
    const float* in;
    float* out;
    float* line;
    BiquadFilter::History history;
    Line post1;
    Line post2;
};

// `frames` (at least 1) samples of both channels from main-line positions w
// and r in lines of `length` samples. Leaves the lanes' post-line indices
// and filter histories where the block ends; the caller advances w and r.
using Routine = void (*)(const Settings& s, Lane* lanes, std::int32_t length, std::int32_t w,
                         std::int32_t r, std::int32_t frames);

// Where a split block's main line moves: from frame `frame` of the block on
// it reads `delay` samples behind the write (a delay outside the line reads
// at its far end).
struct Jump {
    std::int32_t frame;
    std::int32_t delay;
};

// A block as a Routine runs it, the main line's read moved at each of the
// `count` jumps (frames strictly increasing, inside the block) without
// starting a new call: the layout is judged once for the whole block.
// Leaves w and r where the block ends.
using SplitRoutine = void (*)(const Settings& s, Lane* lanes, std::int32_t length, std::int32_t& w,
                              std::int32_t& r, std::int32_t frames, const Jump* jumps, int count);

enum class InstructionSet { kPlain, kSse2, kAvx };

struct Kernels {
    InstructionSet set;
    // [adding][filter on][inject mode - 1]
    Routine routines[2][2][8];
    SplitRoutine splits[2][2][8];
};

// The loops for `set`, or for the best set below it that this build has and
// this machine runs.
const Kernels& kernelsFor(InstructionSet set);
// The fastest set this build has and this machine runs.
InstructionSet bestInstructionSet();

}  // namespace chain
