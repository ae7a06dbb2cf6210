// Loads a VST 2 plug-in the way a host does, prints its record, parameters
// and programs, and runs one block of a test signal through it.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "host/VstHost.h"

namespace {

// M_PI is not standard C++ and the Windows runtime headers lack it.
constexpr double kPi = 3.14159265358979323846;

double peakDb(const std::vector<float>& a, const std::vector<float>& b) {
    float peak = 0.0f;
    for (float v : a) peak = std::fmax(peak, std::fabs(v));
    for (float v : b) peak = std::fmax(peak, std::fabs(v));
    return peak > 0.0f ? 20.0 * std::log10(peak) : -INFINITY;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr,
                     "usage: vst-probe PLUGIN\n  loads a VST 2 plug-in binary and reports on it\n");
        return 2;
    }
    std::string error;
    auto library = vsthost::Library::open(argv[1], error);
    if (!library) {
        std::fprintf(stderr, "vst-probe: %s\n", error.c_str());
        return 1;
    }
    auto plugin = vsthost::Plugin::create(*library, error);
    if (!plugin) {
        std::fprintf(stderr, "vst-probe: %s\n", error.c_str());
        return 1;
    }
    const AEffect* fx = plugin->effect();
    const auto id = static_cast<std::uint32_t>(fx->uniqueID);
    std::printf("plug-in      %s (entry %s)\n", library->path().c_str(),
                library->entrySymbol().c_str());
    std::printf("name         %s / %s, vendor version %ld\n", plugin->effectName().c_str(),
                plugin->vendorName().c_str(),
                static_cast<long>(plugin->dispatch(effGetVendorVersion)));
    std::printf("unique id    '%c%c%c%c'\n", static_cast<char>(id >> 24),
                static_cast<char>(id >> 16), static_cast<char>(id >> 8), static_cast<char>(id));
    std::printf("i/o          %d in, %d out, flags 0x%x, version %d\n", fx->numInputs,
                fx->numOutputs, static_cast<unsigned>(fx->flags), fx->version);
    std::printf("parameters   %d\n", fx->numParams);
    for (VstInt32 i = 0; i < fx->numParams; ++i)
        std::printf("  %2d  %-16s [%s] [%s]\n", i, plugin->parameterName(i).c_str(),
                    plugin->parameterDisplay(i).c_str(), plugin->parameterLabel(i).c_str());
    std::printf("programs     %d\n", fx->numPrograms);

    constexpr VstInt32 kFrames = 4096;
    plugin->start(44100.0f, kFrames);
    std::vector<float> inL(kFrames), inR(kFrames), outL(kFrames), outR(kFrames);
    for (VstInt32 i = 0; i < kFrames; ++i) {
        inL[i] = 0.5f * static_cast<float>(std::sin(2.0 * kPi * 220.0 * i / 44100.0));
        inR[i] = 0.5f * static_cast<float>(std::sin(2.0 * kPi * 330.0 * i / 44100.0));
    }
    float* ins[2] = {inL.data(), inR.data()};
    float* outs[2] = {outL.data(), outR.data()};
    for (VstInt32 p = 0; p < fx->numPrograms; ++p) {
        plugin->setProgram(p);
        plugin->processReplacing(ins, outs, kFrames);
        std::printf("  %2d  %-24s peak in %6.2f dB, out %6.2f dB\n", p,
                    plugin->programName().c_str(), peakDb(inL, inR), peakDb(outL, outR));
    }
    plugin->suspend();
    return 0;
}
