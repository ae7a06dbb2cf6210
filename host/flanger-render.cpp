// flanger-render: runs audio files through a VST 2 effect loaded from its
// binary, the way a host does, and writes the result.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "FlangerVersion.h"
#include "host/AudioFiles.h"
#include "host/Automation.h"
#include "host/PluginControls.h"
#include "host/RenderEngine.h"
#include "host/VstHost.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;
constexpr long kMaxBlock = 1 << 20;
constexpr double kMaxTail = 3600.0;
constexpr long kMaxControl = 1L << 30;

const char* const kUsage =
    R"(usage: flanger-render [options] [INPUT] OUTPUT
       flanger-render [options] --all-programs [INPUT] FOLDER
       flanger-render [options] --list
       flanger-render [options] --response FILE.csv

Runs INPUT (any file libsndfile reads: WAV, AIFF, FLAC, Ogg, ...; mono or
stereo) through the flanger plug-in and writes OUTPUT at the input's sample
rate. Without INPUT a built-in demonstration signal (6 s) is rendered.
OUTPUT's extension picks the container (.wav .aiff .flac .ogg .opus .caf
.w64 .rf64 .au .mp3); the sample format stays the input's.

options:
  --plugin PATH        load this VST 2 effect (1 or 2 inputs and outputs)
                       instead of the flanger.so installed beside the tool
  --program P          program by number or by name (case-insensitive)
  --set NAME=VALUE     set a parameter by name or number to a normalised
                       value 0..1, after the program; may be repeated.
                       Shared names take their label's last word, e.g.
                       "Post Flanger1 send" or "post flanger1 depth"
  --list               print programs and parameters (names, labels, values)
  --all-programs       render through every program into FOLDER, one file
                       each, named by program number and name
  --response FILE.csv  write the magnitude response of the current settings
                       (frequency in Hz, gain in dB per output channel)
  --rate HZ            sample rate of the built-in signal and of --response
                       (default 44100)
  --block N            frames per processing block (default 512)
  --tail SECONDS       keep rendering silence after the input so echoes
                       ring out (default 0)
  --automate NAME=T:V[,T:V...]
                       move a parameter along breakpoints: T seconds from
                       the first output frame (increasing), V values 0..1,
                       linear between them, held before and after
  --automate NAME=@FILE
                       the same from a text file of time,value lines
                       (blank lines and lines starting with # skipped)
  --sweep NAME=SHAPE:PERIOD:LOW:HIGH[:PHASE]
                       sweep a parameter periodically: SHAPE sine, triangle,
                       saw or square, PERIOD seconds, LOW and HIGH values
                       0..1, PHASE a fraction of a period 0..1 (default 0).
                       --automate and --sweep run after --program and --set
                       and through --tail; one of them per parameter
  --control N          frames between automation control points (default 32)
  --tempo BPM          the timeline's tempo, 1 to 999 (default 120); the
                       tool answers a plug-in's time queries with a
                       transport playing from the first output frame
  --meter N/D          the timeline's time signature (default 4/4): N 1..64,
                       D a power of two up to 64
  --float              write 32-bit float samples
  --force              replace an existing output file
  -q, --quiet          no progress bar and no summary
  -h, --help           this text
  --version            print the version
)";

volatile std::sig_atomic_t interrupted = 0;

extern "C" void onSignal(int) {
    interrupted = 1;
}

// One --automate or --sweep as given, its curve parsed.
struct Movement {
    std::string option;
    std::string text;
    std::string name;
    render::Curve curve;
};

struct Options {
    std::string plugin;
    std::string program;
    std::vector<std::string> settings;
    std::vector<Movement> movements;
    long control = 32;
    vsthost::Timeline timeline;
    std::vector<std::string> files;
    std::string response;
    long block = 512;
    double tail = 0.0;
    int rate = 44100;
    bool rateGiven = false;
    bool list = false;
    bool allPrograms = false;
    bool asFloat = false;
    bool force = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
};

// A failure with its exit status.
struct Failure {
    int status;
    std::string message;
};

bool parseInteger(const std::string& text, long low, long high, long& value) {
    const std::string t = render::trim(text);
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(t.c_str(), &end, 10);
    if (t.empty() || end != t.c_str() + t.size() || errno != 0 || v < low || v > high) return false;
    value = v;
    return true;
}

