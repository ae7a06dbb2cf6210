// The chain's loops, included by ChainKernels.cpp once per instruction set,
// inside a namespace of its own, with FLANGER_KERNEL_SIMD set to 0 (plain
// C++), 1 (SSE2) or 2 (AVX, compiled under a target pragma). Everything
// here is internal to that namespace; the only name the including file uses
// is kKernels, the table of routines at the end.
//
// Each sample runs the same chain on each channel: read the main line,
// filter, write the feedback sample, mix, post flanger 1, the inject
// routine, gain. With the filter on, its recurrence (a double-precision sum
// rounded to float and flushed, waiting on the previous output) sets the
// pace; everything else is independent work. So both channels run in one
// loop, their recurrences overlapping, with everything the loop touches in
// locals, the filter and inject mode fixed per call by a specialised loop,
// and the post lines indexed straight inside segments that never cross a
// line's end (no wrap test per sample).
//
// Results are bit-identical to running the left channel's chunk and then
// the right channel's, one sample at a time: every expression rounds where
// the chain rounds, and the two channels share no state. Only the host's
// arrays can tie them: when one channel's output overlaps the other
// channel's input or output, the channels run one after the other per
// chunk, as the chain is defined.

// The exponent-bit flush of dsp/Flush.h: +0.0 for +0.0, -0.0 and
// subnormals, every other value unchanged. With SSE2 the bit test stays in
// the vector registers, sparing two moves to and from the integer
// registers on the filter's recurrence.
inline float flush(float x) {
#if FLANGER_KERNEL_SIMD >= 1
    const __m128i bits = _mm_castps_si128(_mm_set_ss(x));
    const __m128i exponent = _mm_and_si128(bits, _mm_set1_epi32(0x7F800000));
    const __m128i zero = _mm_cmpeq_epi32(exponent, _mm_setzero_si128());
    return _mm_cvtss_f32(_mm_castsi128_ps(_mm_andnot_si128(zero, bits)));
#else
    return flushDenormal(x);
#endif
}

// Modes whose routine reads the input element, which is the output element
// when the host processes in place.
constexpr bool readsInput(int mode) {
    return mode == 1 || mode >= 6;
}

// One segment of one channel: n samples in which neither main-line position
// nor any post-line index crosses its line's end. `Lanes` of them run
// interleaved sample by sample. In place (in == out) the inject routine
// reads the input element after the mix and post flanger 1 have written it.
template <bool kFilter, int kMode, bool kAccumulate, bool kInPlace, int kLanes>
inline void runSegment(const Settings& settings, Lane* lanes, std::int32_t w, std::int32_t r,
                       std::int32_t n) {
    // A copy the compiler can keep in registers: stores into the float
    // arrays cannot reach it.
    const Settings s = settings;
    struct Cursor {
        const float* in;
        float* out;
        float* lineW;
        const float* lineR;
        float* p1W;
        const float* p1R;
        float* p2W;
        const float* p2R;
        float x0, x1, y0, y1;
    };
    Cursor c[kLanes];
    for (int k = 0; k < kLanes; ++k) {
        Lane& l = lanes[k];
        c[k] = {l.in,
                l.out,
                l.line + w,
                l.line + r,
                l.post1.data + l.post1.write,
                l.post1.data + l.post1.read,
                l.post2.data + l.post2.write,
                l.post2.data + l.post2.read,
                l.history.x0,
                l.history.x1,
                l.history.y0,
                l.history.y1};
    }
    for (std::int32_t i = 0; i < n; ++i) {
        for (int k = 0; k < kLanes; ++k) {
            Cursor& v = c[k];
            const float prior = kAccumulate ? v.out[i] : 0.0f;
            const float x = v.in[i];
            float d = v.lineR[i];
            if constexpr (kFilter) {
                const double y = s.b0 * d + s.b1 * v.x0 + s.b2 * v.x1 - s.a1 * v.y0 - s.a2 * v.y1;
                const float f = flush(static_cast<float>(y));
                v.x1 = v.x0;
                v.x0 = d;
                v.y1 = v.y0;
                v.y0 = f;
                d = f;
            }
            v.lineW[i] = static_cast<float>(static_cast<double>(x) +
                                            static_cast<double>(s.feedbackSign * d) * s.feedback);
            float o = x + s.mixSign * d;
            // Post flanger 1: the line's write comes before its read.
            v.p1W[i] = o;
            const float r1 = flush(v.p1R[i]);
            o = static_cast<float>(static_cast<double>(o) + s.post1Send * r1);
            // Inject stage.
            const float xin = kInPlace ? o : x;
            v.p2W[i] = inject::feed<kMode>(xin, o, d);
            const float r2 = flush(v.p2R[i]);
            o = inject::output<kMode>(xin, o, d, s.post2Send, r2);
            const float y = o * s.gain;
            v.out[i] = kAccumulate ? prior + y : y;
        }
    }
    for (int k = 0; k < kLanes; ++k) {
        Lane& l = lanes[k];
        l.in += n;
        l.out += n;
        l.history = {c[k].x0, c[k].x1, c[k].y0, c[k].y1};
        l.post1.advance(n);
        l.post2.advance(n);
    }
}

