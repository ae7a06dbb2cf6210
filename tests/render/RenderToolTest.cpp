// End-to-end tests of flanger-render: each runs the built executable on
// generated files and checks the files it writes against the plug-in
// driven directly through the host library.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "FlangerVersion.h"
#include "host/AudioFiles.h"
#include "host/Automation.h"
#include "host/RenderEngine.h"
#include "host/VstHost.h"

namespace fs = std::filesystem;

namespace {

struct Audio {
    int rate = 0;
    int channels = 0;
    int format = 0;
    std::vector<float> samples;  // interleaved
    long frames() const { return channels ? static_cast<long>(samples.size()) / channels : 0; }
};

Audio readAudio(const fs::path& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    Audio audio;
    if (file == nullptr) return audio;
    audio.rate = info.samplerate;
    audio.channels = info.channels;
    audio.format = info.format;
    audio.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(file, audio.samples.data(), info.frames);
    sf_close(file);
    return audio;
}

void writeAudio(const fs::path& path, int format, const Audio& audio) {
    SF_INFO info{};
    info.samplerate = audio.rate;
    info.channels = audio.channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    sf_writef_float(file, audio.samples.data(), audio.frames());
    sf_close(file);
}

// Noise and two tones at -12 dBFS, different per channel.
Audio testAudio(int channels, int rate, long frames) {
    Audio audio;
    audio.rate = rate;
    audio.channels = channels;
    std::uint32_t state = 12345u;
    for (long i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            state = state * 1664525u + 1013904223u;
            const double noise = static_cast<double>(state >> 8) / 8388608.0 - 1.0;
            const double tone =
                std::sin(2.0 * M_PI * (330.0 + 110.0 * c) * static_cast<double>(i) / rate);
            audio.samples.push_back(static_cast<float>(0.125 * tone + 0.125 * noise));
        }
    }
    return audio;
}

struct ToolRun {
    int status;
    std::string output;  // stdout and stderr together
};

