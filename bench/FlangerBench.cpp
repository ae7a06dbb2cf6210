// Cost of the signal chain per stereo frame, through the built plug-in's
// processing entries, next to floor kernels of two kinds measured in the
// same rounds (see measure): both channels' exact filter recurrence inside a
// feedback line, and the feedback line alone.
#include <benchmark/benchmark.h>
#include <emmintrin.h>
#include <time.h>

// The AVX forms of the floors exist where the chain has its AVX path.
#if defined(__x86_64__) && defined(__linux__)
#define FLANGER_BENCH_AVX 1
#include <immintrin.h>
#else
#define FLANGER_BENCH_AVX 0
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "dsp/BiquadFilter.h"
#include "dsp/DelayLine.h"
#include "frame/DenormalGuard.h"
#include "host/VstHost.h"

namespace {

constexpr float kRate = 44100.0f;
constexpr std::int32_t kFloorBlock = 512;

// CPU time of this thread in ns: other processes on a shared machine do not
// count against a benchmark while it is switched out.
double threadNs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// Uniform noise in [-0.5, 0.5) from a 64-bit linear congruential generator.
std::vector<float> noise(std::size_t n, std::uint64_t seed) {
    std::vector<float> x(n);
    for (float& v : x) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        v = static_cast<float>(static_cast<double>(seed >> 40) / 16777216.0 - 0.5);
    }
    return x;
}

// Whether this CPU runs AVX code and the OS saves the wide registers: the
// feature test reports AVX only when both hold. The AVX forms below are
// compiled for AVX one function at a time, so the rest of the binary runs
// on any x86-64 CPU, and they run only when this says yes.
bool haveAvx() {
#if FLANGER_BENCH_AVX
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx") != 0;
    }();
    return yes;
#else
    return false;
#endif
}

// The floors: per channel, read a 400-sample feedback line, take one exact
// filter step on the delayed sample (the double-precision sum of the
// effect's filter, rounded once to float, exponent-bit flush) and write the
// input plus the fed-back sample, rounded once. The line-only floor drops
// the filter step. Positions are split into chunks that stay inside the
// line, like the effect's. Every form below computes the same samples bit
// for bit (checked before the benchmarks run):
//   kScalar        each channel in scalar doubles, histories in locals,
//                  branch-free flush (the and-not of the exponent test)
//   kPacked        both channels in the two lanes of SSE2 vectors,
//                  histories widened in registers, branch-free flush
//   kPackedBranch  as kPacked, but the flush is a branch on the exponent
//                  test, off the recurrence: results are normal floats
//                  nearly always, so the predictor always gets it right
//   kLineOnly      the line-only floor, four samples of a channel per SSE2
//                  vector (the delay of 199 samples is far longer)
//   kLineScalar    the line-only floor as a plain loop, one sample of each
//                  channel at a time (the compiler vectorises it)
//   kTwice         the floor's work twice over (see BM_Floor)
// With AVX (three-operand encoding, 256-bit double vectors, never fused
// multiply-add):
//   kAvxBranch       kPackedBranch in AVX encoding
//   kAvxGroups       four frames at a time: the feed-forward parts of the
//                    recurrence, the feedback and the stores in 256-bit
//                    vectors, the recurrence one frame after the other in
//                    the lanes of 128-bit ones, the flush left out; a
//                    group with a result to flush is taken again with it
//   kAvxRounded      as kAvxGroups, but each step's result stays a double,
//                    rounded to float precision by two integer operations
//                    instead of the two conversions, a shorter path from
//                    one step to the next; a group where that rounding
//                    differs from the conversions' (a tie, an overflow) is
//                    taken again with the conversions
//   kAvxLinePlain    kLineScalar compiled for AVX (256-bit vectorisation)
//   kAvxLineVectors  the line-only floor, four samples of a channel per
//                    256-bit vector
// kAvxGroupsTwice and kAvxRoundedTwice are kAvxGroups and kAvxRounded with
// twice the work, for kTwice.
enum class Floor {
    kScalar,
    kPacked,
    kPackedBranch,
    kLineOnly,
    kLineScalar,
    kTwice,
    kAvxBranch,
    kAvxGroups,
    kAvxRounded,
    kAvxLinePlain,
    kAvxLineVectors,
    kAvxGroupsTwice,
    kAvxRoundedTwice
};
constexpr int kListedForms = 11;  // BM_Floor's forms, kScalar to kAvxLineVectors

bool needsAvx(Floor f) {
    return f >= Floor::kAvxBranch;
}

// The floors every ratio is taken against, per kind: every form that may be
// the fastest on this machine. Each measurement round runs all of them over
// the frames it measured, and a ratio divides by the smallest sum of its
// kind, so no calibration picks a floor and a slower floor can only lose.
// Without AVX they are kPackedBranch and the plain loop. With AVX the
// 128-bit filter forms are left out, as kAvxGroups takes the same
// recurrence steps with less work beside them, and all line-only forms run
// (they cost little). kScalar and kPacked never count: the flush sits on
// their recurrence. BM_Floor shows every form against these floors, so a
// form that beat them would show below 1.
std::vector<Floor> filterFloors() {
    if (haveAvx()) return {Floor::kAvxGroups, Floor::kAvxRounded};
    return {Floor::kPackedBranch};
}
std::vector<Floor> lineFloors() {
    if (haveAvx())
        return {Floor::kLineScalar, Floor::kLineOnly, Floor::kAvxLinePlain, Floor::kAvxLineVectors};
    return {Floor::kLineScalar};
}
// The filter floors with twice the work, for kTwice.
std::vector<Floor> twiceFloors() {
    if (haveAvx()) return {Floor::kAvxGroupsTwice, Floor::kAvxRoundedTwice};
    return {Floor::kTwice};
}