#if FLANGER_KERNEL_SIMD >= 1
// Both channels of one segment at once: the left channel in lane 0 and the
// right in lane 1 of each vector, every operation the one the scalar chain
// performs, on both channels together (packed IEEE arithmetic rounds each
// lane as the scalar instruction would). Histories are kept widened to
// double, which is exact, so each sample converts only its new values.
namespace stereo {

inline __m128 load(const float* left, const float* right) {
    return _mm_unpacklo_ps(_mm_load_ss(left), _mm_load_ss(right));
}

inline void store(float* left, float* right, __m128 v) {
    _mm_store_ss(left, v);
    _mm_store_ss(right, _mm_shuffle_ps(v, v, 1));
}

inline __m128 flush(__m128 v) {
    const __m128i bits = _mm_castps_si128(v);
    const __m128i exponent = _mm_and_si128(bits, _mm_set1_epi32(0x7F800000));
    const __m128i zero = _mm_cmpeq_epi32(exponent, _mm_setzero_si128());
    return _mm_castsi128_ps(_mm_andnot_si128(zero, bits));
}

// The same flush as a branch taken only when a lane's exponent bits are
// all zero (zero and subnormal results, rare in sound), so on the filter's
// recurrence the rounded sum goes straight on and the test runs beside it.
// Lanes 2 and 3 (always zero after a narrowing of two doubles) are ignored.
inline __m128 flushRare(__m128 v) {
    const __m128i bits = _mm_castps_si128(v);
    const __m128i exponent = _mm_and_si128(bits, _mm_set1_epi32(0x7F800000));
    const __m128i zero = _mm_cmpeq_epi32(exponent, _mm_setzero_si128());
    if ((_mm_movemask_ps(_mm_castsi128_ps(zero)) & 3) != 0)
        return _mm_castsi128_ps(_mm_andnot_si128(zero, bits));
    return v;
}

inline __m128d wide(__m128 v) {
    return _mm_cvtps_pd(v);
}

inline __m128d pair(float left, float right) {
    return _mm_set_pd(static_cast<double>(right), static_cast<double>(left));
}

template <int kMode>
inline __m128 feed(__m128 in, __m128 out, __m128 d) {
    if constexpr (kMode == 1) return _mm_add_ps(d, in);
    if constexpr (kMode == 2 || kMode == 3) return out;
    if constexpr (kMode == 4 || kMode == 6) return _mm_add_ps(d, d);
    if constexpr (kMode == 5 || kMode == 7 || kMode == 8) return _mm_add_ps(d, out);
}

// Double-precision sums and products on two lanes, and on four (Wide4).
inline __m128d add(__m128d a, __m128d b) {
    return _mm_add_pd(a, b);
}
inline __m128d mul(__m128d a, __m128d b) {
    return _mm_mul_pd(a, b);
}
// `v` in every lane of a vector shaped like the first argument.
inline __m128d splat(__m128d, double v) {
    return _mm_set1_pd(v);
}

#if FLANGER_KERNEL_SIMD == 2
// Four samples widened into one 256-bit vector.
using Wide4 = __m256d;

inline Wide4 wide4(__m128 v) {
    return _mm256_cvtps_pd(v);
}
inline __m128 narrow4(Wide4 v) {
    return _mm256_cvtpd_ps(v);
}
inline Wide4 add(Wide4 a, Wide4 b) {
    return _mm256_add_pd(a, b);
}
inline Wide4 mul(Wide4 a, Wide4 b) {
    return _mm256_mul_pd(a, b);
}
// A broadcast pair as four lanes.
inline Wide4 splat4(__m128d v) {
    return _mm256_set_m128d(v, v);
}
inline Wide4 splat(Wide4, double v) {
    return _mm256_set1_pd(v);
}
#else
// Four samples widened into two vectors of two.
struct Wide4 {
    __m128d left, right;
};

inline Wide4 wide4(__m128 v) {
    return {_mm_cvtps_pd(v), _mm_cvtps_pd(_mm_movehl_ps(v, v))};
}
inline __m128 narrow4(Wide4 v) {
    return _mm_movelh_ps(_mm_cvtpd_ps(v.left), _mm_cvtpd_ps(v.right));
}
inline Wide4 add(Wide4 a, Wide4 b) {
    return {_mm_add_pd(a.left, b.left), _mm_add_pd(a.right, b.right)};
}
inline Wide4 mul(Wide4 a, Wide4 b) {
    return {_mm_mul_pd(a.left, b.left), _mm_mul_pd(a.right, b.right)};
}
inline Wide4 splat4(__m128d v) {
    return {v, v};
}
inline Wide4 splat(Wide4, double v) {
    return {_mm_set1_pd(v), _mm_set1_pd(v)};
}
#endif

// The inject routine's output expression on widened values; sr is the
// send times the flushed return.
template <int kMode, typename Wide>
inline Wide outputWide(Wide in, Wide out, Wide d, Wide sr) {
    if constexpr (kMode == 1 || kMode == 2) return add(out, sr);
    if constexpr (kMode == 3) return add(mul(add(d, out), splat(sr, 0.5)), sr);
    if constexpr (kMode == 4 || kMode == 5) return add(d, sr);
    if constexpr (kMode == 6 || kMode == 7) return add(in, sr);
    if constexpr (kMode == 8) return add(mul(add(in, out), splat(sr, 0.5)), sr);
}

template <int kMode>
inline __m128 output(__m128 in, __m128 out, __m128d dWide, __m128d sr) {
    return _mm_cvtpd_ps(outputWide<kMode>(wide(in), wide(out), dWide, sr));
}

// Two samples of both channels: {left i, left i+1, right i, right i+1}.
inline __m128 load2(const float* left, const float* right) {
    const __m128 low = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(left));
    return _mm_loadh_pi(low, reinterpret_cast<const __m64*>(right));
}

inline void store2(float* left, float* right, __m128 v) {
    _mm_storel_pi(reinterpret_cast<__m64*>(left), v);
    _mm_storeh_pi(reinterpret_cast<__m64*>(right), v);
}

// True when `count` consecutive samples from main-line positions w and r
// can run as one group: no main-line read would see the write of an earlier
// sample in the group (the read that many slots behind the write), and no
// post-line read would see the write of a later one (the read that many
// slots ahead of the write). Segments cross no line's end, so slots are
// plain addresses and gaps plain differences.
inline bool groupsApart(const Lane* lanes, std::int32_t w, std::int32_t r, std::int32_t count) {
    const auto clear = [count](std::int32_t gap) { return gap < 1 || gap >= count; };
    return clear(w - r) && clear(lanes[0].post1.read - lanes[0].post1.write) &&
           clear(lanes[0].post2.read - lanes[0].post2.write) &&
           clear(lanes[1].post1.read - lanes[1].post1.write) &&
           clear(lanes[1].post2.read - lanes[1].post2.write);
}