// `prefix` goes before the tool in the shell command.
ToolRun runTool(const fs::path& folder, const std::string& args, const std::string& prefix = "") {
    const std::string command = "cd '" + folder.string() + "' && " + prefix +
                                RENDER_LAUNCHER "'" RENDER_TOOL "' " + args + " 2>&1 </dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ToolRun run{-1, {}};
    if (pipe == nullptr) return run;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The flanger driven directly, as the tool should drive it.
Audio renderDirect(const Audio& in, VstInt32 program,
                   const std::vector<std::pair<VstInt32, float>>& settings, VstInt32 block) {
    std::string error;
    auto library = vsthost::Library::open(FLANGER_PLUGIN, error);
    EXPECT_TRUE(library) << error;
    auto plugin = vsthost::Plugin::create(*library, error);
    EXPECT_TRUE(plugin) << error;
    plugin->open();
    plugin->setSampleRate(static_cast<float>(in.rate));
    plugin->setBlockSize(block);
    plugin->setProgram(program);
    for (const auto& [index, value] : settings) plugin->setParameter(index, value);
    plugin->resume();
    Audio out;
    out.rate = in.rate;
    out.channels = 2;
    std::vector<float> inL(block), inR(block), outL(block), outR(block);
    float* ins[2] = {inL.data(), inR.data()};
    float* outs[2] = {outL.data(), outR.data()};
    for (long start = 0; start < in.frames(); start += block) {
        const auto n = static_cast<VstInt32>(std::min<long>(block, in.frames() - start));
        for (VstInt32 i = 0; i < n; ++i) {
            inL[i] = in.samples[(start + i) * in.channels];
            inR[i] = in.samples[(start + i) * in.channels + in.channels - 1];
        }
        plugin->processReplacing(ins, outs, n);
        for (VstInt32 i = 0; i < n; ++i) {
            out.samples.push_back(outL[i]);
            out.samples.push_back(outR[i]);
        }
    }
    plugin->suspend();
    return out;
}

// The flanger driven directly with parameters moved at control points:
// before the frames from each multiple of `control` on, every lane's value
// at that frame (rounded to float) goes through setParameter when it
// differs from the last one sent. Each stretch between control points is
// one processing call, then `tail` frames of silence follow.
Audio renderAutomated(const Audio& in, VstInt32 program, long control, long tail,
                      const std::vector<std::pair<VstInt32, render::Curve>>& lanes) {
    std::string error;
    auto library = vsthost::Library::open(FLANGER_PLUGIN, error);
    EXPECT_TRUE(library) << error;
    auto plugin = vsthost::Plugin::create(*library, error);
    EXPECT_TRUE(plugin) << error;
    plugin->open();
    plugin->setSampleRate(static_cast<float>(in.rate));
    plugin->setProgram(program);
    plugin->resume();
    Audio out{in.rate, 2, 0, {}};
    const long total = in.frames() + tail;
    std::vector<float> inL(control), inR(control), outL(control), outR(control);
    float* ins[2] = {inL.data(), inR.data()};
    float* outs[2] = {outL.data(), outR.data()};
    std::vector<float> sent(lanes.size());
    for (long start = 0; start < total; start += control) {
        for (std::size_t k = 0; k < lanes.size(); ++k) {
            const auto v =
                static_cast<float>(lanes[k].second.valueAt(static_cast<double>(start) / in.rate));
            if (start == 0 || v != sent[k]) plugin->setParameter(lanes[k].first, v);
            sent[k] = v;
        }
        const auto n = static_cast<VstInt32>(std::min(control, total - start));
        for (VstInt32 i = 0; i < n; ++i) {
            const long f = start + i;
            inL[i] = f < in.frames() ? in.samples[f * in.channels] : 0.0f;
            inR[i] = f < in.frames() ? in.samples[f * in.channels + in.channels - 1] : 0.0f;
        }
        plugin->processReplacing(ins, outs, n);
        for (VstInt32 i = 0; i < n; ++i) {
            out.samples.push_back(outL[i]);
            out.samples.push_back(outR[i]);
        }
    }
    plugin->suspend();
    return out;
}

class TempFolder {
public:
    TempFolder() {
        char name[] = "/tmp/render-test-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempFolder() { fs::remove_all(path); }
    fs::path path;
};

// Names, sizes and contents of every file in a folder.
std::map<std::string, std::string> snapshot(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        files[entry.path().filename().string()] =
            entry.is_directory() ? "<folder>" : std::string(std::istreambuf_iterator<char>(in), {});
    }
    return files;
}

// ---------------------------------------------------------------------------

struct MatchCase {
    const char* name;
    int channels;
    int rate;
    int format;
    const char* extension;
    const char* args;
    VstInt32 program;
    std::vector<std::pair<VstInt32, float>> settings;
    VstInt32 block;
};

void PrintTo(const MatchCase& c, std::ostream* os) {
    *os << c.name;
}

class RenderMatchesDirectDrive : public testing::TestWithParam<MatchCase> {};

TEST_P(RenderMatchesDirectDrive, SampleForSampleInTheInputsFormat) {
    const MatchCase& c = GetParam();
    TempFolder dir;
    const std::string in = std::string("in.") + c.extension;
    const std::string out = std::string("out.") + c.extension;
    writeAudio(dir.path / in, c.format, testAudio(c.channels, c.rate, 30000));
    const ToolRun run = runTool(dir.path, std::string(c.args) + " " + in + " " + out);
    ASSERT_EQ(run.status, 0) << run.output;

    const Audio input = readAudio(dir.path / in);
    const Audio expected = renderDirect(input, c.program, c.settings, c.block);
    const Audio got = readAudio(dir.path / out);
    EXPECT_EQ(got.format, c.format);
    EXPECT_EQ(got.rate, c.rate);
    ASSERT_EQ(got.channels, 2);
    ASSERT_EQ(got.frames(), input.frames());
    const int subtype = c.format & SF_FORMAT_SUBMASK;
    // Integer files hold the result to within one step of their grid.
    const double step = subtype == SF_FORMAT_PCM_16   ? 1.0 / 32768
                        : subtype == SF_FORMAT_PCM_24 ? 1.0 / 8388608
                                                      : 0.0;
    double worst = 0.0;
    for (std::size_t i = 0; i < got.samples.size(); ++i) {
        const double want = std::clamp(static_cast<double>(expected.samples[i]), -1.0, 1.0);
        worst = std::max(worst, std::fabs(want - got.samples[i]));
    }
    EXPECT_LE(worst, step * 1.001) << "largest difference " << worst;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, RenderMatchesDirectDrive,
    testing::Values(MatchCase{"Mono16BitWav",
                              1,
                              44100,
                              SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                              "wav",
                              "--program 'metal FLANGE 1'",
                              5,
                              {},
                              512},
                    MatchCase{"Stereo16BitWavAt48k",
                              2,
                              48000,
                              SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                              "wav",
                              "--block 256 --program 11 --set 'post flanger1 send = 0.7'",
                              11,
                              {{6, 0.7f}},
                              256},
                    MatchCase{"MonoFloatWavAt22k",
                              1,
                              22050,
                              SF_FORMAT_WAV | SF_FORMAT_FLOAT,
                              "wav",
                              "--block 100 --program 'Eggs LP'",
                              8,
                              {},
                              100},
                    MatchCase{"StereoFloatAiff",
                              2,
                              44100,
                              SF_FORMAT_AIFF | SF_FORMAT_FLOAT,
                              "aiff",
                              "--block 64 --program 14 --set 0=0.3 --set FEEDBACK=0.9 "
                              "--set 'Post Flanger2 depth=0.25'",
                              14,
                              {{0, 0.3f}, {1, 0.9f}, {10, 0.25f}},
                              64},
                    MatchCase{"Stereo24BitFlacAt96k",
                              2,
                              96000,
                              SF_FORMAT_FLAC | SF_FORMAT_PCM_24,
                              "flac",
                              "--program 'hi flange 1'",
                              1,
                              {},
                              512}),
    [](const testing::TestParamInfo<MatchCase>& p) { return p.param.name; });

TEST(Automation, EnvelopesAndSweepsAtBreakpointsBetweenThemAndQuarterPeriods) {
    struct Point {
        const char* curve;  // "env:..." or a sweep
        double seconds;
        double value;
    };
    const Point points[] = {
        {"env:1:0.2,3:0.6,4:0", 0.0, 0.2},   {"env:1:0.2,3:0.6,4:0", 1.0, 0.2},
        {"env:1:0.2,3:0.6,4:0", 2.0, 0.4},   {"env:1:0.2,3:0.6,4:0", 3.0, 0.6},
        {"env:1:0.2,3:0.6,4:0", 3.75, 0.15}, {"env:1:0.2,3:0.6,4:0", 4.0, 0.0},
        {"env:1:0.2,3:0.6,4:0", 60.0, 0.0},  {"env:0.5:0.7", 0.0, 0.7},
        {"env:0.5:0.7", 9.0, 0.7},           {"sine:2:0.2:0.6", 0.0, 0.2},
        {"sine:2:0.2:0.6", 0.5, 0.4},        {"sine:2:0.2:0.6", 1.0, 0.6},
        {"sine:2:0.2:0.6", 1.5, 0.4},        {"sine:2:0.2:0.6", 2.0, 0.2},
        {"triangle:2:0.2:0.6", 0.5, 0.4},    {"triangle:2:0.2:0.6", 1.0, 0.6},
        {"triangle:2:0.2:0.6", 1.5, 0.4},    {"triangle:2:0.2:0.6", 4.0, 0.2},
        {"saw:2:0.2:0.6", 0.5, 0.3},         {"saw:2:0.2:0.6", 1.5, 0.5},
        {"saw:2:0.2:0.6", 2.0, 0.2},         {"square:2:0.2:0.6", 0.5, 0.2},
        {"square:2:0.2:0.6", 1.0, 0.6},      {"square:2:0.2:0.6", 1.5, 0.6},
        {"square:2:0.2:0.6", 2.0, 0.2},      {"saw:2:0.8:0.4:0.25", 0.0, 0.7},
        {"sine:4:0:1:0.5", 0.0, 1.0},        {"triangle:1:0.2:0.6:1", 0.25, 0.4},
    };
    for (const Point& p : points) {
        const std::string text = p.curve;
        render::Curve curve;
        std::string error;
        const bool parsed = text.rfind("env:", 0) == 0
                                ? render::Curve::parseEnvelope(text.substr(4), curve, error)
                                : render::Curve::parseSweep(text, curve, error);
        ASSERT_TRUE(parsed) << text << ": " << error;
        EXPECT_NEAR(curve.valueAt(p.seconds), p.value, 1e-12) << text << " at " << p.seconds;
    }
}

struct AutomatedCase {
    const char* name;
    const char* args;  // before the file names
    VstInt32 program;
    long control;
    long tail;
    const char* lanes;  // "INDEX CURVE|...", CURVE a sweep, env:T:V,... or file:NAME
    const char* summary;
};

void PrintTo(const AutomatedCase& c, std::ostream* os) {
    *os << c.name;
}

class AutomatedRender : public testing::TestWithParam<AutomatedCase> {};

TEST_P(AutomatedRender, EqualsTheSameSetParameterCallsAtTheSameFrames) {
    const AutomatedCase& c = GetParam();
    TempFolder dir;
    writeAudio(dir.path / "in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, testAudio(2, 44100, 30000));
    std::ofstream(dir.path / "env.txt") << "# depth down, then up\n\n0,0.4\n 0.2 , 0.05\n"
                                           "0.5,0.45\n";
    const bool all = std::string(c.args).find("--all-programs") != std::string::npos;
    const ToolRun run =
        runTool(dir.path, std::string(c.args) + (all ? " in.wav all" : " in.wav out.wav"));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find(c.summary), std::string::npos) << run.output;

    std::vector<std::pair<VstInt32, render::Curve>> lanes;
    std::istringstream list(c.lanes);
    for (std::string lane; std::getline(list, lane, '|');) {
        const std::size_t space = lane.find(' ');
        const std::string t = lane.substr(space + 1);
        render::Curve curve;
        std::string error;
        bool readFailed = false;
        const bool parsed = t.rfind("file:", 0) == 0
                                ? render::Curve::readEnvelope((dir.path / t.substr(5)).string(),
                                                              curve, readFailed, error)
                            : t.rfind("env:", 0) == 0
                                ? render::Curve::parseEnvelope(t.substr(4), curve, error)
                                : render::Curve::parseSweep(t, curve, error);
        ASSERT_TRUE(parsed) << lane << ": " << error;
        lanes.emplace_back(std::stoi(lane.substr(0, space)), curve);
    }
    const Audio input = readAudio(dir.path / "in.wav");
    const Audio expected = renderAutomated(input, c.program, c.control, c.tail, lanes);
    const Audio got = readAudio(dir.path / (all ? "all/03-Loud-Disto.wav" : "out.wav"));
    ASSERT_EQ(got.frames(), input.frames() + c.tail);
    EXPECT_TRUE(got.samples == expected.samples);
    // Not vacuous: the same file without the movement differs.
    EXPECT_FALSE(got.samples == renderAutomated(input, c.program, c.control, c.tail, {}).samples);
}

INSTANTIATE_TEST_SUITE_P(
    ControlPoints, AutomatedRender,
    testing::Values(
        AutomatedCase{"DefaultsBlockAMultipleOfTheInterval",
                      "--program 5 --sweep 'Flanger Depth=sine:0.25:0.1:0.5'", 5, 32, 0,
                      "0 sine:0.25:0.1:0.5", "automated: Flanger Depth (sine sweep, 0.25 s)"},
        AutomatedCase{"BlockNotAMultipleAndTwoLanes",
                      "--program 14 --set 0=0.9 --block 100 --control 48 --sweep "
                      "'0=triangle:0.3:0.6:0.05:0.5' --automate 'FeedBack=0.1:0.2,0.5:0.95'",
                      14, 48, 0, "0 triangle:0.3:0.6:0.05:0.5|1 env:0.1:0.2,0.5:0.95",
                      "Flanger Depth (triangle sweep, 0.3 s), FeedBack (envelope, 2 points)"},
        AutomatedCase{
            "IntervalLongerThanTheBlock",
            "--program 1 --block 64 --control 1000 --sweep 'post flanger1 depth=saw:0.2:0:1'", 1,
            1000, 0, "7 saw:0.2:0:1", "Post Flanger1 depth (saw sweep"},
        AutomatedCase{"SweepGoesOnThroughTheTailAndEnvelopesHold",
                      "--program 2 --control 7 --tail 0.5 --sweep 0=square:0.1:0.2:0.4 "
                      "--automate 'Output Gain=0.6:0.3'",
                      2, 7, 22050, "0 square:0.1:0.2:0.4|11 env:0.6:0.3",
                      "Output Gain (envelope, 1 point)"},
        AutomatedCase{"EnvelopeFromAFileInEveryProgram", "--all-programs --automate 0=@env.txt", 3,
                      32, 0, "0 file:env.txt", "Flanger Depth (envelope, 3 points)"}),
    [](const testing::TestParamInfo<AutomatedCase>& p) { return p.param.name; });

TEST(RenderTool, SmallBlocksGiveTheSameFileAsOneBlockAndTheTailRingsOut) {
    TempFolder dir;
    const long frames = 100000;
    writeAudio(dir.path / "in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, testAudio(2, 44100, frames));
    const char* blocks[] = {"1", "7", "511", "1048576"};
    std::vector<Audio> outputs;
    for (const char* block : blocks) {
        const std::string out = std::string("b") + block + ".wav";
        const ToolRun run =
            runTool(dir.path, std::string("-q --program 'Metal Flange 2' --tail 0.5 "
                                          "--block ") +
                                  block + " in.wav " + out);
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(run.output, "");
        outputs.push_back(readAudio(dir.path / out));
    }
    ASSERT_EQ(outputs[0].frames(), frames + 22050);
    for (std::size_t i = 1; i < outputs.size(); ++i)
        EXPECT_TRUE(outputs[i].samples == outputs[0].samples) << "block " << blocks[i];
    // The echoes go on after the input ends.
    float tailPeak = 0.0f;
    for (std::size_t i = frames * 2; i < frames * 2 + 2000; ++i)
        tailPeak = std::max(tailPeak, std::fabs(outputs[0].samples[i]));
    EXPECT_GT(tailPeak, 1e-3f);
}

// The engine driven directly with the tool's files: reads and writes of
// any length, more blocks or fewer than the file holds, give the bytes of
// reading and writing block by block, encoded formats and automation
// included. Float WAV and AIFF files carry the wall-clock second they were
// written in their PEAK chunk, which is masked.
TEST(RenderEngine, FilesReadAndWrittenInChunksGiveTheBytesOfBlockByBlock) {
    struct Case {
        const char* plugin;
        const char* extension;
        int format;
        int channels;
        VstInt32 block;
        long control;  // 0: no automation
        long tail;
    };
    const Case cases[] = {
        {FLANGER_PLUGIN, "wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 512, 0, 10000},
        {FLANGER_PLUGIN, "wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 100, 48, 7000},
        {FLANGER_PLUGIN, "aiff", SF_FORMAT_AIFF | SF_FORMAT_FLOAT, 2, 7, 0, 0},
        {FLANGER_PLUGIN, "flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 2, 256, 32, 3000},
        {FLANGER_PLUGIN, "mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 2, 1000, 0, 2000},
        // The probe writes each call's length into its output.
        {PROBE_PLUGIN, "wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 300, 0, 1000},
        {PROBE_PLUGIN, "wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 64, 48, 100},
    };
    TempFolder dir;
    auto render = [&](const Case& c, const fs::path& in, long chunk, render::RenderStats& stats) {
        const fs::path out = dir.path / ("out-" + std::to_string(chunk) + "." + c.extension);
        std::string error;
        auto library = vsthost::Library::open(c.plugin, error);
        auto plugin = library ? vsthost::Plugin::create(*library, error) : nullptr;
        auto reader = render::AudioReader::open(in.string(), error);
        EXPECT_TRUE(plugin && reader) << error;
        if (!plugin || !reader) return std::string();
        plugin->open();
        plugin->setSampleRate(44100.0f);
        plugin->setBlockSize(c.block);
        plugin->setProgram(14);
        auto renderer = render::Renderer::create(*plugin, c.block, error);
        auto writer = render::AudioWriter::create(out.string(), c.format, 2, 44100, true, error);
        EXPECT_TRUE(renderer && writer) << error;
        if (!renderer || !writer) return std::string();
        render::Curve sweep;
        render::Curve::parseSweep("triangle:0.2:0.05:0.6", sweep, error);
        if (c.control > 0) renderer->automate({{0, "Flanger Depth", sweep}}, c.control);
        renderer->chunk(chunk);
        plugin->resume();
        EXPECT_TRUE(renderer->run(*reader, *writer, c.tail, {}, stats, error)) << error;
        EXPECT_TRUE(writer->commit(error)) << error;
        std::ifstream file(out, std::ios::binary);
        std::string bytes(std::istreambuf_iterator<char>(file), {});
        const std::size_t peak = bytes.find("PEAK");
        if (peak != std::string::npos && peak < 256) bytes.replace(peak + 12, 4, 4, '\0');
        return bytes;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.plugin) + " " + c.extension + " block " +
                     std::to_string(c.block));
        const fs::path in = dir.path / (std::string("in.") + c.extension);
        writeAudio(in, c.format, testAudio(c.channels, 44100, 40000));
        render::RenderStats expectedStats;
        const std::string expected = render(c, in, c.block, expectedStats);
        EXPECT_EQ(expectedStats.framesOut, expectedStats.framesIn + c.tail);
        EXPECT_GT(expected.size(), 4000u);
        for (const long chunk :
             {1L, 3L * c.block + 1, 20000L, render::Renderer::kChunkFrames, 1L << 20}) {
            render::RenderStats stats;
            EXPECT_TRUE(render(c, in, chunk, stats) == expected) << "chunk " << chunk;
            EXPECT_EQ(stats.framesOut, expectedStats.framesOut) << "chunk " << chunk;
            EXPECT_EQ(stats.peakIn, expectedStats.peakIn) << "chunk " << chunk;
            EXPECT_EQ(stats.peakOut, expectedStats.peakOut) << "chunk " << chunk;
        }
    }
}

// Interleaved frames from memory, and a sink that keeps what it is given.
class MemorySource : public render::Source {
public:
    MemorySource(int channels, std::vector<float> samples)
        : numChannels(channels), data(std::move(samples)) {}
    int channels() const override { return numChannels; }
    int rate() const override { return 44100; }
    std::int64_t length() const override { return total(); }
    long read(float* interleaved, long frames, std::string&) override {
        const long n = std::min(frames, total() - position);
        std::copy_n(data.begin() + position * numChannels, n * numChannels, interleaved);
        position += n;
        return n;
    }

private:
    long total() const { return static_cast<long>(data.size()) / numChannels; }
    int numChannels;
    std::vector<float> data;
    long position = 0;
};

struct MemorySink : render::Sink {
    bool write(const float* interleaved, long frames, std::string&) override {
        samples.insert(samples.end(), interleaved, interleaved + 2 * frames);
        return true;
    }
    std::vector<float> samples;
};

// The summary's figures over samples beyond full scale, infinities, NaN and
// negative zero, against a plain loop over the probe's output (the input,
// a stereo source averaged, on the left; the rate in MHz plus the call's
// length, always beyond full scale, on the right).
TEST(RenderEngine, SummaryCountsPeaksClipsAndNonFiniteSamplesAsAPlainLoopDoes) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float specials[] = {0.5f, -1.5f, nan, inf, -inf, -0.0f, 1.0f, 1.0000001f, -3.0f, 0.25f};
    const VstInt32 block = 64;
    for (const int channels : {1, 2}) {
        std::vector<float> in;
        std::uint32_t state = 99u;
        for (long i = 0; i < 5000 * channels; ++i) {
            state = state * 1664525u + 1013904223u;
            in.push_back(i % 97 < 10 ? specials[i % 97]
                                     : static_cast<float>(state >> 8) / 6990506.0f - 1.2f);
        }
        std::string error;
        auto library = vsthost::Library::open(PROBE_PLUGIN, error);
        ASSERT_TRUE(library) << error;
        auto plugin = vsthost::Plugin::create(*library, error);
        ASSERT_TRUE(plugin) << error;
        plugin->open();
        plugin->setSampleRate(44100.0f);
        auto renderer = render::Renderer::create(*plugin, block, error);
        ASSERT_TRUE(renderer) << error;
        plugin->resume();
        MemorySource source(channels, in);
        MemorySink sink;
        render::RenderStats stats;
        ASSERT_TRUE(renderer->run(source, sink, 0, {}, stats, error)) << error;

        render::RenderStats expected;
        std::vector<float> out;
        for (long i = 0; i < 5000; ++i) {
            const float l = in[i * channels];
            const float r = in[i * channels + channels - 1];
            expected.peakIn = std::max({expected.peakIn, std::fabs(l), std::fabs(r)});
            const float call = static_cast<float>(i < 4992 ? block : 8);
            // The probe adds into cleared outputs, so -0 comes out as 0.
            const float mono = channels == 2 ? 0.5f * (l + r) : l;
            for (float v : {0.0f + mono, 44100.0f / 1e6f + call}) {
                if (!std::isfinite(v)) {
                    ++expected.nonFinite;
                    v = 0.0f;
                }
                expected.overFullScale += std::fabs(v) > 1.0f ? 1 : 0;
                expected.peakOut = std::max(expected.peakOut, std::fabs(v));
                out.push_back(v);
            }
        }
        EXPECT_EQ(stats.peakIn, inf) << channels;
        EXPECT_EQ(stats.peakOut, expected.peakOut) << channels;
        EXPECT_EQ(stats.overFullScale, expected.overFullScale) << channels;
        EXPECT_EQ(stats.nonFinite, expected.nonFinite) << channels;
        EXPECT_GT(stats.nonFinite, 100) << channels;
        EXPECT_EQ(std::memcmp(sink.samples.data(), out.data(), out.size() * sizeof(float)), 0)
            << channels;
        EXPECT_EQ(sink.samples.size(), out.size());
    }
}

TEST(RenderTool, BuiltInSignalNeedsNoInputAndFollowsRate) {
    TempFolder dir;
    ToolRun run = runTool(dir.path, "demo.wav");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("demo.wav: 264600 frames, 6.000 s at 44100 Hz"), std::string::npos)
        << run.output;
    const Audio demo = readAudio(dir.path / "demo.wav");
    EXPECT_EQ(demo.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    float peak = 0.0f;
    for (float v : demo.samples) peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 0.05f);
    EXPECT_LT(peak, 1.0f);

    run = runTool(dir.path, "--rate 48000 --float demo.caf");
    ASSERT_EQ(run.status, 0) << run.output;
    const Audio caf = readAudio(dir.path / "demo.caf");
    EXPECT_EQ(caf.format, SF_FORMAT_CAF | SF_FORMAT_FLOAT);
    EXPECT_EQ(caf.rate, 48000);
    EXPECT_EQ(caf.frames(), 288000);
}

TEST(RenderTool, AllProgramsWritesOneFilePerProgramLikeSingleRenders) {
    TempFolder dir;
    writeAudio(dir.path / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, testAudio(2, 22050, 8000));
    ToolRun run = runTool(dir.path, "-q --all-programs --set 'output gain=0.4' in.wav all");
    ASSERT_EQ(run.status, 0) << run.output;
    const auto files = snapshot(dir.path / "all");
    ASSERT_EQ(files.size(), 20u);
    EXPECT_EQ(files.count("00-Default.wav"), 1u);
    EXPECT_EQ(files.count("03-Loud-Disto.wav"), 1u);
    EXPECT_EQ(files.count("19-Init-19.wav"), 1u);

    run = runTool(dir.path, "-q --program 'loud disto' --set 11=0.4 in.wav single.wav");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(readAudio(dir.path / "single.wav").samples,
              readAudio(dir.path / "all" / "03-Loud-Disto.wav").samples);

    // A second run refuses before writing anything, and --force replaces.
    run = runTool(dir.path, "--all-programs in.wav all");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("already exists; add --force"), std::string::npos) << run.output;
    EXPECT_EQ(snapshot(dir.path / "all"), files);
    run = runTool(dir.path, "-q --force --all-programs in.wav all");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(snapshot(dir.path / "all"), files);
}

TEST(RenderTool, ResponseOfTheDefaultProgramIsItsComb) {
    // Program 0 adds the input delayed by 199 samples at 44100 Hz: +6 dB at
    // 0 Hz and a notch at 44100 / 398 Hz.
    TempFolder dir;
    const ToolRun run = runTool(dir.path, "--program 0 --response r.csv");
    ASSERT_EQ(run.status, 0) << run.output;
    std::ifstream csv(dir.path / "r.csv");
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(line, "frequency_hz,left_db,right_db");
    std::vector<std::array<double, 3>> rows;
    while (std::getline(csv, line)) {
        std::array<double, 3> row{};
        ASSERT_EQ(std::sscanf(line.c_str(), "%lf,%lf,%lf", &row[0], &row[1], &row[2]), 3) << line;
        rows.push_back(row);
    }
    ASSERT_EQ(rows.size(), 16385u);
    EXPECT_NEAR(rows[0][1], 6.0206, 0.01);
    EXPECT_NEAR(rows.back()[0], 22050.0, 1e-6);
    double notch = 0.0;
    double notchFrequency = 0.0;
    for (const auto& row : rows) {
        if (row[0] > 80.0 && row[0] < 140.0 && row[1] < notch) {
            notch = row[1];
            notchFrequency = row[0];
        }
    }
    EXPECT_LT(notch, -30.0);
    EXPECT_NEAR(notchFrequency, 44100.0 / 398.0, 1.5);
}

TEST(RenderTool, OtherEffectsGetTheFileRateBeforeSwitchingOnAndZeroedOutputs) {
    // The probe adds into its outputs (no replacing entry), takes one input
    // and answers the rate it was switched on at, plus the frames in each
    // call, on its right output.
    TempFolder dir;
    const Audio stereo = testAudio(2, 22050, 5000);
    writeAudio(dir.path / "in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, stereo);
    const ToolRun run =
        runTool(dir.path, "--plugin '" PROBE_PLUGIN "' --block 100 --set gain=0.25 in.wav out.wav");
    ASSERT_EQ(run.status, 0) << run.output;
    const Audio out = readAudio(dir.path / "out.wav");
    ASSERT_EQ(out.frames(), 5000);
    for (long i = 0; i < out.frames(); ++i) {
        const float mono = 0.5f * (stereo.samples[2 * i] + stereo.samples[2 * i + 1]);
        ASSERT_EQ(out.samples[2 * i], 0.5f * mono) << "frame " << i;
        ASSERT_EQ(out.samples[2 * i + 1], 22050.0f / 1e6f + 100.0f) << "frame " << i;
    }
    const ToolRun list = runTool(dir.path, "--plugin '" PROBE_PLUGIN "' --list");
    EXPECT_EQ(list.status, 0) << list.output;
    EXPECT_NE(list.output.find("Gain"), std::string::npos) << list.output;
}

TEST(RenderTool, FileCutShortRendersTheFramesItHoldsWithAWarning) {
    TempFolder dir;
    writeAudio(dir.path / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, testAudio(2, 44100, 10000));
    fs::resize_file(dir.path / "in.wav", 44 + 4 * 6000);
    const ToolRun run = runTool(dir.path, "in.wav out.wav");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("warning: 'in.wav' is shorter than its header says"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(readAudio(dir.path / "out.wav").frames(), 6000);
}

TEST(RenderTool, AFailedWriteOrAnInterruptLeavesTheFolderAsItWas) {
    struct Case {
        const char* prefix;
        const char* args;
        int status;
        const char* message;
    };
    const Case cases[] = {
        // A file-size limit of 512 KB or 1 MB (the shell's block size) cuts
        // the 1.6 MB output short in the middle of a chunk.
        {"ulimit -f 1024; ", "--float in.wav out.wav", 1,
         "writing 'out.wav' failed: System error : File too large."},
        // An hour of tail in short blocks runs long after the signal.
        {"timeout -s INT --preserve-status 1 ", "--block 16 --tail 3600 out.wav", 130,
         "interrupted; 'out.wav' was not written"},
    };
    for (const Case& c : cases) {
        TempFolder dir;
        writeAudio(dir.path / "in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT,
                   testAudio(2, 44100, 200000));
        const auto before = snapshot(dir.path);
        const ToolRun run = runTool(dir.path, c.args, c.prefix);
        EXPECT_EQ(run.status, c.status) << c.prefix << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
        EXPECT_EQ(snapshot(dir.path), before) << c.prefix;
    }
}

TEST(RenderTool, ListShowsProgramsAndParametersAsReported) {
    TempFolder dir;
    const ToolRun run = runTool(dir.path, "--list --program 'metal air'");
    ASSERT_EQ(run.status, 0) << run.output;
    for (const char* text : {"* 11  Metal Air", "17  New Plimo", "Post Flanger1 send",
                             "Post Flanger2 depth", "% -> send", "Hz"})
        EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n" << run.output;
}

TEST(RenderTool, VersionIsTheBuildsAndNeedsNoPlugin) {
    TempFolder dir;
    const ToolRun run = runTool(dir.path, "--plugin nothere.so --version");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "flanger-render " FLANGER_VERSION "\n");
}

// ---------------------------------------------------------------------------

struct BadCase {
    const char* name;
    const char* args;
    int status;
    const char* message;
};

void PrintTo(const BadCase& c, std::ostream* os) {
    *os << c.name;
}

class BadInput : public testing::TestWithParam<BadCase> {};

TEST_P(BadInput, FailsWithItsMessageAndLeavesTheFolderAsItWas) {
    const BadCase& c = GetParam();
    TempFolder dir;
    const Audio mono = testAudio(1, 44100, 2000);
    writeAudio(dir.path / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, mono);
    writeAudio(dir.path / "existing.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, mono);
    writeAudio(dir.path / "three.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, testAudio(3, 44100, 1000));
    std::ofstream(dir.path / "text.txt") << "just some words, not audio\n";
    std::ofstream(dir.path / "fake.so") << "not a shared library\n";
    {
        std::ifstream wav(dir.path / "in.wav", std::ios::binary);
        std::string head(30, '\0');
        wav.read(head.data(), 30);
        std::ofstream(dir.path / "corrupt.wav", std::ios::binary) << head;
    }
    std::ofstream(dir.path / "env-bad.txt") << "# time,value\n0,0.1\n1;0.5\n";
    fs::create_symlink("in.wav", dir.path / "link.wav");
    fs::create_directory(dir.path / "sub");
    const auto before = snapshot(dir.path);

    const ToolRun run = runTool(dir.path, c.args);
    EXPECT_EQ(run.status, c.status) << run.output;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    EXPECT_EQ(snapshot(dir.path), before) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, BadInput,
    testing::Values(
        BadCase{"MissingInput", "missing.wav out.wav", 1, "input 'missing.wav' does not exist"},
        BadCase{"FolderAsInput", "sub out.wav", 1, "is a folder, not an audio file"},
        BadCase{"InputNotAudio", "text.txt out.wav", 1, "cannot read 'text.txt' as audio"},
        BadCase{"CorruptInput", "corrupt.wav out.wav", 1, "cannot read 'corrupt.wav' as audio"},
        BadCase{"ThreeChannels", "three.wav out.wav", 1, "has 3 channels; only mono and stereo"},
        BadCase{"OutputIsInput", "--force in.wav ./sub/../in.wav", 2, "is the input file"},
        BadCase{"OutputIsInputThroughLink", "--force link.wav in.wav", 2, "is the input file"},
        BadCase{"ExistingOutput", "in.wav existing.wav", 1,
                "'existing.wav' already exists; add --force"},
        BadCase{"OutputFolderMissing", "in.wav nowhere/out.wav", 1,
                "folder 'nowhere' does not exist"},
        BadCase{"OutputIsFolder", "--force in.wav sub", 1, "is a folder; give a file name"},
        BadCase{"UnknownOutputType", "in.wav out.xyz", 2, "unknown output file type '.xyz'"},
        BadCase{"FloatIntoFlac", "--float in.wav out.flac", 2, "cannot hold 32-bit float"},
        BadCase{"PluginNotABinary", "--plugin fake.so in.wav out.wav", 1, "cannot load '"},
        BadCase{"PluginMissing", "--plugin nothere.so in.wav out.wav", 1,
                "plug-in 'nothere.so' does not exist"},
        BadCase{"PluginEntryAnswersNull", "--plugin '" NULL_PLUGIN "' in.wav out.wav", 1,
                "entry point answered null"},
        BadCase{"PluginWithSixChannels", "--plugin '" WIDE_PLUGIN "' in.wav out.wav", 1,
                "6 inputs and 6 outputs"},
        BadCase{"UnknownProgramName", "--program 'Metal Fog' in.wav out.wav", 2,
                "unknown program 'Metal Fog'; valid programs are:\n  0  --- Default ---"},
        BadCase{"ProgramNumberTooHigh", "--program 20 in.wav out.wav", 2,
                "program 20 does not exist; programs are numbered 0 to 19"},
        BadCase{"UnknownParameter", "--set 'Wobble=0.5' in.wav out.wav", 2,
                "unknown parameter 'Wobble'"},
        BadCase{"SharedParameterName", "--set 'post flanger2=0.5' in.wav out.wav", 2,
                "is shared; say which one:\n  9  Post Flanger2 send\n  10  Post Flanger2 depth"},
        BadCase{"ParameterIndexTooHigh", "--set 12=0.5 in.wav out.wav", 2,
                "parameter 12 does not exist"},
        BadCase{"ValueAboveOne", "--set Cutoff=1.5 in.wav out.wav", 2, "1.5 is outside 0..1"},
        BadCase{"ValueNegative", "--set Cutoff=-0.1 in.wav out.wav", 2, "outside 0..1"},
        BadCase{"ValueNotANumber", "--set Cutoff=loud in.wav out.wav", 2, "'loud' is not a number"},
        BadCase{"SettingWithoutValue", "--set Cutoff in.wav out.wav", 2,
                "needs the form NAME=VALUE"},
        BadCase{"BlockZero", "--block 0 in.wav out.wav", 2, "block size '0' is not"},
        BadCase{"BlockNotANumber", "--block fast in.wav out.wav", 2, "block size 'fast' is not"},
        BadCase{"TailNegative", "--tail -1 in.wav out.wav", 2, "tail '-1' is not"},
        BadCase{"UnknownOption", "--louder in.wav out.wav", 2, "unknown option '--louder'"},
        BadCase{"NoOutput", "", 2, "no output file given"},
        BadCase{"AutomateUnknownParameter", "--automate Wobble=0:0.5 in.wav out.wav", 2,
                "--automate 'Wobble=0:0.5': unknown parameter 'Wobble'; valid parameters are:"},
        BadCase{"AutomateNoName", "--automate =0:0.5 in.wav out.wav", 2,
                "needs the form NAME=TIME:VALUE[,TIME:VALUE...] or NAME=@FILE"},
        BadCase{"AutomateEmpty", "--automate Cutoff= in.wav out.wav", 2, "the envelope is empty"},
        BadCase{"AutomateMalformed", "--automate Cutoff=0:0.1,2 in.wav out.wav", 2,
                "'2' is not a breakpoint; write TIME:VALUE"},
        BadCase{"AutomateTrailingComma", "--automate Cutoff=0:0.1, in.wav out.wav", 2,
                "'' is not a breakpoint"},
        BadCase{"TimeNegative", "--automate Cutoff=-1:0.5 in.wav out.wav", 2,
                "time '-1' is not a number of seconds from 0 on"},
        BadCase{"TimeNotIncreasing", "--automate Cutoff=1:0.5,1:0.6 in.wav out.wav", 2,
                "times must increase"},
        BadCase{"TimeNaN", "--automate Cutoff=nan:0.5 in.wav out.wav", 2, "time 'nan' is not"},
        BadCase{"TimeInfinite", "--automate Cutoff=0:0.1,inf:0.5 in.wav out.wav", 2,
                "time 'inf' is not"},
        BadCase{"EnvelopeValueAboveOne", "--automate Cutoff=0:1.5 in.wav out.wav", 2,
                "value '1.5' is not a number from 0 to 1"},
        BadCase{"EnvelopeValueNaN", "--automate Cutoff=0:nan in.wav out.wav", 2,
                "value 'nan' is not"},
        BadCase{"EnvelopeValueInfinite", "--automate Cutoff=0:-inf in.wav out.wav", 2,
                "value '-inf' is not"},
        BadCase{"SweepMalformed", "--sweep Cutoff=sine:1:0 in.wav out.wav", 2,
                "is not a sweep; write SHAPE:PERIOD:LOW:HIGH[:PHASE]"},
        BadCase{"SweepWithoutName", "--sweep sine:1:0:1 in.wav out.wav", 2,
                "needs the form NAME=SHAPE:PERIOD:LOW:HIGH[:PHASE]"},
        BadCase{"SweepUnknownShape", "--sweep Cutoff=sin:1:0:1 in.wav out.wav", 2,
                "unknown sweep shape 'sin'; shapes are sine, triangle, saw and square"},
        BadCase{"SweepPeriodZero", "--sweep Cutoff=sine:0:0:1 in.wav out.wav", 2,
                "period '0' is not a number of seconds above 0"},
        BadCase{"SweepPeriodInfinite", "--sweep Cutoff=sine:inf:0:1 in.wav out.wav", 2,
                "period 'inf' is not"},
        BadCase{"SweepValueOutside", "--sweep Cutoff=saw:1:0:2 in.wav out.wav", 2,
                "value '2' is not a number from 0 to 1"},
        BadCase{"SweepPhaseAboveOne", "--sweep Cutoff=sine:1:0:1:1.5 in.wav out.wav", 2,
                "phase '1.5' is not a fraction of a period from 0 to 1"},
        BadCase{"SameParameterTwice",
                "--automate 0=0:0.1 --automate 'flanger depth=0:0.2' in.wav out.wav", 2,
                "Flanger Depth is already moved by --automate '0=0:0.1'; give each parameter one"},
        BadCase{"AutomatedAndSwept", "--automate 4=0:0.1 --sweep Cutoff=saw:1:0:1 in.wav out.wav",
                2, "Cutoff is already moved by --automate '4=0:0.1'"},
        BadCase{"ControlZero", "--control 0 in.wav out.wav", 2, "--control '0' is not a whole"},
        BadCase{"ControlNegative", "--control -4 in.wav out.wav", 2, "--control '-4' is not"},
        BadCase{"ControlNotANumber", "--control often in.wav out.wav", 2,
                "--control 'often' is not"},
        BadCase{"AutomatedList", "--list --sweep 0=sine:1:0:1", 2,
                "--list has no time axis to automate along; drop --sweep"},
        BadCase{"AutomatedResponse", "--response r.csv --automate 0=0:0.5", 2,
                "--response has no time axis to automate along; drop --automate"},
        BadCase{"EnvelopeFileMissing", "--automate 0=@none.txt in.wav out.wav", 1,
                "cannot read envelope file 'none.txt': No such file or directory"},
        BadCase{"EnvelopeFileIsAFolder", "--automate 0=@sub in.wav out.wav", 1,
                "envelope file 'sub' is a folder"},
        BadCase{"EnvelopeFileMalformedLine", "--automate 0=@env-bad.txt in.wav out.wav", 2,
                "--automate '0=@env-bad.txt': 'env-bad.txt' line 3: '1;0.5' is not a breakpoint"},
        BadCase{"EveryProgramWithAnUnknownParameter",
                "--all-programs --sweep Wobble=sine:1:0:1 in.wav newfolder", 2,
                "unknown parameter 'Wobble'"},
        BadCase{"EveryProgramWithAnUnknownSetting",
                "--all-programs --set Wobble=1 in.wav newfolder", 2,
                "--set Wobble=1: unknown parameter 'Wobble'"}),
    [](const testing::TestParamInfo<BadCase>& p) { return p.param.name; });

}  // namespace
