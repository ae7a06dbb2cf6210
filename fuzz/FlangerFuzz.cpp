// Coverage-guided fuzz target: the input is decoded into a sequence of host
// calls on one instance, made only through the record's five entries, as a
// careless or hostile host would make them. Text buffers carry canaries past
// the promised bounds; audio buffers are exactly as long as the block so the
// address sanitizer sees any overrun. The instance is closed at the end.
// The first byte picks the plug-in: the flanger, the companion with the
// timeline-locked sweep (its host answers time queries with records made of
// fuzz bytes, or null), or the companion through the LV2 front end with
// fuzz bytes in its time:Position atom input.
#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "effect/FlangerParams.h"
#include "effect/SweepEffect.h"
#include "frame/AudioEffect.h"
#include "lv2/Lv2Ports.h"

extern "C" const LV2_Descriptor* lv2_descriptor(std::uint32_t index);

namespace {

// Reads the fuzz input from the front; answers zeros once it runs out.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : p(data), end(data + size) {}

    bool empty() const { return p == end; }
    std::size_t left() const { return static_cast<std::size_t>(end - p); }

    std::uint8_t byte() { return p != end ? *p++ : 0; }

    template <typename T>
    T raw() {
        unsigned char bytes[sizeof(T)] = {};
        for (auto& b : bytes) b = byte();
        T v;
        std::memcpy(&v, bytes, sizeof v);
        return v;
    }

    // Mostly small values near the interesting range, sometimes any value.
    std::int32_t index() {
        const std::uint8_t sel = byte();
        if (sel < 200) return static_cast<std::int32_t>(sel % 22) - 2;
        return raw<std::int32_t>();
    }

    // Floats that matter to a parameter or a rate: the usual range, its
    // edges, and everything that is not an ordinary number.
    float value() {
        static const float kSpecial[] = {
            0.0f,
            -0.0f,
            1.0f,
            0.5f,
            0.25f,
            0.75f,
            0.2f,
            0.125f,
            0.9999999f,
            1.0000001f,
            -1.0f,
            2.0f,
            std::numeric_limits<float>::quiet_NaN(),
            -std::numeric_limits<float>::quiet_NaN(),
            std::numeric_limits<float>::infinity(),
            -std::numeric_limits<float>::infinity(),
            std::numeric_limits<float>::denorm_min(),
            -std::numeric_limits<float>::denorm_min(),
            std::numeric_limits<float>::min() * 0.5f,
            std::numeric_limits<float>::max(),
            -std::numeric_limits<float>::max(),
            1.0e9f,
            -1.0e9f,
            44100.0f,
            48000.0f,
            96000.0f,
            22050.0f,
            1536000.0f,
            1536001.0f,
            1.0f / 44100.0f,
            0.97f,
            0.85f,
        };
        constexpr std::uint8_t kCount = sizeof kSpecial / sizeof kSpecial[0];
        const std::uint8_t sel = byte();
        if (sel < kCount) return kSpecial[sel];
        if (sel < 192) return static_cast<float>(sel - kCount) / static_cast<float>(191 - kCount);
        return raw<float>();
    }

private:
    const std::uint8_t* p;
    const std::uint8_t* end;
};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "flanger fuzz: %s\n", what);
    std::abort();
}

constexpr unsigned char kCanary = 0xA5;
constexpr std::size_t kTextBuffer = 512;

// A text the plug-in writes: nothing at or past `bound` may change, and a
// text that was written must be terminated inside the bound.
void checkText(const unsigned char* buf, std::size_t bound) {
    for (std::size_t i = bound; i < kTextBuffer; ++i)
        if (buf[i] != kCanary) fail("text written past its bound");
    bool changed = false;
    bool terminated = false;
    for (std::size_t i = 0; i < bound; ++i) {
        if (buf[i] != kCanary) changed = true;
        if (buf[i] == 0) terminated = true;
    }
    if (changed && !terminated) fail("text not terminated inside its bound");
}

// Bound (terminator included) of each opcode that writes a text; 0 for the
// rest.
std::size_t textBound(VstInt32 opcode) {
    switch (opcode) {
        case effGetProgramName:
        case effGetProgramNameIndexed: return kProgramNameBytes;
        case effGetParamLabel:
        case effGetParamDisplay:
        case effGetParamName: return kParamTextBytes;
        case effGetEffectName: return 32;
        case effGetVendorString:
        case effGetProductString: return 64;
        default: return 0;
    }
}

// The host's time: a record of fuzz bytes (hostile flags and values
// included), or none.
VstTimeInfo hostTime{};
bool answerTime = false;

VstIntPtr VSTCALLBACK hostCallback(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    if (opcode == audioMasterGetTime)
        return answerTime ? reinterpret_cast<VstIntPtr>(&hostTime) : 0;
    return opcode == audioMasterVersion ? 2400 : 0;
}

