// The companion with the timeline-locked sweep: Shape Off against the
// flanger through both built binaries, every shape against the render
// tool's --sweep, positions along the host's timeline, and the fallbacks
// for hostile time records and parameter values.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "effect/SweepEffect.h"
#include "effect/SweepStepper.h"
#include "host/VstHost.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr float kRate = 44100.0f;
constexpr VstInt32 kAllTime =
    kVstTransportPlaying | kVstPpqPosValid | kVstTempoValid | kVstTimeSigValid;

std::unique_ptr<vsthost::Library> open(const char* path) {
    std::string error;
    auto lib = vsthost::Library::open(path, error);
    EXPECT_NE(lib, nullptr) << error;
    return lib;
}

// Stereo noise and the host's arrays in one of the layouts hosts use.
enum class Layout { kSeparate, kInPlace, kAdding, kTied };

struct Signal {
    std::vector<float> in[2], out[2];
    explicit Signal(int frames) {
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
        for (auto& c : in) {
            c.resize(static_cast<std::size_t>(frames));
            for (float& v : c) v = dist(rng);
        }
        for (auto& c : out) c.assign(static_cast<std::size_t>(frames), 0.0f);
    }
};

// Renders `frames` of noise in the blocks of `pattern` (repeated), the
// host's arrays laid out as `layout`; `between` runs before each block.
template <typename Between>
std::vector<float> render(vsthost::Plugin& p, Layout layout, const std::vector<int>& pattern,
                          int frames, Between&& between) {
    Signal s(frames);
    // Tied: the left output is the right input's array (the right channel
    // reads what the left one wrote), as some hosts chain buffers.
    std::vector<float> tied = s.in[1];
    for (int done = 0, b = 0; done < frames; ++b) {
        const int n = std::min(pattern[b % pattern.size()], frames - done);
        between(done);
        float* ins[2] = {s.in[0].data() + done, s.in[1].data() + done};
        float* outs[2] = {s.out[0].data() + done, s.out[1].data() + done};
        if (layout == Layout::kInPlace) {
            for (int c = 0; c < 2; ++c) std::copy_n(ins[c], n, outs[c]);
            ins[0] = outs[0];
            ins[1] = outs[1];
        }
        if (layout == Layout::kTied) {
            ins[1] = tied.data() + done;
            outs[0] = tied.data() + done;
        }
        if (layout == Layout::kAdding)
            p.process(ins, outs, n);
        else
            p.processReplacing(ins, outs, n);
        if (layout == Layout::kTied) std::copy_n(outs[0], n, s.out[0].data() + done);
        done += n;
    }
    std::vector<float> all = s.out[0];
    all.insert(all.end(), s.out[1].begin(), s.out[1].end());
    return all;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// A host whose time record the test sets before each block.
struct ScriptedHost {
    VstTimeInfo record{};
    bool answer = true;
    vsthost::HostOptions options() {
        vsthost::HostOptions o;
        o.timeInfo = [this](std::int64_t) { return answer ? &record : nullptr; };
        return o;
    }
};

// Shape Off is the flanger bit for bit, for every program and layout,
// whatever the other five say and whatever time the host gives, with
// Flanger Depth automated during the render.
class ShapeOff : public ::testing::TestWithParam<int> {};

TEST_P(ShapeOff, RendersTheFlangerBitForBitInEveryLayout) {
    auto flanger = open(FLANGER_PLUGIN_PATH);
    auto sweep = open(FLANGER_SWEEP_PATH);
    const int program = GetParam();
    for (Layout layout : {Layout::kSeparate, Layout::kInPlace, Layout::kAdding, Layout::kTied}) {
        std::vector<float> results[2];
        for (int which = 0; which < 2; ++which) {
            ScriptedHost host;
            host.record.flags = kAllTime;
            host.record.tempo = 133.0;
            std::string error;
            auto p = vsthost::Plugin::create(which == 0 ? *flanger : *sweep, error, host.options());
            ASSERT_NE(p, nullptr) << error;
            p->start(kRate, 512);
            p->setProgram(program);
            if (which == 1) {
                const float others[] = {0.5f, static_cast<float>(kNaN), 0.9f, 0.1f, 0.7f};
                for (int i = 0; i < 5; ++i) p->setParameter(kSweepSync + i, others[i]);
                p->setParameter(kSweepShape, 0.0f);
            }
            results[which] =
                render(*p, layout, {1, 7, 399, 401, 511, 32, 4096}, 20000, [&](int done) {
                    host.record.samplePos = done * 3.0;
                    if (done > 9000 && done < 10000) p->setParameter(kDepth, 0.31f);
                });
        }
        EXPECT_TRUE(sameBits(results[0], results[1]))
            << "program " << program << " layout " << static_cast<int>(layout);
    }
}
INSTANTIATE_TEST_SUITE_P(EveryProgram, ShapeOff, ::testing::Range(0, kNumPrograms));

// Every shape in free mode from timeline frame 0 equals the render tool's
// --sweep of Flanger Depth through the flanger at control points every 32
// frames; with Sync on, a bar at the tool's tempo is a sweep of that
// period.
TEST(SweepAgainstRenderTool, EveryShapeEqualsTheToolsSweepOfTheFlangerBitForBit) {
    struct Case {
        const char* shape;
        float shapeValue, sync, rate, low, high, phase;
        const char* timing;  // --tempo and --meter for the companion
        double syncSeconds;  // the sweep's period in sync mode, else 0
    };
    const Case cases[] = {
        {"sine", 0.3f, 0.0f, 0.5f, 0.1f, 0.6f, 0.0f, "", 0.0},
        {"triangle", 0.5f, 0.0f, 0.77f, 0.7f, 0.05f, 0.3f, "", 0.0},
        {"saw", 0.7f, 0.0f, 0.61f, 0.02f, 0.9f, 0.95f, "", 0.0},
        {"square", 0.9f, 0.0f, 0.9f, 0.25f, 0.5f, 0.5f, "", 0.0},
        // One bar of 4/4 at 120 bpm: 2 s; two bars of 2/4 at 60: 4 s.
        {"sine", 0.3f, 0.6f, 0.0f, 0.1f, 0.5f, 0.0f, "--tempo 120", 2.0},
        {"triangle", 0.5f, 0.7f, 0.0f, 0.3f, 0.05f, 0.25f, "--tempo 60 --meter 2/4", 4.0},
    };
    // A folder of this run's own: builds tested side by side on one
    // machine must not render into each other's files.
    std::string pattern = ::testing::TempDir() + "sweep-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const std::string dir = pattern;
    const std::string tool = std::string(RENDER_LAUNCHER) + "'" + RENDER_TOOL + "'";
    auto run = [](const std::string& command) {
        const int rc = std::system(command.c_str());
        EXPECT_EQ(rc, 0) << command;
    };
    // The samples: the WAV file's data chunk (the header's peak chunk
    // carries a time stamp).
    auto bytes = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        const std::string all(std::istreambuf_iterator<char>(in), {});
        const std::size_t data = all.find("data");
        return data == std::string::npos ? std::string() : all.substr(data);
    };
    for (const Case& c : cases) {
        const double period =
            c.syncSeconds > 0.0 ? c.syncSeconds : 1.0 / SweepEffect::rateHz(c.rate);
        char sweep[256];
        std::snprintf(sweep, sizeof sweep, "Flanger Depth=%s:%.17g:%.17g:%.17g:%.17g", c.shape,
                      period, static_cast<double>(c.low), static_cast<double>(c.high),
                      static_cast<double>(c.phase));
        char sets[512];
        std::snprintf(sets, sizeof sets,
                      "--set 'Sweep Shape=%.9g' --set 'Sweep Sync=%.9g' --set 'Sweep Rate=%.9g' "
                      "--set 'Sweep Low=%.9g' --set 'Sweep High=%.9g' --set 'Sweep Phase=%.9g'",
                      c.shapeValue, c.sync, c.rate, c.low, c.high, c.phase);
        const std::string a = dir + "/companion.wav", b = dir + "/tool.wav";
        run(tool + " -q --force --float --block 333 --program 3 " + c.timing + " --plugin '" +
            FLANGER_SWEEP_PATH + "' " + sets + " '" + a + "'");
        run(tool + " -q --force --float --program 3 --control 32 --sweep '" + sweep + "' '" + b +
            "'");
        const std::string x = bytes(a), y = bytes(b);
        EXPECT_TRUE(!x.empty() && x == y) << sweep << " " << c.timing;
        std::remove(a.c_str());
        std::remove(b.c_str());
    }
    ::rmdir(dir.c_str());
}

