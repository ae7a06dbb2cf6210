// The VST 3 front end: one object per instance serves as component, audio
// processor, edit controller and unit info, and drives one FlangerEffect
// only through the operations a VST 2 host reaches (rate, suspend and
// resume, setProgram, setParameter, processReplacing), so the two builds
// sound the same for the same rate, signal and control values. The module
// offers two classes: the flanger, and the companion whose SweepEffect
// also reads the host's timeline from each block's ProcessContext (through
// processAt, with the position a VST 2 time record with the same fields
// gives).
//
// Two value sets: the processor's, changed only inside `process` (from the
// parameter queues, and from a state `setState` hands over lock-free), and
// published as atomics for `getState`; and the controller's mirror, which
// `setParamNormalized` and `setComponentState` change on the UI thread. A
// second FlangerEffect, on the UI thread only, forms value texts and keeps
// the program names.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <thread>

#include "effect/FlangerEffect.h"
#include "effect/SweepEffect.h"
#include "frame/DenormalGuard.h"
#include "frame/OutOfPlace.h"
#include "vst3/Vst3State.h"
#include "vst3/vst3.h"

using namespace vst3;

namespace {

// Frames copied per step when the host's buffers overlap.
constexpr std::uint32_t kScratchFrames = 1024;

// The widest class's parameters; each class's program-change parameter
// follows its own (ID 12 for the flanger, 18 for the companion).
constexpr std::int32_t kMaxParams = kSweepNumParams;
constexpr std::int32_t kMaxParamCount = kMaxParams + 1;
constexpr std::int32_t kProgramListId = 1;
static_assert(kMaxParams == kMaxStateParams, "a state holds every parameter");

// What sets the module's classes apart: the effect they drive (allocated by
// `make`, which may throw std::bad_alloc), its parameter count and state
// format, and whether it reads the host's timeline.
struct Kind {
    std::int32_t params;
    const StateFormat* state;
    FlangerEffect* (*make)();
    bool timeline;
};

// Steps of the band parameters: FeedB Sign's quarters, Filter Type's five
// bands, Inject Mode's eight, Sweep Shape's five and Sweep Sync's nine. With
// the interface's discrete rule (value k at k / steps) every step lands
// inside its band.
std::int32_t stepsOf(ParamID id, std::int32_t params) {
    if (id == static_cast<ParamID>(params)) return kNumPrograms - 1;
    if (id > static_cast<ParamID>(params)) return 0;
    switch (id) {
        case kFeedBSign: return 3;
        case kFilterType: return 4;
        case kInjectMode: return 7;
        case kSweepShape: return kSweepShapeBands - 1;
        case kSweepSync: return kSweepSyncBands - 1;
        default: return 0;
    }
}

// A ProcessContext as the sweep reads it: each field only under its flag
// (the project's frame only while playing).
SweepTime timeOf(const ProcessContext& c) {
    HostPosition p;
    p.playing = (c.state & kPlaying) != 0;
    p.frame = static_cast<double>(c.projectTimeSamples);
    p.ppqValid = (c.state & kProjectTimeMusicValid) != 0;
    p.ppq = c.projectTimeMusic;
    p.tempoValid = (c.state & kTempoValid) != 0;
    p.tempo = c.tempo;
    p.meterValid = (c.state & kTimeSigValid) != 0;
    p.numerator = c.timeSigNumerator;
    p.denominator = c.timeSigDenominator;
    return SweepEffect::timeOf(p);
}

// A program index from the program parameter's normalised value.
std::int32_t programOf(double value) {
    const double v = std::clamp(value, 0.0, 1.0);
    return std::min(kNumPrograms - 1, static_cast<std::int32_t>(v * kNumPrograms));
}

// The text between leading and trailing spaces.
void trimmed(const char* text, char* out, std::size_t size) {
    while (*text == ' ') ++text;
    std::size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == ' ') --n;
    n = std::min(n, size - 1);
    std::memcpy(out, text, n);
    out[n] = '\0';
}

// UTF-16 text as ASCII, trimmed; false for other characters or no terminator
// within the 128 units of a String128.
bool asciiOf(const TChar* text, char* out, std::size_t size) {
    if (text == nullptr) return false;
    char raw[128];
    std::size_t n = 0;
    for (; n < sizeof raw; ++n) {
        if (text[n] == 0) break;
        if (text[n] > 0x7E || text[n] < 0x20) return false;
        raw[n] = static_cast<char>(text[n]);
    }
    if (n == sizeof raw) return false;
    raw[n] = '\0';
    trimmed(raw, out, size);
    return true;
}

bool sameIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        const auto x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
        if (std::tolower(x) != std::tolower(y)) return false;
    }
    return *a == *b;
}