// The read position trails the write position by this many samples: more
// than a four-frame group, so a group's reads never see its own writes.
constexpr std::int32_t kDelay = 199;

class FloorKernel {
public:
    explicit FloorKernel(Floor f)
        : form(f),
          length(DelayLine::lengthFor(400, kRate)),
          left(static_cast<std::size_t>(length), 0.0f),
          right(static_cast<std::size_t>(length), 0.0f),
          inL(noise(kFloorBlock, 11)),
          inR(noise(kFloorBlock, 12)) {
        BiquadFilter filter;
        filter.calcCoefficients(2956.0f, 0.88f, kRate, BiquadFilter::kLowPass);
        filter.snapshot(c);
        readPos = length - kDelay;
    }

    void run(std::int32_t frames) {
        std::int32_t w = writePos, rd = readPos, done = 0;
        while (done < frames) {
            const std::int32_t n = std::min(
                {frames - done, length - w, length - rd, kFloorBlock - done % kFloorBlock});
            const std::int32_t at = done % kFloorBlock;
            switch (form) {
                case Floor::kScalar: scalar(w, rd, at, n); break;
                case Floor::kPacked: packed<false>(w, rd, at, n); break;
                case Floor::kPackedBranch: packed<true>(w, rd, at, n); break;
                case Floor::kLineOnly: lineOnly(w, rd, at, n); break;
                case Floor::kLineScalar: lineScalar(w, rd, at, n); break;
                case Floor::kTwice: packed<true, true>(w, rd, at, n); break;
#if FLANGER_BENCH_AVX
                case Floor::kAvxBranch: packedAvx(w, rd, at, n); break;
                case Floor::kAvxGroups: groups<false>(w, rd, at, n); break;
                case Floor::kAvxRounded: groups<true>(w, rd, at, n); break;
                case Floor::kAvxLinePlain: lineScalarAvx(w, rd, at, n); break;
                case Floor::kAvxLineVectors: lineOnlyAvx(w, rd, at, n); break;
                case Floor::kAvxGroupsTwice: groups<false, true>(w, rd, at, n); break;
                case Floor::kAvxRoundedTwice: groups<true, true>(w, rd, at, n); break;
#else
                default: std::abort();
#endif
            }
            w += n;
            if (w == length) w = 0;
            rd += n;
            if (rd == length) rd = 0;
            done += n;
        }
        writePos = w;
        readPos = rd;
        benchmark::DoNotOptimize(left.data());
        benchmark::DoNotOptimize(right.data());
    }

    // The forms with twice the work must compute the same lines twice.
    bool sameLines(const FloorKernel& o) const {
        const bool twice = form == Floor::kTwice || form == Floor::kAvxGroupsTwice ||
                           form == Floor::kAvxRoundedTwice;
        return left == o.left && right == o.right &&
               (!twice || (left2 == o.left && right2 == o.right));
    }

private:
    static constexpr double kFeedback = 0.87;

    void scalar(std::int32_t w, std::int32_t rd, std::int32_t at, std::int32_t n) {
        float* lw = left.data() + w;
        const float* lr = left.data() + rd;
        float* rw = right.data() + w;
        const float* rr = right.data() + rd;
        const float* xl = inL.data() + at;
        const float* xr = inR.data() + at;
        const BiquadFilter::Coefficients k = c;
        History hl = l, hr = r;
        for (std::int32_t i = 0; i < n; ++i) {
            const float dl = lr[i];
            const float dr = rr[i];
            const float yl = BiquadFilter::step(k, dl, hl.x0, hl.x1, hl.y0, hl.y1);
            const float yr = BiquadFilter::step(k, dr, hr.x0, hr.x1, hr.y0, hr.y1);
            hl = {dl, hl.x0, yl, hl.y0};
            hr = {dr, hr.x0, yr, hr.y0};
            lw[i] = static_cast<float>(static_cast<double>(xl[i]) + yl * kFeedback);
            rw[i] = static_cast<float>(static_cast<double>(xr[i]) + yr * kFeedback);
        }
        l = hl;
        r = hr;
    }

    // kTwice runs a second, independent set of lines and histories in the
    // same loop: twice the floor's work, to show how much of the floor is
    // latency the rest of a chain could hide under.
    template <bool kBranch, bool kTwice = false>
    void packed(std::int32_t w, std::int32_t rd, std::int32_t at, std::int32_t n) {
        packedSteps<kBranch, kTwice>(w, rd, at, n);
    }