// The stepped delays against the defined evaluation, point by point, for
// every shape in both vector widths, lines of 8 kHz to 1.5 MHz, free and
// synced positions near the stepper's limits: every delay given is the
// defined one, and few points fall back.
TEST(SweepStepperDelays, EqualTheDefinedEvaluationWhereverGiven) {
    const sweep::Shape shapes[] = {sweep::Shape::kSine, sweep::Shape::kTriangle, sweep::Shape::kSaw,
                                   sweep::Shape::kSquare};
    std::mt19937_64 rng(23);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    long given = 0, total = 0;
    for (bool avx : {false, true}) {
        for (sweep::Shape shape : shapes) {
            for (std::int32_t length : {40, 400, 1740, 13900}) {
                for (int trial = 0; trial < 200; ++trial) {
                    const auto low = static_cast<double>(static_cast<float>(unit(rng)));
                    const auto high = static_cast<double>(static_cast<float>(unit(rng)));
                    const auto phase = static_cast<double>(static_cast<float>(unit(rng)));
                    const double rate = 8000.0 + unit(rng) * 184000.0;
                    const bool synced = trial % 2 == 1;
                    // Free: a period of 0.05 to 100 s from frame f0; synced: a
                    // sync length in quarter notes from quarter note q0.
                    const double period = 0.05 + unit(rng) * 100.0;
                    const double quarters = 0.25 * static_cast<double>(1 << (trial % 9));
                    const double perSecond = (1.0 + unit(rng) * 998.0) / 60.0;
                    const double edge = trial % 4 < 2 ? 1.0 : 1048000.0;  // positions near 2^20
                    const double q0 = (unit(rng) - 0.5) * edge * quarters;
                    const auto f0 =
                        static_cast<std::int64_t>((unit(rng) - 0.5) * edge * period * rate);
                    auto position = [&](std::int32_t k) {
                        return synced ? (q0 + static_cast<double>(k) * perSecond / rate) / quarters
                                      : static_cast<double>(f0 + k) / rate / period;
                    };
                    const double step =
                        synced ? 32.0 * perSecond / rate / quarters : 32.0 / rate / period;
                    const SweepStepper stepper(shape, low, high, length, step, avx);
                    const double x = position(0) + phase;
                    if (!stepper.usable(position(0), x, synced ? q0 : 0.0)) continue;
                    std::int32_t delays[SweepStepper::kMaxCount];
                    stepper.delays(x - std::floor(x), SweepStepper::kMaxCount, delays);
                    for (int j = 0; j < SweepStepper::kMaxCount; ++j) {
                        const auto value = static_cast<float>(
                            sweep::valueAt(shape, position(32 * j), phase, low, high));
                        ++total;
                        if (delays[j] < 0) continue;
                        ++given;
                        ASSERT_EQ(delays[j], FlangerEffect::depthDelay(value, length))
                            << "point " << j << " length " << length << " trial " << trial;
                    }
                }
            }
        }
    }
    EXPECT_GT(given, total * 9 / 10) << given << " of " << total;
}