// Groups of four: the main line's read comes before its write in each group
// (the read sees the slot as it was, as in the plain order when the read is
// ahead of the write or on the same slot), so only a read one to three slots
// behind the write keeps a group from forming. A post line's write comes
// first in the plain order; in a group it still does, unless the read lies
// one to three slots ahead of the write (a delay of the line's length less
// one to three), where the read goes first so that it sees the slots before
// the later samples of the group write them. Every post-line gap is thus
// served, and only the main line decides.
inline bool mainApart4(std::int32_t w, std::int32_t r) {
    const std::int32_t gap = w - r;
    return gap < 1 || gap >= 4;
}

inline bool readFirst4(const Line& l) {
    const std::int32_t gap = l.read - l.write;
    return gap >= 1 && gap < 4;
}

// A post line's step for one group: write `value` at w, read at r, in the
// order readFirst4 chose.
inline __m128 writeRead(float* w, const float* r, __m128 value, bool readFirst) {
    if (readFirst) {
        const __m128 v = _mm_loadu_ps(r);
        _mm_storeu_ps(w, value);
        return v;
    }
    _mm_storeu_ps(w, value);
    return _mm_loadu_ps(r);
}

// The per-call constants of the chain, broadcast.
struct Constants {
    Wide4 feedback;
    __m128 mix;
    Wide4 send1, send2;
    __m128 gain;
};

// The chain after the main line's read (or the filter) gave d, for four
// lanes of samples (four of one channel, or two of each), every lane
// computed as the scalar chain computes it. Answers the output before the
// host's prior value is added and leaves the main line's new samples in
// `line`; `post1` and `post2` write a post line's four samples and answer
// what its reads give.
template <int kMode, bool kInPlace, typename Post1, typename Post2>
inline __m128 chain4(const Constants& k, __m128 x, __m128 d, __m128& line, Post1&& post1,
                     Post2&& post2) {
    const Wide4 dWide = wide4(d), xWide = wide4(x);
    line = narrow4(add(xWide, mul(dWide, k.feedback)));
    __m128 o = _mm_add_ps(x, _mm_mul_ps(k.mix, d));
    const __m128 r1 = flush(post1(o));
    o = narrow4(add(wide4(o), mul(wide4(r1), k.send1)));
    const __m128 xin = kInPlace ? o : x;
    const Wide4 sr = mul(k.send2, wide4(flush(post2(feed<kMode>(xin, o, d)))));
    o = narrow4(outputWide<kMode>(kInPlace ? wide4(xin) : xWide, wide4(o), dWide, sr));
    return _mm_mul_ps(o, k.gain);
}

// Samples i to i + 3 of one channel after the main line's read (or the
// filter) gave d.
template <int kMode, bool kAccumulate, bool kInPlace>
inline void quad(const Constants& k, const float* in, float* out, float* lineW, float* p1W,
                 const float* p1R, float* p2W, const float* p2R, std::int32_t i, __m128 d,
                 bool first1, bool first2) {
    __m128 line;
    const __m128 y = chain4<kMode, kInPlace>(
        k, _mm_loadu_ps(in + i), d, line,
        [&](__m128 v) { return writeRead(p1W + i, p1R + i, v, first1); },
        [&](__m128 v) { return writeRead(p2W + i, p2R + i, v, first2); });
    _mm_storeu_ps(lineW + i, line);
    // The host's samples are read just before they are replaced: nothing
    // before writes them, and a read kept among the line stores above was
    // measured to slow the adding entry by a tenth.
    if constexpr (kAccumulate) {
        _mm_storeu_ps(out + i, _mm_add_ps(_mm_loadu_ps(out + i), y));
    } else {
        _mm_storeu_ps(out + i, y);
    }
}

// `count` (a multiple of four) samples of one channel without the filter,
// four at a time.
template <int kMode, bool kAccumulate, bool kInPlace>
void runQuads(const Constants& k, const Lane& lane, const float* in, float* out, float* lineW,
              const float* lineR, float* p1W, const float* p1R, float* p2W, const float* p2R,
              std::int32_t count) {
    const Constants c = k;
    const bool first1 = readFirst4(lane.post1), first2 = readFirst4(lane.post2);
    for (std::int32_t i = 0; i < count; i += 4)
        quad<kMode, kAccumulate, kInPlace>(c, in, out, lineW, p1W, p1R, p2W, p2R, i,
                                           _mm_loadu_ps(lineR + i), first1, first2);
}