// A decimal number at the start of `text` ("-12.5 dB" gives -12.5); false
// when there is none. Locale independent.
bool leadingNumber(const char* text, double& value) {
    const char* p = text;
    while (*p == ' ') ++p;
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    double v = 0.0;
    bool digits = false;
    for (; *p >= '0' && *p <= '9'; ++p, digits = true) v = v * 10.0 + (*p - '0');
    if (*p == '.') {
        double scale = 0.1;
        for (++p; *p >= '0' && *p <= '9'; ++p, digits = true, scale /= 10.0)
            v += (*p - '0') * scale;
    }
    if (!digits) return false;
    value = negative ? -v : v;
    return true;
}

// Hands a state from the UI thread to the audio thread without locks: the
// UI side waits (briefly, never the audio side) while the audio side reads.
class Handover {
public:
    void post(const Snapshot& s) {
        claim();
        slot = s;
        flag.store(kReady, std::memory_order_release);
    }
    // The posted state not yet taken, if any (UI thread).
    bool peek(Snapshot& s) {
        for (;;) {
            int f = flag.load(std::memory_order_acquire);
            if (f == kEmpty) return false;
            if (f == kReady && flag.compare_exchange_weak(f, kBusy, std::memory_order_acquire)) {
                s = slot;
                flag.store(kReady, std::memory_order_release);
                return true;
            }
            std::this_thread::yield();
        }
    }
    // Audio thread: the posted state, or null. finish() after using it.
    const Snapshot* take() {
        int f = kReady;
        if (!flag.compare_exchange_strong(f, kBusy, std::memory_order_acquire)) return nullptr;
        return &slot;
    }
    void finish() { flag.store(kEmpty, std::memory_order_release); }

private:
    enum : int { kEmpty, kReady, kBusy };
    void claim() {
        for (;;) {
            int f = flag.load(std::memory_order_acquire);
            if (f != kBusy && flag.compare_exchange_weak(f, kBusy, std::memory_order_acquire))
                return;
            std::this_thread::yield();
        }
    }
    Snapshot slot;
    std::atomic<int> flag{kEmpty};
};