    // Inlined into packed and packedAvx, so the same steps come out in SSE2
    // and in AVX encoding.
    template <bool kBranch, bool kTwice>
    [[gnu::always_inline]] inline void packedSteps(std::int32_t w, std::int32_t rd, std::int32_t at,
                                                   std::int32_t n) {
        const float* xl = inL.data() + at;
        const float* xr = inR.data() + at;
        const __m128d b0 = _mm_set1_pd(c.b0), b1 = _mm_set1_pd(c.b1), b2 = _mm_set1_pd(c.b2);
        const __m128d a1 = _mm_set1_pd(c.a1), a2 = _mm_set1_pd(c.a2);
        const __m128d fb = _mm_set1_pd(kFeedback);
        const __m128i exponent = _mm_set1_epi32(0x7F800000);
        struct Pair {
            float* lw;
            const float* lr;
            float* rw;
            const float* rr;
            __m128d x0, x1, y0, y1;
        };
        constexpr int kPairs = kTwice ? 2 : 1;
        Pair p[kPairs];
        for (int k = 0; k < kPairs; ++k) {
            std::vector<float>& lv = k == 0 ? left : left2;
            std::vector<float>& rv = k == 0 ? right : right2;
            const History& hl = k == 0 ? l : l2;
            const History& hr = k == 0 ? r : r2;
            p[k] = {lv.data() + w,
                    lv.data() + rd,
                    rv.data() + w,
                    rv.data() + rd,
                    _mm_set_pd(hr.x0, hl.x0),
                    _mm_set_pd(hr.x1, hl.x1),
                    _mm_set_pd(hr.y0, hl.y0),
                    _mm_set_pd(hr.y1, hl.y1)};
        }
        for (std::int32_t i = 0; i < n; ++i) {
            const __m128d x =
                _mm_cvtps_pd(_mm_unpacklo_ps(_mm_load_ss(xl + i), _mm_load_ss(xr + i)));
            for (Pair& q : p) {
                const __m128d d =
                    _mm_cvtps_pd(_mm_unpacklo_ps(_mm_load_ss(q.lr + i), _mm_load_ss(q.rr + i)));
                const __m128d sum = _mm_sub_pd(
                    _mm_sub_pd(_mm_add_pd(_mm_add_pd(_mm_mul_pd(b0, d), _mm_mul_pd(b1, q.x0)),
                                          _mm_mul_pd(b2, q.x1)),
                               _mm_mul_pd(a1, q.y0)),
                    _mm_mul_pd(a2, q.y1));
                __m128 y = _mm_cvtpd_ps(sum);
                const __m128i bits = _mm_castps_si128(y);
                const __m128i zero =
                    _mm_cmpeq_epi32(_mm_and_si128(bits, exponent), _mm_setzero_si128());
                if constexpr (kBranch) {
                    if ((_mm_movemask_ps(_mm_castsi128_ps(zero)) & 3) != 0)
                        y = _mm_castsi128_ps(_mm_andnot_si128(zero, bits));
                } else {
                    y = _mm_castsi128_ps(_mm_andnot_si128(zero, bits));
                }
                q.x1 = q.x0;
                q.x0 = d;
                q.y1 = q.y0;
                q.y0 = _mm_cvtps_pd(y);
                const __m128 out = _mm_cvtpd_ps(_mm_add_pd(x, _mm_mul_pd(q.y0, fb)));
                _mm_store_ss(q.lw + i, out);
                _mm_store_ss(q.rw + i, _mm_shuffle_ps(out, out, 1));
            }
        }
        for (int k = 0; k < kPairs; ++k) {
            History& hl = k == 0 ? l : l2;
            History& hr = k == 0 ? r : r2;
            hl = {lane(p[k].x0, 0), lane(p[k].x1, 0), lane(p[k].y0, 0), lane(p[k].y1, 0)};
            hr = {lane(p[k].x0, 1), lane(p[k].x1, 1), lane(p[k].y0, 1), lane(p[k].y1, 1)};
        }
    }

    static float lane(__m128d v, int k) {
        double d[2];
        _mm_storeu_pd(d, v);
        return static_cast<float>(d[k]);
    }

    static void lineChannel(float* out, const float* line, const float* x, std::int32_t n) {
        const __m128d fb = _mm_set1_pd(kFeedback);
        std::int32_t i = 0;
        for (; i + 4 <= n; i += 4) {
            const __m128 d = _mm_loadu_ps(line + i), v = _mm_loadu_ps(x + i);
            const __m128d lo = _mm_add_pd(_mm_cvtps_pd(v), _mm_mul_pd(_mm_cvtps_pd(d), fb));
            const __m128d hi = _mm_add_pd(_mm_cvtps_pd(_mm_movehl_ps(v, v)),
                                          _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(d, d)), fb));
            _mm_storeu_ps(out + i, _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)));
        }
        for (; i < n; ++i)
            out[i] = static_cast<float>(static_cast<double>(x[i]) + line[i] * kFeedback);
    }

    // The delay exceeds any chunk's reach into its own writes only when the
    // chunk is shorter; longer chunks go in pieces.
    template <typename Channel>
    void linePieces(std::int32_t w, std::int32_t rd, std::int32_t at, std::int32_t n,
                    Channel channel) {
        const std::int32_t gap = w - rd < 0 ? w - rd + length : w - rd;
        for (std::int32_t done = 0; done < n;) {
            const std::int32_t m = std::min(n - done, gap);
            channel(left.data() + w + done, left.data() + rd + done, inL.data() + at + done, m);
            channel(right.data() + w + done, right.data() + rd + done, inR.data() + at + done, m);
            done += m;
        }
    }

    void lineOnly(std::int32_t w, std::int32_t rd, std::int32_t at, std::int32_t n) {
        linePieces(w, rd, at, n, lineChannel);
    }

    // Inlined into lineScalar and lineScalarAvx: the compiler vectorises
    // the same loop for either.
    [[gnu::always_inline]] inline void lineSteps(std::int32_t w, std::int32_t rd, std::int32_t at,
                                                 std::int32_t n) {
        float* lw = left.data() + w;
        const float* lr = left.data() + rd;
        float* rw = right.data() + w;
        const float* rr = right.data() + rd;
        const float* xl = inL.data() + at;
        const float* xr = inR.data() + at;
        for (std::int32_t i = 0; i < n; ++i) {
            lw[i] = static_cast<float>(static_cast<double>(xl[i]) + lr[i] * kFeedback);
            rw[i] = static_cast<float>(static_cast<double>(xr[i]) + rr[i] * kFeedback);
        }
    }

    void lineScalar(std::int32_t w, std::int32_t rd, std::int32_t at, std::int32_t n) {
        lineSteps(w, rd, at, n);
    }