template <bool kFilter, int kMode, bool kAccumulate, bool kInPlace>
void runSegment(const Settings& s, Lane* lanes, std::int32_t w, std::int32_t r, std::int32_t n) {
    Lane& L = lanes[0];
    Lane& R = lanes[1];
    const __m128d b0 = _mm_set1_pd(s.b0), b1 = _mm_set1_pd(s.b1), b2 = _mm_set1_pd(s.b2);
    const __m128d a1 = _mm_set1_pd(s.a1), a2 = _mm_set1_pd(s.a2);
    // (sign * d) * feedback == d * (sign * feedback) exactly: the sign only
    // flips the sign of an exactly rounded product.
    const __m128d feedback = _mm_set1_pd(static_cast<double>(s.feedbackSign) * s.feedback);
    const __m128 mix = _mm_set1_ps(s.mixSign);
    const __m128d send1 = _mm_set1_pd(s.post1Send);
    const __m128d send2 = _mm_set1_pd(static_cast<double>(s.post2Send));
    const __m128 gain = _mm_set1_ps(s.gain);
    __m128d x0 = pair(L.history.x0, R.history.x0), x1 = pair(L.history.x1, R.history.x1);
    __m128d y0 = pair(L.history.y0, R.history.y0), y1 = pair(L.history.y1, R.history.y1);

    const float* inL = L.in;
    const float* inR = R.in;
    float* outL = L.out;
    float* outR = R.out;
    float* lineWL = L.line + w;
    float* lineWR = R.line + w;
    const float* lineRL = L.line + r;
    const float* lineRR = R.line + r;
    float* p1WL = L.post1.data + L.post1.write;
    float* p1WR = R.post1.data + R.post1.write;
    const float* p1RL = L.post1.data + L.post1.read;
    const float* p1RR = R.post1.data + R.post1.read;
    float* p2WL = L.post2.data + L.post2.write;
    float* p2WR = R.post2.data + R.post2.write;
    const float* p2RL = L.post2.data + L.post2.read;
    const float* p2RR = R.post2.data + R.post2.read;

    std::int32_t i = 0;
    if constexpr (kFilter) {
        // With the filter, four frames' recurrence steps run one after the
        // other (both channels in the lanes of each step), and the rest of
        // the chain for those frames four samples of a channel at a time,
        // beside the next frames' steps. Grouping keeps every read's value
        // under the same conditions as without the filter.
        if (n >= 4 && s.pairwise && mainApart4(w, r)) {
            const Constants k{splat4(feedback), mix, splat4(send1), splat4(send2), gain};
            const std::int32_t quads = n & ~std::int32_t{3};
            const bool first1L = readFirst4(L.post1), first2L = readFirst4(L.post2);
            const bool first1R = readFirst4(R.post1), first2R = readFirst4(R.post2);
            const auto stepOnce = [&](__m128d dWide) {
                const __m128d sum = _mm_sub_pd(
                    _mm_sub_pd(_mm_add_pd(_mm_add_pd(_mm_mul_pd(b0, dWide), _mm_mul_pd(b1, x0)),
                                          _mm_mul_pd(b2, x1)),
                               _mm_mul_pd(a1, y0)),
                    _mm_mul_pd(a2, y1));
                const __m128 f = flushRare(_mm_cvtpd_ps(sum));
                x1 = x0;
                x0 = dWide;
                y1 = y0;
                y0 = wide(f);
                return f;
            };
            for (; i < quads; i += 4) {
                const __m128 dL = _mm_loadu_ps(lineRL + i), dR = _mm_loadu_ps(lineRR + i);
                const __m128 lo = _mm_unpacklo_ps(dL, dR);  // L0 R0 L1 R1
                const __m128 hi = _mm_unpackhi_ps(dL, dR);  // L2 R2 L3 R3
                const __m128 f0 = stepOnce(wide(lo));
                const __m128 f1 = stepOnce(wide(_mm_movehl_ps(lo, lo)));
                const __m128 f2 = stepOnce(wide(hi));
                const __m128 f3 = stepOnce(wide(_mm_movehl_ps(hi, hi)));
                const __m128 f01 = _mm_unpacklo_ps(f0, f1);  // L0 L1 R0 R1
                const __m128 f23 = _mm_unpacklo_ps(f2, f3);  // L2 L3 R2 R3
                quad<kMode, kAccumulate, kInPlace>(k, inL, outL, lineWL, p1WL, p1RL, p2WL, p2RL, i,
                                                   _mm_movelh_ps(f01, f23), first1L, first2L);
                quad<kMode, kAccumulate, kInPlace>(k, inR, outR, lineWR, p1WR, p1RR, p2WR, p2RR, i,
                                                   _mm_movehl_ps(f23, f01), first1R, first2R);
            }
        }
    } else {
        // Without the filter no sample waits on the one before, so a group
        // of samples runs at once, each line's writes and reads grouped.
        // That keeps every read's value unless a read would see another
        // sample's write in the group (see mainApart4 and groupsApart), or an output array
        // lies partly over its input. Four samples of one channel fill a
        // vector with one load or store per array; the channels are not
        // tied, so the left one's samples may all come first.
        if (n >= 4 && s.pairwise && mainApart4(w, r)) {
            const Constants k{splat4(feedback), mix, splat4(send1), splat4(send2), gain};
            const std::int32_t quads = n & ~std::int32_t{3};
            runQuads<kMode, kAccumulate, kInPlace>(k, L, inL, outL, lineWL, lineRL, p1WL, p1RL,
                                                   p2WL, p2RL, quads);
            runQuads<kMode, kAccumulate, kInPlace>(k, R, inR, outR, lineWR, lineRR, p1WR, p1RR,
                                                   p2WR, p2RR, quads);
            i = quads;
        } else if (n >= 2 && s.pairwise && groupsApart(lanes, w, r, 2)) {
            // Two samples of both channels: {left i, left i+1, right i, right i+1}.
            const Constants k{splat4(feedback), mix, splat4(send1), splat4(send2), gain};
            for (; i + 1 < n; i += 2) {
                const __m128 prior = kAccumulate ? load2(outL + i, outR + i) : _mm_setzero_ps();
                __m128 line;
                const __m128 y = chain4<kMode, kInPlace>(
                    k, load2(inL + i, inR + i), load2(lineRL + i, lineRR + i), line,
                    [&](__m128 v) {
                        store2(p1WL + i, p1WR + i, v);
                        return load2(p1RL + i, p1RR + i);
                    },
                    [&](__m128 v) {
                        store2(p2WL + i, p2WR + i, v);
                        return load2(p2RL + i, p2RR + i);
                    });
                store2(lineWL + i, lineWR + i, line);
                store2(outL + i, outR + i, kAccumulate ? _mm_add_ps(prior, y) : y);
            }
        }
    }
    for (; i < n; ++i) {
        const __m128 prior = kAccumulate ? load(outL + i, outR + i) : _mm_setzero_ps();
        const __m128 x = load(inL + i, inR + i);
        __m128 d = load(lineRL + i, lineRR + i);
        __m128d dWide = wide(d);
        if constexpr (kFilter) {
            const __m128d sum = _mm_sub_pd(
                _mm_sub_pd(_mm_add_pd(_mm_add_pd(_mm_mul_pd(b0, dWide), _mm_mul_pd(b1, x0)),
                                      _mm_mul_pd(b2, x1)),
                           _mm_mul_pd(a1, y0)),
                _mm_mul_pd(a2, y1));
            d = flushRare(_mm_cvtpd_ps(sum));
            x1 = x0;
            x0 = dWide;
            y1 = y0;
            dWide = wide(d);
            y0 = dWide;
        }
        store(lineWL + i, lineWR + i,
              _mm_cvtpd_ps(_mm_add_pd(wide(x), _mm_mul_pd(dWide, feedback))));
        __m128 o = _mm_add_ps(x, _mm_mul_ps(mix, d));
        store(p1WL + i, p1WR + i, o);
        const __m128 r1 = flush(load(p1RL + i, p1RR + i));
        o = _mm_cvtpd_ps(_mm_add_pd(wide(o), _mm_mul_pd(send1, wide(r1))));
        const __m128 xin = kInPlace ? o : x;
        store(p2WL + i, p2WR + i, feed<kMode>(xin, o, d));
        const __m128 r2 = flush(load(p2RL + i, p2RR + i));
        o = output<kMode>(xin, o, dWide, _mm_mul_pd(send2, wide(r2)));
        const __m128 y = _mm_mul_ps(o, gain);
        store(outL + i, outR + i, kAccumulate ? _mm_add_ps(prior, y) : y);
    }

    // Histories leave as one 16-byte store per channel, so the 16-byte copy
    // into the filter that follows reads them straight from the store.
    static_assert(sizeof(BiquadFilter::History) == 4 * sizeof(float));
    const __m128 xs = _mm_unpacklo_ps(_mm_cvtpd_ps(x0), _mm_cvtpd_ps(x1));  // x0L x1L x0R x1R
    const __m128 ys = _mm_unpacklo_ps(_mm_cvtpd_ps(y0), _mm_cvtpd_ps(y1));  // y0L y1L y0R y1R
    _mm_storeu_ps(reinterpret_cast<float*>(&L.history), _mm_movelh_ps(xs, ys));
    _mm_storeu_ps(reinterpret_cast<float*>(&R.history), _mm_movehl_ps(ys, xs));
    for (int k = 0; k < 2; ++k) {
        Lane& l = lanes[k];
        l.in += n;
        l.out += n;
        l.post1.advance(n);
        l.post2.advance(n);
    }
}