void fuzzTime(Reader& in) {
    const std::uint8_t sel = in.byte();
    answerTime = (sel & 1) != 0;
    if ((sel & 2) != 0) {
        hostTime = in.raw<VstTimeInfo>();
    } else {
        // A plausible transport, moved on or relocated.
        hostTime.samplePos += static_cast<double>(in.raw<std::int16_t>()) * 8.0;
        hostTime.ppqPos = hostTime.samplePos * 120.0 / (60.0 * 44100.0);
        hostTime.tempo = (sel & 4) != 0 ? static_cast<double>(in.value()) : 120.0;
        hostTime.timeSigNumerator = in.byte() % 70;
        hostTime.timeSigDenominator = in.byte() % 70;
        hostTime.flags = in.raw<VstInt32>() | (sel & 8 ? kVstTransportPlaying : 0);
    }
}

void dispatch(AEffect* fx, Reader& in) {
    VstInt32 opcode = static_cast<VstInt32>(in.byte() % 91) - 10;
    if (opcode == effClose) opcode = effOpen;  // closing happens once, at the end
    const VstInt32 index = in.index();
    const std::uint8_t valueSel = in.byte();
    VstIntPtr value =
        valueSel < 128 ? static_cast<VstIntPtr>(valueSel % 24) - 2 : in.raw<VstIntPtr>();
    const float opt = in.value();

    if (const std::size_t bound = textBound(opcode); bound != 0) {
        unsigned char buf[kTextBuffer];
        std::memset(buf, kCanary, sizeof buf);
        fx->dispatcher(fx, opcode, index, value, buf, opt);
        checkText(buf, bound);
        return;
    }
    switch (opcode) {
        case effSetProgramName: {
            // A terminated host text of any length, up to twice the field.
            char name[2 * kProgramNameBytes + 1];
            const std::size_t n = in.byte() % (sizeof name);
            for (std::size_t i = 0; i < n; ++i) name[i] = static_cast<char>(in.byte() | 1);
            name[n] = '\0';
            fx->dispatcher(fx, opcode, index, value, name, opt);
            return;
        }
        case effGetChunk: {
            void* slot = nullptr;
            fx->dispatcher(fx, opcode, index, value, &slot, opt);
            return;
        }
        case effSetChunk: {
            unsigned char chunk[64];
            for (auto& b : chunk) b = in.byte();
            value = static_cast<VstIntPtr>(static_cast<std::size_t>(value) % (sizeof chunk + 1));
            fx->dispatcher(fx, opcode, index, value, chunk, opt);
            return;
        }
        default: {
            // Any other opcode: a zeroed scratch area the size of the
            // interface's largest output structure, or no pointer.
            alignas(16) unsigned char scratch[1024] = {};
            fx->dispatcher(fx, opcode, index, value, (in.byte() & 1) ? scratch : nullptr, opt);
            return;
        }
    }
}

// One block through process or processReplacing, with heap buffers of
// exactly the block length and one of several aliasing layouts.
void processBlock(AEffect* fx, Reader& in, bool replacing) {
    const std::uint16_t raw = in.raw<std::uint16_t>();
    std::int32_t frames = raw % 10001;
    if ((raw & 0xC000) == 0xC000) frames = raw % 64;  // favour short blocks
    const std::uint8_t layout = in.byte() % 6;
    const std::uint8_t fill = in.byte();

    std::vector<float> a(static_cast<std::size_t>(frames));
    std::vector<float> b(static_cast<std::size_t>(frames));
    std::vector<float> c(static_cast<std::size_t>(frames));
    std::vector<float> d(static_cast<std::size_t>(frames));
    for (std::int32_t i = 0; i < frames; ++i) {
        float s;
        switch (fill % 4) {
            case 0: s = 0.0f; break;
            case 1: s = (i % 97 == 0) ? 1.0f : 0.0f; break;
            case 2: s = static_cast<float>((i * 37 + fill) % 200 - 100) * 0.01f; break;
            default: s = in.left() >= 4 ? in.raw<float>() : 0.25f; break;
        }
        a[static_cast<std::size_t>(i)] = s;
        b[static_cast<std::size_t>(i)] = -s;
        c[static_cast<std::size_t>(i)] = 0.125f;
        d[static_cast<std::size_t>(i)] = -0.125f;
    }
    float* inputs[2] = {a.data(), b.data()};
    float* outputs[2] = {c.data(), d.data()};
    switch (layout) {
        case 1:  // in place on each channel
            outputs[0] = a.data();
            outputs[1] = b.data();
            break;
        case 2:  // one input array for both channels
            inputs[1] = a.data();
            break;
        case 3:  // one output array for both channels
            outputs[1] = c.data();
            break;
        case 4:  // each channel writes the other's input
            outputs[0] = b.data();
            outputs[1] = a.data();
            break;
        case 5:  // everything in one array
            inputs[1] = outputs[0] = outputs[1] = a.data();
            break;
        default: break;
    }
    fuzzTime(in);
    if (replacing)
        fx->processReplacing(fx, inputs, outputs, frames);
    else
        fx->process(fx, inputs, outputs, frames);
}