class FlangerVst3 final : public IComponent,
                          public IAudioProcessor,
                          public IEditController,
                          public IUnitInfo {
public:
    // Allocates the effects and buffers; may throw std::bad_alloc.
    explicit FlangerVst3(const Kind& kind)
        : params(kind.params),
          programParam(static_cast<ParamID>(kind.params)),
          paramCount(kind.params + 1),
          format(*kind.state),
          effect(kind.make()),
          model(kind.make()),
          scratch(new float[2 * kScratchFrames]()),
          sweep(kind.timeline ? static_cast<SweepEffect*>(effect.get()) : nullptr) {
        // The companion's sweep values of a program: as the model shows
        // them once it selects the program.
        for (int n = 0; n < kNumPrograms; ++n) {
            if (params > kNumParams) model->setProgram(n);
            for (std::int32_t i = 0; i < params; ++i) {
                const float v =
                    i < kNumParams ? effect->programValue(n, i) : model->getParameter(i);
                shown[n][i].store(v, std::memory_order_relaxed);
            }
        }
        if (params > kNumParams) model->setProgram(0);
        for (std::int32_t i = 0; i < params; ++i) {
            defaults[i] = shown[0][i].load(std::memory_order_relaxed);
            controls[i] = effect->getParameter(i);
        }
        controls[programParam] = 0.0;
    }

    // FUnknown
    tresult V3CALL queryInterface(const char* iid, void** obj) override {
        if (obj == nullptr) return kInvalidArgument;
        *obj = nullptr;
        if (uidIs(iid, kFUnknownIid) || uidIs(iid, kIPluginBaseIid) || uidIs(iid, kIComponentIid))
            *obj = static_cast<IComponent*>(this);
        else if (uidIs(iid, kIAudioProcessorIid))
            *obj = static_cast<IAudioProcessor*>(this);
        else if (uidIs(iid, kIEditControllerIid))
            *obj = static_cast<IEditController*>(this);
        else if (uidIs(iid, kIUnitInfoIid))
            *obj = static_cast<IUnitInfo*>(this);
        else
            return kNoInterface;
        addRef();
        return kResultOk;
    }
    std::uint32_t V3CALL addRef() override { return refs.fetch_add(1) + 1; }
    std::uint32_t V3CALL release() override {
        const std::uint32_t left = refs.fetch_sub(1) - 1;
        if (left == 0) delete this;
        return left;
    }

    // IPluginBase. Hosts may call both twice on this single object (once as
    // component, once as controller); everything is allocated at creation.
    tresult V3CALL initialize(FUnknown*) override {
        ++initialized;
        return kResultOk;
    }
    tresult V3CALL terminate() override {
        if (initialized > 0 && --initialized == 0) setComponentHandler(nullptr);
        return kResultOk;
    }

    // IComponent: UI thread.
    tresult V3CALL getControllerClassId(char*) override { return kNotImplemented; }
    tresult V3CALL setIoMode(std::int32_t) override { return kNotImplemented; }
    std::int32_t V3CALL getBusCount(std::int32_t type, std::int32_t) override {
        return type == kAudio ? 1 : 0;
    }
    tresult V3CALL getBusInfo(std::int32_t type, std::int32_t dir, std::int32_t index,
                              BusInfo* bus) override {
        if (bus == nullptr || type != kAudio || index != 0 || (dir != kInput && dir != kOutput))
            return kInvalidArgument;
        std::memset(bus, 0, sizeof *bus);
        bus->mediaType = kAudio;
        bus->direction = dir;
        bus->channelCount = 2;
        toUtf16(dir == kInput ? "Stereo In" : "Stereo Out", bus->name, 128);
        bus->busType = kMain;
        bus->flags = kDefaultActive;
        return kResultOk;
    }
    tresult V3CALL getRoutingInfo(RoutingInfo*, RoutingInfo*) override { return kNotImplemented; }
    tresult V3CALL activateBus(std::int32_t type, std::int32_t dir, std::int32_t index,
                               TBool) override {
        return type == kAudio && index == 0 && (dir == kInput || dir == kOutput) ? kResultOk
                                                                                 : kInvalidArgument;
    }
    // Switching off clears the sample memory, as a VST 2 host's
    // effMainsChanged does; a state posted while inactive is applied here.
    tresult V3CALL setActive(TBool state) override {
        if (state != 0) {
            adoptState(nullptr);
            effect->resume();
        } else {
            effect->suspend();
        }
        active = state != 0;
        return kResultOk;
    }

    // Serves IComponent and IEditController alike: the whole state, applied
    // to both value sets, so the up to three deliveries a host makes on load
    // agree. Never calls the host.
    tresult V3CALL setState(IBStream* stream) override {
        Snapshot s;
        if (!readState(stream, format, s)) return kResultFalse;
        showInController(s);
        pending.post(s);
        return kResultOk;
    }
    tresult V3CALL getState(IBStream* stream) override {
        Snapshot s;
        if (!pending.peek(s)) {
            s.program = shownProgram.load(std::memory_order_relaxed);
            for (int n = 0; n < kNumPrograms; ++n) {
                for (std::int32_t i = 0; i < params; ++i)
                    s.values[n][i] = shown[n][i].load(std::memory_order_relaxed);
            }
            for (std::int32_t i = 0; i < params; ++i) s.current[i] = s.values[s.program][i];
        }
        for (int n = 0; n < kNumPrograms; ++n)
            std::memcpy(s.names[n], model->program(n).name, kProgramNameBytes);
        return writeState(stream, format, s) ? kResultOk : kResultFalse;
    }

    // IAudioProcessor
    tresult V3CALL setBusArrangements(SpeakerArrangement* inputs, std::int32_t numIns,
                                      SpeakerArrangement* outputs, std::int32_t numOuts) override {
        const bool stereo = numIns == 1 && numOuts == 1 && inputs != nullptr &&
                            outputs != nullptr && inputs[0] == kStereo && outputs[0] == kStereo;
        return stereo ? kResultTrue : kResultFalse;
    }
    tresult V3CALL getBusArrangement(std::int32_t dir, std::int32_t index,
                                     SpeakerArrangement* arr) override {
        if (arr == nullptr || index != 0 || (dir != kInput && dir != kOutput))
            return kInvalidArgument;
        *arr = kStereo;
        return kResultOk;
    }
    tresult V3CALL canProcessSampleSize(std::int32_t size) override {
        return size == kSample32 ? kResultTrue : kResultFalse;
    }
    std::uint32_t V3CALL getLatencySamples() override { return 0; }
    // UI thread, while inactive: the rate change reallocates the lines.
    tresult V3CALL setupProcessing(ProcessSetup* setup) override {
        if (setup == nullptr) return kInvalidArgument;
        if (active || setup->symbolicSampleSize != kSample32) return kResultFalse;
        const double rate = setup->sampleRate;
        if (!(rate >= static_cast<double>(kMinSampleRate) &&
              rate <= static_cast<double>(kMaxSampleRate)))
            return kInvalidArgument;
        const float r = static_cast<float>(rate);
        effect->setSampleRate(r);
        return effect->runsAt(r) ? kResultOk : kOutOfMemory;
    }
    tresult V3CALL setProcessing(TBool) override { return kResultOk; }
    tresult V3CALL process(ProcessData* data) override;
    // With feedback the tail never ends; without, the longest path through
    // the lines.
    std::uint32_t V3CALL getTailSamples() override {
        const std::int32_t p = shownProgram.load(std::memory_order_relaxed);
        if (shown[p][kFeedBack].load(std::memory_order_relaxed) != 0.0f) return 0xFFFFFFFFu;
        return static_cast<std::uint32_t>(effect->getBufferLength() +
                                          effect->getPostLine(1, 0).getLength() +
                                          effect->getPostLine(2, 0).getLength());
    }

    // IEditController: UI thread.
    tresult V3CALL setComponentState(IBStream* stream) override {
        Snapshot s;
        if (!readState(stream, format, s)) return kResultFalse;
        showInController(s);
        return kResultOk;
    }
    std::int32_t V3CALL getParameterCount() override { return paramCount; }
    tresult V3CALL getParameterInfo(std::int32_t index, ParameterInfo* info) override;
    tresult V3CALL getParamStringByValue(ParamID id, ParamValue value, TChar* string) override;
    tresult V3CALL getParamValueByString(ParamID id, TChar* string, ParamValue* value) override;
    ParamValue V3CALL normalizedParamToPlain(ParamID id, ParamValue value) override {
        const std::int32_t steps = stepsOf(id, params);
        if (steps == 0) return value;
        return std::min<double>(steps, std::floor(std::clamp(value, 0.0, 1.0) * (steps + 1)));
    }
    ParamValue V3CALL plainParamToNormalized(ParamID id, ParamValue plain) override {
        const std::int32_t steps = stepsOf(id, params);
        return steps == 0 ? plain : std::clamp(plain / steps, 0.0, 1.0);
    }
    ParamValue V3CALL getParamNormalized(ParamID id) override {
        return id < static_cast<ParamID>(paramCount) ? controls[id] : 0.0;
    }
    // Changes the controller's copy only; a program shows its values here,
    // and the processor learns of it through the next `process` call.
    tresult V3CALL setParamNormalized(ParamID id, ParamValue value) override {
        if (id >= static_cast<ParamID>(paramCount) || !std::isfinite(value))
            return kInvalidArgument;
        controls[id] = std::clamp(value, 0.0, 1.0);
        if (id == programParam) {
            const std::int32_t p = programOf(value);
            for (std::int32_t i = 0; i < params; ++i)
                controls[i] = shown[p][i].load(std::memory_order_relaxed);
        }
        return kResultOk;
    }
    tresult V3CALL setComponentHandler(IComponentHandler* h) override {
        if (h != nullptr) h->addRef();
        if (handler != nullptr) handler->release();
        handler = h;
        return kResultOk;
    }
    void* V3CALL createView(const char*) override { return nullptr; }

    // IUnitInfo: one root unit holding the factory program list.
    std::int32_t V3CALL getUnitCount() override { return 1; }
    tresult V3CALL getUnitInfo(std::int32_t index, UnitInfo* info) override {
        if (index != 0 || info == nullptr) return kInvalidArgument;
        info->id = kRootUnitId;
        info->parentUnitId = kNoParentUnitId;
        toUtf16("Root", info->name, 128);
        info->programListId = kProgramListId;
        return kResultOk;
    }
    std::int32_t V3CALL getProgramListCount() override { return 1; }
    tresult V3CALL getProgramListInfo(std::int32_t index, ProgramListInfo* info) override {
        if (index != 0 || info == nullptr) return kInvalidArgument;
        info->id = kProgramListId;
        toUtf16("Factory", info->name, 128);
        info->programCount = kNumPrograms;
        return kResultOk;
    }
    tresult V3CALL getProgramName(std::int32_t listId, std::int32_t index, TChar* name) override {
        if (listId != kProgramListId || index < 0 || index >= kNumPrograms || name == nullptr)
            return kInvalidArgument;
        char text[kProgramNameBytes * 2] = {};
        model->programDisplayName(index, text);
        toUtf16(text, name, 128);
        return kResultOk;
    }
    tresult V3CALL getProgramInfo(std::int32_t, std::int32_t, const char*, TChar*) override {
        return kResultFalse;
    }
    tresult V3CALL hasProgramPitchNames(std::int32_t, std::int32_t) override {
        return kResultFalse;
    }
    tresult V3CALL getProgramPitchName(std::int32_t, std::int32_t, std::int16_t, TChar*) override {
        return kResultFalse;
    }
    std::int32_t V3CALL getSelectedUnit() override { return kRootUnitId; }
    tresult V3CALL selectUnit(std::int32_t) override { return kResultOk; }
    tresult V3CALL getUnitByBus(std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                                std::int32_t*) override {
        return kResultFalse;
    }
    tresult V3CALL setUnitProgramData(std::int32_t, std::int32_t, IBStream*) override {
        return kNotImplemented;
    }

private:
    ~FlangerVst3() {
        if (handler != nullptr) handler->release();
    }

    // The processor's side of a parameter point or a program change.
    void applyParameter(std::int32_t index, double value) {
        if (std::isnan(value)) return;
        const float v = static_cast<float>(std::clamp(value, 0.0, 1.0));
        effect->setParameter(index, v);
        shown[shownProgram.load(std::memory_order_relaxed)][index].store(v,
                                                                         std::memory_order_relaxed);
    }
    void applyProgram(std::int32_t program) {
        effect->setProgram(program);
        shownProgram.store(program, std::memory_order_relaxed);
    }
    // Tells the host the values now in effect (the program parameter aside).
    void report(IParameterChanges* out, std::int32_t offset) {
        if (out == nullptr) return;
        for (std::int32_t i = 0; i < params; ++i) {
            const ParamID id = static_cast<ParamID>(i);
            std::int32_t index = 0;
            IParamValueQueue* queue = out->addParameterData(&id, &index);
            if (queue != nullptr) queue->addPoint(offset, effect->getParameter(i), &index);
        }
    }
    // Applies a state `setState` posted: every program's values as a VST 2
    // host loads a bank, then the current program and its values. Audio
    // thread, or UI thread while inactive.
    void adoptState(IParameterChanges* out) {
        const Snapshot* s = pending.take();
        if (s == nullptr) return;
        for (std::int32_t n = 0; n < kNumPrograms; ++n) {
            applyProgram(n);
            for (std::int32_t i = 0; i < params; ++i) applyParameter(i, s->values[n][i]);
        }
        applyProgram(s->program);
        for (std::int32_t i = 0; i < params; ++i) applyParameter(i, s->current[i]);
        pending.finish();
        report(out, 0);
    }
    // The controller's mirror and the program names from a state (UI thread).
    void showInController(const Snapshot& s) {
        for (std::int32_t i = 0; i < params; ++i) controls[i] = s.current[i];
        controls[programParam] = static_cast<double>(s.program) / (kNumPrograms - 1);
        for (std::int32_t n = 0; n < kNumPrograms; ++n) {
            model->setProgram(n);
            char name[kProgramNameBytes];
            std::memcpy(name, s.names[n], kProgramNameBytes);
            model->setProgramName(name);
        }
    }
    // The value text of parameter `id` at `value` (UI thread).
    void display(std::int32_t id, float value, char* text) {
        model->setParameter(id, value);
        model->getParameterDisplay(id, text);
    }
    double displayedNumber(std::int32_t id, float value) {
        char text[kParamTextBytes * 2] = {};
        display(id, value, text);
        double v = 0.0;
        return leadingNumber(text, v) ? v : -HUGE_VAL;
    }
    bool numberToValue(std::int32_t id, const char* text, double& out);

    std::atomic<std::uint32_t> refs{1};
    int initialized = 0;
    bool active = false;
    const std::int32_t params;  // the class's own, before the program parameter
    const ParamID programParam;
    const std::int32_t paramCount;
    const StateFormat& format;
    std::unique_ptr<FlangerEffect> effect;  // audio thread, UI thread while inactive
    std::unique_ptr<FlangerEffect> model;   // UI thread
    std::unique_ptr<float[]> scratch;       // 2 * kScratchFrames
    SweepEffect* const sweep;               // `effect` when the class reads the timeline
    // The processor's values of every program and its current program, as
    // `process` last left them (relaxed: each value whole; getState may see
    // a block's changes partly).
    std::atomic<float> shown[kNumPrograms][kMaxParams];
    std::atomic<std::int32_t> shownProgram{0};
    Handover pending;
    double controls[kMaxParamCount] = {};
    float defaults[kMaxParams] = {};  // factory program 0
    IComponentHandler* handler = nullptr;
};