// A finite number of beats per minute, 1 to 999.
bool parseTempo(const std::string& text, double& tempo) {
    const std::string t = render::trim(text);
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(t.c_str(), &end);
    if (t.empty() || end != t.c_str() + t.size() || errno != 0 || !(v >= 1.0 && v <= 999.0))
        return false;
    tempo = v;
    return true;
}

// N/D: N beats of 1/D notes, N 1..64, D a power of two up to 64.
bool parseMeter(const std::string& text, vsthost::Timeline& timeline) {
    const std::string t = render::trim(text);
    const std::size_t slash = t.find('/');
    long n = 0;
    long d = 0;
    if (slash == std::string::npos || !parseInteger(t.substr(0, slash), 1, 64, n) ||
        !parseInteger(t.substr(slash + 1), 1, 64, d) || (d & (d - 1)) != 0)
        return false;
    timeline.numerator = static_cast<VstInt32>(n);
    timeline.denominator = static_cast<VstInt32>(d);
    return true;
}

// NAME=T:V,..., NAME=@FILE or NAME=SHAPE:PERIOD:LOW:HIGH[:PHASE].
bool parseMovement(const std::string& option, const std::string& text, Options& options,
                   Failure& failure) {
    const std::string quoted = option + " '" + text + "'";
    const std::size_t equals = text.find('=');
    const bool sweep = option == "--sweep";
    if (equals == std::string::npos || render::trim(text.substr(0, equals)).empty()) {
        failure = {kExitUsage, quoted + " needs the form " +
                                   (sweep ? "NAME=SHAPE:PERIOD:LOW:HIGH[:PHASE]"
                                          : "NAME=TIME:VALUE[,TIME:VALUE...] or NAME=@FILE")};
        return false;
    }
    Movement m{option, text, render::trim(text.substr(0, equals)), {}};
    const std::string curve = render::trim(text.substr(equals + 1));
    std::string error;
    bool readFailed = false;
    bool ok = false;
    if (sweep)
        ok = render::Curve::parseSweep(curve, m.curve, error);
    else if (!curve.empty() && curve[0] == '@')
        ok = render::Curve::readEnvelope(curve.substr(1), m.curve, readFailed, error);
    else
        ok = render::Curve::parseEnvelope(curve, m.curve, error);
    if (!ok) {
        failure = {readFailed ? kExitFailure : kExitUsage, quoted + ": " + error};
        return false;
    }
    options.movements.push_back(std::move(m));
    return true;
}