// The per-call constants of the frame-by-frame path, broadcast to both
// channels.
struct FrameConstants {
    __m128d b0, b1, b2, a1, a2;
    __m128d feedback;
    __m128 mix;
    __m128d send1, send2;
    __m128 gain;
};

inline FrameConstants frameConstants(const Settings& s) {
    return {_mm_set1_pd(s.b0),
            _mm_set1_pd(s.b1),
            _mm_set1_pd(s.b2),
            _mm_set1_pd(s.a1),
            _mm_set1_pd(s.a2),
            _mm_set1_pd(static_cast<double>(s.feedbackSign) * s.feedback),
            _mm_set1_ps(s.mixSign),
            _mm_set1_pd(s.post1Send),
            _mm_set1_pd(static_cast<double>(s.post2Send)),
            _mm_set1_ps(s.gain)};
}

// One frame of both channels in the lanes: in, out and the main line's
// slots given as pointers, the post lines' indices wrapping. The filter
// histories are {x0L, x0R, x1L, x1R} and {y0L, y0R, y1L, y1R}.
template <bool kFilter, int kMode, bool kAccumulate, bool kInPlace>
[[gnu::always_inline]] inline void frame(const FrameConstants& k, const float* inL,
                                         const float* inR, float* outL, float* outR,
                                         const float* readL, const float* readR, float* writeL,
                                         float* writeR, Line& p1L, Line& p1R, Line& p2L, Line& p2R,
                                         __m128& xs, __m128& ys) {
    const __m128 prior = kAccumulate ? load(outL, outR) : _mm_setzero_ps();
    const __m128 x = load(inL, inR);
    __m128 d = load(readL, readR);
    __m128d dWide = wide(d);
    if constexpr (kFilter) {
        const __m128d sum = _mm_sub_pd(
            _mm_sub_pd(_mm_add_pd(_mm_add_pd(_mm_mul_pd(k.b0, dWide), _mm_mul_pd(k.b1, wide(xs))),
                                  _mm_mul_pd(k.b2, wide(_mm_movehl_ps(xs, xs)))),
                       _mm_mul_pd(k.a1, wide(ys))),
            _mm_mul_pd(k.a2, wide(_mm_movehl_ps(ys, ys))));
        const __m128 f = flushRare(_mm_cvtpd_ps(sum));
        xs = _mm_movelh_ps(d, xs);  // x0 becomes x1, d becomes x0
        ys = _mm_movelh_ps(f, ys);
        d = f;
        dWide = wide(f);
    }
    store(writeL, writeR, _mm_cvtpd_ps(_mm_add_pd(wide(x), _mm_mul_pd(dWide, k.feedback))));
    __m128 o = _mm_add_ps(x, _mm_mul_ps(k.mix, d));
    store(p1L.data + p1L.write, p1R.data + p1R.write, o);
    const __m128 r1 = flush(load(p1L.data + p1L.read, p1R.data + p1R.read));
    p1L.advance(1);
    p1R.advance(1);
    o = _mm_cvtpd_ps(_mm_add_pd(wide(o), _mm_mul_pd(k.send1, wide(r1))));
    const __m128 xin = kInPlace ? o : x;
    store(p2L.data + p2L.write, p2R.data + p2R.write, feed<kMode>(xin, o, d));
    const __m128 r2 = flush(load(p2L.data + p2L.read, p2R.data + p2R.read));
    p2L.advance(1);
    p2R.advance(1);
    o = output<kMode>(xin, o, dWide, _mm_mul_pd(k.send2, wide(r2)));
    const __m128 y = _mm_mul_ps(o, k.gain);
    store(outL, outR, kAccumulate ? _mm_add_ps(prior, y) : y);
}

