// Loads the flanger's binary (or its companion's, with the timeline-locked
// sweep: 18 parameters, its own ID) the way a host does, checks its effect record,
// drives the dispatcher, the parameter entries and both process entries,
// and writes what it observed to a folder:
//   texts.txt       record facts, every program's parameter names, values
//                   (as float bits) and texts, and a sweep of value texts
//   render-PP.f32   program PP's output for a fixed test signal: 32-bit
//                   little-endian floats, left and right interleaved
//   math.txt        the runtime's cos, sin, log10 and pow on fixed arguments
// The signal is made with additions and multiplications only, so every
// build feeds the plug-in the same bits; two folders from two builds can
// then be compared with vst-compare.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/VstHost.h"

namespace {

constexpr float kRate = 44100.0f;
constexpr VstInt32 kMaxBlock = 4096;
constexpr VstInt32 kFrames = 32768;
constexpr VstInt32 kExpectedPrograms = 20;
constexpr VstInt32 kExpectedFlags = effFlagsCanMono | effFlagsCanReplacing;
// The two effects this checks: the flanger and its companion.
struct Identity {
    VstInt32 id;
    VstInt32 params;
    const char* text;
};
constexpr Identity kIdentities[] = {{vstFourCC('Q', 'V', '0', '7'), 12, "QV07"},
                                    {vstFourCC('Q', 'V', '0', 'S'), 18, "QV0S"}};
// Depth is index 0; the render moves it halfway through, as automation does.
constexpr VstInt32 kAutomatedParam = 0;
constexpr float kAutomatedValue = 0.3f;
// Block sizes cycled through while rendering: single frames, odd sizes
// around a main line's length and large blocks.
constexpr VstInt32 kBlocks[] = {1, 7, 64, 399, 401, 511, 1024, 3000};

std::uint32_t bitsOf(float v) {
    std::uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

std::uint64_t bitsOf(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Stereo test signal: an impulse and its response, two sines from a
// recursive oscillator, pseudo-random noise, then silence for the tails.
void makeSignal(std::vector<float>& left, std::vector<float>& right) {
    left.assign(kFrames, 0.0f);
    right.assign(kFrames, 0.0f);
    left[0] = 1.0f;
    right[0] = -0.5f;
    // Rotation by 2*sin(pi*f/rate) per sample; constants for f = 220 and
    // 331 Hz so no library function decides the input.
    float sl = 0.0f, cl = 0.5f, sr = 0.0f, cr = 0.5f;
    const float kl = 0.031340f, kr = 0.047152f;
    for (VstInt32 i = 4096; i < 20480; ++i) {
        sl += kl * cl;
        cl -= kl * sl;
        sr += kr * cr;
        cr -= kr * sr;
        left[i] = sl;
        right[i] = sr;
    }
    std::uint32_t state = 12345u;
    for (VstInt32 i = 20480; i < 28672; ++i) {
        state = state * 1664525u + 1013904223u;
        left[i] = static_cast<float>(state >> 8) * (1.0f / 16777216.0f) - 0.5f;
        state = state * 1664525u + 1013904223u;
        right[i] = static_cast<float>(state >> 8) * (1.0f / 16777216.0f) - 0.5f;
    }
}

#if defined(__i386__)
// Entry wrappers that enter the plug-in with the stack pointer 4 bytes off
// the 16-byte alignment GCC assumes at a call on 32-bit x86. Hosts built by
// other compilers keep only 4-byte alignment there, and a plug-in that did
// not realign its stack would fault on its first aligned SSE spill, or read
// a wrong value from a misaligned slot. Each wrapper copies eight argument
// words (more than any entry takes; the caller removes them) onto a stack
// realigned and then offset, and calls the entry the record held before,
// found through the record's host field. The return value stays in eax or
// st(0) as the entry left it.
static_assert(offsetof(AEffect, user) == 68, "the wrappers read the record's host field at 68");
#define FLANGER_MISALIGNED_WRAPPER(name, slot)                                 \
    ".balign 16\n" name                                                        \
    ":\n"                                                                      \
    "  pushl %ebp\n  movl %esp, %ebp\n  andl $-16, %esp\n  subl $12, %esp\n"   \
    "  pushl 36(%ebp)\n  pushl 32(%ebp)\n  pushl 28(%ebp)\n  pushl 24(%ebp)\n" \
    "  pushl 20(%ebp)\n  pushl 16(%ebp)\n  pushl 12(%ebp)\n  pushl 8(%ebp)\n"  \
    "  movl 8(%ebp), %eax\n  movl 68(%eax), %eax\n  call *" #slot              \
    "(%eax)\n"                                                                 \
    "  leave\n  ret\n"
asm(".text\n" FLANGER_MISALIGNED_WRAPPER("flanger_misaligned_dispatcher", 0)
        FLANGER_MISALIGNED_WRAPPER("flanger_misaligned_process", 4)
            FLANGER_MISALIGNED_WRAPPER("flanger_misaligned_set", 8)
                FLANGER_MISALIGNED_WRAPPER("flanger_misaligned_get", 12)
                    FLANGER_MISALIGNED_WRAPPER("flanger_misaligned_replacing", 16));
extern "C" {
VstIntPtr misalignedDispatcher(AEffect*, VstInt32, VstInt32, VstIntPtr, void*,
                               float) __asm__("flanger_misaligned_dispatcher");
void misalignedProcess(AEffect*, float**, float**, VstInt32) __asm__("flanger_misaligned_process");
void misalignedSet(AEffect*, VstInt32, float) __asm__("flanger_misaligned_set");
float misalignedGet(AEffect*, VstInt32) __asm__("flanger_misaligned_get");
void misalignedReplacing(AEffect*, float**, float**,
                         VstInt32) __asm__("flanger_misaligned_replacing");
}

// The entries a record held before misalignStack, in the wrappers' order.
struct RecordEntries {
    AEffectDispatcherProc dispatcher;
    AEffectProcessProc process;
    AEffectSetParameterProc setParameter;
    AEffectGetParameterProc getParameter;
    AEffectProcessProc processReplacing;
};

void misalignStack(AEffect* fx, RecordEntries& saved) {
    saved = {fx->dispatcher, fx->process, fx->setParameter, fx->getParameter, fx->processReplacing};
    fx->user = &saved;
    fx->dispatcher = misalignedDispatcher;
    fx->process = misalignedProcess;
    fx->setParameter = misalignedSet;
    fx->getParameter = misalignedGet;
    fx->processReplacing = misalignedReplacing;
}
#endif

class Checker {
public:
    Checker(vsthost::Plugin& p, std::string dir) : plugin(p), folder(std::move(dir)) {}

    void fail(const std::string& what) {
        std::fprintf(stderr, "vst-check: FAIL: %s\n", what.c_str());
        ++failures;
    }
    int failureCount() const { return failures; }

    void checkRecord() {
        const AEffect* fx = plugin.effect();
        if (fx->magic != kEffectMagic) fail("record magic is not 'VstP'");
        if (fx->numInputs != 2 || fx->numOutputs != 2)
            fail("expected 2 inputs and 2 outputs, got " + std::to_string(fx->numInputs) + " and " +
                 std::to_string(fx->numOutputs));
        const Identity* who = nullptr;
        for (const Identity& i : kIdentities)
            if (fx->uniqueID == i.id) who = &i;
        if (who == nullptr) fail("unique id is neither 'QV07' nor 'QV0S'");
        expectedParams = who != nullptr ? who->params : 12;
        if (fx->numParams != expectedParams)
            fail("expected " + num(expectedParams) + " parameters, got " +
                 std::to_string(fx->numParams));
        if (fx->numPrograms != kExpectedPrograms)
            fail("expected 20 programs, got " + std::to_string(fx->numPrograms));
        if (fx->flags != kExpectedFlags)
            fail("expected flags 0x18 (mono, replacing), got 0x" + hex(fx->flags));
        if (fx->dispatcher == nullptr || fx->process == nullptr ||
            fx->processReplacing == nullptr || fx->setParameter == nullptr ||
            fx->getParameter == nullptr)
            fail("an entry pointer of the record is null");
        for (char c : fx->future)
            if (c != 0) {
                fail("the record's reserved tail is not zero");
                break;
            }
        texts += "record magic=" + hex(fx->magic) + " in=" + std::to_string(fx->numInputs) +
                 " out=" + std::to_string(fx->numOutputs) +
                 " params=" + std::to_string(fx->numParams) +
                 " programs=" + std::to_string(fx->numPrograms) + " flags=" + hex(fx->flags) +
                 " id=" + hex(fx->uniqueID) + " version=" + std::to_string(fx->version) +
                 " delay=" + std::to_string(fx->initialDelay) + "\n";
    }

    void checkDispatcher() {
        void* rect = nullptr;
        texts += "effect " + plugin.effectName() + "|" + plugin.vendorName() + "|" +
                 plugin.productName() + "\n";
        texts += "answers category=" + std::to_string(plugin.dispatch(effGetPlugCategory)) +
                 " vendorVersion=" + std::to_string(plugin.dispatch(effGetVendorVersion)) +
                 " vstVersion=" + std::to_string(plugin.dispatch(effGetVstVersion)) +
                 " identify=" + hex(static_cast<VstInt32>(plugin.dispatch(effIdentify))) +
                 " editRect=" + std::to_string(plugin.dispatch(effEditGetRect, 0, 0, &rect)) +
                 " unknown=" + std::to_string(plugin.dispatch(999)) + "\n";
        for (VstInt32 p = 0; p < kExpectedPrograms; ++p) {
            plugin.setProgram(p);
            if (plugin.program() != p) fail("effGetProgram does not answer program " + num(p));
            texts += "program " + num(p) + " " + plugin.programName() + "|" +
                     plugin.programNameIndexed(p) + "\n";
            for (VstInt32 i = 0; i < expectedParams; ++i) {
                texts += "  param " + num(i) + " " + plugin.parameterName(i) + "|" +
                         plugin.parameterDisplay(i) + "|" + plugin.parameterLabel(i) + "|" +
                         hex(bitsOf(plugin.getParameter(i))) + "|" +
                         std::to_string(plugin.dispatch(effCanBeAutomated, i)) + "\n";
            }
        }
        // Out-of-range requests must be refused without harm.
        plugin.setProgram(kExpectedPrograms);
        if (plugin.program() != kExpectedPrograms - 1) fail("effSetProgram accepted program 20");
        plugin.setParameter(expectedParams, 0.5f);
        if (plugin.getParameter(expectedParams) != 0.0f)
            fail("getParameter of index " + num(expectedParams) + " is not 0");
    }

    // Value texts across each parameter's range, on the last program (a
    // neutral one) so the factory programs stay as they were.
    void sweepTexts() {
        plugin.setProgram(kExpectedPrograms - 1);
        for (VstInt32 i = 0; i < expectedParams; ++i) {
            const float before = plugin.getParameter(i);
            std::string line = "sweep " + num(i);
            for (int k = 0; k <= 40; ++k) {
                const float v = static_cast<float>(k) / 40.0f;
                plugin.setParameter(i, v);
                line +=
                    "|" + plugin.parameterDisplay(i) + "=" + hex(bitsOf(plugin.getParameter(i)));
            }
            plugin.setParameter(i, before);
            texts += line + "\n";
        }
    }

    // Renders program p with processReplacing, then again from cleared
    // memory with the accumulating process into a known background; both
    // must agree bit for bit. Writes the replacing render.
    std::vector<float> render(VstInt32 p, const std::vector<float>& inL,
                              const std::vector<float>& inR) {
        plugin.setProgram(p);
        const float automatedStart = plugin.getParameter(kAutomatedParam);
        std::vector<float> repL(kFrames), repR(kFrames), accL(kFrames), accR(kFrames);
        std::vector<float> background(kFrames);
        for (VstInt32 i = 0; i < kFrames; ++i)
            background[i] = static_cast<float>(i % 17) * 0.0625f - 0.5f;
        accL = background;
        accR = background;

        for (int pass = 0; pass < 2; ++pass) {
            plugin.setParameter(kAutomatedParam, automatedStart);
            plugin.suspend();
            plugin.resume();
            float* outL = pass == 0 ? repL.data() : accL.data();
            float* outR = pass == 0 ? repR.data() : accR.data();
            VstInt32 done = 0;
            bool automated = false;
            for (std::size_t b = 0; done < kFrames; ++b) {
                if (!automated && done >= kFrames / 2) {
                    plugin.setParameter(kAutomatedParam, kAutomatedValue);
                    automated = true;
                }
                VstInt32 n = kBlocks[b % (sizeof kBlocks / sizeof kBlocks[0])];
                if (n > kFrames - done) n = kFrames - done;
                float* ins[2] = {const_cast<float*>(inL.data()) + done,
                                 const_cast<float*>(inR.data()) + done};
                float* outs[2] = {outL + done, outR + done};
                if (pass == 0)
                    plugin.processReplacing(ins, outs, n);
                else
                    plugin.process(ins, outs, n);
                done += n;
            }
        }
        plugin.setParameter(kAutomatedParam, automatedStart);

        VstInt32 mismatches = 0;
        bool finite = true;
        for (VstInt32 i = 0; i < kFrames; ++i) {
            if (bitsOf(accL[i]) != bitsOf(background[i] + repL[i])) ++mismatches;
            if (bitsOf(accR[i]) != bitsOf(background[i] + repR[i])) ++mismatches;
            finite = finite && std::isfinite(repL[i]) && std::isfinite(repR[i]);
        }
        if (mismatches != 0)
            fail("program " + num(p) + ": process and processReplacing differ in " +
                 num(mismatches) + " samples");
        if (!finite) fail("program " + num(p) + ": output is not finite");

        std::vector<float> interleaved(2 * static_cast<std::size_t>(kFrames));
        for (VstInt32 i = 0; i < kFrames; ++i) {
            interleaved[2 * static_cast<std::size_t>(i)] = repL[i];
            interleaved[2 * static_cast<std::size_t>(i) + 1] = repR[i];
        }
        return interleaved;
    }

    void writeRender(VstInt32 p, const std::vector<float>& interleaved) {
        char name[32];
        std::snprintf(name, sizeof name, "render-%02d.f32", static_cast<int>(p));
        std::vector<unsigned char> bytes(interleaved.size() * 4);
        for (std::size_t i = 0; i < interleaved.size(); ++i) {
            const std::uint32_t b = bitsOf(interleaved[i]);
            for (int k = 0; k < 4; ++k) bytes[4 * i + k] = static_cast<unsigned char>(b >> (8 * k));
        }
        writeFile(name, bytes.data(), bytes.size());
    }

    void expectSameRender(VstInt32 p, const std::vector<float>& want, const std::vector<float>& got,
                          const char* how) {
        std::size_t differing = 0;
        for (std::size_t i = 0; i < want.size(); ++i)
            if (bitsOf(want[i]) != bitsOf(got[i])) ++differing;
        if (differing != 0)
            fail("program " + num(p) + " " + how + ": " + std::to_string(differing) +
                 " samples differ from the plain render");
    }

    void writeTexts() { writeFile("texts.txt", texts.data(), texts.size()); }

    // The runtime's own results for the functions the plug-in calls, on the
    // arguments it can form: filter angles for cutoffs up to half the rate
    // (float-rounded, as the filter design does) and dB texts of gains.
    void writeMath() {
        std::string out;
        constexpr double kTwoPi = 6.283185307179586;
        for (int k = 0; k <= 4096; ++k) {
            const float hz = static_cast<float>(k) * (22050.0f / 4096.0f);
            const double w =
                static_cast<double>(static_cast<float>(static_cast<double>(hz) * kTwoPi / 44100.0));
            out += "cos " + hex(bitsOf(w)) + " " + hex(bitsOf(std::cos(w))) + "\n";
            out += "sin " + hex(bitsOf(w)) + " " + hex(bitsOf(std::sin(w))) + "\n";
        }
        for (int k = 1; k <= 4096; ++k) {
            const double g = static_cast<double>(static_cast<float>(k) / 2048.0f);
            out += "log10 " + hex(bitsOf(g)) + " " + hex(bitsOf(std::log10(g))) + "\n";
        }
        for (int k = -8; k <= 8; ++k)
            out += "pow " + std::to_string(k) + " " + hex(bitsOf(std::pow(10.0, k))) + "\n";
        writeFile("math.txt", out.data(), out.size());
    }

private:
    static std::string num(VstInt32 v) { return std::to_string(v); }
    static std::string hex(std::uint64_t v) {
        char b[24];
        std::snprintf(b, sizeof b, "%llx", static_cast<unsigned long long>(v));
        return b;
    }
    static std::string hex(VstInt32 v) { return hex(static_cast<std::uint64_t>(bitsOf32(v))); }
    static std::string hex(std::uint32_t v) { return hex(static_cast<std::uint64_t>(v)); }
    static std::uint32_t bitsOf32(VstInt32 v) { return static_cast<std::uint32_t>(v); }

    // Writes beside the target and renames, so a failed run never leaves a
    // half-written file under the final name.
    void writeFile(const std::string& name, const void* data, std::size_t size) {
        const std::string path = folder + "/" + name;
        const std::string temp = path + ".part";
        std::FILE* f = std::fopen(temp.c_str(), "wb");
        bool ok = f != nullptr && std::fwrite(data, 1, size, f) == size;
        if (f != nullptr) ok = std::fclose(f) == 0 && ok;
        std::remove(path.c_str());  // rename does not replace on Windows
        if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
            std::remove(temp.c_str());
            fail("cannot write '" + path + "': check that the folder exists and is writable");
        }
    }

    vsthost::Plugin& plugin;
    std::string folder;
    std::string texts;
    int failures = 0;
    VstInt32 expectedParams = 12;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr,
                     "usage: vst-check PLUGIN OUTPUT-FOLDER\n"
                     "  checks the flanger's binary and writes its texts and renders to an\n"
                     "  existing folder, for comparison with another build by vst-compare\n");
        return 2;
    }
    std::string error;
    auto library = vsthost::Library::open(argv[1], error);
    if (!library) {
        std::fprintf(stderr, "vst-check: %s\n", error.c_str());
        return 1;
    }
    int calls = 0;
    vsthost::HostOptions options;
    options.onCall = [&calls](VstInt32, VstInt32, VstIntPtr, float) { ++calls; };
    auto plugin = vsthost::Plugin::create(*library, error, options);
    if (!plugin) {
        std::fprintf(stderr, "vst-check: %s\n", error.c_str());
        return 1;
    }
    std::printf("vst-check: %s, entry %s, record %u bytes, %d-bit\n", argv[1],
                library->entrySymbol().c_str(), static_cast<unsigned>(sizeof(AEffect)),
                static_cast<int>(8 * sizeof(void*)));