bool parseArguments(int argc, char** argv, Options& options, Failure& failure) {
    auto usage = [&](const std::string& message) {
        failure = {kExitUsage, message + " (see flanger-render --help)"};
        return false;
    };
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
            options.files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        std::string value;
        bool hasValue = false;
        const std::size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            hasValue = true;
        }
        auto next = [&](std::string& out) {
            if (hasValue) {
                out = value;
                return true;
            }
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        const bool flag = arg == "--list" || arg == "--all-programs" || arg == "--float" ||
                          arg == "--force" || arg == "--quiet" || arg == "-q" || arg == "--help" ||
                          arg == "-h" || arg == "--version";
        if (flag && hasValue) return usage("option " + arg + " takes no value");
        std::string text;
        if (arg == "--list") {
            options.list = true;
        } else if (arg == "--all-programs") {
            options.allPrograms = true;
        } else if (arg == "--float") {
            options.asFloat = true;
        } else if (arg == "--force") {
            options.force = true;
        } else if (arg == "--quiet" || arg == "-q") {
            options.quiet = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--plugin" || arg == "--program" || arg == "--set" ||
                   arg == "--response" || arg == "--block" || arg == "--tail" || arg == "--rate" ||
                   arg == "--automate" || arg == "--sweep" || arg == "--control" ||
                   arg == "--tempo" || arg == "--meter") {
            if (!next(text)) return usage("option " + arg + " needs a value");
            if (arg == "--plugin") {
                options.plugin = text;
            } else if (arg == "--program") {
                options.program = text;
            } else if (arg == "--set") {
                if (text.find('=') == std::string::npos)
                    return usage("--set '" + text + "' needs the form NAME=VALUE");
                options.settings.push_back(text);
            } else if (arg == "--automate" || arg == "--sweep") {
                if (!parseMovement(arg, text, options, failure)) return false;
            } else if (arg == "--control") {
                if (!parseInteger(text, 1, kMaxControl, options.control))
                    return usage("--control '" + text +
                                 "' is not a whole number of frames from 1 to " +
                                 std::to_string(kMaxControl));
            } else if (arg == "--tempo") {
                if (!parseTempo(text, options.timeline.tempo))
                    return usage("tempo '" + text +
                                 "' is not a number of beats per minute from 1 to 999");
            } else if (arg == "--meter") {
                if (!parseMeter(text, options.timeline))
                    return usage("meter '" + text +
                                 "' is not N/D with N from 1 to 64 and D 1, 2, 4, 8, 16, 32 "
                                 "or 64, e.g. 3/4");
            } else if (arg == "--response") {
                options.response = text;
            } else if (arg == "--block") {
                if (!parseInteger(text, 1, kMaxBlock, options.block))
                    return usage("block size '" + text + "' is not a whole number from 1 to " +
                                 std::to_string(kMaxBlock));
            } else if (arg == "--rate") {
                long rate = 0;
                if (!parseInteger(text, 1000, 768000, rate))
                    return usage("sample rate '" + text +
                                 "' is not a whole number of Hz from 1000 to 768000");
                options.rate = static_cast<int>(rate);
                options.rateGiven = true;
            } else {
                char* end = nullptr;
                const std::string t = render::trim(text);
                const double tail = std::strtod(t.c_str(), &end);
                if (t.empty() || end != t.c_str() + t.size() || !std::isfinite(tail) ||
                    tail < 0.0 || tail > kMaxTail)
                    return usage("tail '" + text + "' is not a number of seconds from 0 to " +
                                 std::to_string(static_cast<int>(kMaxTail)));
                options.tail = tail;
            }
        } else {
            return usage("unknown option '" + arg + "'");
        }
    }
    if (options.help || options.version) return true;
    const int modes =
        (options.list ? 1 : 0) + (options.allPrograms ? 1 : 0) + (options.response.empty() ? 0 : 1);
    if (modes > 1) return usage("--list, --all-programs and --response exclude each other");
    if (!options.movements.empty() && (options.list || !options.response.empty()))
        return usage(std::string(options.list ? "--list" : "--response") +
                     " has no time axis to automate along; drop " +
                     options.movements.front().option + " or render a file instead");
    const std::size_t files = options.files.size();
    if (options.list || !options.response.empty()) {
        if (files != 0)
            return usage(std::string(options.list ? "--list" : "--response") +
                         " takes no input or output file");
    } else if (files == 0) {
        return usage("no output file given");
    } else if (files > 2) {
        return usage("too many files: give at most INPUT and OUTPUT");
    }
    if (options.rateGiven && files == 2)
        return usage("--rate applies to the built-in signal only; the input keeps its own rate");
    return true;
}

// The flanger plug-in beside the executable: in the same folder (installed
// or copied), one folder up (the build tree, where the tool sits in host/),
// in the installed plug-in folder, and finally (not in release builds)
// where the build put it.
std::vector<fs::path> defaultPluginCandidates() {
    std::vector<fs::path> candidates;
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const fs::path dir = exe.parent_path();
        candidates.push_back(dir / FLANGER_PLUGIN_FILE);
        candidates.push_back(dir.parent_path() / FLANGER_PLUGIN_FILE);
        candidates.push_back(
            (dir / FLANGER_INSTALLED_PLUGIN_DIR / FLANGER_PLUGIN_FILE).lexically_normal());
    }
#ifdef FLANGER_BUILD_PLUGIN
    candidates.emplace_back(FLANGER_BUILD_PLUGIN);
#endif
    return candidates;
}