tresult FlangerVst3::getParameterInfo(std::int32_t index, ParameterInfo* info) {
    if (info == nullptr || index < 0 || index >= paramCount) return kInvalidArgument;
    std::memset(info, 0, sizeof *info);
    const auto id = static_cast<ParamID>(index);
    info->id = id;
    info->stepCount = stepsOf(id, params);
    info->unitId = kRootUnitId;
    if (id == programParam) {
        toUtf16("Program", info->title, 128);
        toUtf16("Program", info->shortTitle, 128);
        info->flags = kIsProgramChange | kIsList;
        return kResultOk;
    }
    char text[kDistinctNameBytes * 2] = {};
    if (index < kNumParams)
        FlangerEffect::distinctParameterName(index, text);
    else
        model->getParameterName(index, text);
    toUtf16(text, info->title, 128);
    toUtf16(text, info->shortTitle, 128);
    char label[kParamTextBytes * 2] = {}, unit[kParamTextBytes * 2];
    model->getParameterLabel(index, label);
    trimmed(label, unit, sizeof unit);
    toUtf16(unit, info->units, 128);
    info->defaultNormalizedValue = defaults[index];
    info->flags = kCanAutomate | (info->stepCount > 0 ? kIsList : 0);
    return kResultOk;
}

tresult FlangerVst3::getParamStringByValue(ParamID id, ParamValue value, TChar* string) {
    if (string == nullptr || id >= static_cast<ParamID>(paramCount)) return kInvalidArgument;
    const double v = std::isnan(value) ? 0.0 : std::clamp(value, 0.0, 1.0);
    char text[kProgramNameBytes * 2] = {};
    if (id == programParam)
        model->programDisplayName(programOf(v), text);
    else
        display(static_cast<std::int32_t>(id), static_cast<float>(v), text);
    toUtf16(text, string, 128);
    return kResultOk;
}

