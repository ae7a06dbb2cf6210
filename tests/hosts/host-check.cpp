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
// Every file is 32-bit float WAV. Exit status 0 on success, 1 on a failed
// comparison or an error, 2 on a usage error.
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/VstHost.h"

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

int usage() {
    std::fprintf(
        stderr,
        "usage: host-check signal OUT.wav [--lead N]\n"
        "       host-check render PLUGIN IN.wav OUT.wav [--block N] [--program N]"
        " [--param INDEX=VALUE]...\n"
        "       host-check params PLUGIN [--program N] [--param INDEX=VALUE]... [--digits N]\n"
        "       host-check compare REF.wav HOST.wav [--max-lag N] [--expect-offset N]"
        " [--tolerance T] [--min-frames N] [--skip-ref N]\n");
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
    }
    return status < 0 ? usage() : status;
}