bool findPlugin(const Options& options, std::string& path, Failure& failure) {
    std::error_code ec;
    if (!options.plugin.empty()) {
        const fs::file_status status = fs::status(options.plugin, ec);
        if (!fs::exists(status)) {
            failure = {kExitFailure, "plug-in '" + options.plugin + "' does not exist"};
            return false;
        }
        if (!fs::is_regular_file(status)) {
            failure = {kExitFailure, "plug-in '" + options.plugin + "' is not a file"};
            return false;
        }
        // An absolute path: a bare file name would make the loader search
        // the library path instead of the current folder.
        path = fs::absolute(options.plugin, ec).string();
        return true;
    }
    std::string looked;
    for (const fs::path& candidate : defaultPluginCandidates()) {
        if (fs::is_regular_file(candidate, ec)) {
            path = candidate.string();
            return true;
        }
        looked += "\n  " + candidate.string();
    }
    failure = {kExitFailure,
               "no flanger plug-in found; looked for:" + looked + "\ngive one with --plugin PATH"};
    return false;
}

bool samePath(const std::string& a, const std::string& b) {
    std::error_code ec;
    return fs::exists(a, ec) && fs::exists(b, ec) && fs::equivalent(a, b, ec);
}

std::string decibels(float peak) {
    if (!(peak > 0.0f)) return "-inf dBFS";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f dBFS", 20.0 * std::log10(peak));
    return text;
}

// A progress bar on stderr, shown only on a terminal and only once a render
// has run for half a second, redrawn ten times a second.
class ProgressBar {
public:
    ProgressBar(bool show, std::int64_t frames, int sampleRate)
        : enabled(show), total(frames), rate(sampleRate), start(Clock::now()), last(start) {}
    ~ProgressBar() { clear(); }

    bool update(std::int64_t done) {
        if (!enabled) return interrupted == 0;
        const Clock::time_point now = Clock::now();
        if (now - last < std::chrono::milliseconds(100) ||
            now - start < std::chrono::milliseconds(500))
            return interrupted == 0;
        last = now;
        shown = true;
        const double seconds = static_cast<double>(done) / rate;
        if (total > 0) {
            const double fraction =
                std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
            const int width = 30;
            const int filled = static_cast<int>(fraction * width);
            std::fprintf(stderr, "\r[%s%s] %3d%%  %.1f / %.1f s", std::string(filled, '#').c_str(),
                         std::string(width - filled, ' ').c_str(),
                         static_cast<int>(fraction * 100.0), seconds,
                         static_cast<double>(total) / rate);
        } else {
            std::fprintf(stderr, "\r%.1f s rendered", seconds);
        }
        std::fflush(stderr);
        return interrupted == 0;
    }

    void clear() {
        if (shown) std::fprintf(stderr, "\r\033[K");
        shown = false;
    }

private:
    bool enabled;
    std::int64_t total;
    int rate;
    Clock::time_point start;
    Clock::time_point last;
    bool shown = false;
};

// Opens an instance and brings it to the state the options ask for, ready
// to process: open, sample rate, block size, program, parameters, on.
std::unique_ptr<vsthost::Plugin> preparePlugin(const vsthost::Library& library,
                                               const Options& options, int rate,
                                               const std::string& program, Failure& failure) {
    std::string error;
    vsthost::HostOptions host;
    host.timeline = options.timeline;
    auto plugin = vsthost::Plugin::create(library, error, std::move(host));
    if (!plugin) {
        failure = {kExitFailure, "plug-in '" + library.path() + "': " + error};
        return nullptr;
    }
    plugin->open();
    plugin->setSampleRate(static_cast<float>(rate));
    plugin->setBlockSize(static_cast<VstInt32>(options.block));
    if (!program.empty()) {
        VstInt32 number = 0;
        if (!render::findProgram(*plugin, program, number, error)) {
            failure = {kExitUsage, error};
            return nullptr;
        }
        plugin->setProgram(number);
    }
    for (const std::string& setting : options.settings) {
        const std::size_t equals = setting.find('=');
        VstInt32 index = 0;
        float value = 0.0f;
        if (!render::findParameter(*plugin, setting.substr(0, equals), index, error) ||
            !render::parseNormalised(setting.substr(equals + 1), value, error)) {
            failure = {kExitUsage, "--set " + setting + ": " + error};
            return nullptr;
        }
        plugin->setParameter(index, value);
    }
    return plugin;
}