// A number in the unit shown: the value whose text shows the nearest number
// the display can show, preferring the value the unit's formula gives.
bool FlangerVst3::numberToValue(std::int32_t id, const char* text, double& out) {
    double x = 0.0;
    const bool minusInfinity =
        id == kOutputGain && (sameIgnoringCase(text, "-oo") || sameIgnoringCase(text, "-inf"));
    if (minusInfinity) {
        out = 0.0;
        return true;
    }
    if (!leadingNumber(text, x)) return false;
    double formula = x / 100.0;
    if (id == kCutoff) formula = (x - 200.0) / 9800.0;
    if (id == kOutputGain) formula = std::pow(10.0, x / 20.0) / 2.0;
    if (params > kNumParams && id == kSweepRate)
        formula = x > 0.0 ? std::log(x / 0.01) / std::log(2000.0) : 0.0;
    if (params > kNumParams && id == kSweepPhase) formula = x / 360.0;
    const float guess = static_cast<float>(std::clamp(formula, 0.0, 1.0));

    // Texts grow with the value: the smallest value whose number reaches x,
    // by bisection over the bit patterns of 0..1 (ordered like the values).
    std::uint32_t lo = 0, hi = 0x3F800000u;
    auto valueAt = [](std::uint32_t bits) {
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    };
    if (displayedNumber(id, 1.0f) < x) {
        lo = hi;
    } else {
        while (lo < hi) {
            const std::uint32_t mid = lo + (hi - lo) / 2;
            if (displayedNumber(id, valueAt(mid)) >= x)
                hi = mid;
            else
                lo = mid + 1;
        }
    }
    float best = valueAt(lo);
    double number = displayedNumber(id, best);
    if (lo > 0) {
        const float below = valueAt(lo - 1);
        const double other = displayedNumber(id, below);
        if (std::fabs(other - x) < std::fabs(number - x)) {
            best = below;
            number = other;
        }
    }
    if (displayedNumber(id, guess) == number) best = guess;
    // "careful" marks feedback above 0.9: the number alone does not tell.
    if (id == kFeedBack && std::strstr(text, "careful") != nullptr && best <= 0.9f &&
        displayedNumber(id, std::nextafter(0.9f, 1.0f)) == number)
        best = std::nextafter(0.9f, 1.0f);
    out = best;
    return true;
}

