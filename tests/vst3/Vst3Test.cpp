// The VST 3 module driven by our own host, against the VST 2 binary driven
// by vsthost: renders, automation, state streams and texts.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/VstHost.h"
#include "tests/vst3/Vst3Host.h"

namespace {

constexpr std::int32_t kParams = 12;
constexpr std::int32_t kPrograms = 20;
constexpr vst3::ParamID kProgramId = 12;

// A point sent at `frame`: a parameter value, or (id 12) a program index.
struct Point {
    std::int32_t frame;
    vst3::ParamID id;
    double value;
};

// How the host lays out its buffers: apart, input and output in the same
// arrays, or each channel's input in the other channel's output array.
enum class Layout { kOutOfPlace, kInPlace, kCrossed };
constexpr const char* kLayoutNames[] = {"OutOfPlace", "InPlace", "Crossed"};

struct RenderCase {
    std::string name;
    std::int32_t program;
    Layout layout;
    double rate;
    std::int32_t firstBlock;  // index into kBlocks where the block pattern starts
    std::vector<Point> points;
};

void PrintTo(const RenderCase& c, std::ostream* os) {
    *os << c.name;
}

constexpr std::int32_t kBlocks[] = {4096, 1, 7, 511, 2048, 3, 1000, 64, 4095, 2, 333, 1024};
constexpr std::int32_t kFrames = 20000;

std::vector<float> signal(int channel) {
    std::vector<float> s(kFrames);
    std::uint32_t seed = 12345u + static_cast<std::uint32_t>(channel);
    for (std::int32_t i = 0; i < kFrames; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const float noise = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
        s[static_cast<std::size_t>(i)] =
            0.4f * std::sin(0.013f * static_cast<float>(i * (channel + 1))) + 0.3f * noise;
    }
    return s;
}

struct Modules {
    std::unique_ptr<vsthost::Library> vst2;
    std::unique_ptr<vsthost::Library> sweep2;
    std::unique_ptr<v3host::Module> vst3;
};

Modules& modules() {
    static Modules m = [] {
        Modules loaded;
        std::string error;
        loaded.vst2 = vsthost::Library::open(FLANGER_PLUGIN_PATH, error);
        loaded.vst3 = v3host::Module::open(FLANGER_VST3_MODULE, error);
        loaded.sweep2 = vsthost::Library::open(FLANGER_SWEEP_PATH, error);
        if (!loaded.vst2 || !loaded.vst3 || !loaded.sweep2) ADD_FAILURE() << error;
        return loaded;
    }();
    return m;
}

// Class 0 is the flanger, class 1 the companion.
std::unique_ptr<v3host::Instance> started(double rate, std::int32_t audioClass = 0) {
    std::string error;
    auto instance = v3host::Instance::create(*modules().vst3, error, audioClass);
    if (instance && !instance->start(rate, 4096, error)) instance.reset();
    if (!instance) ADD_FAILURE() << error;
    return instance;
}

// The VST 2 reference: out of place, split at every point's frame, the
// program before the parameters sent at the same frame.
std::vector<float> renderVst2(const RenderCase& c, std::vector<float> in[2],
                              std::vector<float>& firstValues) {
    std::string error;
    auto plugin = vsthost::Plugin::create(*modules().vst2, error);
    EXPECT_TRUE(plugin) << error;
    std::vector<float> out(2 * kFrames);
    if (!plugin) return out;
    plugin->start(static_cast<float>(c.rate), 4096);
    plugin->setProgram(c.program);
    for (std::int32_t i = 0; i < kParams; ++i) firstValues.push_back(plugin->getParameter(i));
    std::int32_t pos = 0;
    std::size_t p = 0;
    while (pos < kFrames) {
        for (; p < c.points.size() && c.points[p].frame == pos; ++p) {
            if (c.points[p].id == kProgramId)
                plugin->setProgram(static_cast<VstInt32>(c.points[p].value));
            else
                plugin->setParameter(static_cast<VstInt32>(c.points[p].id),
                                     static_cast<float>(c.points[p].value));
        }
        const std::int32_t end = p < c.points.size() ? c.points[p].frame : kFrames;
        float* ins[2] = {in[0].data() + pos, in[1].data() + pos};
        float* outs[2] = {out.data() + pos, out.data() + kFrames + pos};
        plugin->processReplacing(ins, outs, end - pos);
        pos = end;
    }
    return out;
}

class Vst3Render : public testing::TestWithParam<RenderCase> {};

TEST_P(Vst3Render, EqualsVst2BitForBit) {
    const RenderCase& c = GetParam();
    std::vector<float> in[2] = {signal(0), signal(1)};
    std::vector<float> programValues;
    const std::vector<float> expected = renderVst2(c, in, programValues);

    auto fx = started(c.rate);
    ASSERT_TRUE(fx);
    std::vector<float> out(2 * kFrames);
    std::vector<float> bufferL(kFrames), bufferR(kFrames);
    std::int32_t pos = 0;
    std::size_t p = 0;
    for (std::int32_t b = c.firstBlock; pos < kFrames; ++b) {
        const std::int32_t n = std::min(kBlocks[b % std::size(kBlocks)], kFrames - pos);
        v3host::Changes changes, reported;
        if (pos == 0) changes.add(kProgramId, 0, c.program / 19.0);
        for (; p < c.points.size() && c.points[p].frame < pos + n; ++p) {
            const double v =
                c.points[p].id == kProgramId ? c.points[p].value / 19.0 : c.points[p].value;
            changes.add(c.points[p].id, c.points[p].frame - pos, v);
        }
        float* ins[2];
        float* outs[2] = {out.data() + pos, out.data() + kFrames + pos};
        if (c.layout != Layout::kOutOfPlace) {
            const int other = c.layout == Layout::kCrossed ? 1 : 0;
            for (int ch = 0; ch < 2; ++ch) {
                std::memcpy(outs[ch ^ other], in[ch].data() + pos, n * sizeof(float));
                ins[ch] = outs[ch ^ other];
            }
        } else {
            ins[0] = in[0].data() + pos;
            ins[1] = in[1].data() + pos;
        }
        ASSERT_EQ(fx->process(ins, outs, n, &changes, &reported), vst3::kResultOk);
        if (pos == 0) {
            // The host learns the program's values from the block applying it.
            for (std::int32_t i = 0; i < kParams; ++i)
                EXPECT_EQ(reported.last(static_cast<vst3::ParamID>(i)), programValues[i]) << i;
        }
        pos += n;
    }
    ASSERT_EQ(std::memcmp(out.data(), expected.data(), out.size() * sizeof(float)), 0)
        << "first difference at sample "
        << std::mismatch(out.begin(), out.end(), expected.begin()).first - out.begin();
}

std::vector<RenderCase> renderCases() {
    std::vector<RenderCase> cases;
    for (std::int32_t p = 0; p < kPrograms; ++p) {
        for (const Layout layout : {Layout::kOutOfPlace, Layout::kInPlace, Layout::kCrossed}) {
            cases.push_back({"program" + std::to_string(p) + kLayoutNames[static_cast<int>(layout)],
                             p,
                             layout,
                             p % 3 == 2 ? 48000.0 : 44100.0,
                             p,
                             {}});
        }
    }
    // Points inside blocks, at block starts and ends; a program change and
    // a parameter at one frame (the program first); every band parameter.
    const std::vector<Point> automation = {
        {100, 0, 0.25}, {101, 0, 0.9},    {2000, 1, 0.7},  {2000, 3, 0.45},  {2000, 4, 0.1},
        {3000, 2, 0.3}, {4095, 5, 0.95},  {4096, 6, 0.6},  {4097, 7, 0.33},  {5000, 8, 0.5},
        {5001, 9, 0.4}, {5002, 10, 0.75}, {6000, 12, 7},   {6000, 0, 0.1},   {7001, 11, 0.3},
        {9000, 12, 15}, {9001, 3, 0.95},  {12000, 0, 0.0}, {12000, 1, 0.99}, {15000, 8, 1.0},
        {17000, 12, 2}, {19999, 0, 0.6},
    };
    for (const Layout layout : {Layout::kOutOfPlace, Layout::kInPlace, Layout::kCrossed}) {
        for (std::int32_t start : {0, 1, 5}) {
            cases.push_back(
                {"automation" + std::to_string(start) + kLayoutNames[static_cast<int>(layout)], 4,
                 layout, 44100.0, start, automation});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(ProgramsLayoutsAndAutomation, Vst3Render, testing::ValuesIn(renderCases()),
                         [](const testing::TestParamInfo<RenderCase>& p) { return p.param.name; });

// Program reports of every program: what a state restores.
std::vector<double> programReports(v3host::Instance& fx) {
    std::vector<double> values;
    float l = 0.0f, r = 0.0f;
    float* ins[2] = {&l, &r};
    for (std::int32_t p = 0; p < kPrograms; ++p) {
        v3host::Changes changes, reported;
        changes.add(kProgramId, 0, p / 19.0);
        fx.process(ins, ins, 0, &changes, &reported);
        for (std::int32_t i = 0; i < kParams; ++i)
            values.push_back(reported.last(static_cast<vst3::ParamID>(i)));
    }
    return values;
}

std::uint32_t word(const std::vector<unsigned char>& s, std::size_t at) {
    return s[at] | s[at + 1] << 8 | s[at + 2] << 16 | static_cast<std::uint32_t>(s[at + 3]) << 24;
}

TEST(Vst3State, RoundTripsEveryProgramAndRefusesHostileStreamsAndSetups) {
    auto source = started(44100.0);
    ASSERT_TRUE(source);
    // Edit two programs through automation, then leave program 9 current.
    float l = 0.0f, r = 0.0f;
    float* ins[2] = {&l, &r};
    v3host::Changes edits;
    edits.add(kProgramId, 0, 3 / 19.0);
    edits.add(0, 0, 0.123);
    edits.add(5, 0, 0.875);
    source->process(ins, ins, 0, &edits, nullptr);
    v3host::Changes more;
    more.add(kProgramId, 0, 9 / 19.0);
    more.add(11, 0, 0.2);
    source->process(ins, ins, 0, &more, nullptr);
    const std::vector<unsigned char> saved = source->state();
    ASSERT_GE(saved.size(), 12u);
    const std::size_t length = word(saved, 8);
    ASSERT_EQ(saved.size(), length);

    // A window into a larger stream, read in short pieces: the record and
    // nothing after it.
    auto target = started(44100.0);
    ASSERT_TRUE(target);
    std::vector<unsigned char> window = saved;
    window.insert(window.end(), {1, 2, 3, 4, 5});
    {
        v3host::MemoryStream stream(window);
        stream.chunk = 7;
        ASSERT_EQ(target->component->setState(&stream), vst3::kResultOk);
        EXPECT_EQ(stream.pos, static_cast<std::int64_t>(length));
    }
    EXPECT_EQ(target->state(), saved);  // before any process call takes it
    EXPECT_EQ(target->controller->getParamNormalized(11), static_cast<double>(0.2f));
    EXPECT_EQ(programReports(*target), programReports(*source));

    // Hostile streams change nothing and fail.
    ASSERT_EQ(target->setState(saved), vst3::kResultOk);
    std::vector<std::vector<unsigned char>> hostile;
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{11}, std::size_t{12},
                          std::size_t{13}, std::size_t{100}, length - 1})
        hostile.emplace_back(saved.begin(), saved.begin() + static_cast<std::ptrdiff_t>(n));
    auto mutated = [&](std::size_t at, std::uint32_t value) {
        std::vector<unsigned char> s = saved;
        for (int i = 0; i < 4; ++i) s[at + i] = static_cast<unsigned char>(value >> (8 * i));
        hostile.push_back(s);
    };
    mutated(0, 0x54534C45);  // magic
    mutated(4, 2);           // version
    mutated(4, 0);
    mutated(8, static_cast<std::uint32_t>(length - 1));  // length
    mutated(8, static_cast<std::uint32_t>(length + 1));
    mutated(8, 0xFFFFFFFFu);
    mutated(12, 20);  // program
    mutated(12, 0xFFFFFFFFu);
    mutated(16, 0x7FC00000u);           // NaN current value
    mutated(16 + 4 * 11, 0x7F800000u);  // infinity
    mutated(length - 4, 0x7FC00001u);   // NaN in the last program
    mutated(length - 8, 0x3FC00000u);   // 1.5
    {
        std::vector<unsigned char> s = saved;  // a name without terminator
        std::memset(s.data() + 64, 'A', 24);
        hostile.push_back(s);
    }
    for (std::size_t h = 0; h < hostile.size(); ++h) {
        EXPECT_NE(target->setState(hostile[h]), vst3::kResultOk) << "stream " << h;
        float* none[2] = {&l, &r};
        target->process(none, none, 0, nullptr, nullptr);
        EXPECT_EQ(target->state(), saved) << "stream " << h;
        EXPECT_EQ(target->controller->getParamNormalized(11), static_cast<double>(0.2f));
    }
    EXPECT_EQ(target->component->setState(nullptr) == vst3::kResultOk, false);

    // Arrangements, sample sizes and rates it cannot process are refused.
    std::string error;
    auto fresh = v3host::Instance::create(*modules().vst3, error);
    ASSERT_TRUE(fresh) << error;
    vst3::SpeakerArrangement mono = 0x80000, stereo = vst3::kStereo;
    EXPECT_EQ(fresh->processor->setBusArrangements(&mono, 1, &stereo, 1), vst3::kResultFalse);
    EXPECT_EQ(fresh->processor->setBusArrangements(&stereo, 1, &stereo, 2), vst3::kResultFalse);
    EXPECT_EQ(fresh->processor->canProcessSampleSize(vst3::kSample64), vst3::kResultFalse);
    for (const vst3::ProcessSetup setup :
         {vst3::ProcessSetup{vst3::kRealtime, vst3::kSample64, 512, 44100.0},
          vst3::ProcessSetup{vst3::kRealtime, vst3::kSample32, 512, 0.0},
          vst3::ProcessSetup{vst3::kRealtime, vst3::kSample32, 512, 1e7}}) {
        vst3::ProcessSetup copy = setup;
        EXPECT_NE(fresh->processor->setupProcessing(&copy), vst3::kResultOk) << setup.sampleRate;
    }
}

// The UI thread saves, restores and reads texts while the audio thread
// processes automation and program changes: the thread sanitizer (tsan
// preset) sees no race, and every saved state is one the module accepts.
TEST(Vst3Concurrency, StateAndTextsWhileProcessing) {
    auto fx = started(44100.0);
    ASSERT_TRUE(fx);
    const std::vector<unsigned char> first = fx->state();
    std::atomic<bool> done{false};
    std::thread audio([&] {
        std::vector<float> l(64), r(64);
        float* io[2] = {l.data(), r.data()};
        for (int block = 0; block < 3000; ++block) {
            v3host::Changes changes, reported;
            changes.add(static_cast<vst3::ParamID>(block % 12), block % 64, (block % 9) / 8.0);
            if (block % 50 == 0) changes.add(kProgramId, 3, (block / 50 % 20) / 19.0);
            fx->process(io, io, 64, &changes, &reported);
        }
        done = true;
    });
    int rounds = 0;
    while (!done || rounds < 20) {
        const std::vector<unsigned char> saved = fx->state();
        EXPECT_EQ(saved.size(), first.size());
        EXPECT_EQ(fx->setState(rounds % 2 == 0 ? saved : first), vst3::kResultOk);
        EXPECT_FALSE(fx->text(static_cast<vst3::ParamID>(rounds % 13), 0.5).empty());
        fx->controller->setParamNormalized(kProgramId, (rounds % 20) / 19.0);
        fx->processor->getTailSamples();
        ++rounds;
    }
    audio.join();
}

// Texts both ways: names, units and steps, every value text on a grid
// reading back to a value with the same text, and numbers typed in units.
TEST(Vst3Texts, ReadBackOnAGridAndFromTypedNumbers) {
    auto fx = started(44100.0);
    ASSERT_TRUE(fx);
    struct Info {
        const char* title;
        const char* units;
        std::int32_t steps;
    };
    const Info infos[] = {
        {"Flanger Depth", "%", 0},
        {"FeedBack", "%", 0},
        {"FeedB Sign", "-/+", 3},
        {"Filter Type", "---", 4},
        {"Cutoff", "Hz", 0},
        {"Q Factor", "%", 0},
        {"Post Flanger1 Send", "% -> send", 0},
        {"Post Flanger1 Depth", "% -> depth", 0},
        {"Inject Mode", "-> to post2", 7},
        {"Post Flanger2 Send", "% -> send", 0},
        {"Post Flanger2 Depth", "% -> depth", 0},
        {"Output Gain", "dB", 0},
        {"Program", "", 19},
    };
    ASSERT_EQ(fx->controller->getParameterCount(), 13);
    std::string error;
    auto vst2 = vsthost::Plugin::create(*modules().vst2, error);
    ASSERT_TRUE(vst2) << error;
    for (std::int32_t i = 0; i < 13; ++i) {
        vst3::ParameterInfo info{};
        ASSERT_EQ(fx->controller->getParameterInfo(i, &info), vst3::kResultOk);
        EXPECT_EQ(v3host::narrow(info.title), infos[i].title);
        EXPECT_EQ(v3host::narrow(info.units), infos[i].units);
        EXPECT_EQ(info.stepCount, infos[i].steps);
        EXPECT_EQ((info.flags & vst3::kCanAutomate) != 0, i < 12) << i;
        const auto id = static_cast<vst3::ParamID>(i);
        for (int k = 0; k <= 400; ++k) {
            const double v = k / 400.0;
            const std::string text = fx->text(id, v);
            if (i < 12) {
                vst2->setParameter(i, static_cast<float>(v));
                EXPECT_EQ(text, vst2->parameterDisplay(i)) << i << " at " << v;
            }
            double back = -1.0;
            ASSERT_TRUE(fx->value(id, text, back)) << i << " '" << text << "'";
            EXPECT_EQ(fx->text(id, back), text) << i << " at " << v;
        }
    }
    // Numbers typed in the unit shown, and band names.
    struct Typed {
        vst3::ParamID id;
        const char* typed;
        const char* shows;
    };
    const Typed typed[] = {
        {0, "37", "37"},
        {0, "37.4 %", "37"},
        {0, "150", "100"},
        {1, "95", "95   careful"},
        {1, "90   careful", "90   careful"},
        {4, "1000 Hz", "1000"},
        {4, "12", "200"},
        {5, "0", "1"},
        {3, "LOW PASS", "low pass"},
        {2, "positive 1", "positive 1"},
        {8, "5", "5"},
        {11, "-oo", "  -oo   "},
        {12, "Init 18", "Init 18"},
    };
    for (const Typed& t : typed) {
        double v = -1.0;
        ASSERT_TRUE(fx->value(t.id, t.typed, v)) << t.typed;
        EXPECT_EQ(fx->text(t.id, v), t.shows) << t.typed;
    }
    for (const double dB : {-30.0, -6.0, 0.0, 3.5, 6.0}) {
        double v = -1.0;
        ASSERT_TRUE(fx->value(11, std::to_string(dB), v));
        EXPECT_NEAR(std::stod(fx->text(11, v)), dB, 1e-4) << dB;
    }
    double v = 0.0;
    EXPECT_FALSE(fx->value(3, "sideways", v));
    EXPECT_FALSE(fx->value(0, "deep", v));
}

// --- The companion: the second class ---------------------------------------

constexpr vst3::ParamID kSweepProgramId = 18;

// The host's timeline for a block starting at render frame `pos`.
enum class Clock { kNone, kPlaying, kLocate, kFramesOnly, kStopped };
constexpr const char* kClockNames[] = {"NoContext", "Playing", "Locate", "FramesOnly", "Stopped"};

struct Position {
    bool present = false;  // false: no ProcessContext, a null time record
    bool playing = false, music = false;
    double frame = 0.0, ppq = 0.0, tempo = 0.0;
    std::int32_t numerator = 0, denominator = 0;
};

// Plays from frame 0 at 120 bpm in 4/4; Locate jumps to frame 500000 from
// render frame 9000 on; FramesOnly plays at 140 bpm without a quarter-note
// position; Stopped gives tempo and meter (100 bpm, 3/4) but no position.
Position positionAt(Clock clock, std::int32_t pos) {
    Position p;
    if (clock == Clock::kNone) return p;
    p.present = true;
    p.playing = clock != Clock::kStopped;
    p.music = clock == Clock::kPlaying || clock == Clock::kLocate;
    p.frame = clock == Clock::kLocate && pos >= 9000 ? pos + 491000.0 : pos;
    p.tempo = clock == Clock::kStopped ? 100.0 : clock == Clock::kFramesOnly ? 140.0 : 120.0;
    p.ppq = p.frame * p.tempo / (60.0 * 44100.0);
    p.numerator = clock == Clock::kStopped ? 3 : 4;
    p.denominator = 4;
    return p;
}

struct SweepCase {
    std::int32_t program;
    double shape;  // Sweep Shape sent after the program; < 0: the program's
    Clock clock;
    Layout layout;
};

// The VST 2 companion, out of place, one call per block with the block's
// time record.
std::vector<float> renderSweepVst2(const SweepCase& c, std::vector<float> in[2]) {
    VstTimeInfo record{};
    Position now;
    vsthost::HostOptions options;
    options.timeInfo = [&](std::int64_t) { return now.present ? &record : nullptr; };
    std::string error;
    auto plugin = vsthost::Plugin::create(*modules().sweep2, error, std::move(options));
    EXPECT_TRUE(plugin) << error;
    std::vector<float> out(2 * kFrames);
    if (!plugin) return out;
    plugin->start(44100.0f, 4096);
    plugin->setProgram(c.program);
    if (c.shape >= 0.0) plugin->setParameter(12, static_cast<float>(c.shape));
    std::int32_t pos = 0;
    for (std::int32_t b = c.program; pos < kFrames; ++b) {
        const std::int32_t n = std::min(kBlocks[b % std::size(kBlocks)], kFrames - pos);
        now = positionAt(c.clock, pos);
        record = VstTimeInfo{};
        record.samplePos = now.frame;
        record.sampleRate = 44100.0;
        record.ppqPos = now.ppq;
        record.tempo = now.tempo;
        record.timeSigNumerator = now.numerator;
        record.timeSigDenominator = now.denominator;
        record.flags = kVstTempoValid | kVstTimeSigValid;
        if (now.playing) record.flags |= kVstTransportPlaying;
        if (now.music) record.flags |= kVstPpqPosValid;
        float* ins[2] = {in[0].data() + pos, in[1].data() + pos};
        float* outs[2] = {out.data() + pos, out.data() + kFrames + pos};
        plugin->processReplacing(ins, outs, n);
        pos += n;
    }
    return out;
}

// A class of the module with the same blocks and time in a ProcessContext
// (whose sampleRate is deliberately wrong: the set-up's rate counts).
std::vector<float> renderVst3(std::int32_t audioClass, const SweepCase& c,
                              std::vector<float> in[2]) {
    std::vector<float> out(2 * kFrames);
    auto fx = started(44100.0, audioClass);
    if (!fx) return out;
    const vst3::ParamID programId = audioClass == 0 ? kProgramId : kSweepProgramId;
    std::int32_t pos = 0;
    for (std::int32_t b = c.program; pos < kFrames; ++b) {
        const std::int32_t n = std::min(kBlocks[b % std::size(kBlocks)], kFrames - pos);
        v3host::Changes changes;
        if (pos == 0) {
            changes.add(programId, 0, c.program / 19.0);
            if (c.shape >= 0.0 && audioClass == 1) changes.add(12, 0, c.shape);
        }
        const Position p = positionAt(c.clock, pos);
        fx->withContext = p.present;
        fx->context = vst3::ProcessContext{};
        fx->context.state = vst3::kTempoValid | vst3::kTimeSigValid;
        if (p.playing) fx->context.state |= vst3::kPlaying;
        if (p.music) fx->context.state |= vst3::kProjectTimeMusicValid;
        fx->context.sampleRate = 96000.0;
        fx->context.projectTimeSamples = static_cast<std::int64_t>(p.frame);
        fx->context.projectTimeMusic = p.ppq;
        fx->context.tempo = p.tempo;
        fx->context.timeSigNumerator = p.numerator;
        fx->context.timeSigDenominator = p.denominator;
        float* ins[2] = {in[0].data() + pos, in[1].data() + pos};
        float* outs[2] = {out.data() + pos, out.data() + kFrames + pos};
        if (c.layout == Layout::kInPlace) {
            for (int ch = 0; ch < 2; ++ch) {
                std::memcpy(outs[ch], ins[ch], static_cast<std::size_t>(n) * sizeof(float));
                ins[ch] = outs[ch];
            }
        }
        EXPECT_EQ(fx->process(ins, outs, n, &changes, nullptr), vst3::kResultOk);
        pos += n;
    }
    return out;
}

// Shapes synced and free (programs 0 sine a bar, 2 triangle a bar, 8 saw,
// 10 square a quarter, 11 sine free) under every clock, in place and out of
// place: the companion class equals the VST 2 companion given the same time.
TEST(Vst3Sweep, EqualsTheVst2CompanionWithTheSameTimeline) {
    std::vector<float> in[2] = {signal(0), signal(1)};
    std::vector<std::vector<float>> distinct;
    int k = 0;
    for (const Clock clock :
         {Clock::kNone, Clock::kPlaying, Clock::kLocate, Clock::kFramesOnly, Clock::kStopped}) {
        for (const std::int32_t program : {0, 2, 8, 10, 11}) {
            const SweepCase c{program, -1.0, clock,
                              k++ % 2 ? Layout::kInPlace : Layout::kOutOfPlace};
            SCOPED_TRACE(std::string(kClockNames[static_cast<int>(clock)]) + " program " +
                         std::to_string(program));
            const std::vector<float> expected = renderSweepVst2(c, in);
            const std::vector<float> out = renderVst3(1, c, in);
            ASSERT_EQ(std::memcmp(out.data(), expected.data(), out.size() * sizeof(float)), 0)
                << "first difference at sample "
                << std::mismatch(out.begin(), out.end(), expected.begin()).first - out.begin();
            if (program == 0) distinct.push_back(out);
        }
    }
    // A locate, another tempo or meter lead to other sweeps than playing
    // from frame 0 at 120 bpm in 4/4 (which the own count without a
    // position follows too): no vacuous pass.
    for (std::size_t a = 2; a < distinct.size(); ++a)
        EXPECT_NE(distinct[a], distinct[1]) << kClockNames[a];
}

// With Sweep Shape Off the companion is the flanger class, bit for bit.
TEST(Vst3Sweep, ShapeOffEqualsTheFlangerClass) {
    std::vector<float> in[2] = {signal(0), signal(1)};
    for (const std::int32_t program : {0, 5, 13}) {
        const SweepCase c{program, 0.0, Clock::kPlaying,
                          program == 5 ? Layout::kInPlace : Layout::kOutOfPlace};
        const std::vector<float> sweep = renderVst3(1, c, in);
        EXPECT_EQ(sweep, renderVst3(0, c, in)) << program;
        EXPECT_NE(sweep, renderVst3(1, SweepCase{program, -1.0, c.clock, c.layout}, in)) << program;
    }
}

// The class as a host lists it: its name and ID, eighteen automatable
// parameters and the program parameter, the sweep's texts as the VST 2
// companion shows them, read back on a grid.
TEST(Vst3Sweep, ClassParametersAndTexts) {
    auto fx = started(44100.0, 1);
    ASSERT_TRUE(fx);
    EXPECT_EQ(fx->className, "Static Flanger Sweep");
    EXPECT_EQ(fx->classId, "8C3E51D247A94F0BB6D21E730F9A6C48");
    ASSERT_EQ(fx->controller->getParameterCount(), 19);
    std::string error;
    auto vst2 = vsthost::Plugin::create(*modules().sweep2, error);
    ASSERT_TRUE(vst2) << error;
    struct Info {
        const char* title;
        const char* units;
        std::int32_t steps;
    };
    const Info infos[] = {{"Sweep Shape", "---", 4}, {"Sweep Sync", "---", 8},
                          {"Sweep Rate", "Hz", 0},   {"Sweep Low", "%", 0},
                          {"Sweep High", "%", 0},    {"Sweep Phase", "deg", 0},
                          {"Program", "", 19}};
    for (std::int32_t i = 0; i < 19; ++i) {
        vst3::ParameterInfo info{};
        ASSERT_EQ(fx->controller->getParameterInfo(i, &info), vst3::kResultOk);
        EXPECT_EQ(info.id, static_cast<vst3::ParamID>(i));
        EXPECT_EQ((info.flags & vst3::kCanAutomate) != 0, i < 18) << i;
        if (i < 12) continue;  // the flanger's, as in the flanger class
        const Info& want = infos[i - 12];
        EXPECT_EQ(v3host::narrow(info.title), want.title);
        EXPECT_EQ(v3host::narrow(info.units), want.units);
        EXPECT_EQ(info.stepCount, want.steps);
        EXPECT_EQ((info.flags & vst3::kIsList) != 0, want.steps > 0) << i;
        if (i < 18) {
            EXPECT_EQ(info.defaultNormalizedValue, static_cast<double>(vst2->getParameter(i))) << i;
        }
        const auto id = static_cast<vst3::ParamID>(i);
        for (int k = 0; k <= 200; ++k) {
            const double v = k / 200.0;
            const std::string text = fx->text(id, v);
            if (i < 18) {
                vst2->setParameter(i, static_cast<float>(v));
                EXPECT_EQ(text, vst2->parameterDisplay(i)) << i << " at " << v;
            }
            double back = -1.0;
            ASSERT_TRUE(fx->value(id, text, back)) << i << " '" << text << "'";
            EXPECT_EQ(fx->text(id, back), text) << i << " at " << v;
        }
    }
    for (std::int32_t k = 0; k <= 8; ++k) {
        vst2->setParameter(13, static_cast<float>(k / 8.0));
        EXPECT_EQ(fx->text(13, k / 8.0), vst2->parameterDisplay(13)) << k;
    }
}

// Eighteen values per program under the companion's own magic; each class
// refuses the other's state, and hostile streams change nothing.
TEST(Vst3Sweep, StateRoundTripsAndRefusesHostileStreams) {
    auto source = started(44100.0, 1);
    ASSERT_TRUE(source);
    float l = 0.0f, r = 0.0f;
    float* io[2] = {&l, &r};
    v3host::Changes edits;
    edits.add(kSweepProgramId, 0, 3 / 19.0);
    edits.add(14, 0, 0.625);
    edits.add(12, 0, 0.8);
    source->process(io, io, 0, &edits, nullptr);
    v3host::Changes more;
    more.add(kSweepProgramId, 0, 9 / 19.0);
    more.add(17, 0, 0.5);
    source->process(io, io, 0, &more, nullptr);
    const std::vector<unsigned char> saved = source->state();
    ASSERT_EQ(saved.size(), 2008u);
    EXPECT_EQ(std::string(saved.begin(), saved.begin() + 4), "FLSW");

    auto target = started(44100.0, 1);
    ASSERT_TRUE(target);
    ASSERT_EQ(target->setState(saved), vst3::kResultOk);
    EXPECT_EQ(target->state(), saved);
    EXPECT_EQ(target->controller->getParamNormalized(17), 0.5);
    // Every program's eighteen values, as the program changes report them.
    auto reports = [&](v3host::Instance& fx) {
        std::vector<double> values;
        for (std::int32_t p = 0; p < kPrograms; ++p) {
            v3host::Changes change, reported;
            change.add(kSweepProgramId, 0, p / 19.0);
            fx.process(io, io, 0, &change, &reported);
            for (vst3::ParamID i = 0; i < 18; ++i) values.push_back(reported.last(i));
        }
        return values;
    };
    const std::vector<double> expected = reports(*source);
    EXPECT_EQ(expected[3 * 18 + 14], 0.625);
    EXPECT_EQ(expected[3 * 18 + 12], static_cast<double>(0.8f));
    EXPECT_EQ(reports(*target), expected);

    ASSERT_EQ(target->setState(saved), vst3::kResultOk);
    auto flanger = started(44100.0, 0);
    ASSERT_TRUE(flanger);
    const std::vector<unsigned char> flangerState = flanger->state();
    EXPECT_NE(flanger->setState(saved), vst3::kResultOk);
    EXPECT_EQ(flanger->state(), flangerState);
    std::vector<std::vector<unsigned char>> hostile = {
        flangerState, {saved.begin(), saved.end() - 1}, {saved.begin(), saved.begin() + 12}};
    auto mutated = [&](std::size_t at, std::uint32_t value) {
        std::vector<unsigned char> s = saved;
        for (int i = 0; i < 4; ++i) s[at + i] = static_cast<unsigned char>(value >> (8 * i));
        hostile.push_back(s);
    };
    mutated(4, 2);                                     // version
    mutated(8, 1504);                                  // the flanger's length
    mutated(12, 20);                                   // program
    mutated(16 + 4 * 17, 0x7FC00000u);                 // NaN Sweep Phase
    mutated(saved.size() - 4, 0x3FC00000u);            // 1.5 in the last program
    mutated(88 + 19 * 96 + 24 + 4 * 12, 0xBF800000u);  // -1 Sweep Shape, program 19
    for (std::size_t h = 0; h < hostile.size(); ++h) {
        EXPECT_NE(target->setState(hostile[h]), vst3::kResultOk) << "stream " << h;
        target->process(io, io, 0, nullptr, nullptr);
        EXPECT_EQ(target->state(), saved) << "stream " << h;
    }
}

}  // namespace