#if FLANGER_BENCH_AVX
    [[gnu::target("avx")]] void packedAvx(std::int32_t w, std::int32_t rd, std::int32_t at,
                                          std::int32_t n) {
        packedSteps<true, false>(w, rd, at, n);
    }

    [[gnu::target("avx")]] void lineScalarAvx(std::int32_t w, std::int32_t rd, std::int32_t at,
                                              std::int32_t n) {
        lineSteps(w, rd, at, n);
    }

    [[gnu::target("avx")]] static void lineChannelAvx(float* out, const float* line, const float* x,
                                                      std::int32_t n) {
        const __m256d fb = _mm256_set1_pd(kFeedback);
        std::int32_t i = 0;
        for (; i + 4 <= n; i += 4)
            _mm_storeu_ps(out + i,
                          _mm256_cvtpd_ps(_mm256_add_pd(
                              _mm256_cvtps_pd(_mm_loadu_ps(x + i)),
                              _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(line + i)), fb))));
        for (; i < n; ++i)
            out[i] = static_cast<float>(static_cast<double>(x[i]) + line[i] * kFeedback);
    }

    [[gnu::target("avx")]] void lineOnlyAvx(std::int32_t w, std::int32_t rd, std::int32_t at,
                                            std::int32_t n) {
        linePieces(w, rd, at, n, lineChannelAvx);
    }

    // How a grouped form's steps round: kConvert and kInteger are the fast
    // steps, kExact the step a group is taken again with when a fast step's
    // result may be wrong.
    enum class Rounding {
        kExact,    // the conversions to float and back, then the flush
        kConvert,  // the conversions, no flush
        // The double kept: add half a float step (bit 28 of the 52 fraction
        // bits) and clear the 29 bits below the float's 23, rounding to
        // nearest with ties away from zero, and with no float range.
        kInteger
    };

    // One recurrence step on both channels from its feed-forward part t:
    // y = t - a1 y0 - a2 y1, rounded to float precision. Histories move on;
    // the sum before rounding is kept for the check (see groups).
    template <Rounding kHow>
    [[gnu::target("avx"), gnu::always_inline]] static inline __m128d groupStep(
        __m128d t, __m128d a1, __m128d a2, __m128d& y0, __m128d& y1, __m128d& sum) {
        sum = _mm_sub_pd(_mm_sub_pd(t, _mm_mul_pd(a1, y0)), _mm_mul_pd(a2, y1));
        __m128d y;
        if constexpr (kHow == Rounding::kInteger) {
            const __m128i half = _mm_set1_epi64x(std::int64_t{1} << 28);
            const __m128i keep = _mm_set1_epi64x(~((std::int64_t{1} << 29) - 1));
            y = _mm_castsi128_pd(_mm_and_si128(_mm_add_epi64(_mm_castpd_si128(sum), half), keep));
        } else {
            __m128 f = _mm_cvtpd_ps(sum);
            if constexpr (kHow == Rounding::kExact) {
                const __m128i bits = _mm_castps_si128(f);
                const __m128i zero = _mm_cmpeq_epi32(
                    _mm_and_si128(bits, _mm_set1_epi32(0x7F800000)), _mm_setzero_si128());
                f = _mm_castsi128_ps(_mm_andnot_si128(zero, bits));
            }
            y = _mm_cvtps_pd(f);
        }
        y1 = y0;
        y0 = y;
        return y;
    }

    // (lo, hi) as one 256-bit vector.
    [[gnu::target("avx"), gnu::always_inline]] static inline __m256d pair(__m128d lo, __m128d hi) {
        return _mm256_insertf128_pd(_mm256_castpd128_pd256(lo), hi, 1);
    }

    // kAvxGroups and kAvxRounded: four frames at a time. The feed-forward
    // parts, the feedback and the stores for all four run in 256-bit
    // vectors; the recurrence steps one frame at a time with both channels
    // in the lanes, the fast way (kInteger: kAvxRounded). Then one test for
    // the group: any result below the smallest normal float (to be flushed;
    // also NaN), and for kInteger any that differs from the conversions'
    // (a tie, or an overflow). Such a group is taken again with the exact
    // step; with noise in the lines that is only the silent start.
    template <bool kInteger, bool kTwice = false>
    [[gnu::target("avx")]] void groups(std::int32_t w, std::int32_t rd, std::int32_t at,
                                       std::int32_t n) {
        constexpr Rounding kFast = kInteger ? Rounding::kInteger : Rounding::kConvert;
        const __m256d b0 = _mm256_set1_pd(c.b0), b1 = _mm256_set1_pd(c.b1),
                      b2 = _mm256_set1_pd(c.b2), fb = _mm256_set1_pd(kFeedback);
        const __m128d a1 = _mm_set1_pd(c.a1), a2 = _mm_set1_pd(c.a2);
        const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(INT64_MAX));
        const __m256d smallestNormal = _mm256_set1_pd(0x1p-126);
        const float* xl = inL.data() + at;
        const float* xr = inR.data() + at;
        struct Set {
            float* lw;
            const float* lr;
            float* rw;
            const float* rr;
            // Inputs of the two frames before: (left, right, left, right).
            __m256d before;
            __m128d y0, y1;
        };
        constexpr int kSets = kTwice ? 2 : 1;
        Set p[kSets];
        for (int j = 0; j < kSets; ++j) {
            std::vector<float>& lv = j == 0 ? left : left2;
            std::vector<float>& rv = j == 0 ? right : right2;
            const History& hl = j == 0 ? l : l2;
            const History& hr = j == 0 ? r : r2;
            p[j] = {lv.data() + w,
                    lv.data() + rd,
                    rv.data() + w,
                    rv.data() + rd,
                    _mm256_set_pd(hr.x0, hl.x0, hr.x1, hl.x1),
                    _mm_set_pd(hr.y0, hl.y0),
                    _mm_set_pd(hr.y1, hl.y1)};
        }
        std::int32_t i = 0;
        for (; i + 4 <= n; i += 4) {
            // Feed-forward parts of frames i to i + 3: b0 x + b1 x0 + b2 x1
            // in that order, as in every form; t[j][h] holds frames 2h and
            // 2h + 1, both channels.
            __m256d t[kSets][2];
            for (int j = 0; j < kSets; ++j) {
                Set& q = p[j];
                const __m128 dl = _mm_loadu_ps(q.lr + i), dr = _mm_loadu_ps(q.rr + i);
                const __m256d d01 = _mm256_cvtps_pd(_mm_unpacklo_ps(dl, dr));
                const __m256d d23 = _mm256_cvtps_pd(_mm_unpackhi_ps(dl, dr));
                t[j][0] = _mm256_add_pd(
                    _mm256_add_pd(_mm256_mul_pd(b0, d01),
                                  _mm256_mul_pd(b1, _mm256_permute2f128_pd(q.before, d01, 0x21))),
                    _mm256_mul_pd(b2, q.before));
                t[j][1] = _mm256_add_pd(
                    _mm256_add_pd(_mm256_mul_pd(b0, d23),
                                  _mm256_mul_pd(b1, _mm256_permute2f128_pd(d01, d23, 0x21))),
                    _mm256_mul_pd(b2, d01));
                q.before = d23;
            }
            // The sets' steps interleaved, so kTwice's two recurrences
            // overlap. Each pair of frames is tested as soon as it is done,
            // so few vectors stay live and the recurrence keeps to registers.
            __m256d y[kSets][2], odd[kSets];
            __m128d y0[kSets], y1[kSets];
            for (int j = 0; j < kSets; ++j) {
                y0[j] = p[j].y0;
                y1[j] = p[j].y1;
                odd[j] = _mm256_setzero_pd();
            }
            for (int h = 0; h < 2; ++h) {
                __m128d ya[kSets], yb[kSets], sa[kSets], sb[kSets];
                for (int j = 0; j < kSets; ++j)
                    ya[j] = groupStep<kFast>(_mm256_castpd256_pd128(t[j][h]), a1, a2, p[j].y0,
                                             p[j].y1, sa[j]);
                for (int j = 0; j < kSets; ++j)
                    yb[j] = groupStep<kFast>(_mm256_extractf128_pd(t[j][h], 1), a1, a2, p[j].y0,
                                             p[j].y1, sb[j]);
                for (int j = 0; j < kSets; ++j) {
                    y[j][h] = pair(ya[j], yb[j]);
                    odd[j] = _mm256_or_pd(odd[j], _mm256_cmp_pd(_mm256_and_pd(y[j][h], magnitude),
                                                                smallestNormal, _CMP_NGE_UQ));
                    if constexpr (kInteger) {
                        const __m128 f = _mm256_cvtpd_ps(pair(sa[j], sb[j]));
                        odd[j] = _mm256_or_pd(
                            odd[j], _mm256_cmp_pd(y[j][h], _mm256_cvtps_pd(f), _CMP_NEQ_UQ));
                    }
                }
            }
            for (int j = 0; j < kSets; ++j) {
                if (_mm256_movemask_pd(odd[j]) != 0) {
                    p[j].y0 = y0[j];
                    p[j].y1 = y1[j];
                    for (int h = 0; h < 2; ++h) {
                        __m128d sum;
                        const __m128d ya = groupStep<Rounding::kExact>(
                            _mm256_castpd256_pd128(t[j][h]), a1, a2, p[j].y0, p[j].y1, sum);
                        const __m128d yb = groupStep<Rounding::kExact>(
                            _mm256_extractf128_pd(t[j][h], 1), a1, a2, p[j].y0, p[j].y1, sum);
                        y[j][h] = pair(ya, yb);
                    }
                }
            }
            const __m128 vl = _mm_loadu_ps(xl + i), vr = _mm_loadu_ps(xr + i);
            const __m256d x01 = _mm256_cvtps_pd(_mm_unpacklo_ps(vl, vr));
            const __m256d x23 = _mm256_cvtps_pd(_mm_unpackhi_ps(vl, vr));
            for (int j = 0; j < kSets; ++j) {
                const __m128 o01 = _mm256_cvtpd_ps(_mm256_add_pd(x01, _mm256_mul_pd(y[j][0], fb)));
                const __m128 o23 = _mm256_cvtpd_ps(_mm256_add_pd(x23, _mm256_mul_pd(y[j][1], fb)));
                _mm_storeu_ps(p[j].lw + i, _mm_shuffle_ps(o01, o23, _MM_SHUFFLE(2, 0, 2, 0)));
                _mm_storeu_ps(p[j].rw + i, _mm_shuffle_ps(o01, o23, _MM_SHUFFLE(3, 1, 3, 1)));
            }
        }
        // Up to three frames left: one at a time, the exact step.
        for (; i < n; ++i) {
            const __m128d x =
                _mm_cvtps_pd(_mm_unpacklo_ps(_mm_load_ss(xl + i), _mm_load_ss(xr + i)));
            for (Set& q : p) {
                const __m128d d =
                    _mm_cvtps_pd(_mm_unpacklo_ps(_mm_load_ss(q.lr + i), _mm_load_ss(q.rr + i)));
                const __m128d x1 = _mm256_castpd256_pd128(q.before);
                const __m128d x0 = _mm256_extractf128_pd(q.before, 1);
                const __m128d t = _mm_add_pd(_mm_add_pd(_mm_mul_pd(_mm256_castpd256_pd128(b0), d),
                                                        _mm_mul_pd(_mm256_castpd256_pd128(b1), x0)),
                                             _mm_mul_pd(_mm256_castpd256_pd128(b2), x1));
                __m128d sum;
                const __m128d y = groupStep<Rounding::kExact>(t, a1, a2, q.y0, q.y1, sum);
                q.before = pair(x0, d);
                const __m128 out =
                    _mm_cvtpd_ps(_mm_add_pd(x, _mm_mul_pd(y, _mm256_castpd256_pd128(fb))));
                _mm_store_ss(q.lw + i, out);
                _mm_store_ss(q.rw + i, _mm_shuffle_ps(out, out, 1));
            }
        }
        for (int j = 0; j < kSets; ++j) {
            History& hl = j == 0 ? l : l2;
            History& hr = j == 0 ? r : r2;
            const __m128d x1 = _mm256_castpd256_pd128(p[j].before);
            const __m128d x0 = _mm256_extractf128_pd(p[j].before, 1);
            hl = {lane(x0, 0), lane(x1, 0), lane(p[j].y0, 0), lane(p[j].y1, 0)};
            hr = {lane(x0, 1), lane(x1, 1), lane(p[j].y0, 1), lane(p[j].y1, 1)};
        }
    }