// The parameters --automate and --sweep name, each at most once.
bool resolveAutomation(vsthost::Plugin& plugin, const Options& options,
                       std::vector<render::AutomationLane>& lanes, Failure& failure) {
    lanes.clear();
    for (std::size_t i = 0; i < options.movements.size(); ++i) {
        const Movement& m = options.movements[i];
        VstInt32 index = 0;
        std::string error;
        if (!render::findParameter(plugin, m.name, index, error)) {
            failure = {kExitUsage, m.option + " '" + m.text + "': " + error};
            return false;
        }
        for (std::size_t j = 0; j < lanes.size(); ++j) {
            if (lanes[j].parameter != index) continue;
            const Movement& earlier = options.movements[j];
            failure = {kExitUsage, m.option + " '" + m.text + "': " + lanes[j].name +
                                       " is already moved by " + earlier.option + " '" +
                                       earlier.text + "'; give each parameter one --automate " +
                                       "or --sweep"};
            return false;
        }
        lanes.push_back({index, render::parameterKey(plugin, index), m.curve});
    }
    return true;
}

std::unique_ptr<render::Source> openSource(const Options& options, std::string& inputPath,
                                           Failure& failure) {
    if (options.files.size() < 2) {
        inputPath.clear();
        return std::make_unique<render::TestSignal>(options.rate);
    }
    inputPath = options.files[0];
    std::string error;
    auto reader = render::AudioReader::open(inputPath, error);
    if (!reader) failure = {kExitFailure, error};
    return reader;
}

// Renders one output file; the source is opened afresh and the plug-in
// instance is new, so every file starts from the same state.
bool renderFile(const vsthost::Library& library, const Options& options, const std::string& program,
                const std::string& outputPath, Failure& failure) {
    std::string inputPath;
    auto source = openSource(options, inputPath, failure);
    if (!source) return false;
    if (!inputPath.empty() && samePath(inputPath, outputPath)) {
        failure = {kExitUsage,
                   "output '" + outputPath + "' is the input file; choose another name"};
        return false;
    }
    auto plugin = preparePlugin(library, options, source->rate(), program, failure);
    std::vector<render::AutomationLane> lanes;
    if (!plugin || !resolveAutomation(*plugin, options, lanes, failure)) return false;
    std::string automated;
    for (const render::AutomationLane& lane : lanes)
        automated += (automated.empty() ? ", automated: " : ", ") + lane.name + " (" +
                     lane.curve.describe() + ")";
    std::string error;
    auto renderer = render::Renderer::create(*plugin, static_cast<VstInt32>(options.block), error);
    if (!renderer) {
        failure = {kExitFailure, "plug-in '" + library.path() + "': " + error};
        return false;
    }
    renderer->automate(std::move(lanes), options.control);
    const auto* reader = dynamic_cast<const render::AudioReader*>(source.get());
    int format = 0;
    std::string note;
    if (!render::chooseOutputFormat(outputPath, reader ? reader->format() : 0, options.asFloat,
                                    renderer->outputChannels(), source->rate(), format, note,
                                    error)) {
        failure = {kExitUsage, error};
        return false;
    }
    auto writer = render::AudioWriter::create(outputPath, format, renderer->outputChannels(),
                                              source->rate(), options.force, error);
    if (!writer) {
        failure = {kExitFailure, error};
        return false;
    }
    if (!note.empty() && !options.quiet) std::fprintf(stderr, "note: %s\n", note.c_str());
    if (reader != nullptr && !reader->warning().empty())
        std::fprintf(stderr, "warning: %s\n", reader->warning().c_str());

    const auto tailFrames = static_cast<std::int64_t>(std::llround(options.tail * source->rate()));
    const std::int64_t total = source->length() >= 0 ? source->length() + tailFrames : -1;
    ProgressBar bar(!options.quiet && isatty(STDERR_FILENO) != 0, total, source->rate());
    render::RenderStats stats;
    const Clock::time_point start = Clock::now();
    plugin->resume();
    const bool ok = renderer->run(
        *source, *writer, tailFrames, [&](std::int64_t done) { return bar.update(done); }, stats,
        error);
    plugin->suspend();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    bar.clear();
    if (!ok) {
        failure = {error == "interrupted" ? kExitInterrupted : kExitFailure,
                   error + "; '" + outputPath + "' was not written"};
        return false;
    }
    if (!writer->commit(error)) {
        failure = {kExitFailure, error};
        return false;
    }
    if (stats.nonFinite > 0)
        std::fprintf(stderr,
                     "warning: the plug-in produced %lld non-finite samples in '%s', "
                     "written as silence\n",
                     static_cast<long long>(stats.nonFinite), outputPath.c_str());
    if (stats.overFullScale > 0 && render::isIntegerFormat(format))
        std::fprintf(stderr,
                     "warning: %lld samples of '%s' went beyond full scale and were "
                     "clipped; lower the output gain or use --float\n",
                     static_cast<long long>(stats.overFullScale), outputPath.c_str());
    if (!options.quiet) {
        const double seconds = static_cast<double>(stats.framesOut) / source->rate();
        char speed[32];
        if (wall > 0.0)
            std::snprintf(speed, sizeof speed, "%.0fx", seconds / wall);
        else
            std::snprintf(speed, sizeof speed, "fast");
        std::printf("%s: %lld frames, %.3f s at %d Hz, %s, peak in %s, out %s, %s real time%s\n",
                    outputPath.c_str(), static_cast<long long>(stats.framesOut), seconds,
                    source->rate(), render::describeFormat(format).c_str(),
                    decibels(stats.peakIn).c_str(), decibels(stats.peakOut).c_str(), speed,
                    automated.c_str());
        std::fflush(stdout);
    }
    return true;
}

