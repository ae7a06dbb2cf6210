// Cost of the signal chain per stereo frame, through the built plug-in's
// processing entries, next to a floor kernel: the two channels' bare filter
// recurrence inside a feedback line, interleaved. Every benchmark reports
//   ns_per_frame  CPU nanoseconds of this thread per stereo frame
//   floor_ratio   ns_per_frame over the floor kernel's, the floor measured
//                 in this process just before the benchmark runs
#include <benchmark/benchmark.h>
#include <time.h>
#include <xmmintrin.h>

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

// The floor: per channel, read the line, one filter step exactly as the
// effect's filter takes it (double sum rounded once, exponent-bit flush),
// write input plus fed-back sample; both channels interleaved. Positions
// are split into chunks that stay inside the line, like the effect's.
class FloorKernel {
public:
    FloorKernel()
        : length(DelayLine::lengthFor(400, kRate)),
          left(static_cast<std::size_t>(length), 0.0f),
          right(static_cast<std::size_t>(length), 0.0f),
          inL(noise(kFloorBlock, 11)),
          inR(noise(kFloorBlock, 12)) {
        filter.calcCoefficients(2956.0f, 0.88f, kRate, BiquadFilter::kLowPass);
        readPos = length - 199;
    }

    void run(std::int32_t frames) {
        const double fb = 0.87;
        // Histories in locals: stores into the lines cannot touch them.
        History hl = l, hr = r;
        std::int32_t w = writePos, rd = readPos, done = 0;
        while (done < frames) {
            const std::int32_t n = std::min(
                {frames - done, length - w, length - rd, kFloorBlock - done % kFloorBlock});
            float* lw = left.data() + w;
            const float* lr = left.data() + rd;
            float* rw = right.data() + w;
            const float* rr = right.data() + rd;
            const float* xl = inL.data() + done % kFloorBlock;
            const float* xr = inR.data() + done % kFloorBlock;
            for (std::int32_t i = 0; i < n; ++i) {
                const float dl = lr[i];
                const float dr = rr[i];
                const float yl = filter.step(dl, hl.x0, hl.x1, hl.y0, hl.y1);
                const float yr = filter.step(dr, hr.x0, hr.x1, hr.y0, hr.y1);
                hl = {dl, hl.x0, yl, hl.y0};
                hr = {dr, hr.x0, yr, hr.y0};
                lw[i] = static_cast<float>(static_cast<double>(xl[i]) + yl * fb);
                rw[i] = static_cast<float>(static_cast<double>(xr[i]) + yr * fb);
            }
            w += n;
            if (w == length) w = 0;
            rd += n;
            if (rd == length) rd = 0;
            done += n;
        }
        l = hl;
        r = hr;
        writePos = w;
        readPos = rd;
        benchmark::DoNotOptimize(left.data());
        benchmark::DoNotOptimize(right.data());
    }

    // Mean CPU ns per frame over about 7 ms, the best of three such runs.
    double nsPerFrame() {
        double best = 1e30;
        for (int round = 0; round < 3; ++round) {
            std::int64_t frames = 0;
            const double start = threadNs();
            double now = start;
            while (now - start < 7e6) {
                run(kFloorBlock);
                frames += kFloorBlock;
                now = threadNs();
            }
            const double ns = now - start;
            best = std::min(best, ns / static_cast<double>(frames));
        }
        return best;
    }

private:
    struct History {
        float x0 = 0.0f, x1 = 0.0f, y0 = 0.0f, y1 = 0.0f;
    };
    BiquadFilter filter;
    std::int32_t length;
    std::vector<float> left, right, inL, inR;
    History l, r;
    std::int32_t writePos = 0;
    std::int32_t readPos = 0;
};

double floorNsPerFrame() {
    static FloorKernel kernel;
    return kernel.nsPerFrame();
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

// Times the loop itself and sets both counters.
template <typename Body>
void measure(benchmark::State& state, std::int64_t framesPerIteration, Body body) {
    const double floor = floorNsPerFrame();
    const double start = threadNs();
    for (auto _ : state) body();
    const double ns = threadNs() - start;
    const double perFrame =
        ns / static_cast<double>(state.iterations()) / static_cast<double>(framesPerIteration);
    state.counters["ns_per_frame"] = perFrame;
    state.counters["floor_ratio"] = perFrame / floor;
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

void BM_Floor(benchmark::State& state) {
    FloorKernel kernel;
    measure(state, kFloorBlock, [&] { kernel.run(kFloorBlock); });
}
BENCHMARK(BM_Floor);

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
