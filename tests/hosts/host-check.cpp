// Tools for checking renders made by real hosts:
//   signal OUT.wav [--lead N]       writes the fixed stereo test signal
//                                   (after N frames of silence)
//   render PLUGIN IN.wav OUT.wav    runs IN through the plug-in with the
//          [--block N] [--program N] [--param INDEX=VALUE]...
//   params PLUGIN [--program N] [--param INDEX=VALUE]... [--digits N]
//                                   prints the resulting parameter values
//   compare REF.wav HOST.wav        finds the host render's offset against
//          [--max-lag N] [--expect-offset N]   the reference (host frame
//          [--tolerance T] [--min-frames N]    i + offset against reference
//          [--skip-ref N]           frame i) and compares sample by sample,
//                                   the reference's first N frames left out
//   replay LOG PLUGIN               plays a record-shim log back through the
//          [--export HOST.wav]      plug-in: every output as logged; the
//          [--input IN.wav]         export found in the logged outputs, the
//          [--reference REF.wav     input in the logged inputs; against a
//           --start N --tempo BPM]  timeline render (4/4 from frame 0), the
//                                   calls replayed with the exact positions
//                                   of frames N on
// Every file is 32-bit float WAV. Exit status 0 on success, 1 on a failed
// comparison or an error, 2 on a usage error.
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "host/VstHost.h"
#include "tests/hosts/ShimLog.h"

namespace {

constexpr int kRate = 44100;

// Two channels of equal length.
struct Stereo {
    std::vector<float> left, right;
    int rate = kRate;
    std::size_t frames() const { return left.size(); }
};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "host-check: %s\n", message.c_str());
    std::exit(1);
}

Stereo readWav(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr)
        fail("cannot read '" + path + "': " + sf_strerror(nullptr) + "; give an existing WAV file");
    if (info.channels < 1 || info.channels > 2) {
        sf_close(file);
        fail("'" + path + "' has " + std::to_string(info.channels) +
             " channels; give a mono or stereo file");
    }
    std::vector<float> interleaved(static_cast<std::size_t>(info.frames) * info.channels);
    const sf_count_t got = sf_readf_float(file, interleaved.data(), info.frames);
    sf_close(file);
    Stereo s;
    s.rate = info.samplerate;
    s.left.resize(static_cast<std::size_t>(got));
    s.right.resize(static_cast<std::size_t>(got));
    for (sf_count_t i = 0; i < got; ++i) {
        const std::size_t k = static_cast<std::size_t>(i) * info.channels;
        s.left[i] = interleaved[k];
        s.right[i] = interleaved[k + (info.channels == 2 ? 1 : 0)];
    }
    return s;
}

// Writes next to the target and renames, so a failed run never leaves a
// half-written file under the target's name.
void writeWav(const std::string& path, const Stereo& s) {
    const std::string temp = path + ".part";
    SF_INFO info{};
    info.samplerate = s.rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(temp.c_str(), SFM_WRITE, &info);
    if (file == nullptr)
        fail("cannot write '" + temp + "': " + sf_strerror(nullptr) +
             "; check the folder exists and is writable");
    std::vector<float> interleaved(s.frames() * 2);
    for (std::size_t i = 0; i < s.frames(); ++i) {
        interleaved[2 * i] = s.left[i];
        interleaved[2 * i + 1] = s.right[i];
    }
    const sf_count_t put =
        sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(s.frames()));
    sf_close(file);
    if (put != static_cast<sf_count_t>(s.frames()) ||
        std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        fail("writing '" + path + "' failed; check free space");
    }
}