// The depth the sweep applies at a block's first frame, read with the Saw
// shape from 0 to 1 (the depth is then the position's fraction, rounded to
// float), for host records of every kind: each block is a locate, so each
// starts with a control point.
struct Position {
    const char* what;
    float sync;  // normalised Sweep Sync
    double samplePos, ppq, tempo;
    VstInt32 numerator, denominator, flags;
    double expected;  // the position's fraction
};

VstTimeInfo script{};
bool answerNull = false;

VstIntPtr VSTCALLBACK scriptedHost(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    if (opcode == audioMasterVersion) return 2400;
    if (opcode == audioMasterGetTime && !answerNull) return reinterpret_cast<VstIntPtr>(&script);
    return 0;
}

float syncBand(int band) {
    return (static_cast<float>(band) + 0.5f) / 9.0f;
}

class SweepPosition : public ::testing::TestWithParam<Position> {};

TEST_P(SweepPosition, FollowsTheHostsTimelineOrFallsBackToItsOwn) {
    const Position& c = GetParam();
    SweepEffect fx(scriptedHost);
    fx.setSampleRate(kRate);
    fx.setParameter(kSweepShape, 0.7f);  // saw
    fx.setParameter(kSweepSync, c.sync);
    fx.setParameter(kSweepRate, 0.5f);
    fx.setParameter(kSweepLow, 0.0f);
    fx.setParameter(kSweepHigh, 1.0f);
    fx.setParameter(kSweepPhase, 0.0f);
    fx.resume();
    script = VstTimeInfo{};
    script.samplePos = c.samplePos;
    script.ppqPos = c.ppq;
    script.tempo = c.tempo;
    script.timeSigNumerator = c.numerator;
    script.timeSigDenominator = c.denominator;
    script.flags = c.flags;
    answerNull = std::strcmp(c.what, "null record") == 0;
    std::vector<float> in(1, 0.25f), out(1);
    float* ins[2] = {in.data(), in.data()};
    std::vector<float> out2(1);
    float* outs[2] = {out.data(), out2.data()};
    fx.processReplacing(ins, outs, 1);
    ASSERT_TRUE(fx.hasSweptDepth()) << c.what;
    EXPECT_TRUE(std::isfinite(fx.getSweptDepth())) << c.what;
    EXPECT_EQ(fx.getSweptDepth(), static_cast<float>(c.expected)) << c.what;
    EXPECT_TRUE(std::isfinite(out[0]) && std::isfinite(out2[0])) << c.what;
    answerNull = false;
}