tresult FlangerVst3::getParamValueByString(ParamID id, TChar* string, ParamValue* value) {
    char text[128];
    if (value == nullptr || id >= static_cast<ParamID>(paramCount) ||
        !asciiOf(string, text, sizeof text))
        return kInvalidArgument;
    const std::int32_t steps = stepsOf(id, params);
    if (steps > 0) {
        // List parameters: one of the texts their steps show.
        for (std::int32_t k = 0; k <= steps; ++k) {
            const double v = static_cast<double>(k) / steps;
            char shownText[kProgramNameBytes * 2] = {}, bare[kProgramNameBytes * 2];
            if (id == programParam)
                model->programDisplayName(k, shownText);
            else
                display(static_cast<std::int32_t>(id), static_cast<float>(v), shownText);
            trimmed(shownText, bare, sizeof bare);
            if (sameIgnoringCase(bare, text)) {
                *value = v;
                return kResultOk;
            }
        }
        return kResultFalse;
    }
    double v = 0.0;
    if (!numberToValue(static_cast<std::int32_t>(id), text, v)) return kResultFalse;
    *value = v;
    return kResultOk;
}

tresult FlangerVst3::process(ProcessData* data) {
    if (data == nullptr) return kInvalidArgument;
    const DenormalGuard guard;
    adoptState(data->outputParameterChanges);

    // The queues of our parameters, the program first; other IDs and
    // repeated queues are ignored.
    IParamValueQueue* queues[kMaxParamCount] = {};
    std::int32_t counts[kMaxParamCount] = {}, next[kMaxParamCount] = {};
    IParameterChanges* changes = data->inputParameterChanges;
    const std::int32_t queueCount = changes != nullptr ? changes->getParameterCount() : 0;
    for (std::int32_t q = 0; q < queueCount; ++q) {
        IParamValueQueue* queue = changes->getParameterData(q);
        if (queue == nullptr) continue;
        const ParamID id = queue->getParameterId();
        if (id >= static_cast<ParamID>(paramCount) || queues[id] != nullptr) continue;
        queues[id] = queue;
        counts[id] = std::max(0, queue->getPointCount());
    }
    auto order = [this](std::int32_t k) {
        return k == 0 ? programParam : static_cast<ParamID>(k - 1);
    };

    std::int32_t frames = data->numSamples;
    AudioBusBuffers* outBus = data->numOutputs > 0 ? data->outputs : nullptr;
    AudioBusBuffers* inBus = data->numInputs > 0 ? data->inputs : nullptr;
    const bool outputOk =
        outBus != nullptr && outBus->numChannels >= 2 && outBus->channelBuffers32 != nullptr &&
        outBus->channelBuffers32[0] != nullptr && outBus->channelBuffers32[1] != nullptr;
    const bool inputOk =
        inBus != nullptr && inBus->numChannels >= 2 && inBus->channelBuffers32 != nullptr &&
        inBus->channelBuffers32[0] != nullptr && inBus->channelBuffers32[1] != nullptr;
    tresult result = kResultOk;
    if (frames != 0 && (frames < 0 || data->symbolicSampleSize != kSample32 || !outputOk)) {
        // Nothing to render into: the changes still take effect.
        result = kInvalidArgument;
        frames = 0;
    }
    const float* const* in = inputOk ? inBus->channelBuffers32 : nullptr;
    float* const* out = outputOk ? outBus->channelBuffers32 : nullptr;
    if (outputOk && frames > 0) outBus->silenceFlags = 0;
    SweepTime position;
    const SweepTime* blockTime = nullptr;
    if (sweep != nullptr && data->processContext != nullptr) {
        position = timeOf(*data->processContext);
        blockTime = &position;
    }

    // Renders up to each point's offset, then applies every point at that
    // offset: the program change first, then the parameters in index order.
    // Offsets outside the block take effect at its end.
    std::int32_t pos = 0;
    for (;;) {
        std::int32_t at = frames + 1;
        for (std::int32_t k = 0; k < paramCount; ++k) {
            const ParamID id = order(k);
            std::int32_t offset = 0;
            ParamValue v = 0.0;
            while (next[id] < counts[id] &&
                   queues[id]->getPoint(next[id], &offset, &v) != kResultOk)
                ++next[id];
            if (next[id] < counts[id]) at = std::min(at, std::clamp(offset, pos, frames));
        }
        const std::int32_t end = at > frames ? frames : at;
        if (end > pos) {
            const float* ins[2] = {in != nullptr ? in[0] + pos : nullptr,
                                   in != nullptr ? in[1] + pos : nullptr};
            float* outs[2] = {out[0] + pos, out[1] + pos};
            if (sweep != nullptr) {
                // The block's position goes with its first frames; the sweep
                // carries it on through the rest on its own count.
                outofplace::forEachStep(
                    in != nullptr ? ins : nullptr, outs, static_cast<std::uint32_t>(end - pos),
                    scratch.get(), kScratchFrames, [&](float** i, float** o, std::uint32_t n) {
                        sweep->processAt(i, o, static_cast<VstInt32>(n), blockTime, false);
                        blockTime = nullptr;
                    });
            } else {
                outofplace::process(*effect, in != nullptr ? ins : nullptr, outs,
                                    static_cast<std::uint32_t>(end - pos), scratch.get(),
                                    kScratchFrames);
            }
            pos = end;
        }
        if (at > frames) break;
        for (std::int32_t k = 0; k < paramCount; ++k) {
            const ParamID id = order(k);
            std::int32_t offset = 0;
            ParamValue v = 0.0;
            while (next[id] < counts[id]) {
                if (queues[id]->getPoint(next[id], &offset, &v) != kResultOk) {
                    ++next[id];
                    continue;
                }
                if (std::clamp(offset, pos, frames) != at) break;
                ++next[id];
                if (id == programParam) {
                    if (!std::isnan(v)) {
                        applyProgram(programOf(v));
                        report(data->outputParameterChanges, std::min(at, std::max(frames - 1, 0)));
                    }
                } else {
                    applyParameter(static_cast<std::int32_t>(id), v);
                }
            }
        }
    }
    return result;
}

