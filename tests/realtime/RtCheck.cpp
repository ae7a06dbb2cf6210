// The audio-thread entries make no call into the C library's allocation,
// lock, sleep or file functions: run with RtCounter preloaded, this host
// drives both plug-ins in both formats (VST 2 processing and parameter
// changes, LV2 run and connect_port) and every class of the VST 3 module
// (process with parameter queues, program changes and output changes) over
// every program, hostile parameter values and hostile time (VST 2 records,
// LV2 atoms, VST 3 process contexts) while the counter is armed, and fails
// on any call it counted.
//   rt-check FLANGER.so SWEEP.so BUNDLE/flanger.so VST3-MODULE.so
#include <dlfcn.h>
#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "effect/SweepParams.h"
#include "frame/vst2.h"
#include "lv2/Lv2Ports.h"
#include "tests/vst3/Vst3Host.h"

namespace {

using Arm = void (*)(int);
using Calls = long (*)(const char**);
Arm arm;
Calls callsOf;
int failures = 0;

// Runs `work` armed; reports any counted call with `what`.
template <typename Work>
void armed(const std::string& what, Work&& work) {
    arm(1);
    work();
    arm(0);
    const char* name = nullptr;
    const long n = callsOf(&name);
    if (n != 0) {
        std::fprintf(stderr, "rt-check: %s: %ld calls, the first to %s\n", what.c_str(), n,
                     name != nullptr ? name : "?");
        ++failures;
    }
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
const float kValues[] = {0.0f, 0.3f, 1.0f, -0.5f, 1.5f, kNaN, kInf, -kInf};

VstTimeInfo hostTime{};
bool answerTime = true;
VstIntPtr VSTCALLBACK host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    if (opcode == audioMasterVersion) return 2400;
    if (opcode == audioMasterGetTime && answerTime) return reinterpret_cast<VstIntPtr>(&hostTime);
    return 0;
}

// Hostile and ordinary host times, one per block.
void timeFor(int k) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    hostTime = VstTimeInfo{};
    answerTime = k % 7 != 0;
    hostTime.samplePos = k % 5 == 1 ? nan : k % 5 == 2 ? 1e300 : k % 5 == 3 ? -4410.0 : 512.0 * k;
    hostTime.ppqPos = k % 3 == 0 ? nan : hostTime.samplePos / 22050.0;
    hostTime.tempo = k % 4 == 0 ? 0.0 : k % 4 == 1 ? -60.0 : k % 4 == 2 ? nan : 133.0;
    hostTime.timeSigNumerator = k % 2 == 0 ? 0 : 7;
    hostTime.timeSigDenominator = k % 2 == 0 ? 0 : 8;
    hostTime.flags = k % 6 == 0 ? -1 : k % 6 == 1 ? 0 : 0x2E02;
}

void checkVst(const char* path) {
    void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    auto entry =
        lib != nullptr ? reinterpret_cast<VstEntryProc>(dlsym(lib, "VSTPluginMain")) : nullptr;
    if (entry == nullptr) {
        std::fprintf(stderr, "rt-check: cannot load %s\n", path);
        ++failures;
        return;
    }
    AEffect* e = entry(host);
    e->dispatcher(e, effOpen, 0, 0, nullptr, 0.0f);
    e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, 48000.0f);
    e->dispatcher(e, effSetBlockSize, 0, 512, nullptr, 0.0f);
    e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
    std::vector<float> a(512, 0.25f), b(512, -0.5f), c(512), d(512);
    float* ins[2] = {a.data(), b.data()};
    float* outs[2] = {c.data(), d.data()};
    int k = 0;
    for (VstInt32 program = 0; program < e->numPrograms; ++program) {
        e->dispatcher(e, effSetProgram, 0, program, nullptr, 0.0f);
        armed(std::string(path) + " program " + std::to_string(program), [&] {
            for (VstInt32 index = 0; index < e->numParams; ++index) {
                for (float v : kValues) {
                    e->setParameter(e, index, v);
                    timeFor(k++);
                    e->processReplacing(e, ins, outs, 64 + k % 300);
                    e->process(e, ins, outs, 1 + k % 40);
                }
                e->setParameter(e, index, e->getParameter(e, index));
            }
        });
    }
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
    dlclose(lib);
}

