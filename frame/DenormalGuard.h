// Scoped flush-to-zero and denormals-are-zero for one processing call. With
// high positive feedback the main delay lines decay into subnormal values
// that never reach zero, and every operation on them costs many times an
// ordinary one; with both modes on, subnormal results become zero and
// subnormal operands count as zero. Values in the normal range compute
// exactly as before. The caller's floating-point state, exception flags
// included, is restored unchanged on return.
//
// On x86 both modes are bits of MXCSR. On 64-bit ARM one bit of FPCR, FZ,
// does both (subnormal operands and results of single and double precision
// arithmetic and conversions become zero); the exception flags live in
// FPSR. Where there is neither, the guard does nothing.
#pragma once

#if defined(__SSE__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 1)
#include <xmmintrin.h>
#define FLANGER_HAS_MXCSR 1
#else
#define FLANGER_HAS_MXCSR 0
#endif

#if defined(__aarch64__) && !FLANGER_HAS_MXCSR
#include <cstdint>
#define FLANGER_HAS_FPCR 1
#else
#define FLANGER_HAS_FPCR 0
#endif

#if FLANGER_HAS_FPCR
// The ARM control and status registers, read and written whole. The memory
// clobber keeps the compiler from moving loads and stores across them.
namespace fpregs {
inline std::uint64_t readControl() noexcept {
    std::uint64_t v;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(v) : : "memory");
    return v;
}
inline void writeControl(std::uint64_t v) noexcept {
    __asm__ __volatile__("msr fpcr, %0" : : "r"(v) : "memory");
}
inline std::uint64_t readStatus() noexcept {
    std::uint64_t v;
    __asm__ __volatile__("mrs %0, fpsr" : "=r"(v) : : "memory");
    return v;
}
inline void writeStatus(std::uint64_t v) noexcept {
    __asm__ __volatile__("msr fpsr, %0" : : "r"(v) : "memory");
}
}  // namespace fpregs
#endif

class DenormalGuard {
public:
#if FLANGER_HAS_MXCSR
    static constexpr unsigned kFlushToZero = 0x8000u;
    static constexpr unsigned kDenormalsAreZero = 0x0040u;

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
#elif FLANGER_HAS_FPCR
    static constexpr std::uint64_t kFlushToZero = std::uint64_t{1} << 24;

    DenormalGuard() noexcept
        : savedControl(fpregs::readControl()), savedStatus(fpregs::readStatus()) {
        switched = (savedControl & kFlushToZero) == 0;
        if (switched) fpregs::writeControl(savedControl | kFlushToZero);
    }
    // As on x86, each register is written back only when it changed: the
    // control register when the guard set FZ, the status register when the
    // call raised a flag the caller had not.
    ~DenormalGuard() {
        if (switched) fpregs::writeControl(savedControl);
        if (fpregs::readStatus() != savedStatus) fpregs::writeStatus(savedStatus);
    }

private:
    std::uint64_t savedControl;
    std::uint64_t savedStatus;
    bool switched;
#else
    DenormalGuard() noexcept {}
#endif

public:
    DenormalGuard(const DenormalGuard&) = delete;
    DenormalGuard& operator=(const DenormalGuard&) = delete;
};