constexpr VstInt32 kFlagsNoPpq = kVstTransportPlaying | kVstTempoValid | kVstTimeSigValid;
const double kFreePeriod = 1.0 / SweepEffect::rateHz(0.5f);

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, SweepPosition, ::testing::Values(
    Position{"1/4 from ppq", syncBand(3), 5000, 2.3, 120, 4, 4, kAllTime, std::fmod(2.3, 1.0)},
    Position{"1/16 from ppq", syncBand(1), 0, 1.1, 120, 4, 4, kAllTime, std::fmod(1.1 / 0.25, 1.0)},
    Position{"1 bar of 3/4", syncBand(5), 0, 4.5, 120, 3, 4, kAllTime, 0.5},
    Position{"2 bars of 7/8", syncBand(6), 0, 10.5, 120, 7, 8, kAllTime, 0.5},
    Position{"8 bars of 4/4", syncBand(8), 0, 40.0, 120, 4, 4, kAllTime, 0.25},
    Position{"1/2 from frames at 120", syncBand(4), 66150, 0, 120, 4, 4, kFlagsNoPpq, 0.5},
    Position{"1/4 from frames at 90", syncBand(3), 44100, 0, 90, 4, 4, kFlagsNoPpq, 0.5},
    Position{"pre-roll", syncBand(3), -11025, -0.25, 120, 4, 4, kAllTime, 0.75},
    Position{"samplePos rounds half away", syncBand(3), 22050.5, 0, 120, 4, 4, kFlagsNoPpq,
             std::fmod(22051.0 / 44100.0 * 120.0 / 60.0, 1.0)},
    Position{"free from frames", syncBand(0), 88200, 999.0, 120, 4, 4, kAllTime,
             std::fmod(2.0 / kFreePeriod, 1.0)},
    Position{"tempo 0: 120", syncBand(3), 44100, 0, 0, 4, 4, kFlagsNoPpq, 0.0},
    Position{"tempo -60: 120", syncBand(4), 33075, 0, -60, 4, 4, kFlagsNoPpq, 0.75},
    Position{"tempo NaN: 120", syncBand(4), 33075, 0, kNaN, 4, 4, kFlagsNoPpq, 0.75},
    Position{"tempo 1e9: 120", syncBand(4), 33075, 0, 1e9, 4, 4, kFlagsNoPpq, 0.75},
    Position{"meter 0/0: 4/4", syncBand(5), 0, 6.0, 120, 0, 0, kAllTime, 0.5},
    Position{"meter 3/5: 4/4", syncBand(5), 0, 6.0, 120, 3, 5, kAllTime, 0.5},
    Position{"ppq NaN: from frames", syncBand(3), 33075, kNaN, 120, 4, 4, kAllTime, 0.5},
    Position{"ppq infinite: from frames", syncBand(3), 33075, kInf, 120, 4, 4, kAllTime, 0.5},
    Position{"null record", syncBand(3), 0, 0, 0, 0, 0, 0, 0.0},
    Position{"stopped", syncBand(3), 33075, 1.5, 120, 4, 4, kAllTime & ~kVstTransportPlaying, 0.0},
    Position{"samplePos NaN", syncBand(3), kNaN, 1.5, 120, 4, 4, kAllTime, 0.0},
    Position{"samplePos huge", syncBand(0), 1e300, 1.5, 120, 4, 4, kAllTime, 0.0},
    Position{"samplePos minus huge", syncBand(3), -1e300, 1.5, 120, 4, 4, kAllTime, 0.0},
    Position{"garbage flags, NaN fields", syncBand(5), kNaN, kNaN, kNaN, -7, 1000, -1, 0.0},
    Position{"garbage flags, huge fields", syncBand(5), 1e18, 1e300, 5e300, 64, 64, -1, 0.0}));