// The classes this module offers, each with its ID as four words.
struct ClassEntry {
    Uid cid;
    const char* name;
    const char* subCategories;
    FUnknown* (*create)();
};

FlangerEffect* makeFlanger() {
    return new FlangerEffect(nullptr);
}
FlangerEffect* makeSweep() {
    return new SweepEffect(nullptr);
}
constexpr Kind kFlanger{kNumParams, &kFlangerState, makeFlanger, false};
constexpr Kind kSweep{kSweepNumParams, &kSweepState, makeSweep, true};

FUnknown* createFlanger() {
    return static_cast<IComponent*>(new (std::nothrow) FlangerVst3(kFlanger));
}
FUnknown* createSweep() {
    return static_cast<IComponent*>(new (std::nothrow) FlangerVst3(kSweep));
}

const ClassEntry kClasses[] = {
    {{{0x5F1A7C3E, 0x9B2D4E61, 0xA83C0F17, 0x6D5E2B94}},
     kEffectName,
     "Fx|Modulation|Stereo",
     createFlanger},
    {{{0x8C3E51D2, 0x47A94F0B, 0xB6D21E73, 0x0F9A6C48}},
     kSweepEffectName,
     "Fx|Modulation|Stereo",
     createSweep},
};
constexpr std::int32_t kClassCount =
    static_cast<std::int32_t>(sizeof kClasses / sizeof kClasses[0]);

