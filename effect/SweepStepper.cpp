#include "effect/SweepStepper.h"

#include <cmath>

// The series' error for the sine, bounded in SweepStepper.inl.
constexpr double kSineError = 1e-8;

namespace {
namespace narrow {
using V = double __attribute__((vector_size(16)));
using M = std::int64_t __attribute__((vector_size(16)));
constexpr int kWidth = 2;
#include "effect/SweepStepper.inl"
}  // namespace narrow
}  // namespace

#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(FLANGER_PORTABLE) && !defined(FLANGER_NO_AVX)
#define FLANGER_STEPPER_AVX 1
#pragma GCC push_options
#pragma GCC target("avx,no-fma")
namespace {
namespace wide {
using V = double __attribute__((vector_size(32)));
using M = std::int64_t __attribute__((vector_size(32)));
constexpr int kWidth = 4;
#include "effect/SweepStepper.inl"
}  // namespace wide
}  // namespace
#pragma GCC pop_options
#else
#define FLANGER_STEPPER_AVX 0
#endif

SweepStepper::SweepStepper(sweep::Shape shape, double low, double high, std::int32_t lineLength,
                           double step, bool useAvx)
    : avx(useAvx && FLANGER_STEPPER_AVX) {
    const double scale = static_cast<double>(lineLength - 1), span = high - low;
    // The steepest slope of each shape, and its form's own error.
    double slope = 0.0, shapeError = 0.0;
    switch (shape) {
        case sweep::Shape::kSine: slope = 3.1415927, shapeError = kSineError; break;
        case sweep::Shape::kTriangle: slope = 2.0; break;
        case sweep::Shape::kSaw: slope = 1.0; break;
        case sweep::Shape::kSquare: break;
    }
    // The defined path rounds the value to float and the product to float,
    // each moving the product by at most 2^-24 of the line; the value here
    // is off by the phase's and the shape's errors; a little more covers
    // the double roundings on both sides.
    const double margin =
        scale * (std::fabs(span) * (slope * kPhaseError + shapeError) + 0x1.02p-23 + 1e-15) + 1e-9;
    form = {shape, low, span, scale, step, margin, kPhaseError};
}

bool SweepStepper::usable(double position, double x, double quarter) const {
    constexpr double kLimit = 1048576.0;  // 2^20
    return std::fabs(position) <= kLimit && std::fabs(x) <= kLimit &&
           std::fabs(quarter) <= kLimit && form.stride > 0.0 && form.stride <= 0.25;
}

void SweepStepper::delays(double u0, int count, std::int32_t* out) const {
#if FLANGER_STEPPER_AVX
    if (avx) {
        wide::fillAny(form, u0, count, out);
        return;
    }
#endif
    narrow::fillAny(form, u0, count, out);
}
