// The periodic sweep shapes: one definition for the render tool's --sweep
// and the timeline-locked sweep of the companion plug-in. Everything is
// evaluated in double precision; callers round the result once.
#pragma once

#include <cmath>

namespace sweep {

enum class Shape { kSine, kTriangle, kSaw, kSquare };

// The shape's value, 0..1, at u in [0, 1) of a period. Each starts at 0.
inline double shapeAt(Shape shape, double u) {
    constexpr double kPi = 3.14159265358979323846;
    switch (shape) {
        case Shape::kSine: return (1.0 - std::cos(2.0 * kPi * u)) / 2.0;
        case Shape::kTriangle: return u < 0.5 ? 2.0 * u : 2.0 - 2.0 * u;
        case Shape::kSaw: return u;
        case Shape::kSquare: return u < 0.5 ? 0.0 : 1.0;
    }
    return 0.0;
}

// low + (high - low) * shape(frac(position + phase)), `position` in periods
// (negative positions wrap like positive ones). LOW above HIGH inverts it.
inline double valueAt(Shape shape, double position, double phase, double low, double high) {
    const double x = position + phase;
    return low + (high - low) * shapeAt(shape, x - std::floor(x));
}

}  // namespace sweep