void copyText(const char* text, char* out, std::size_t size) {
    std::size_t n = std::min(std::strlen(text), size - 1);
    std::memcpy(out, text, n);
    out[n] = '\0';
}

// One static factory for every GetPluginFactory call: its count is kept
// for the host's sake, and it is never deleted.
class Factory final : public IPluginFactory3 {
public:
    tresult V3CALL queryInterface(const char* iid, void** obj) override {
        if (obj == nullptr) return kInvalidArgument;
        *obj = nullptr;
        if (!uidIs(iid, kFUnknownIid) && !uidIs(iid, kIPluginFactoryIid) &&
            !uidIs(iid, kIPluginFactory2Iid) && !uidIs(iid, kIPluginFactory3Iid))
            return kNoInterface;
        *obj = static_cast<IPluginFactory3*>(this);
        addRef();
        return kResultOk;
    }
    std::uint32_t V3CALL addRef() override { return refs.fetch_add(1) + 1; }
    std::uint32_t V3CALL release() override {
        const std::uint32_t n = refs.load();
        if (n == 0) return 0;
        return refs.fetch_sub(1) - 1;
    }
    tresult V3CALL getFactoryInfo(PFactoryInfo* info) override {
        if (info == nullptr) return kInvalidArgument;
        std::memset(info, 0, sizeof *info);
        copyText(kVendorName, info->vendor, sizeof info->vendor);
        info->flags = kFactoryUnicode;
        return kResultOk;
    }
    std::int32_t V3CALL countClasses() override { return kClassCount; }
    tresult V3CALL getClassInfo(std::int32_t index, PClassInfo* info) override {
        if (info == nullptr || index < 0 || index >= kClassCount) return kInvalidArgument;
        std::memset(info, 0, sizeof *info);
        uidBytes(kClasses[index].cid, info->cid);
        info->cardinality = kManyInstances;
        copyText(kCategory, info->category, sizeof info->category);
        copyText(kClasses[index].name, info->name, sizeof info->name);
        return kResultOk;
    }
    tresult V3CALL createInstance(const char* cid, const char* iid, void** obj) override {
        if (obj == nullptr) return kInvalidArgument;
        *obj = nullptr;
        for (const ClassEntry& entry : kClasses) {
            if (!uidIs(cid, entry.cid)) continue;
            FUnknown* object = nullptr;
            try {
                object = entry.create();
            } catch (...) {
                object = nullptr;
            }
            if (object == nullptr) return kOutOfMemory;
            const tresult r = object->queryInterface(iid, obj);
            object->release();
            return r;
        }
        return kNoInterface;
    }
    tresult V3CALL getClassInfo2(std::int32_t index, PClassInfo2* info) override {
        return fillClassInfo(index, info, [](const char* text, auto& field) {
            copyText(text, field, sizeof field);
        });
    }
    tresult V3CALL getClassInfoUnicode(std::int32_t index, PClassInfoW* info) override {
        return fillClassInfo(index, info, [](const char* text, auto& field) {
            toUtf16(text, field, std::size(field));
        });
    }
    // The two descriptions differ only in how the name, vendor and versions
    // are written (8-bit or UTF-16 text, by `write`).
    template <typename Info, typename Write>
    static tresult fillClassInfo(std::int32_t index, Info* info, Write write) {
        if (info == nullptr || index < 0 || index >= kClassCount) return kInvalidArgument;
        std::memset(info, 0, sizeof *info);
        uidBytes(kClasses[index].cid, info->cid);
        info->cardinality = kManyInstances;
        copyText(kCategory, info->category, sizeof info->category);
        write(kClasses[index].name, info->name);
        copyText(kClasses[index].subCategories, info->subCategories, sizeof info->subCategories);
        write(kVendorName, info->vendor);
        write(FLANGER_VERSION, info->version);
        write(kSdkVersion, info->sdkVersion);
        return kResultOk;
    }
    tresult V3CALL setHostContext(FUnknown*) override { return kResultOk; }

private:
    static constexpr const char* kCategory = "Audio Module Class";
    static constexpr const char* kSdkVersion = "VST 3.7.14";
    std::atomic<std::uint32_t> refs{0};
};

Factory factory;

}  // namespace

#if defined(_WIN32)
#define FLANGER_VST3_EXPORT extern "C"  // named in exports*.def
#else
#define FLANGER_VST3_EXPORT extern "C" __attribute__((visibility("default")))
#endif

FLANGER_VST3_EXPORT IPluginFactory* V3CALL GetPluginFactory() {
    factory.addRef();
    return &factory;
}

#if defined(_WIN32)
FLANGER_VST3_EXPORT bool InitDll() {
    return true;
}
FLANGER_VST3_EXPORT bool ExitDll() {
    return true;
}
#else
FLANGER_VST3_EXPORT bool ModuleEntry(void*) {
    return true;
}
FLANGER_VST3_EXPORT bool ModuleExit() {
    return true;
}
#endif