bool renderAllPrograms(const vsthost::Library& library, const Options& options, Failure& failure) {
    const std::string folder = options.files.back();
    std::string inputPath;
    if (options.files.size() == 2) inputPath = options.files[0];
    std::error_code ec;
    if (fs::exists(folder, ec) && !fs::is_directory(folder, ec)) {
        failure = {kExitUsage, "'" + folder +
                                   "' is not a folder; --all-programs writes one file "
                                   "per program into a folder"};
        return false;
    }
    // Names and checks first, so nothing is written when any file would fail.
    // The probe also checks the --set and automation names.
    std::string error;
    auto probe = preparePlugin(library, options, options.rate, {}, failure);
    if (!probe) return false;
    const std::vector<std::string> names = render::programNames(*probe);
    std::vector<render::AutomationLane> lanes;
    if (!resolveAutomation(*probe, options, lanes, failure)) return false;
    probe.reset();
    if (names.empty()) {
        failure = {kExitFailure, "the plug-in has no programs"};
        return false;
    }
    std::string extension = ".wav";
    if (!inputPath.empty() && fs::path(inputPath).has_extension())
        extension = fs::path(inputPath).extension().string();
    const int width = std::max(2, static_cast<int>(std::to_string(names.size() - 1).size()));
    std::vector<std::string> outputs;
    for (std::size_t p = 0; p < names.size(); ++p) {
        std::string number = std::to_string(p);
        number.insert(
            0, static_cast<std::size_t>(width) - std::min<std::size_t>(width, number.size()), '0');
        const std::string path =
            (fs::path(folder) / (number + "-" + render::sanitiseFileName(names[p]) + extension))
                .string();
        if (!inputPath.empty() && samePath(inputPath, path)) {
            failure = {kExitUsage,
                       "output '" + path + "' is the input file; choose another folder"};
            return false;
        }
        if (fs::exists(fs::symlink_status(path, ec)) && !options.force) {
            failure = {kExitFailure, "output '" + path +
                                         "' already exists; add --force to "
                                         "replace the files in '" +
                                         folder + "'"};
            return false;
        }
        outputs.push_back(path);
    }
    if (!inputPath.empty()) {
        auto reader = render::AudioReader::open(inputPath, error);
        if (!reader) {
            failure = {kExitFailure, error};
            return false;
        }
    }
    fs::create_directories(folder, ec);
    if (ec) {
        failure = {kExitFailure, "cannot create the folder '" + folder + "': " + ec.message()};
        return false;
    }
    for (std::size_t p = 0; p < outputs.size(); ++p)
        if (!renderFile(library, options, std::to_string(p), outputs[p], failure)) return false;
    return true;
}