// 2 s at 44.1 kHz: 1024 frames of silence, 1.5 s of a rising sweep on the
// left and a tone with noise on the right, then silence to the end. The
// silence at both ends keeps region fades and dropped tail frames away
// from the signal; the noise gives the offset search one clear answer.
Stereo testSignal() {
    constexpr std::size_t kFrames = 2 * kRate;
    constexpr std::size_t kLead = 1024;
    constexpr std::size_t kBody = kRate * 3 / 2;
    Stereo s;
    s.left.assign(kFrames, 0.0f);
    s.right.assign(kFrames, 0.0f);
    std::uint32_t seed = 12345u;
    double phase = 0.0;
    for (std::size_t i = 0; i < kBody; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double hz = 50.0 * std::pow(200.0, t / 1.5);  // 50 Hz to 10 kHz
        phase += 2.0 * M_PI * hz / kRate;
        seed = seed * 1664525u + 1013904223u;
        const double noise = static_cast<double>(seed >> 8) / 8388608.0 - 1.0;
        s.left[kLead + i] = static_cast<float>(0.5 * std::sin(phase));
        s.right[kLead + i] =
            static_cast<float>(0.3 * std::sin(2.0 * M_PI * 330.0 * t) + 0.2 * noise);
    }
    return s;
}

// Loads the plug-in and applies a program and parameters given as
// --program N and --param INDEX=VALUE, from argv[first] on. Answers false
// on an unknown option.
struct Setup {
    VstInt32 block = 1024;
    int program = -1;
    std::vector<std::pair<int, float>> params;
    int digits = 9;  // significant digits of printed values
};

bool parseSetup(int argc, char** argv, int first, Setup& setup) {
    for (int a = first; a < argc; ++a) {
        const std::string opt = argv[a];
        if (a + 1 >= argc) return false;
        const char* value = argv[++a];
        if (opt == "--block")
            setup.block = std::atoi(value);
        else if (opt == "--program")
            setup.program = std::atoi(value);
        else if (opt == "--digits")
            setup.digits = std::atoi(value);
        else if (opt == "--param" && std::strchr(value, '=') != nullptr)
            setup.params.emplace_back(std::atoi(value),
                                      std::strtof(std::strchr(value, '=') + 1, nullptr));
        else
            return false;
    }
    if (setup.block < 1) fail("--block must be a positive number of frames");
    return true;
}

void applySetup(vsthost::Plugin& plugin, const Setup& setup) {
    if (setup.program >= plugin.numPrograms())
        fail("--program " + std::to_string(setup.program) + " is beyond the plug-in's " +
             std::to_string(plugin.numPrograms()) + " programs");
    if (setup.program >= 0) plugin.setProgram(setup.program);
    for (const auto& [index, value] : setup.params) {
        if (index < 0 || index >= plugin.numParams())
            fail("--param " + std::to_string(index) + " is not one of the plug-in's " +
                 std::to_string(plugin.numParams()) + " parameters");
        plugin.setParameter(index, value);
    }
}

// Prints every parameter as INDEX:NAME:VALUE for host project files, the
// value with all the digits a float needs, or with --digits N significant
// digits for hosts that keep no more (LMMS keeps 6).
int params(int argc, char** argv) {
    if (argc < 1) return -1;
    Setup setup;
    if (!parseSetup(argc, argv, 1, setup)) return -1;
    std::string error;
    auto library = vsthost::Library::open(argv[0], error);
    if (!library) fail(error);
    auto plugin = vsthost::Plugin::create(*library, error);
    if (!plugin) fail(error);
    plugin->start(static_cast<float>(kRate), setup.block);
    applySetup(*plugin, setup);
    for (VstInt32 i = 0; i < plugin->numParams(); ++i) {
        std::string name = plugin->parameterName(i);
        while (!name.empty() && name.front() == ' ') name.erase(0, 1);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        std::printf("%d:%s:%.*g\n", i, name.c_str(), setup.digits,
                    static_cast<double>(plugin->getParameter(i)));
    }
    return 0;
}