// Short blocks, frame by frame with both channels in the lanes and the
// post-line indices wrapping as they go: none of the segment setup, and the
// histories and constants go straight from the records into the vectors.
// Only for blocks inside both main lines whose channels the host's arrays
// do not tie (see runLong), with both channels in place or neither. Kept
// out of line, and a single frame apart from the loop, so that a one-frame
// call runs a small function with every value in a register.
template <bool kFilter, int kMode, bool kAccumulate, bool kInPlace>
[[gnu::noinline]] void runFrames(const Settings& s, Lane* lanes, std::int32_t w, std::int32_t r,
                                 std::int32_t n) {
    Lane& L = lanes[0];
    Lane& R = lanes[1];
    const FrameConstants k = frameConstants(s);
    Line p1L = L.post1, p1R = R.post1, p2L = L.post2, p2R = R.post2;
    // Each history record is {x0, x1, y0, y1}.
    static_assert(sizeof(BiquadFilter::History) == 4 * sizeof(float));
    float* const historyL = reinterpret_cast<float*>(&L.history);
    float* const historyR = reinterpret_cast<float*>(&R.history);
    __m128 xs = _mm_setzero_ps(), ys = _mm_setzero_ps();
    if constexpr (kFilter) {
        const __m128 hL = _mm_loadu_ps(historyL), hR = _mm_loadu_ps(historyR);
        xs = _mm_unpacklo_ps(hL, hR);
        ys = _mm_unpackhi_ps(hL, hR);
    }
    if (n == 1) {
        frame<kFilter, kMode, kAccumulate, kInPlace>(k, L.in, R.in, L.out, R.out, L.line + r,
                                                     R.line + r, L.line + w, R.line + w, p1L, p1R,
                                                     p2L, p2R, xs, ys);
    } else {
        for (std::int32_t i = 0; i < n; ++i)
            frame<kFilter, kMode, kAccumulate, kInPlace>(
                k, L.in + i, R.in + i, L.out + i, R.out + i, L.line + r + i, R.line + r + i,
                L.line + w + i, R.line + w + i, p1L, p1R, p2L, p2R, xs, ys);
    }
    if constexpr (kFilter) {
        // {x0, x1} and {y0, y1} of each channel side by side.
        const __m128 lo = _mm_unpacklo_ps(xs, _mm_shuffle_ps(xs, xs, 0xEE));  // x0L x1L x0R x1R
        const __m128 hi = _mm_unpacklo_ps(ys, _mm_shuffle_ps(ys, ys, 0xEE));  // y0L y1L y0R y1R
        _mm_storeu_ps(historyL, _mm_movelh_ps(lo, hi));
        _mm_storeu_ps(historyR, _mm_movehl_ps(hi, lo));
    }
    L.post1 = p1L;
    R.post1 = p1R;
    L.post2 = p2L;
    R.post2 = p2R;
}

}  // namespace stereo
#endif

// `frames` samples of `kLanes` channels starting at main-line positions w
// and r, split into segments that cross no line's end.
template <bool kFilter, int kMode, bool kAccumulate, bool kInPlace, int kLanes>
void runLanes(const Settings& s, Lane* lanes, std::int32_t length, std::int32_t w, std::int32_t r,
              std::int32_t frames) {
    while (frames > 0) {
        std::int32_t n = std::min({frames, length - w, length - r});
        for (int k = 0; k < kLanes; ++k)
            n = std::min({n, lanes[k].post1.room(), lanes[k].post2.room()});
#if FLANGER_KERNEL_SIMD >= 1
        if constexpr (kLanes == 2) {
            stereo::runSegment<kFilter, kMode, kAccumulate, kInPlace>(s, lanes, w, r, n);
        } else {
            runSegment<kFilter, kMode, kAccumulate, kInPlace, kLanes>(s, lanes, w, r, n);
        }
#else
        runSegment<kFilter, kMode, kAccumulate, kInPlace, kLanes>(s, lanes, w, r, n);
#endif
        w += n;
        if (w == length) w = 0;
        r += n;
        if (r == length) r = 0;
        frames -= n;
    }
}

using LanesRoutine = void (*)(const Settings&, Lane*, std::int32_t, std::int32_t, std::int32_t,
                              std::int32_t);

// The loop for `kLanes` channels; in place only matters to the modes that
// read the input element.
template <bool kFilter, int kMode, bool kAccumulate, int kLanes>
LanesRoutine lanesFor(bool inPlace) {
    if (readsInput(kMode) && inPlace) return runLanes<kFilter, kMode, kAccumulate, true, kLanes>;
    return runLanes<kFilter, kMode, kAccumulate, false, kLanes>;
}

// Short blocks: each channel in turn, sample by sample, the post-line
// indices wrapping as they go. One channel's whole block before the other's
// is the chain's own order as long as the block crosses neither main line's
// end, so any layout of the host's arrays is right as it stands and the
// long path's setup (overlap tests, segments, broadcast constants) is
// skipped. In place (in == out) the inject routine reads the input element
// after the mix and post flanger 1 have written it. With the filter each channel's
// samples wait on each other here, so past three frames the stereo loop's
// overlapped channels win back its setup.
constexpr std::int32_t kShortBlock = 3;

