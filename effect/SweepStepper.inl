// The stepper's pass over a run of points, kWidth points at a time through
// the compilers' vector extension. Included by SweepStepper.cpp once for
// the vectors every target has (two lanes: SSE2, NEON) and, where the
// build offers it, once for 256-bit AVX (four lanes); the includer defines
// V (doubles), M (64-bit masks, lanes all ones or all zeros) and kWidth.

V splat(double v) {
    V r;
    for (int i = 0; i < kWidth; ++i) r[i] = v;
    return r;
}

V select(M mask, V yes, V no) {
    return reinterpret_cast<V>((reinterpret_cast<M>(yes) & mask) |
                               (reinterpret_cast<M>(no) & ~mask));
}

// The largest integer not above t, for 0 <= t < 2^51 (below 0 it is some
// value under t; the callers reject those).
V floorOf(V t) {
    const V magic = splat(0x1p52);
    const V nearest = (t + magic) - magic;
    return nearest - select(nearest > t, splat(1.0), splat(0.0));
}

// (1 - cos(2 pi u)) / 2 for u in [0, 1): folded into a quarter period, where
// the cosine's series to the 12th power is off by less than 6.5e-9 (the
// first term left out), so the shape by less than 3.3e-9 (kSineError).
V sineShape(V u) {
    const V half = splat(0.5), one = splat(1.0);
    const V r = select(u <= half, u, one - u);  // exact, 0..0.5
    const M rising = r <= splat(0.25);
    const V t = select(rising, r, half - r);  // exact, 0..0.25
    const V y = splat(6.28318530717958647692) * t;
    const V z = y * y, z2 = z * z, z4 = z2 * z2;
    const V c =
        (one + z * splat(-1.0 / 2.0)) + z2 * (splat(1.0 / 24.0) + z * splat(-1.0 / 720.0)) +
        z4 * ((splat(1.0 / 40320.0) + z * splat(-1.0 / 3628800.0)) + z2 * splat(1.0 / 479001600.0));
    return (one + select(rising, -c, c)) * half;
}

template <sweep::Shape kShape>
void fill(const StepperForm& f, double u0, int count, std::int32_t* out) {
    const V half = splat(0.5), one = splat(1.0), error = splat(f.phaseError);
    const V m = splat(f.margin), scale = splat(f.scale);
    M all;
    for (int i = 0; i < kWidth; ++i) all[i] = -1;
    V index;
    for (int i = 0; i < kWidth; ++i) index[i] = i;
    for (int j = 0; j < count; j += kWidth) {
        const V t = splat(u0) + (splat(j) + index) * splat(f.stride);  // 0 <= t < 17
        const V u = t - floorOf(t);                                    // exact
        V s = u;
        M clear = all;  // away from the shape's jumps
        if constexpr (kShape == sweep::Shape::kSine) s = sineShape(u);
        if constexpr (kShape == sweep::Shape::kTriangle)
            s = select(u < half, splat(2.0) * u, splat(2.0) - splat(2.0) * u);
        if constexpr (kShape == sweep::Shape::kSaw) clear = (u >= error) & (u <= one - error);
        if constexpr (kShape == sweep::Shape::kSquare) {
            clear = (u >= error) & (u <= one - error) & ((u - half >= error) | (half - u >= error));
            s = select(u < half, splat(0.0), one);
        }
        const V x = scale * (splat(f.base) + splat(f.span) * s);
        const V whole = floorOf(x);
        const V fraction = x - whole;
        const M proved = clear & (x > m) & (x < scale - m) & (fraction > m) & (fraction < one - m);
        const V delay = select(proved, whole, splat(-1.0));
        for (int i = 0; i < kWidth; ++i) out[j + i] = static_cast<std::int32_t>(delay[i]);
    }
}

void fillAny(const StepperForm& f, double u0, int count, std::int32_t* out) {
    switch (f.shape) {
        case sweep::Shape::kSine: fill<sweep::Shape::kSine>(f, u0, count, out); break;
        case sweep::Shape::kTriangle: fill<sweep::Shape::kTriangle>(f, u0, count, out); break;
        case sweep::Shape::kSaw: fill<sweep::Shape::kSaw>(f, u0, count, out); break;
        case sweep::Shape::kSquare: fill<sweep::Shape::kSquare>(f, u0, count, out); break;
    }
}