bool listPlugin(const vsthost::Library& library, const Options& options, Failure& failure) {
    auto plugin = preparePlugin(library, options, options.rate, options.program, failure);
    if (!plugin) return false;
    const AEffect* fx = plugin->effect();
    std::printf("plug-in     %s\n", library.path().c_str());
    std::printf("effect      %s (%s), %d inputs, %d outputs\n", plugin->effectName().c_str(),
                plugin->vendorName().c_str(), fx->numInputs, fx->numOutputs);
    const std::vector<std::string> names = render::programNames(*plugin);
    const VstInt32 current = plugin->program();
    std::printf("programs    %d\n", plugin->numPrograms());
    for (std::size_t p = 0; p < names.size(); ++p)
        std::printf("  %c %2zu  %s\n", static_cast<VstInt32>(p) == current ? '*' : ' ', p,
                    names[p].c_str());
    std::printf(
        "parameters  %d, in program %d (index, name for --set, value, value text, "
        "label)\n",
        plugin->numParams(), current);
    for (VstInt32 i = 0; i < plugin->numParams(); ++i)
        std::printf("    %2d  %-22s %8.6f  %s %s\n", i, render::parameterKey(*plugin, i).c_str(),
                    static_cast<double>(plugin->getParameter(i)),
                    render::trim(plugin->parameterDisplay(i)).c_str(),
                    render::trim(plugin->parameterLabel(i)).c_str());
    return true;
}

bool writeResponse(const vsthost::Library& library, const Options& options, Failure& failure) {
    auto plugin = preparePlugin(library, options, options.rate, options.program, failure);
    if (!plugin) return false;
    // Long enough for the combs' echoes to die away: at least half a second.
    long frames = 4096;
    while (frames < options.rate / 2) frames *= 2;
    std::string error;
    std::vector<render::ResponsePoint> points;
    int channels = 0;
    plugin->resume();
    const bool measured =
        render::measureResponse(*plugin, options.rate, static_cast<VstInt32>(options.block), frames,
                                points, channels, error);
    plugin->suspend();
    if (!measured) {
        failure = {kExitFailure, "plug-in '" + library.path() + "': " + error};
        return false;
    }
    auto file = render::PendingFile::create(options.response, options.force, error);
    if (!file) {
        failure = {kExitFailure, error};
        return false;
    }
    std::string text = channels == 2 ? "frequency_hz,left_db,right_db\n" : "frequency_hz,gain_db\n";
    char line[96];
    for (const render::ResponsePoint& p : points) {
        if (channels == 2)
            std::snprintf(line, sizeof line, "%.4f,%.4f,%.4f\n", p.frequency, p.gainDb[0],
                          p.gainDb[1]);
        else
            std::snprintf(line, sizeof line, "%.4f,%.4f\n", p.frequency, p.gainDb[0]);
        text += line;
    }
    if (write(file->descriptor(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        failure = {kExitFailure, "writing '" + options.response + "' failed (disk full?)"};
        return false;
    }
    if (!file->commit(error)) {
        failure = {kExitFailure, error};
        return false;
    }
    if (!options.quiet)
        std::printf("%s: %zu frequencies from 0 to %d Hz, impulse of %ld frames\n",
                    options.response.c_str(), points.size(), options.rate / 2, frames);
    return true;
}

int run(int argc, char** argv) {
    Options options;
    Failure failure{0, {}};
    if (!parseArguments(argc, argv, options, failure)) {
        std::fprintf(stderr, "flanger-render: %s\n", failure.message.c_str());
        return failure.status;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("flanger-render %s\n", FLANGER_VERSION);
        return 0;
    }
    std::string pluginPath;
    bool ok = findPlugin(options, pluginPath, failure);
    std::unique_ptr<vsthost::Library> library;
    if (ok) {
        std::string error;
        library = vsthost::Library::open(pluginPath, error);
        if (!library) failure = {kExitFailure, error};
        ok = library != nullptr;
    }
    if (ok) {
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        // Beyond a file-size limit a write then fails with EFBIG instead of
        // ending the process, so the partial file goes as after any other
        // write error.
        std::signal(SIGXFSZ, SIG_IGN);
        if (options.list)
            ok = listPlugin(*library, options, failure);
        else if (!options.response.empty())
            ok = writeResponse(*library, options, failure);
        else if (options.allPrograms)
            ok = renderAllPrograms(*library, options, failure);
        else
            ok = renderFile(*library, options, options.program, options.files.back(), failure);
    }
    if (!ok) {
        std::fprintf(stderr, "flanger-render: %s\n", failure.message.c_str());
        return failure.status;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return run(argc, argv);
}