template <bool kFilter, int kMode, bool kAccumulate>
inline void runShortChannel(const Settings& s, Lane& l, std::int32_t w, std::int32_t r,
                            std::int32_t n) {
    const bool inPlace = l.in == l.out;
    const float* const in = l.in;
    float* const out = l.out;
    float* const lineW = l.line + w;
    const float* const lineR = l.line + r;
    float x0 = l.history.x0, x1 = l.history.x1, y0 = l.history.y0, y1 = l.history.y1;
    Line p1 = l.post1, p2 = l.post2;
    for (std::int32_t i = 0; i < n; ++i) {
        const float prior = kAccumulate ? out[i] : 0.0f;
        const float x = in[i];
        float d = lineR[i];
        if constexpr (kFilter) {
            const double y = s.b0 * d + s.b1 * x0 + s.b2 * x1 - s.a1 * y0 - s.a2 * y1;
            const float f = flush(static_cast<float>(y));
            x1 = x0;
            x0 = d;
            y1 = y0;
            y0 = f;
            d = f;
        }
        lineW[i] = static_cast<float>(static_cast<double>(x) +
                                      static_cast<double>(s.feedbackSign * d) * s.feedback);
        float o = x + s.mixSign * d;
        p1.data[p1.write] = o;
        const float r1 = flush(p1.data[p1.read]);
        p1.advance(1);
        o = static_cast<float>(static_cast<double>(o) + s.post1Send * r1);
        const float xin = inPlace ? o : x;
        p2.data[p2.write] = inject::feed<kMode>(xin, o, d);
        const float r2 = flush(p2.data[p2.read]);
        p2.advance(1);
        o = inject::output<kMode>(xin, o, d, s.post2Send, r2);
        const float y = o * s.gain;
        out[i] = kAccumulate ? prior + y : y;
    }
    if constexpr (kFilter) l.history = {x0, x1, y0, y1};
    l.post1 = p1;
    l.post2 = p2;
}

template <bool kFilter, int kMode, bool kAccumulate>
inline void runShortLanes(const Settings& settings, Lane* lanes, std::int32_t w, std::int32_t r,
                          std::int32_t n) {
    // A copy the compiler can keep in registers: stores into the float
    // arrays cannot reach it.
    const Settings s = settings;
    runShortChannel<kFilter, kMode, kAccumulate>(s, lanes[0], w, r, n);
    runShortChannel<kFilter, kMode, kAccumulate>(s, lanes[1], w, r, n);
}

bool overlaps(const float* a, const float* b, std::int32_t n) {
    const auto x = reinterpret_cast<std::uintptr_t>(a);
    const auto y = reinterpret_cast<std::uintptr_t>(b);
    const std::uintptr_t bytes = static_cast<std::uintptr_t>(n) * sizeof(float);
    return x < y + bytes && y < x + bytes;
}

// Any block: both channels together in one loop where the host's arrays
// allow it (see the top of this file), otherwise one channel after the
// other per chunk of the main lines.
template <bool kFilter, int kMode, bool kAccumulate>
[[gnu::noinline]] void runLong(const Settings& settings, Lane* lanes, std::int32_t length,
                               std::int32_t w, std::int32_t r, std::int32_t n) {
    // Interleaving is invisible unless a channel's output overlaps the other
    // channel's arrays; in place on one channel but not the other, the
    // channels also run apart, each with its own loop.
    const bool inPlaceL = lanes[0].in == lanes[0].out;
    const bool inPlaceR = lanes[1].in == lanes[1].out;
    Settings s = settings;
    s.pairwise = (inPlaceL || !overlaps(lanes[0].in, lanes[0].out, n)) &&
                 (inPlaceR || !overlaps(lanes[1].in, lanes[1].out, n));
    const bool tied = overlaps(lanes[0].out, lanes[1].in, n) ||
                      overlaps(lanes[0].out, lanes[1].out, n) ||
                      overlaps(lanes[1].out, lanes[0].in, n);
    if (!tied && inPlaceL == inPlaceR) {
        if (readsInput(kMode) && inPlaceL) {
            runLanes<kFilter, kMode, kAccumulate, true, 2>(s, lanes, length, w, r, n);
        } else {
            runLanes<kFilter, kMode, kAccumulate, false, 2>(s, lanes, length, w, r, n);
        }
    } else {
        const LanesRoutine left = lanesFor<kFilter, kMode, kAccumulate, 1>(inPlaceL);
        const LanesRoutine right = lanesFor<kFilter, kMode, kAccumulate, 1>(inPlaceR);
        // Per chunk of the main lines, the left channel and then the right.
        std::int32_t cw = w, cr = r;
        for (std::int32_t remaining = n; remaining > 0;) {
            const std::int32_t chunk = std::min({remaining, length - cw, length - cr});
            left(s, &lanes[0], length, cw, cr, chunk);
            right(s, &lanes[1], length, cw, cr, chunk);
            cw += chunk;
            if (cw == length) cw = 0;
            cr += chunk;
            if (cr == length) cr = 0;
            remaining -= chunk;
        }
    }
}

// A block whose arrays are all apart and which crosses no line's end: one
// segment of both channels together.
template <bool kFilter, int kMode, bool kAccumulate>
[[gnu::noinline]] void runSingle(const Settings& settings, Lane* lanes, std::int32_t w,
                                 std::int32_t r, std::int32_t n) {
    Settings s = settings;
    s.pairwise = true;
#if FLANGER_KERNEL_SIMD >= 1
    stereo::runSegment<kFilter, kMode, kAccumulate, false>(s, lanes, w, r, n);
#else
    runSegment<kFilter, kMode, kAccumulate, false, 2>(s, lanes, w, r, n);
#endif
}