int render(int argc, char** argv) {
    if (argc < 3) return -1;
    const std::string pluginPath = argv[0], inPath = argv[1], outPath = argv[2];
    Setup setup;
    if (!parseSetup(argc, argv, 3, setup)) return -1;
    const VstInt32 block = setup.block;

    const Stereo in = readWav(inPath);
    std::string error;
    auto library = vsthost::Library::open(pluginPath, error);
    if (!library) fail(error);
    auto plugin = vsthost::Plugin::create(*library, error);
    if (!plugin) fail(error);
    plugin->start(static_cast<float>(in.rate), block);
    applySetup(*plugin, setup);

    Stereo out;
    out.rate = in.rate;
    out.left.assign(in.frames(), 0.0f);
    out.right.assign(in.frames(), 0.0f);
    std::vector<float> inL(in.left), inR(in.right);
    for (std::size_t at = 0; at < in.frames(); at += static_cast<std::size_t>(block)) {
        const auto n = static_cast<VstInt32>(std::min<std::size_t>(block, in.frames() - at));
        float* ins[2] = {inL.data() + at, inR.data() + at};
        float* outs[2] = {out.left.data() + at, out.right.data() + at};
        plugin->processReplacing(ins, outs, n);
    }
    plugin->suspend();
    writeWav(outPath, out);
    float peak = 0.0f;
    for (std::size_t i = 0; i < out.frames(); ++i)
        peak = std::fmax(peak, std::fmax(std::fabs(out.left[i]), std::fabs(out.right[i])));
    std::printf("rendered %zu frames in %d-frame blocks, output peak %.4g\n", out.frames(), block,
                static_cast<double>(peak));
    return 0;
}

// Largest difference between ref[i] and host[i + lag] over the frames
// both hold.
struct Match {
    long lag = 0;
    std::size_t frames = 0;
    double maxDiff = INFINITY;
    std::size_t worstFrame = 0;
};

Match matchAt(const Stereo& ref, const Stereo& host, long lag, std::size_t limit) {
    Match m;
    m.lag = lag;
    m.maxDiff = 0.0;
    const long first = lag < 0 ? -lag : 0;
    for (long i = first; i < static_cast<long>(std::min(ref.frames(), limit)); ++i) {
        const long j = i + lag;
        if (j >= static_cast<long>(host.frames())) break;
        const double d = std::fmax(std::fabs(static_cast<double>(ref.left[i]) - host.left[j]),
                                   std::fabs(static_cast<double>(ref.right[i]) - host.right[j]));
        if (d > m.maxDiff) {
            m.maxDiff = d;
            m.worstFrame = static_cast<std::size_t>(i);
        }
        ++m.frames;
    }
    return m;
}

std::size_t lastSound(const Stereo& s) {
    std::size_t n = s.frames();
    while (n > 0 && s.left[n - 1] == 0.0f && s.right[n - 1] == 0.0f) --n;
    return n;
}

int compare(int argc, char** argv) {
    if (argc < 2) return -1;
    long maxLag = 4096;
    double tolerance = 0.0;
    long minFrames = -1;
    long expectLag = 0;
    bool lagGiven = false;
    long skip = 0;
    for (int a = 2; a < argc; ++a) {
        const std::string opt = argv[a];
        if (a + 1 >= argc) return -1;
        const char* value = argv[++a];
        if (opt == "--max-lag")
            maxLag = std::atol(value);
        else if (opt == "--tolerance")
            tolerance = std::atof(value);
        else if (opt == "--min-frames")
            minFrames = std::atol(value);
        else if (opt == "--skip-ref")
            skip = std::atol(value);
        else if (opt == "--expect-offset") {
            expectLag = std::atol(value);
            lagGiven = true;
        } else
            return -1;
    }
    Stereo ref = readWav(argv[0]);
    const Stereo host = readWav(argv[1]);
    if (skip < 0 || static_cast<std::size_t>(skip) > ref.frames())
        fail("--skip-ref " + std::to_string(skip) + " is outside the reference");
    ref.left.erase(ref.left.begin(), ref.left.begin() + skip);
    ref.right.erase(ref.right.begin(), ref.right.begin() + skip);
    if (ref.rate != host.rate)
        fail("the renders differ in rate (" + std::to_string(ref.rate) + " and " +
             std::to_string(host.rate) + " Hz); render the host at the reference's rate");
    // Every frame that carries sound must be compared unless told otherwise.
    const std::size_t needed =
        minFrames >= 0 ? static_cast<std::size_t>(minFrames) : lastSound(ref);

    // Search the offset on the first 16384 frames, then compare everything
    // at the best one.
    Match best;
    for (long lag = -maxLag; lag <= maxLag; ++lag) {
        const Match m = matchAt(ref, host, lag, 16384);
        if (m.frames > 0 && m.maxDiff < best.maxDiff) best = m;
    }
    if (best.frames == 0) fail("the host render holds no frames to compare");
    const Match all = matchAt(ref, host, best.lag, ref.frames());
    const double db = all.maxDiff > 0.0 ? 20.0 * std::log10(all.maxDiff) : -INFINITY;
    std::printf(
        "offset %ld frames, %zu frames compared (reference %zu, host %zu), "
        "max difference %.3g (%.1f dBFS) at frame %zu, tolerance %.3g\n",
        all.lag, all.frames, ref.frames(), host.frames(), all.maxDiff, db, all.worstFrame,
        tolerance);
    if (lagGiven && all.lag != expectLag) {
        std::printf("FAIL: the host render is offset by %ld frames, expected %ld\n", all.lag,
                    expectLag);
        return 1;
    }
    if (all.frames < needed) {
        std::printf("FAIL: only %zu of the %zu frames that carry sound were compared\n", all.frames,
                    needed);
        return 1;
    }
    if (!(all.maxDiff <= tolerance)) {
        std::printf("FAIL: the host render differs from the reference beyond the tolerance\n");
        return 1;
    }
    return 0;
}

