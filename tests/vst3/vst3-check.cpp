// Loads a VST 3 module through our host and prints, for each of its
// classes, what a user and a session see: class ID and name, parameters,
// programs, a hash of every program's render (blocks of 1 to 4096 frames,
// in place and out of place, on a timeline playing from frame 0 at 120 bpm
// in 4/4 that jumps ahead halfway), of an automated render and of the saved
// state, and value texts read both ways on a grid. Two platforms' builds agree when their outputs
// are equal
// (.ci/vst3.sh runs the Windows build under Wine against the Linux one).
//
// Usage: vst3-check MODULE
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/vst3/Vst3Host.h"

namespace {

constexpr std::int32_t kFrames = 20000;
constexpr std::int32_t kBlocks[] = {4096, 1, 7, 511, 2048, 3, 1000, 64, 4095, 2, 333, 1024};

struct Hash {
    std::uint64_t h = 1469598103934665603ull;
    void add(const void* data, std::size_t n) {
        const auto* b = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 1099511628211ull;
    }
};

// Renders kFrames of a fixed signal; `automate` adds points inside blocks
// and program changes. The program parameter is the last.
std::uint64_t render(v3host::Instance& fx, std::int32_t program, bool inPlace, bool automate) {
    const auto programId = static_cast<vst3::ParamID>(fx.controller->getParameterCount() - 1);
    std::vector<float> in[2], out[2];
    for (int c = 0; c < 2; ++c) {
        in[c].resize(kFrames);
        out[c].resize(kFrames);
        std::uint32_t seed = 12345u + static_cast<std::uint32_t>(c);
        for (std::int32_t i = 0; i < kFrames; ++i) {
            seed = seed * 1664525u + 1013904223u;
            const float noise = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
            // A triangle and noise, exact in every C library (no sin).
            const float triangle =
                static_cast<float>(std::abs((i * (c + 1)) % 400 - 200)) / 200.0f - 0.5f;
            in[c][static_cast<std::size_t>(i)] = 0.6f * triangle + 0.3f * noise;
        }
    }
    std::int32_t pos = 0;
    for (std::int32_t b = program; pos < kFrames; ++b) {
        const std::int32_t n = std::min(kBlocks[b % 12], kFrames - pos);
        v3host::Changes changes;
        if (pos == 0) changes.add(programId, 0, program / 19.0);
        if (automate) {
            changes.add(static_cast<vst3::ParamID>(b % static_cast<std::int32_t>(programId)), n / 2,
                        (b % 7) / 6.0);
            if (b % 5 == 4) changes.add(programId, n - 1, (b % 20) / 19.0);
        }
        const std::int64_t frame = pos < kFrames / 2 ? pos : pos + 1000000;
        fx.context.state =
            vst3::kPlaying | vst3::kProjectTimeMusicValid | vst3::kTempoValid | vst3::kTimeSigValid;
        fx.context.projectTimeSamples = frame;
        fx.context.projectTimeMusic = static_cast<double>(frame) * 2.0 / 44100.0;
        fx.context.tempo = 120.0;
        fx.context.timeSigNumerator = 4;
        fx.context.timeSigDenominator = 4;
        float* outs[2] = {out[0].data() + pos, out[1].data() + pos};
        float* ins[2] = {in[0].data() + pos, in[1].data() + pos};
        if (inPlace) {
            std::memcpy(outs[0], ins[0], static_cast<std::size_t>(n) * sizeof(float));
            std::memcpy(outs[1], ins[1], static_cast<std::size_t>(n) * sizeof(float));
            ins[0] = outs[0];
            ins[1] = outs[1];
        }
        fx.process(ins, outs, n, &changes, nullptr);
        pos += n;
    }
    Hash h;
    h.add(out[0].data(), out[0].size() * sizeof(float));
    h.add(out[1].data(), out[1].size() * sizeof(float));
    return h.h;
}

// Prints everything about the module's `audioClass`-th class; false when
// an instance cannot be made.
bool check(const v3host::Module& module, std::int32_t audioClass) {
    std::string error;
    bool failed = false;
    auto make = [&]() {
        auto fx = v3host::Instance::create(module, error, audioClass);
        if (fx && !fx->start(44100.0, 4096, error)) fx.reset();
        if (!fx) {
            std::fprintf(stderr, "vst3-check: %s\n", error.c_str());
            failed = true;
        }
        return fx;
    };
    auto fx = make();
    if (!fx) return false;
    std::printf("class %s flags %d '%s'\n", fx->classId.c_str(), fx->classFlags,
                fx->className.c_str());
    const std::int32_t params = fx->controller->getParameterCount();
    for (std::int32_t i = 0; i < params; ++i) {
        vst3::ParameterInfo info{};
        fx->controller->getParameterInfo(i, &info);
        std::printf("param %u '%s' '%s' steps %d flags %d default %.9g\n", info.id,
                    v3host::narrow(info.title).c_str(), v3host::narrow(info.units).c_str(),
                    info.stepCount, info.flags, info.defaultNormalizedValue);
        for (int k = 0; k <= 40; ++k) {
            const std::string text = fx->text(info.id, k / 40.0);
            double back = -1.0;
            const bool read = fx->value(info.id, text, back);
            std::printf("  %.3f '%s' -> %s\n", k / 40.0, text.c_str(),
                        read && fx->text(info.id, back) == text ? "same" : "DIFFERENT");
        }
    }
    vst3::ProgramListInfo list{};
    fx->units->getProgramListInfo(0, &list);
    for (std::int32_t p = 0; p < list.programCount; ++p) {
        vst3::TChar name[128] = {};
        fx->units->getProgramName(list.id, p, name);
        std::printf("program %d '%s'\n", p, v3host::narrow(name).c_str());
    }
    for (std::int32_t p = 0; p < list.programCount; ++p) {
        for (const bool inPlace : {false, true}) {
            auto one = make();
            if (!one) return false;
            std::printf("render %d %s %016llx\n", p, inPlace ? "in-place" : "out-of-place",
                        static_cast<unsigned long long>(render(*one, p, inPlace, false)));
        }
    }
    auto automated = make();
    if (!automated) return false;
    std::printf("automated %016llx\n",
                static_cast<unsigned long long>(render(*automated, 4, false, true)));
    Hash state;
    const std::vector<unsigned char> bytes = automated->state();
    state.add(bytes.data(), bytes.size());
    std::printf("state %u bytes %016llx\n", static_cast<unsigned>(bytes.size()),
                static_cast<unsigned long long>(state.h));
    auto restored = make();
    if (!restored) return false;
    std::printf("state restored %s\n",
                restored->setState(bytes) == vst3::kResultOk && restored->state() == bytes
                    ? "same"
                    : "DIFFERENT");
    return !failed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vst3-check MODULE (the .so or .vst3 inside a bundle)\n");
        return 2;
    }
    std::string error;
    auto module = v3host::Module::open(argv[1], error);
    if (!module) {
        std::fprintf(stderr, "vst3-check: %s\n", error.c_str());
        return 1;
    }
    const std::int32_t classes = v3host::audioClassCount(*module);
    if (classes == 0) {
        std::fprintf(stderr, "vst3-check: %s lists no audio effect class\n", argv[1]);
        return 1;
    }
    for (std::int32_t c = 0; c < classes; ++c) {
        if (!check(*module, c)) return 1;
    }
    return 0;
}
