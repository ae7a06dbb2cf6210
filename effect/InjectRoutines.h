// The eight inject routines: what feeds post flanger 2 and how the output
// sample is formed from the input, the delayed sample d, the current output
// and the post-flanger-2 return r.
//
//   mode  feed      output
//   1     d + in    out + send * r
//   2     out       out + send * r
//   3     out       (d + out) / 2 + send * r
//   4     2d        d + send * r
//   5     d + out   d + send * r
//   6     2d        in + send * r
//   7     d + out   in + send * r
//   8     d + out   (in + out) / 2 + send * r
#pragma once

#include <cstdint>

#include "dsp/DelayLine.h"
#include "dsp/Flush.h"

namespace inject {

// Feed into post flanger 2, rounded to float.
template <int Mode>
inline float feed(float in, float out, float d) {
    static_assert(Mode >= 1 && Mode <= 8);
    if constexpr (Mode == 1) return d + in;
    if constexpr (Mode == 2 || Mode == 3) return out;
    if constexpr (Mode == 4 || Mode == 6) return d + d;
    if constexpr (Mode == 5 || Mode == 7 || Mode == 8) return d + out;
}

// Output sample, evaluated in double precision and rounded once; r is the
// flushed return of post flanger 2.
template <int Mode>
inline float output(float in, float out, float d, float send, float r) {
    const double sr = static_cast<double>(send) * r;
    double y;
    if constexpr (Mode == 1 || Mode == 2) y = out + sr;
    if constexpr (Mode == 3) y = (static_cast<double>(d) + out) * 0.5 + sr;
    if constexpr (Mode == 4 || Mode == 5) y = d + sr;
    if constexpr (Mode == 6 || Mode == 7) y = in + sr;
    if constexpr (Mode == 8) y = (static_cast<double>(in) + out) * 0.5 + sr;
    return static_cast<float>(y);
}

// One routine call: reads the input element as it is now (it may be the
// output element when the host processes in place), ticks the line once
// and writes the output element once.
template <int Mode>
inline void apply(float send, const float& in, float& out, float d, DelayLine& post2) {
    const float x = in;
    const float o = out;
    const float r = flushDenormal(post2.tick(feed<Mode>(x, o, d)));
    out = output<Mode>(x, o, d, send, r);
}

}  // namespace inject

class FlangerEffect;
using InjectRoutine = void (*)(const FlangerEffect& fx, const float& in, float& out, float d,
                               DelayLine& post2);

// The routine for mode 1..8; anything else gets mode 1's.
InjectRoutine injectRoutineFor(std::int32_t mode);