// clang-format on

// Along a song: continuous blocks take control points at multiples of 32
// timeline frames only; a locate, a loop (the quarter notes jump while the
// frames run on), a tempo change and a stop each do what the timeline says.
TEST(SweepAlongTheTimeline, ControlPointsAtMultiplesOf32AndAtDiscontinuities) {
    SweepEffect fx(scriptedHost);
    fx.setSampleRate(kRate);
    fx.setParameter(kSweepShape, 0.7f);
    fx.setParameter(kSweepSync, syncBand(3));  // a quarter note
    fx.setParameter(kSweepLow, 0.0f);
    fx.setParameter(kSweepHigh, 1.0f);
    fx.setParameter(kSweepPhase, 0.0f);
    fx.resume();
    std::vector<float> buf(4 * 64);
    float* ins[2] = {buf.data(), buf.data() + 64};
    float* outs[2] = {buf.data() + 128, buf.data() + 192};
    // Quarter notes per frame at a tempo.
    auto qpf = [](double tempo) { return tempo / 60.0 / 44100.0; };
    struct Step {
        const char* what;
        double samplePos, ppq, tempo;
        VstInt32 flags;
        int frames;
        // The last control point: `k` frames after quarter note `base`.
        double base;
        int k;
    };
    const double end7 = 3.25 + 10.0 * (150.0 / 60.0) / 44100.0;  // where the loop's block ends
    const Step steps[] = {
        {"start at 1000", 1000, 1000 * qpf(120), 120, kAllTime, 20, 1000 * qpf(120), 0},
        {"follows on: no point before 1024", 1020, 1020 * qpf(120), 120, kAllTime, 3,
         1000 * qpf(120), 0},
        {"follows on: 1024", 1023, 1023 * qpf(120), 120, kAllTime, 2, 1023 * qpf(120), 1},
        {"tempo 150 from here, ppq continues", 1025, 1025 * qpf(120), 150, kAllTime, 40,
         1025 * qpf(120), 31},
        {"locate back to 7", 7, 7 * qpf(150), 150, kAllTime, 10, 7 * qpf(150), 0},
        {"loop: frames on, ppq jumps", 17, 3.25, 150, kAllTime, 10, 3.25, 0},
        {"stopped: own count runs on", 5, 0.0, 150, kVstTempoValid, 30, end7, 5},
    };
    for (const Step& s : steps) {
        script = VstTimeInfo{};
        script.samplePos = s.samplePos;
        script.ppqPos = s.ppq;
        script.tempo = s.tempo;
        script.timeSigNumerator = 4;
        script.timeSigDenominator = 4;
        script.flags = s.flags;
        fx.processReplacing(ins, outs, s.frames);
        const double q = s.base + static_cast<double>(s.k) * (s.tempo / 60.0) / 44100.0;
        EXPECT_EQ(fx.getSweptDepth(), static_cast<float>(q - std::floor(q))) << s.what;
    }
}