std::vector<const char*> uris;
LV2_URID mapUri(LV2_URID_Map_Handle, const char* uri) {
    for (std::size_t i = 0; i < uris.size(); ++i)
        if (std::strcmp(uris[i], uri) == 0) return static_cast<LV2_URID>(i + 1);
    uris.push_back(uri);
    return static_cast<LV2_URID>(uris.size());
}

// A sequence with one time:Position (frame, speed, tempo) at frame 0, or
// garbage, in a buffer of the size the bundle asks for.
void fillAtoms(std::vector<std::uint64_t>& words, int k) {
    auto* bytes = reinterpret_cast<std::uint8_t*>(words.data());
    std::memset(bytes, k % 3 == 0 ? 0xA7 : 0, words.size() * 8);
    struct Prop {
        LV2_Atom_Property_Body head;
        double v;
    };
    struct Event {
        LV2_Atom_Sequence seq;
        LV2_Atom_Event ev;
        LV2_Atom_Object_Body object;
        Prop props[3];
    } e{};
    e.seq.atom = {sizeof e - sizeof(LV2_Atom), mapUri(nullptr, LV2_ATOM__Sequence)};
    e.ev.body = {sizeof e.object + sizeof e.props, mapUri(nullptr, LV2_ATOM__Object)};
    e.object = {0, mapUri(nullptr, LV2_TIME__Position)};
    const LV2_URID dbl = mapUri(nullptr, LV2_ATOM__Double);
    e.props[0] = {{mapUri(nullptr, LV2_TIME__frame), 0, {8, dbl}}, 512.0 * k};
    e.props[1] = {{mapUri(nullptr, LV2_TIME__speed), 0, {8, dbl}}, k % 2 == 0 ? 1.0 : 0.0};
    e.props[2] = {{mapUri(nullptr, LV2_TIME__beatsPerMinute), 0, {k % 5 == 0 ? 3u : 8u, dbl}},
                  k % 4 == 0 ? std::nan("") : 90.0};
    if (k % 3 != 0) std::memcpy(bytes, &e, sizeof e);
    if (k % 11 == 0) {
        LV2_Atom huge{0x7FFFFFF0u, mapUri(nullptr, LV2_ATOM__Sequence)};
        std::memcpy(bytes, &huge, sizeof huge);
    }
}

void checkLv2(const char* path) {
    void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    using Descriptor = const LV2_Descriptor* (*)(std::uint32_t);
    auto descriptor =
        lib != nullptr ? reinterpret_cast<Descriptor>(dlsym(lib, "lv2_descriptor")) : nullptr;
    if (descriptor == nullptr) {
        std::fprintf(stderr, "rt-check: cannot load %s\n", path);
        ++failures;
        return;
    }
    LV2_URID_Map map{nullptr, mapUri};
    const LV2_Feature mapFeature{LV2_URID__map, &map};
    const LV2_Feature* const features[] = {&mapFeature, nullptr};
    // Every URI the atoms use, mapped before anything is armed.
    std::vector<std::uint64_t> words(lv2port::kTimeBufferBytes / 8);
    fillAtoms(words, 1);
    for (std::uint32_t plugin = 0; plugin < 2; ++plugin) {
        const LV2_Descriptor* d = descriptor(plugin);
        LV2_Handle h = d->instantiate(d, 48000.0, "", features);
        const std::int32_t controls = plugin == 0 ? kNumParams : kSweepNumParams;
        std::vector<float> values(static_cast<std::size_t>(controls), 0.5f);
        std::vector<float> a(512, 0.25f), b(512, -0.5f);
        d->activate(h);
        int k = 0;
        armed(std::string(path) + " " + d->URI, [&] {
            for (std::uint32_t p = 0; p < lv2port::kFirstControl; ++p)
                d->connect_port(h, p, p % 2 == 0 ? a.data() : b.data());
            for (std::int32_t i = 0; i < controls; ++i)
                d->connect_port(h, lv2port::control(i), &values[static_cast<std::size_t>(i)]);
            if (plugin == 1) d->connect_port(h, lv2port::kSweepTime, words.data());
            for (std::int32_t i = 0; i < controls; ++i) {
                for (float v : kValues) {
                    values[static_cast<std::size_t>(i)] = v;
                    if (plugin == 1) fillAtoms(words, k);
                    d->run(h, static_cast<std::uint32_t>(1 + (k++ * 37) % 512));
                }
                values[static_cast<std::size_t>(i)] = 0.5f;
            }
        });
        d->deactivate(h);
        d->cleanup(h);
    }
    dlclose(lib);
}

}  // namespace

