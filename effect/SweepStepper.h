// The main line's delay at a run of the companion's control points, without
// the defined evaluation's cosine and divisions for each point: the phase
// steps on from the run's first point by a constant advance, the shapes
// come from short forms, and a delay is given only where error bounds prove
// it equals the one the defined evaluation gives (the value rounded to
// float, times the line's length in float, truncated). Elsewhere, near a
// step of the delay or a jump of the shape, the answer is -1 and the caller
// evaluates the point as defined.
#pragma once

#include <cstdint>

#include "dsp/Sweep.h"

// What a pass over the points needs.
struct StepperForm {
    sweep::Shape shape;
    double base, span, scale, stride;
    double margin;      // how near the product may come to a whole number
    double phaseError;  // SweepStepper::kPhaseError
};

class SweepStepper {
public:
    // `step`: the position's advance in periods from one point to the next;
    // low and high as the sweep's, already clamped; `wide`: the machine runs
    // 256-bit AVX (the chain's loops chose it).
    SweepStepper(sweep::Shape form, double low, double high, std::int32_t lineLength, double step,
                 bool wide);

    // Whether the phase may be stepped from a point at `position` periods
    // (`x` with the phase added; `quarter` its quarter-note position in sync
    // mode, else 0): within these limits the defined evaluation's roundings
    // stay far below kPhaseError, and an advance wraps at most once.
    bool usable(double position, double x, double quarter) const;

    // The delays at `count` (at most kMaxCount) points one advance apart
    // from phase u0 (0 <= u0 < 1), each -1 where it cannot be proved here.
    // Writes `count` rounded up to a multiple of four entries.
    static constexpr int kMaxCount = 64;
    void delays(double u0, int count, std::int32_t* out) const;

    // How far the stepped phase may stray from the defined evaluation's,
    // in periods.
    static constexpr double kPhaseError = 0x1p-22;

private:
    StepperForm form;
    [[maybe_unused]] bool avx;  // only builds with the AVX pass read it
};