// One call of the recorded instance, as record-shim logged it.
struct Call {
    std::uint32_t kind = 0;
    std::int32_t opcode = 0, index = 0;
    std::int64_t value = 0;
    float opt = 0.0f;
    std::int32_t timeState = shimlog::kNoQuery;
    VstTimeInfo time{};
    std::vector<float> in[2], out[2];
    std::size_t at = 0;  // processing calls: frames processed before this one
};

// The calls of the one instance that processed audio; fails on a truncated
// log, on several processing instances and on accumulating calls.
std::vector<Call> readLog(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) fail("cannot read the log '" + path + "'; give the file record-shim wrote");
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
    std::size_t at = 0;
    auto take = [&](void* to, std::size_t n) {
        if (bytes.size() - at < n) fail("the log '" + path + "' is truncated");
        std::memcpy(to, bytes.data() + at, n);
        at += n;
    };
    std::vector<std::pair<std::uint64_t, Call>> all;
    std::uint64_t processing = 0;
    while (at < bytes.size()) {
        shimlog::RecordHead head;
        take(&head, sizeof head);
        Call c;
        c.kind = head.kind;
        if (head.kind == shimlog::kDispatch) {
            take(&c.opcode, 4);
            take(&c.index, 4);
            take(&c.value, 8);
            take(&c.opt, 4);
        } else if (head.kind == shimlog::kParameter) {
            take(&c.index, 4);
            take(&c.opt, 4);
        } else if (head.kind == shimlog::kProcess) {
            std::int32_t frames = 0;
            take(&frames, 4);
            take(&c.timeState, 4);
            take(&c.time, sizeof c.time);
            for (auto* v : {&c.in[0], &c.in[1], &c.out[0], &c.out[1]}) {
                v->resize(static_cast<std::size_t>(frames));
                take(v->data(), v->size() * sizeof(float));
            }
            if (processing != 0 && processing != head.instance)
                fail("the log holds audio from two instances; record one session at a time");
            processing = head.instance;
        } else if (head.kind == shimlog::kAccumulate) {
            fail("the host called the accumulating process entry, which the log does not hold");
        } else if (head.kind != shimlog::kCreate) {
            fail("the log '" + path + "' holds an unknown record; it is not record-shim's");
        }
        all.emplace_back(head.instance, std::move(c));
    }
    if (processing == 0) fail("the log '" + path + "' holds no processing call");
    std::vector<Call> calls;
    std::size_t frames = 0;
    for (auto& [instance, c] : all) {
        if (instance != processing) continue;
        c.at = frames;
        frames += c.in[0].size();
        calls.push_back(std::move(c));
    }
    return calls;
}

bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Runs the calls through a fresh instance of the plug-in, each processing
// call answered with `times[i]` (null: no time), and answers the output of
// every processing call, concatenated.
Stereo replayCalls(const std::string& pluginPath, const std::vector<Call>& calls,
                   const std::vector<const VstTimeInfo*>& times) {
    std::string error;
    auto library = vsthost::Library::open(pluginPath, error);
    if (!library) fail(error);
    const VstTimeInfo* current = nullptr;
    vsthost::HostOptions options;
    options.timeInfo = [&current](std::int64_t) { return current; };
    auto plugin = vsthost::Plugin::create(*library, error, options);
    if (!plugin) fail(error);
    Stereo out;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const Call& c = calls[i];
        if (c.kind == shimlog::kDispatch) {
            if (c.opcode == effSetSampleRate) out.rate = static_cast<int>(c.opt);
            plugin->dispatch(c.opcode, c.index, static_cast<VstIntPtr>(c.value), nullptr, c.opt);
        } else if (c.kind == shimlog::kParameter) {
            plugin->setParameter(c.index, c.opt);
        } else if (c.kind == shimlog::kProcess) {
            const std::size_t n = c.in[0].size();
            std::vector<float> inL(c.in[0]), inR(c.in[1]);
            out.left.resize(c.at + n);
            out.right.resize(c.at + n);
            float* ins[2] = {inL.data(), inR.data()};
            float* outs[2] = {out.left.data() + c.at, out.right.data() + c.at};
            current = times[i];
            plugin->processReplacing(ins, outs, static_cast<VstInt32>(n));
        }
    }
    return out;
}

// The first frame from `from` on where the two differ on either channel,
// comparing `frames` frames of `a` from `aAt` with `b` from `bAt`; `frames`
// when none does. Counts the differing samples into `count`.
std::size_t firstDifference(const Stereo& a, std::size_t aAt, const Stereo& b, std::size_t bAt,
                            std::size_t frames, std::size_t& count) {
    std::size_t first = frames;
    count = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        const bool l = !sameBits(a.left[aAt + i], b.left[bAt + i]);
        const bool r = !sameBits(a.right[aAt + i], b.right[bAt + i]);
        count += static_cast<std::size_t>(l) + static_cast<std::size_t>(r);
        if ((l || r) && first == frames) first = i;
    }
    return first;
}

