// Cost of the signal chain per stereo frame, through the built plug-in's
// processing entries, next to two floor kernels measured in the same rounds
// (see measure): both channels' exact filter recurrence inside a feedback
// line, and the feedback line alone.
#include <benchmark/benchmark.h>
#include <emmintrin.h>
#include <time.h>

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

// The floors: per channel, read a 400-sample feedback line, take one exact
// filter step on the delayed sample (the double-precision sum of the
// effect's filter, rounded once to float, exponent-bit flush) and write the
// input plus the fed-back sample, rounded once. The line-only floor drops
// the filter step. Positions are split into chunks that stay inside the
// line, like the effect's. Every form below computes the same samples bit
// for bit (checked before the benchmarks run); the fastest of them is the
// floor the chain is measured against:
//   kScalar        each channel in scalar doubles, histories in locals,
//                  branch-free flush (the and-not of the exponent test)
//   kPacked        both channels in the two lanes of SSE2 vectors,
//                  histories widened in registers, branch-free flush
//   kPackedBranch  as kPacked, but the flush is a branch on the exponent
//                  test, off the recurrence: results are normal floats
//                  nearly always, so the predictor always gets it right
// The line-only floor runs four samples of a channel per vector (the delay
// of 199 samples is far longer than a vector).
// kLineScalar is the line-only floor one sample of each channel at a time.
// kTwice is kPackedBranch with twice the work (see packed).
enum class Floor { kScalar, kPacked, kPackedBranch, kLineOnly, kLineScalar, kTwice };

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
        readPos = length - 199;
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

    bool sameLines(const FloorKernel& o) const { return left == o.left && right == o.right; }

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

    void lineOnly(std::int32_t w, std::int32_t rd, std::int32_t at, std::int32_t n) {
        // The delay (199) exceeds any chunk's reach into its own writes
        // only when the chunk is shorter; longer chunks go in pieces.
        const std::int32_t gap = w - rd < 0 ? w - rd + length : w - rd;
        for (std::int32_t done = 0; done < n;) {
            const std::int32_t m = std::min(n - done, gap);
            lineChannel(left.data() + w + done, left.data() + rd + done, inL.data() + at + done, m);
            lineChannel(right.data() + w + done, right.data() + rd + done, inR.data() + at + done,
                        m);
            done += m;
        }
    }

    void lineScalar(std::int32_t w, std::int32_t rd, std::int32_t at, std::int32_t n) {
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

// The floors: the fastest filter form and the fastest line-only form (the
// plain loop, which the compiler vectorises better than the hand-written
// one). BM_Floor shows every form against them.
constexpr Floor kFilterFloor = Floor::kPackedBranch;
constexpr Floor kLineFloor = Floor::kLineScalar;

// Every filter form must compute the scalar form's samples exactly, and the
// line-only form the plain loop's; a benchmark against a wrong floor is
// worthless, so the run stops. Checked once, before the first measurement.
void checkFloors() {
    FloorKernel reference(Floor::kScalar);
    reference.run(20000);
    for (Floor f : {Floor::kPacked, Floor::kPackedBranch, Floor::kTwice}) {
        FloorKernel k(f);
        k.run(20000);
        if (!k.sameLines(reference)) {
            std::fprintf(stderr, "floor form %d differs from the scalar form\n",
                         static_cast<int>(f));
            std::exit(1);
        }
    }
    FloorKernel plain(Floor::kLineScalar), vector(Floor::kLineOnly);
    plain.run(20000);
    vector.run(20000);
    if (!vector.sameLines(plain)) {
        std::fprintf(stderr, "the vector line-only floor differs from the plain loop\n");
        std::exit(1);
    }
}

const vsthost::Library& library() {
    static std::unique_ptr<vsthost::Library> lib = [] {
        std::string error;
        auto l = vsthost::Library::open(FLANGER_PLUGIN_PATH, error);
        if (!l) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        return l;
    }();
    return *lib;
}

std::unique_ptr<vsthost::Plugin> startPlugin(int program, std::int32_t block) {
    std::string error;
    auto plugin = vsthost::Plugin::create(library(), error);
    if (!plugin) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    plugin->start(kRate, block);
    plugin->setProgram(program);
    return plugin;
}

// Each iteration is one round: the body for about 16384 frames, then both
// floor kernels for as many frames, each timed on its own. Ratios are the
// sums' ratios, so load from other processes that changes over a run
// weighs on the body and the floors alike. Counters:
//   ns_per_frame  CPU ns of this thread per stereo frame
//   floor_ratio   over the filter floor, line_ratio over the line-only floor
template <typename Body>
void measure(benchmark::State& state, std::int64_t framesPerCall, Body body) {
    static const bool floorsChecked = (checkFloors(), true);
    (void)floorsChecked;
    static FloorKernel filterFloor(kFilterFloor), lineFloor(kLineFloor);
    const std::int64_t calls = std::max<std::int64_t>(1, 16384 / framesPerCall);
    const auto frames = static_cast<std::int32_t>(calls * framesPerCall);
    double bodyNs = 0.0, filterNs = 0.0, lineNs = 0.0;
    for (auto _ : state) {
        const double t0 = threadNs();
        for (std::int64_t c = 0; c < calls; ++c) body();
        const double t1 = threadNs();
        filterFloor.run(frames);
        const double t2 = threadNs();
        lineFloor.run(frames);
        const double t3 = threadNs();
        bodyNs += t1 - t0;
        filterNs += t2 - t1;
        lineNs += t3 - t2;
    }
    state.counters["ns_per_frame"] =
        bodyNs / static_cast<double>(state.iterations()) / static_cast<double>(frames);
    state.counters["floor_ratio"] = bodyNs / filterNs;
    state.counters["line_ratio"] = bodyNs / lineNs;
}

// A block of noise through one entry, again and again.
void runBlocks(benchmark::State& state, int program, std::int32_t block, bool accumulate) {
    auto plugin = startPlugin(program, block);
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

// Every floor form; the filter floor is the fastest filter form.
void BM_Floor(benchmark::State& state) {
    FloorKernel kernel(static_cast<Floor>(state.range(0)));
    measure(state, kFloorBlock, [&] { kernel.run(kFloorBlock); });
    // No commas: scripts/bench.sh reads the CSV output.
    static const char* const kNames[] = {"filter: scalar",
                                         "filter: packed",
                                         "filter: packed + flush branch (the floor)",
                                         "line only: hand-written vectors",
                                         "line only: plain loop (the line floor)",
                                         "filter: the floor's work twice over"};
    state.SetLabel(kNames[state.range(0)]);
}
BENCHMARK(BM_Floor)->DenseRange(0, 5)->ArgName("form");

void BM_Program(benchmark::State& state) {
    runBlocks(state, static_cast<int>(state.range(0)), 512, false);
}
BENCHMARK(BM_Program)->DenseRange(0, 19);

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