// A whole call: the short path when the block is short and inside both
// main lines, otherwise one segment or the long path.
template <bool kAccumulate, bool kFilter, int kMode>
void runBlock(const Settings& s, Lane* lanes, std::int32_t length, std::int32_t w, std::int32_t r,
              std::int32_t n) {
    if (n <= kShortBlock && n <= length - w && n <= length - r) {
#if FLANGER_KERNEL_SIMD >= 1
        const bool inPlaceL = lanes[0].in == lanes[0].out;
        const bool inPlaceR = lanes[1].in == lanes[1].out;
        const bool tied = overlaps(lanes[0].out, lanes[1].in, n) ||
                          overlaps(lanes[0].out, lanes[1].out, n) ||
                          overlaps(lanes[1].out, lanes[0].in, n) ||
                          (!inPlaceL && overlaps(lanes[0].in, lanes[0].out, n)) ||
                          (!inPlaceR && overlaps(lanes[1].in, lanes[1].out, n));
        if (!tied && inPlaceL == inPlaceR) {
            if (readsInput(kMode) && inPlaceL) {
                stereo::runFrames<kFilter, kMode, kAccumulate, true>(s, lanes, w, r, n);
            } else {
                stereo::runFrames<kFilter, kMode, kAccumulate, false>(s, lanes, w, r, n);
            }
            return;
        }
#endif
        runShortLanes<kFilter, kMode, kAccumulate>(s, lanes, w, r, n);
    } else {
        // The common case, separate arrays and a block that crosses no line's
        // end, as one segment without the long path's layout tests and
        // splitting.
        const Lane& L = lanes[0];
        const Lane& R = lanes[1];
        if (L.in != L.out && R.in != R.out && n <= length - w && n <= length - r &&
            n <= L.post1.room() && n <= L.post2.room() && n <= R.post1.room() &&
            n <= R.post2.room() && !overlaps(L.in, L.out, n) && !overlaps(R.in, R.out, n) &&
            !overlaps(L.out, R.in, n) && !overlaps(L.out, R.out, n) && !overlaps(R.out, L.in, n)) {
            runSingle<kFilter, kMode, kAccumulate>(s, lanes, w, r, n);
            return;
        }
        runLong<kFilter, kMode, kAccumulate>(s, lanes, length, w, r, n);
    }
}

// A block split at jumps. Where the host's arrays are all apart (the common
// case) the pieces run as segments of one loop, the settings copied and the
// layout judged once; otherwise each piece is a call of runBlock.
template <bool kAccumulate, bool kFilter, int kMode>
void runSplit(const Settings& s, Lane* lanes, std::int32_t length, std::int32_t& w, std::int32_t& r,
              std::int32_t n, const Jump* jumps, int count) {
    auto on = [length](std::int32_t p, std::int32_t frames) {
        p += frames < length ? frames : frames % length;
        return p >= length ? p - length : p;
    };
    auto behind = [length](std::int32_t p, std::int32_t delay) {
        const std::int32_t d = delay >= 0 && delay < length ? delay : length - 1;
        return p - d < 0 ? p - d + length : p - d;
    };
    Lane& L = lanes[0];
    Lane& R = lanes[1];
    const bool apart = L.in != L.out && R.in != R.out && !overlaps(L.in, L.out, n) &&
                       !overlaps(R.in, R.out, n) && !overlaps(L.out, R.in, n) &&
                       !overlaps(L.out, R.out, n) && !overlaps(R.out, L.in, n);
    Settings local = s;
    local.pairwise = true;
    const float* const in[2] = {L.in, R.in};
    float* const out[2] = {L.out, R.out};
    std::int32_t at = 0;
    for (int i = 0; i <= count; ++i) {
        const std::int32_t end = i < count ? jumps[i].frame : n;
        if (end > at) {
            if (apart) {
                runLanes<kFilter, kMode, kAccumulate, false, 2>(local, lanes, length, w, r,
                                                                end - at);
            } else {
                for (int k = 0; k < 2; ++k) {
                    lanes[k].in = in[k] + at;
                    lanes[k].out = out[k] + at;
                }
                runBlock<kAccumulate, kFilter, kMode>(s, lanes, length, w, r, end - at);
            }
            w = on(w, end - at);
            r = on(r, end - at);
            at = end;
        }
        if (i < count) r = behind(w, jumps[i].delay);
    }
}

template <bool kAccumulate, bool kFilter>
constexpr void fillSplits(SplitRoutine (&row)[8]) {
    row[0] = runSplit<kAccumulate, kFilter, 1>;
    row[1] = runSplit<kAccumulate, kFilter, 2>;
    row[2] = runSplit<kAccumulate, kFilter, 3>;
    row[3] = runSplit<kAccumulate, kFilter, 4>;
    row[4] = runSplit<kAccumulate, kFilter, 5>;
    row[5] = runSplit<kAccumulate, kFilter, 6>;
    row[6] = runSplit<kAccumulate, kFilter, 7>;
    row[7] = runSplit<kAccumulate, kFilter, 8>;
}

template <bool kAccumulate, bool kFilter>
constexpr void fillModes(Routine (&row)[8]) {
    row[0] = runBlock<kAccumulate, kFilter, 1>;
    row[1] = runBlock<kAccumulate, kFilter, 2>;
    row[2] = runBlock<kAccumulate, kFilter, 3>;
    row[3] = runBlock<kAccumulate, kFilter, 4>;
    row[4] = runBlock<kAccumulate, kFilter, 5>;
    row[5] = runBlock<kAccumulate, kFilter, 6>;
    row[6] = runBlock<kAccumulate, kFilter, 7>;
    row[7] = runBlock<kAccumulate, kFilter, 8>;
}

constexpr Kernels makeKernels() {
    Kernels k{kSet, {}, {}};
    fillModes<false, false>(k.routines[0][0]);
    fillModes<false, true>(k.routines[0][1]);
    fillModes<true, false>(k.routines[1][0]);
    fillModes<true, true>(k.routines[1][1]);
    fillSplits<false, false>(k.splits[0][0]);
    fillSplits<false, true>(k.splits[0][1]);
    fillSplits<true, false>(k.splits[1][0]);
    fillSplits<true, true>(k.splits[1][1]);
    return k;
}

constexpr Kernels kKernels = makeKernels();