// Replays a record-shim log. With the export: where it lies in the logged
// output, bit for bit. With a timeline reference (the render tool's, from
// timeline frame 0 at a fixed tempo): the calls from the export's first on
// replayed with the exact position of each frame instead of the host's must
// give the reference bit for bit, so every sample where the export differs
// from it follows from the positions the host reported; the first call
// whose report departs from its frame is named, and the export must equal
// the reference up to it.
int replay(int argc, char** argv) {
    if (argc < 2) return -1;
    const std::string logPath = argv[0], pluginPath = argv[1];
    std::string exportPath, inputPath, referencePath;
    long start = -1;
    double tempo = 0.0;
    for (int a = 2; a < argc; ++a) {
        const std::string opt = argv[a];
        if (a + 1 >= argc) return -1;
        const char* value = argv[++a];
        if (opt == "--export")
            exportPath = value;
        else if (opt == "--input")
            inputPath = value;
        else if (opt == "--reference")
            referencePath = value;
        else if (opt == "--start")
            start = std::atol(value);
        else if (opt == "--tempo")
            tempo = std::atof(value);
        else
            return -1;
    }
    if (!referencePath.empty() && (exportPath.empty() || start < 0 || !(tempo >= 1.0)))
        fail("--reference needs --export, --start FRAME and --tempo BPM");

    const std::vector<Call> calls = readLog(logPath);
    std::vector<const VstTimeInfo*> logged(calls.size(), nullptr);
    std::size_t processCalls = 0;
    Stereo recorded;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const Call& c = calls[i];
        if (c.kind != shimlog::kProcess) continue;
        ++processCalls;
        if (c.timeState == shimlog::kAnswered) logged[i] = &c.time;
        recorded.left.insert(recorded.left.end(), c.out[0].begin(), c.out[0].end());
        recorded.right.insert(recorded.right.end(), c.out[1].begin(), c.out[1].end());
    }
    const Stereo replayed = replayCalls(pluginPath, calls, logged);
    recorded.rate = replayed.rate;
    std::size_t count = 0;
    const std::size_t total = recorded.frames();
    if (firstDifference(recorded, 0, replayed, 0, total, count) != total) {
        std::printf("FAIL: replaying the host's %zu calls differs from its output in %zu samples\n",
                    processCalls, count);
        return 1;
    }
    std::printf(
        "replay: %zu processing calls (%zu frames) with the host's time records give its output "
        "bit for bit\n",
        processCalls, total);
    if (exportPath.empty()) return 0;

    // Where the export lies in the processed frames.
    const Stereo host = readWav(exportPath);
    const std::size_t frames = host.frames();
    std::size_t offset = total;
    for (std::size_t o = 0; frames <= total && o <= total - frames; ++o) {
        std::size_t i = 0;
        while (i < frames && sameBits(recorded.left[o + i], host.left[i]) &&
               sameBits(recorded.right[o + i], host.right[i]))
            ++i;
        if (i == frames) {
            offset = o;
            break;
        }
    }
    if (frames == 0 || offset == total) {
        std::printf("FAIL: the export (%zu frames) is not the plug-in's output of any call run\n",
                    frames);
        return 1;
    }
    std::size_t first = 0;
    while (first < calls.size() &&
           (calls[first].kind != shimlog::kProcess || calls[first].at < offset))
        ++first;
    std::printf(
        "export: %zu frames, the plug-in's output from processed frame %zu on, bit for "
        "bit\n",
        frames, offset);
    if (!inputPath.empty()) {
        Stereo in = readWav(inputPath), fed;
        for (const Call& c : calls) {
            fed.left.insert(fed.left.end(), c.in[0].begin(), c.in[0].end());
            fed.right.insert(fed.right.end(), c.in[1].begin(), c.in[1].end());
        }
        if (in.frames() > frames ||
            firstDifference(fed, offset, in, 0, in.frames(), count) != in.frames()) {
            std::printf("FAIL: the plug-in was not fed the input file from there\n");
            return 1;
        }
        std::printf("input: the plug-in was fed the input file from there, bit for bit\n");
    }
    if (referencePath.empty()) return 0;
    if (offset != calls[first].at) {
        std::printf("FAIL: the export starts inside a processing call\n");
        return 1;
    }

    // The exact timeline from the export's first call on.
    const Stereo ref = readWav(referencePath);
    if (ref.frames() < static_cast<std::size_t>(start) + frames)
        fail("the reference ends before the export does; render it over the whole range");
    const double rate = replayed.rate;
    std::vector<VstTimeInfo> exact(calls.size());
    std::vector<const VstTimeInfo*> fixed(logged);
    std::size_t departs = calls.size(), rolling = 0, offFrame = 0, offPpq = 0, ticks = 0;
    double worstPpq = 0.0;
    for (std::size_t i = first; i < calls.size(); ++i) {
        const Call& c = calls[i];
        if (c.kind != shimlog::kProcess || c.at >= offset + frames) continue;
        VstTimeInfo& t = exact[i];
        t.samplePos = static_cast<double>(start + static_cast<long>(c.at - offset));
        t.sampleRate = rate;
        t.ppqPos = t.samplePos * tempo / (60.0 * rate);
        t.tempo = tempo;
        t.barStartPos = 4.0 * std::floor(t.ppqPos / 4.0);
        t.timeSigNumerator = 4;
        t.timeSigDenominator = 4;
        t.flags = kVstTransportPlaying | kVstPpqPosValid | kVstTempoValid | kVstBarsValid |
                  kVstTimeSigValid;
        fixed[i] = &t;
        ++rolling;
        const VstTimeInfo* h = logged[i];
        const bool playing = h != nullptr && (h->flags & kVstTransportPlaying) != 0;
        const bool frameOk = playing && h->samplePos == t.samplePos;
        const bool ppqOk = playing && (h->flags & kVstPpqPosValid) != 0 && h->ppqPos == t.ppqPos;
        offFrame += static_cast<std::size_t>(!frameOk);
        offPpq += static_cast<std::size_t>(!ppqOk);
        if (playing && !ppqOk) {
            worstPpq = std::fmax(worstPpq, std::fabs(h->ppqPos - t.ppqPos));
            // The whole 1/1920 of a quarter note nearest the exact position.
            const double tick = std::round(t.ppqPos * 1920.0) / 1920.0;
            ticks += static_cast<std::size_t>(std::fabs(h->ppqPos - tick) < 1e-9);
        }
        if (!(frameOk && ppqOk) && departs == calls.size()) departs = i;
    }
    const VstTimeInfo* h0 = logged[first];
    std::printf(
        "positions: the export's first call was answered frame %.17g, ppq %.17g (exact: "
        "%.17g, %.17g); of its %zu calls %zu report another frame than their own, %zu "
        "another ppq (by at most %.3g quarter notes; %zu of these are the exact ppq "
        "rounded to 1/1920 of a quarter note)\n",
        h0 != nullptr ? h0->samplePos : NAN, h0 != nullptr ? h0->ppqPos : NAN,
        exact[first].samplePos, exact[first].ppqPos, rolling, offFrame, offPpq, worstPpq, ticks);
    const Stereo corrected = replayCalls(pluginPath, calls, fixed);
    const std::size_t at = static_cast<std::size_t>(start);
    if (firstDifference(corrected, offset, ref, at, frames, count) != frames) {
        std::printf(
            "FAIL: with exact positions the replay still differs from the reference in "
            "%zu samples: the host's positions do not explain the difference\n",
            count);
        return 1;
    }
    std::printf(
        "exact positions: the same calls with each frame's exact position give the "
        "reference bit for bit\n");
    const std::size_t differ = firstDifference(host, 0, ref, at, frames, count);
    if (count == 0) {
        std::printf("reference: the export equals it bit for bit\n");
        return 0;
    }
    if (departs == calls.size()) {
        std::printf("FAIL: the export differs from the reference with exact positions\n");
        return 1;
    }
    const std::size_t from = calls[departs].at - offset;
    std::printf(
        "reference: the export differs in %zu of %zu samples, the first at file frame "
        "%zu; it equals the reference bit for bit before the first call with another "
        "position (file frame %zu), and every differing sample follows from the "
        "host's positions\n",
        count, 2 * frames, differ, from);
    if (differ < from) {
        std::printf("FAIL: the export differs before the host's positions depart\n");
        return 1;
    }
    return 0;
}

