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
    std::unique_ptr<v3host::Module> vst3;
};

Modules& modules() {
    static Modules m = [] {
        Modules loaded;
        std::string error;
        loaded.vst2 = vsthost::Library::open(FLANGER_PLUGIN_PATH, error);
        loaded.vst3 = v3host::Module::open(FLANGER_VST3_MODULE, error);
        if (!loaded.vst2 || !loaded.vst3) ADD_FAILURE() << error;
        return loaded;
    }();
    return m;
}

std::unique_ptr<v3host::Instance> started(double rate) {
    std::string error;
    auto instance = v3host::Instance::create(*modules().vst3, error);
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

}  // namespace