// Every class of the VST 3 module: each program chosen through the
// program parameter inside a block, every parameter moved to ordinary and
// hostile values at offsets, in place and out of place, with and without a
// (sometimes hostile) process context, values reported back to the host.
// Queues are made before the counter is armed, and the output queues have
// room for every point, so only the module's own calls are counted.
void checkVst3(const char* path) {
    std::string error;
    auto module = v3host::Module::open(path, error);
    if (!module) {
        std::fprintf(stderr, "rt-check: %s\n", error.c_str());
        ++failures;
        return;
    }
    for (std::int32_t c = 0; c < v3host::audioClassCount(*module); ++c) {
        auto fx = v3host::Instance::create(*module, error, c);
        if (!fx || !fx->start(44100.0, 4096, error)) {
            std::fprintf(stderr, "rt-check: VST 3 class %d: %s\n", c, error.c_str());
            ++failures;
            continue;
        }
        // The program parameter follows the effect's own.
        const auto programId = static_cast<vst3::ParamID>(c == 0 ? 12 : kSweepNumParams);
        std::vector<float> buffer(4 * 4096, 0.25f);
        float* ins[2] = {buffer.data(), buffer.data() + 4096};
        float* outs[2] = {buffer.data() + 8192, buffer.data() + 12288};
        v3host::Changes reported;
        for (vst3::ParamID id = 0; id <= programId; ++id) reported.add(id, 0, 0.0);
        for (auto& q : reported.queues) q->points.reserve(64);
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (int p = 0; p < 20; ++p) {
            v3host::Changes moves;
            moves.add(programId, 5, p / 19.0);
            for (vst3::ParamID id = 0; id < programId; ++id)
                for (int k = 0; k < 3; ++k)
                    moves.add(
                        id, 100 * k + static_cast<std::int32_t>(id),
                        static_cast<double>(kValues[(id + static_cast<unsigned>(p + k)) % 8]));
            vst3::ProcessContext& t = fx->context;
            t = vst3::ProcessContext{};
            t.state = p % 3 == 0 ? 0xFFFFFFFFu : vst3::kPlaying | vst3::kTempoValid;
            t.projectTimeSamples = p % 4 == 1 ? -4410 : 512 * p;
            t.projectTimeMusic = p % 2 == 0 ? nan : 0.5 * p;
            t.tempo = p % 5 == 0 ? nan : p % 5 == 1 ? -1.0 : 140.0;
            t.timeSigNumerator = p % 2;
            t.timeSigDenominator = 0;
            fx->withContext = p % 7 != 0;
            armed("VST 3 class " + std::to_string(c) + ", program " + std::to_string(p), [&] {
                for (auto& q : reported.queues) q->points.clear();
                fx->process(ins, outs, 512, &moves, &reported);
                for (auto& q : reported.queues) q->points.clear();
                fx->process(ins, ins, 3000, nullptr, &reported);
                fx->process(ins, outs, 0, &moves, nullptr);
                fx->process(ins, outs, 1, nullptr, nullptr);
            });
        }
        fx->stop();
    }
}

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr,
                     "usage: rt-check FLANGER.so SWEEP.so BUNDLE/flanger.so VST3-MODULE.so\n");
        return 2;
    }
    arm = reinterpret_cast<Arm>(dlsym(RTLD_DEFAULT, "rt_arm"));
    callsOf = reinterpret_cast<Calls>(dlsym(RTLD_DEFAULT, "rt_calls"));
    if (arm == nullptr || callsOf == nullptr) {
        std::fprintf(stderr, "rt-check: run with the counter preloaded (LD_PRELOAD)\n");
        return 2;
    }
    // The counter is live: an allocation while armed is seen.
    arm(1);
    void* volatile p = std::malloc(16);
    std::free(p);
    arm(0);
    const char* name = nullptr;
    if (callsOf(&name) < 2) {
        std::fprintf(stderr, "rt-check: the counter does not see malloc and free\n");
        return 1;
    }
    checkVst(argv[1]);
    checkVst(argv[2]);
    checkLv2(argv[3]);
    checkVst3(argv[4]);
    if (failures != 0) return 1;
    std::printf("rt-check: no allocation, lock, sleep or file call on the audio path\n");
    return 0;
}