#endif

    struct History {
        float x0 = 0.0f, x1 = 0.0f, y0 = 0.0f, y1 = 0.0f;
    };
    Floor form;
    BiquadFilter::Coefficients c{};
    std::int32_t length;
    std::vector<float> left, right, inL, inR;
    std::vector<float> left2 = left, right2 = right;
    History l, r, l2, r2;
    std::int32_t writePos = 0;
    std::int32_t readPos = 0;
};

std::vector<FloorKernel> kernels(const std::vector<Floor>& forms) {
    std::vector<FloorKernel> k;
    for (Floor f : forms) k.emplace_back(f);
    return k;
}

// Every filter form must compute the scalar form's samples exactly, and
// every line-only form the plain loop's; a benchmark against a wrong floor
// is worthless, so the run stops. Checked once, before the first
// measurement, over every form this machine runs.
void checkFloors() {
    const auto check = [](Floor reference, std::initializer_list<Floor> forms) {
        FloorKernel expected(reference);
        expected.run(20000);
        for (Floor f : forms) {
            if (needsAvx(f) && !haveAvx()) continue;
            FloorKernel k(f);
            k.run(20000);
            if (!k.sameLines(expected)) {
                std::fprintf(stderr, "floor form %d differs from form %d\n", static_cast<int>(f),
                             static_cast<int>(reference));
                std::exit(1);
            }
        }
    };
    check(Floor::kScalar,
          {Floor::kPacked, Floor::kPackedBranch, Floor::kTwice, Floor::kAvxBranch,
           Floor::kAvxGroups, Floor::kAvxRounded, Floor::kAvxGroupsTwice, Floor::kAvxRoundedTwice});
    check(Floor::kLineScalar, {Floor::kLineOnly, Floor::kAvxLinePlain, Floor::kAvxLineVectors});
}