    Checker check(*plugin, argv[2]);
    check.checkRecord();
    if (check.failureCount() != 0) {
        std::fprintf(
            stderr,
            "vst-check: the record is neither the flanger's nor its companion's; stopping\n");
        return 1;
    }
    plugin->start(kRate, kMaxBlock);
    check.checkDispatcher();
    check.sweepTexts();
    std::vector<float> inL, inR;
    makeSignal(inL, inR);
    std::vector<std::vector<float>> renders;
    for (VstInt32 p = 0; p < kExpectedPrograms; ++p) {
        renders.push_back(check.render(p, inL, inR));
        check.writeRender(p, renders.back());
    }
#if defined(__i386__)
    // Every program again, each entry called on a misaligned stack.
    RecordEntries saved{};
    misalignStack(plugin->effect(), saved);
    for (VstInt32 p = 0; p < kExpectedPrograms; ++p)
        check.expectSameRender(p, renders[static_cast<std::size_t>(p)], check.render(p, inL, inR),
                               "on a stack 4 bytes off 16-byte alignment");
    std::printf("vst-check: every program renders the same with the stack 4 bytes off alignment\n");
#endif
    plugin->suspend();
    plugin.reset();  // effClose
    check.writeTexts();
    check.writeMath();
    if (check.failureCount() != 0) {
        std::fprintf(stderr, "vst-check: %d check(s) failed\n", check.failureCount());
        return 1;
    }
    std::printf("vst-check: all checks passed; %d host calls; output in %s\n", calls, argv[2]);
    return 0;
}
