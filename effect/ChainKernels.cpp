// The chain's loops for each instruction set: ChainKernels.inl compiled once
// per set, each copy in a namespace of its own, and the choice among them.
#include "effect/ChainKernels.h"

#include <algorithm>
#include <cstdint>

#include "dsp/Flush.h"
#include "effect/InjectRoutines.h"

// SSE2 on x86 unless FLANGER_PORTABLE asks for the plain chain that every
// other target runs. AVX in addition on x86-64 Linux with GCC: its loops are
// compiled under a target pragma and run only where the processor and the
// system support AVX, so the binary still runs on any x86-64 machine.
// (Windows builds leave it out: GCC there does not keep the 32-byte stack
// alignment that spilled 256-bit values need.)
#if defined(__SSE2__) && !defined(FLANGER_PORTABLE)
#define FLANGER_HAS_SSE2 1
#include <emmintrin.h>
#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(FLANGER_NO_AVX)
#define FLANGER_HAS_AVX 1
#include <immintrin.h>
#else
#define FLANGER_HAS_AVX 0
#endif
#else
#define FLANGER_HAS_SSE2 0
#define FLANGER_HAS_AVX 0
#endif

namespace chain {

namespace plain {
namespace {
constexpr InstructionSet kSet = InstructionSet::kPlain;
#define FLANGER_KERNEL_SIMD 0
#include "effect/ChainKernels.inl"
#undef FLANGER_KERNEL_SIMD
}  // namespace
}  // namespace plain

#if FLANGER_HAS_SSE2
namespace sse2 {
namespace {
constexpr InstructionSet kSet = InstructionSet::kSse2;
#define FLANGER_KERNEL_SIMD 1
#include "effect/ChainKernels.inl"
#undef FLANGER_KERNEL_SIMD
}  // namespace
}  // namespace sse2
#endif

#if FLANGER_HAS_AVX
// No "fma": a fused multiply-add rounds once where the chain rounds twice.
#pragma GCC push_options
#pragma GCC target("avx,no-fma")
namespace avx {
namespace {
constexpr InstructionSet kSet = InstructionSet::kAvx;
#define FLANGER_KERNEL_SIMD 2
#include "effect/ChainKernels.inl"
#undef FLANGER_KERNEL_SIMD
}  // namespace
}  // namespace avx
#pragma GCC pop_options
#endif

InstructionSet bestInstructionSet() {
#if FLANGER_HAS_AVX
    // Answers true only when the system also saves the 256-bit registers.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx")) return InstructionSet::kAvx;
#endif
#if FLANGER_HAS_SSE2
    return InstructionSet::kSse2;
#else
    return InstructionSet::kPlain;
#endif
}

const Kernels& kernelsFor(InstructionSet set) {
#if FLANGER_HAS_AVX
    if (set == InstructionSet::kAvx && bestInstructionSet() == InstructionSet::kAvx)
        return avx::kKernels;
#endif
#if FLANGER_HAS_SSE2
    if (set != InstructionSet::kPlain) return sse2::kKernels;
#endif
    (void)set;
    return plain::kKernels;
}

}  // namespace chain