// Parameter rules: Shape and Sync in equal bands (NaN and out-of-range
// values stored, the band kept, as Filter Type does), the other four
// clamped with NaN ignored; texts say what a user means.
TEST(SweepParameters, BandsClampsAndTexts) {
    SweepEffect fx(nullptr);
    struct Case {
        VstInt32 index;
        float value;
        float stored;
        const char* text;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {kSweepShape, 0.0f, 0.0f, "Off"},
        {kSweepShape, 0.19999999f, 0.19999999f, "Off"},
        {kSweepShape, 0.2f, 0.2f, "Sine"},
        {kSweepShape, 0.6f, 0.6f, "Saw"},
        {kSweepShape, 1.0f, 1.0f, "Square"},
        {kSweepShape, 1.5f, 1.5f, "Square"},  // out of range: band kept
        {kSweepShape, nan, nan, "Square"},
        {kSweepShape, 0.45f, 0.45f, "Triangle"},
        {kSweepShape, -0.1f, -0.1f, "Triangle"},
        {kSweepSync, 0.0f, 0.0f, "Off"},
        {kSweepSync, 1.0f / 9.0f, 1.0f / 9.0f, "1/16"},
        {kSweepSync, 0.5f, 0.5f, "1/2"},
        {kSweepSync, 1.0f, 1.0f, "8 bars"},
        {kSweepSync, 0.56f, 0.56f, "1 bar"},
        {kSweepSync, nan, nan, "1 bar"},
        {kSweepRate, 0.0f, 0.0f, "0.01"},
        {kSweepRate, 1.0f, 1.0f, "20"},
        {kSweepRate, 2.0f, 1.0f, "20"},
        {kSweepRate, nan, 1.0f, "20"},
        {kSweepRate, 0.5f, 0.5f, "0.447"},
        {kSweepLow, 0.25f, 0.25f, "25"},
        {kSweepLow, -3.0f, 0.0f, "0"},
        {kSweepLow, nan, 0.0f, "0"},
        {kSweepHigh, 0.5f, 0.5f, "50"},
        {kSweepPhase, 0.25f, 0.25f, "90"},
        {kSweepPhase, 7.0f, 1.0f, "360"},
    };
    for (const Case& c : cases) {
        fx.setParameter(c.index, c.value);
        const float got = fx.getParameter(c.index);
        EXPECT_TRUE(std::memcmp(&got, &c.stored, sizeof got) == 0)
            << "index " << c.index << " value " << c.value << " stored " << got;
        char text[64] = {};
        fx.getParameterDisplay(c.index, text);
        EXPECT_STREQ(text, c.text) << "index " << c.index << " value " << c.value;
    }
    char name[64] = {};
    fx.getParameterName(kSweepPhase, name);
    EXPECT_STREQ(name, "Sweep Phase");
    // Flanger Depth's value is only stored while a shape is on, and acts
    // again (at the next block) when Shape is Off.
    fx.setParameter(kSweepShape, 0.3f);
    fx.resume();
    std::vector<float> buf(4 * 40, 0.1f);
    float* ins[2] = {buf.data(), buf.data() + 40};
    float* outs[2] = {buf.data() + 80, buf.data() + 120};
    fx.processReplacing(ins, outs, 40);
    fx.setParameter(kDepth, 0.9f);
    fx.processReplacing(ins, outs, 40);
    EXPECT_EQ(fx.getParameter(kDepth), 0.9f);
    const auto distance = [&] {
        const std::int32_t d = fx.getWritePos() - fx.getReadPos();
        return d < 0 ? d + fx.getBufferLength() : d;
    };
    EXPECT_EQ(distance(), FlangerEffect::depthDelay(fx.getSweptDepth(), fx.getBufferLength()));
    EXPECT_NE(distance(), fx.getDelaySamples());
    fx.setParameter(kSweepShape, 0.0f);
    fx.processReplacing(ins, outs, 40);
    EXPECT_EQ(distance(), fx.getDelaySamples());
}

// Through the binary: its own identity, eighteen parameters, the twenty
// programs' names and first twelve values.
TEST(SweepBinary, IdentityParametersAndPrograms) {
    auto flanger = open(FLANGER_PLUGIN_PATH);
    auto sweep = open(FLANGER_SWEEP_PATH);
    std::string error;
    auto f = vsthost::Plugin::create(*flanger, error);
    auto s = vsthost::Plugin::create(*sweep, error);
    ASSERT_TRUE(f && s) << error;
    EXPECT_EQ(s->effect()->uniqueID, kSweepUniqueId);
    EXPECT_NE(s->effect()->uniqueID, f->effect()->uniqueID);
    EXPECT_EQ(s->numParams(), 18);
    EXPECT_EQ(f->numParams(), 12);
    EXPECT_EQ(s->effectName(), "Static Flanger Sweep");
    EXPECT_EQ(f->effectName(), "Static Flanger");
    EXPECT_EQ(s->dispatch(effCanBeAutomated, 17), 1);
    for (int p = 0; p < kNumPrograms; ++p) {
        f->setProgram(p);
        s->setProgram(p);
        EXPECT_EQ(s->programName(), f->programName());
        for (int i = 0; i < kNumParams; ++i) EXPECT_EQ(s->getParameter(i), f->getParameter(i));
        EXPECT_NE(s->parameterDisplay(kSweepShape), "Off") << "program " << p;
    }
}

}  // namespace