int usage() {
    std::fprintf(
        stderr,
        "usage: host-check signal OUT.wav [--lead N]\n"
        "       host-check render PLUGIN IN.wav OUT.wav [--block N] [--program N]"
        " [--param INDEX=VALUE]...\n"
        "       host-check params PLUGIN [--program N] [--param INDEX=VALUE]... [--digits N]\n"
        "       host-check compare REF.wav HOST.wav [--max-lag N] [--expect-offset N]"
        " [--tolerance T] [--min-frames N] [--skip-ref N]\n"
        "       host-check replay LOG PLUGIN [--export HOST.wav] [--input IN.wav]"
        " [--reference REF.wav --start N --tempo BPM]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    int status = -1;
    if (command == "signal" && (argc == 3 || (argc == 5 && std::strcmp(argv[3], "--lead") == 0))) {
        Stereo s = testSignal();
        const long lead = argc == 5 ? std::atol(argv[4]) : 0;
        if (lead < 0) return usage();
        s.left.insert(s.left.begin(), static_cast<std::size_t>(lead), 0.0f);
        s.right.insert(s.right.begin(), static_cast<std::size_t>(lead), 0.0f);
        writeWav(argv[2], s);
        status = 0;
    } else if (command == "params") {
        status = params(argc - 2, argv + 2);
    } else if (command == "render") {
        status = render(argc - 2, argv + 2);
    } else if (command == "compare") {
        status = compare(argc - 2, argv + 2);
    } else if (command == "replay") {
        status = replay(argc - 2, argv + 2);
    }
    return status < 0 ? usage() : status;
}