std::unique_ptr<vsthost::Library> openLibrary(const char* path) {
    std::string error;
    auto l = vsthost::Library::open(path, error);
    if (!l) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    return l;
}

// The flanger, or the companion whose programs sweep the depth.
const vsthost::Library& library(bool sweep = false) {
    static std::unique_ptr<vsthost::Library> flanger = openLibrary(FLANGER_PLUGIN_PATH);
    static std::unique_ptr<vsthost::Library> companion = openLibrary(FLANGER_SWEEP_PATH);
    return sweep ? *companion : *flanger;
}

std::unique_ptr<vsthost::Plugin> startPlugin(int program, std::int32_t block, bool sweep = false) {
    std::string error;
    auto plugin = vsthost::Plugin::create(library(sweep), error);
    if (!plugin) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    plugin->start(kRate, block);
    plugin->setProgram(program);
    return plugin;
}

// The floor kernels of both kinds, shared by every benchmark, and checked
// before the first one runs.
struct Floors {
    std::vector<FloorKernel> filter, line;
};
Floors& floors() {
    static Floors f = [] {
        checkFloors();
        return Floors{kernels(filterFloors()), kernels(lineFloors())};
    }();
    return f;
}

// Each iteration is one round: the body for about 16384 frames, then every
// floor kernel (see filterFloors and lineFloors) for as many frames, each
// timed on its own. Each round gives the ratios of the body's time to the
// smallest floor time of each kind, and the counters are the medians over
// the rounds: load from other processes that comes and goes within a
// benchmark (a round takes a fraction of a millisecond) then spoils only
// the rounds it falls in. A body of several forms (see BM_Floor) runs each
// in turn per round and counts the fastest. Counters:
//   ns_per_frame  CPU ns of this thread per stereo frame
//   floor_ratio   over the filter floor, line_ratio over the line-only floor
template <typename Body>
void measureForms(benchmark::State& state, std::int64_t framesPerCall, std::size_t forms,
                  Body body) {
    Floors& f = floors();
    const std::int64_t calls = std::max<std::int64_t>(1, 16384 / framesPerCall);
    const auto frames = static_cast<std::int32_t>(calls * framesPerCall);
    std::vector<double> bodyNs, filterRatio, lineRatio;
    const auto timed = [](auto&& work) {
        const double t0 = threadNs();
        work();
        return threadNs() - t0;
    };
    for (auto _ : state) {
        double least = 0.0, filter = 0.0, line = 0.0;
        for (std::size_t k = 0; k < forms; ++k) {
            const double t = timed([&] {
                for (std::int64_t c = 0; c < calls; ++c) body(k);
            });
            least = k == 0 ? t : std::min(least, t);
        }
        for (std::size_t k = 0; k < f.filter.size(); ++k) {
            const double t = timed([&] { f.filter[k].run(frames); });
            filter = k == 0 ? t : std::min(filter, t);
        }
        for (std::size_t k = 0; k < f.line.size(); ++k) {
            const double t = timed([&] { f.line[k].run(frames); });
            line = k == 0 ? t : std::min(line, t);
        }
        bodyNs.push_back(least);
        filterRatio.push_back(least / filter);
        lineRatio.push_back(least / line);
    }
    const auto median = [](std::vector<double>& v) {
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    state.counters["ns_per_frame"] = median(bodyNs) / static_cast<double>(frames);
    state.counters["floor_ratio"] = median(filterRatio);
    state.counters["line_ratio"] = median(lineRatio);
}

template <typename Body>
void measure(benchmark::State& state, std::int64_t framesPerCall, Body body) {
    measureForms(state, framesPerCall, 1, [&](std::size_t) { body(); });
}

// A block of noise through one entry, again and again.
void runBlocks(benchmark::State& state, int program, std::int32_t block, bool accumulate,
               bool sweep = false) {
    auto plugin = startPlugin(program, block, sweep);
    std::vector<float> inL = noise(static_cast<std::size_t>(block), 1);
    std::vector<float> inR = noise(static_cast<std::size_t>(block), 2);
    std::vector<float> outL(static_cast<std::size_t>(block)), outR(static_cast<std::size_t>(block));
    float* ins[2] = {inL.data(), inR.data()};
    float* outs[2] = {outL.data(), outR.data()};
    // Fill the lines before timing.
    for (int i = 0; i < 8192 / block + 1; ++i) plugin->processReplacing(ins, outs, block);
    measure(state, block, [&] {
        if (accumulate) {
            // Keeps the sums bounded; the fill is part of a host's work too.
            std::fill(outL.begin(), outL.end(), 0.0f);
            std::fill(outR.begin(), outR.end(), 0.0f);
            plugin->process(ins, outs, block);
        } else {
            plugin->processReplacing(ins, outs, block);
        }
        benchmark::DoNotOptimize(outL.data());
        benchmark::DoNotOptimize(outR.data());
    });
}

// Every floor form against the floors. kTwice is the floor's work twice
// over: each filter floor's form with twice the work, the fastest of them
// (1 would mean the floor is all latency, 2 that nothing overlaps).
void BM_Floor(benchmark::State& state) {
    const auto form = static_cast<Floor>(state.range(0));
    std::vector<FloorKernel> forms =
        kernels(form == Floor::kTwice ? twiceFloors() : std::vector<Floor>{form});
    measureForms(state, kFloorBlock, forms.size(),
                 [&](std::size_t k) { forms[k].run(kFloorBlock); });
    // No commas: scripts/bench.sh reads the CSV output.
    static const char* const kNames[kListedForms] = {
        "filter: scalar",
        "filter: packed",
        "filter: packed + flush branch",
        "line only: hand-written vectors",
        "line only: plain loop",
        "filter: the floor's work twice over",
        "filter: packed + flush branch in AVX encoding",
        "filter: AVX four-frame groups",
        "filter: AVX four-frame groups rounding in integers",
        "line only: plain loop compiled for AVX",
        "line only: hand-written 256-bit vectors"};
    const std::vector<Floor> filter = filterFloors(), line = lineFloors();
    const bool floor = std::find(filter.begin(), filter.end(), form) != filter.end() ||
                       std::find(line.begin(), line.end(), form) != line.end();
    state.SetLabel(std::string(kNames[state.range(0)]) + (floor ? " (a floor)" : ""));
}
// The forms this machine runs.
void floorForms(benchmark::internal::Benchmark* b) {
    for (int f = 0; f < kListedForms; ++f)
        if (!needsAvx(static_cast<Floor>(f)) || haveAvx()) b->Arg(f);
}
BENCHMARK(BM_Floor)->Apply(floorForms)->ArgName("form");

void BM_Program(benchmark::State& state) {
    runBlocks(state, static_cast<int>(state.range(0)), 512, false);
}
BENCHMARK(BM_Program)->DenseRange(0, 19);

// The companion with its program's sweep (a control point every 32 frames,
// the depth changing at each), the host giving no time, against the flanger
// with the same program on the same signal: both run in every round (which
// goes first alternates), so load that comes and goes touches both alike.
// Counters: ns_per_frame (the companion's) and flanger_ratio, the median of
// the rounds' companion / flanger times.
void BM_Sweep(benchmark::State& state) {
    constexpr std::int32_t kBlock = 512;
    constexpr int kCalls = 16384 / kBlock;
    const int program = static_cast<int>(state.range(0));
    std::unique_ptr<vsthost::Plugin> plugins[2] = {startPlugin(program, kBlock, true),
                                                   startPlugin(program, kBlock, false)};
    std::vector<float> inL = noise(kBlock, 1), inR = noise(kBlock, 2);
    std::vector<float> outL(kBlock), outR(kBlock);
    float* ins[2] = {inL.data(), inR.data()};
    float* outs[2] = {outL.data(), outR.data()};
    auto run = [&](vsthost::Plugin& p) {
        const double t0 = threadNs();
        for (int c = 0; c < kCalls; ++c) {
            p.processReplacing(ins, outs, kBlock);
            benchmark::DoNotOptimize(outL.data());
            benchmark::DoNotOptimize(outR.data());
        }
        return threadNs() - t0;
    };
    for (auto& p : plugins)
        for (int i = 0; i < 8192 / kBlock + 1; ++i) p->processReplacing(ins, outs, kBlock);
    std::vector<double> ns, ratios;
    bool sweepFirst = true;
    for (auto _ : state) {
        double t[2];
        if (sweepFirst) {
            t[0] = run(*plugins[0]);
            t[1] = run(*plugins[1]);
        } else {
            t[1] = run(*plugins[1]);
            t[0] = run(*plugins[0]);
        }
        sweepFirst = !sweepFirst;
        ns.push_back(t[0]);
        ratios.push_back(t[0] / t[1]);
    }
    const auto median = [](std::vector<double>& v) {
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    state.counters["ns_per_frame"] = median(ns) / (kCalls * kBlock);
    state.counters["flanger_ratio"] = median(ratios);
}
BENCHMARK(BM_Sweep)->Arg(0)->Arg(1)->Arg(11)->ArgName("program");

void BM_BlockSize(benchmark::State& state) {
    runBlocks(state, static_cast<int>(state.range(0)), static_cast<std::int32_t>(state.range(1)),
              false);
}
BENCHMARK(BM_BlockSize)->ArgsProduct({{1, 11}, {1, 32, 512, 4096}})->ArgNames({"program", "block"});

// From a host whose audio thread already flushes subnormals (flush-to-zero
// and denormals-are-zero set, as many hosts do) and has done inexact
// arithmetic of its own (the precision flag set): the entry's guard then has
// nothing to change.
void BM_FlushingHost(benchmark::State& state) {
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(saved | 0x8040u | 0x0020u);
    runBlocks(state, static_cast<int>(state.range(0)), static_cast<std::int32_t>(state.range(1)),
              false);
    _mm_setcsr(saved);
}
BENCHMARK(BM_FlushingHost)->ArgsProduct({{1}, {1, 4096}})->ArgNames({"program", "block"});

// The processing entries' mode switch alone, as a host that does not flush
// gets it on every call (frame/DenormalGuard.h: the control register read,
// written and written back), around one multiply-add of work: what a block
// pays before and after its frames. One switch counts as one frame.
void BM_ModeSwitch(benchmark::State& state) {
    float x = 1.0f;
    measure(state, 1, [&] {
        const DenormalGuard guard;
        x = x * 0.5f + 0.25f;
        benchmark::DoNotOptimize(x);
    });
}
BENCHMARK(BM_ModeSwitch);

void BM_Process(benchmark::State& state) {
    runBlocks(state, static_cast<int>(state.range(0)), 512, true);
}
BENCHMARK(BM_Process)->Arg(1)->Arg(11)->ArgName("program");

// Program 0 with FeedBack 0.97 and no filter: after a noise burst the main
// lines decay into subnormal values and stay there (0.97 times the smallest
// subnormals rounds back to themselves), so silence keeps producing
// subnormal arithmetic unless the processing entry flushes it.
void BM_DenormalTail(benchmark::State& state) {
    constexpr std::int32_t kBlock = 512;
    auto plugin = startPlugin(0, kBlock);
    plugin->setParameter(1, 0.97f);
    std::vector<float> inL = noise(kBlock, 3), inR = noise(kBlock, 4);
    std::vector<float> outL(kBlock), outR(kBlock);
    float* ins[2] = {inL.data(), inR.data()};
    float* outs[2] = {outL.data(), outR.data()};
    for (int i = 0; i < 4; ++i) plugin->processReplacing(ins, outs, kBlock);
    std::fill(inL.begin(), inL.end(), 0.0f);
    std::fill(inR.begin(), inR.end(), 0.0f);
    // About 22 s of silence: long enough for the lines to reach the
    // subnormal range without flushing.
    for (int i = 0; i < 2000; ++i) plugin->processReplacing(ins, outs, kBlock);
    measure(state, kBlock, [&] {
        plugin->processReplacing(ins, outs, kBlock);
        benchmark::DoNotOptimize(outL.data());
    });
    int subnormal = 0;
    for (float v : outL) subnormal += (v != 0.0f && std::abs(v) < 1.17549435e-38f) ? 1 : 0;
    // Shows that the tail really is subnormal (unless the entry flushes).
    state.SetLabel("subnormal outputs " + std::to_string(100 * subnormal / kBlock) + "%");
}
BENCHMARK(BM_DenormalTail);

}  // namespace

BENCHMARK_MAIN();