// The URID map an LV2 host gives.
std::vector<const char*> uris;
LV2_URID mapUri(LV2_URID_Map_Handle, const char* uri) {
    for (std::size_t i = 0; i < uris.size(); ++i)
        if (std::strcmp(uris[i], uri) == 0) return static_cast<LV2_URID>(i + 1);
    uris.push_back(uri);  // the plug-in passes string constants
    return static_cast<LV2_URID>(uris.size());
}

// The companion through the LV2 front end: controls, runs with fuzz bytes
// in the time input (a buffer of exactly the size the bundle asks for, its
// header's size and type mostly a sequence's), switching off and on.
void fuzzLv2(Reader& in) {
    LV2_URID_Map map{nullptr, mapUri};
    const LV2_Feature mapFeature{LV2_URID__map, &map};
    const LV2_Feature* const features[] = {&mapFeature, nullptr};
    const LV2_Descriptor* d = lv2_descriptor(1);
    if (d == nullptr) fail("no second LV2 descriptor");
    LV2_Handle h = d->instantiate(d, 44100.0, "", (in.byte() & 1) ? features : nullptr);
    if (h == nullptr) fail("no LV2 instance");
    float controls[kSweepNumParams];
    for (std::int32_t i = 0; i < kSweepNumParams; ++i) {
        controls[i] = 0.5f;
        d->connect_port(h, lv2port::control(i), &controls[i]);
    }
    std::vector<std::uint64_t> atoms(lv2port::kTimeBufferBytes / 8);
    auto* bytes = reinterpret_cast<std::uint8_t*>(atoms.data());
    d->connect_port(h, lv2port::kSweepTime, bytes);
    d->activate(h);
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        switch (in.byte() % 4) {
            case 0:
                controls[static_cast<std::size_t>(in.byte()) % kSweepNumParams] = in.value();
                break;
            case 1: {
                const std::size_t n = std::min<std::size_t>(in.left(), atoms.size() * 8);
                for (std::size_t i = 0; i < n; ++i) bytes[i] = in.byte();
                LV2_Atom header;
                std::memcpy(&header, bytes, sizeof header);
                if ((header.type & 3) != 0) header.type = mapUri(nullptr, LV2_ATOM__Sequence);
                if ((header.size & 0x8000) == 0) header.size %= lv2port::kTimeBufferBytes;
                std::memcpy(bytes, &header, sizeof header);
                break;
            }
            case 2: {
                const std::uint32_t frames = in.byte() % 130;
                std::vector<float> a(frames, 0.25f), b(frames, -0.25f), c(frames), e(frames);
                d->connect_port(h, lv2port::kInLeft, a.data());
                d->connect_port(h, lv2port::kInRight, b.data());
                d->connect_port(h, lv2port::kOutLeft, c.data());
                d->connect_port(h, lv2port::kOutRight, e.data());
                d->run(h, frames);
                break;
            }
            default:
                d->deactivate(h);
                d->activate(h);
                break;
        }
    }
    d->deactivate(h);
    d->cleanup(h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const std::uint8_t plugin = in.byte() % 3;
    if (plugin == 2) {
        fuzzLv2(in);
        return 0;
    }
    hostTime = VstTimeInfo{};
    answerTime = false;
    AEffect* fx =
        plugin == 1 ? pluginEntry(hostCallback, createSweepInstance) : pluginEntry(hostCallback);
    if (fx == nullptr || fx->magic != kEffectMagic) fail("no effect record");
    fx->dispatcher(fx, effOpen, 0, 0, nullptr, 0.0f);

    for (int step = 0; step < 256 && !in.empty(); ++step) {
        switch (in.byte() % 8) {
            case 0:
            case 1: dispatch(fx, in); break;
            case 2: {
                const VstInt32 index = in.index();
                fx->setParameter(fx, index, in.value());
                break;
            }
            case 3: {
                const float v = fx->getParameter(fx, in.index());
                (void)v;
                break;
            }
            case 4: processBlock(fx, in, true); break;
            case 5: processBlock(fx, in, false); break;
            case 6: fx->dispatcher(fx, effSetSampleRate, 0, 0, nullptr, in.value()); break;
            default: {
                const VstIntPtr program = static_cast<VstIntPtr>(in.byte() % 24) - 2;
                fx->dispatcher(fx, effSetProgram, 0, program, nullptr, 0.0f);
                unsigned char buf[kTextBuffer];
                std::memset(buf, kCanary, sizeof buf);
                fx->dispatcher(fx, effGetProgramName, 0, 0, buf, 0.0f);
                checkText(buf, kProgramNameBytes);
                break;
            }
        }
    }
    fx->dispatcher(fx, effClose, 0, 0, nullptr, 0.0f);
    return 0;
}
