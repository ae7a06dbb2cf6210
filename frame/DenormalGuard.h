// Scoped flush-to-zero and denormals-are-zero for one processing call. With
// high positive feedback the main delay lines decay into subnormal values
// that never reach zero, and every operation on them costs many times an
// ordinary one; with both modes on, subnormal results become zero and
// subnormal operands count as zero. Values in the normal range compute
// exactly as before. The caller's control word, exception flags included,
// is restored unchanged on return. Where there is no SSE control register
// the guard does nothing.
#pragma once

#if defined(__SSE__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 1)
#include <xmmintrin.h>
#define FLANGER_HAS_MXCSR 1
#else
#define FLANGER_HAS_MXCSR 0
#endif

class DenormalGuard {
public:
    static constexpr unsigned kFlushToZero = 0x8000u;
    static constexpr unsigned kDenormalsAreZero = 0x0040u;

#if FLANGER_HAS_MXCSR
    DenormalGuard() noexcept : saved(_mm_getcsr()) {
        const unsigned wanted = saved | kFlushToZero | kDenormalsAreZero;
        switched = wanted != saved;
        if (switched) _mm_setcsr(wanted);
    }
    // Writing the register is far dearer than reading it. When the caller
    // already flushed and the call raised no exception flag the caller had
    // not, the register is as it was and nothing is written.
    ~DenormalGuard() {
        if (switched || _mm_getcsr() != saved) _mm_setcsr(saved);
    }

private:
    unsigned saved;
    bool switched;
#else
    DenormalGuard() noexcept {}
#endif

public:
    DenormalGuard(const DenormalGuard&) = delete;
    DenormalGuard& operator=(const DenormalGuard&) = delete;
};
