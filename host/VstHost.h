// A small VST 2 host: loads a plug-in binary by path, resolves its entry
// symbol, supplies a host callback and drives the effect record through its
// five entries, as a DAW does.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frame/vst2.h"

namespace vsthost {

// A loaded plug-in binary. Unloads on destruction; every Plugin made from
// it must be gone by then.
class Library {
public:
    // Null with a message in `error` when the file cannot be loaded or has
    // no VST 2 entry symbol.
    static std::unique_ptr<Library> open(const std::string& path, std::string& error);
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    VstEntryProc entry() const { return entryProc; }
    const std::string& path() const { return filePath; }
    // Which symbol the entry was found under: "VSTPluginMain" or "main".
    const std::string& entrySymbol() const { return symbol; }

private:
    Library() = default;
    void* handle = nullptr;
    VstEntryProc entryProc = nullptr;
    std::string filePath;
    std::string symbol;
};

// A transport playing from the timeline's frame 0 at a fixed tempo and
// meter: the frame a processing call starts at is the number of frames the
// instance has processed before it.
struct Timeline {
    double tempo = 120.0;
    VstInt32 numerator = 4;
    VstInt32 denominator = 4;
};

struct HostOptions {
    // What the callback answers to audioMasterVersion.
    VstIntPtr version = 2400;
    // Called for every host-callback request (after the answer is formed);
    // may be empty.
    std::function<void(VstInt32 opcode, VstInt32 index, VstIntPtr value, float opt)> onCall;
    // When set, audioMasterGetTime is answered with this transport: playing,
    // samplePos the frames processed so far, ppqPos = samplePos * tempo /
    // (60 * rate), tempo, time signature and the last bar's start.
    std::optional<Timeline> timeline;
    // Answers audioMasterGetTime instead (tests: any record, or null), given
    // the frames processed so far. Runs inside the processing call: it must
    // not allocate.
    std::function<const VstTimeInfo*(std::int64_t frame)> timeInfo;
};

// One effect instance made through the library's entry point.
class Plugin {
public:
    // Calls the entry point and checks the record; null with a message in
    // `error` when the entry answers null or the record is not a VST 2
    // effect.
    static std::unique_ptr<Plugin> create(const Library& library, std::string& error,
                                          HostOptions options = {});
    ~Plugin();  // sends effClose unless close() was called
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    AEffect* effect() const { return fx; }
    VstIntPtr dispatch(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0,
                       void* ptr = nullptr, float opt = 0.0f);

    // Usual start-up: effOpen, sample rate, block size, effMainsChanged 1.
    void start(float sampleRate, VstInt32 blockSize);
    void open() { dispatch(effOpen); }
    void setSampleRate(float rate) {
        hostRate = rate;
        dispatch(effSetSampleRate, 0, 0, nullptr, rate);
    }
    void setBlockSize(VstInt32 size) { dispatch(effSetBlockSize, 0, size); }
    void resume() { dispatch(effMainsChanged, 0, 1); }
    void suspend() { dispatch(effMainsChanged, 0, 0); }
    // effClose; the record is gone afterwards. Answers what the entry
    // answered.
    VstIntPtr close();

    VstInt32 numParams() const { return fx->numParams; }
    VstInt32 numPrograms() const { return fx->numPrograms; }
    VstInt32 numInputs() const { return fx->numInputs; }
    VstInt32 numOutputs() const { return fx->numOutputs; }

    void setProgram(VstInt32 program) { dispatch(effSetProgram, 0, program); }
    VstInt32 program() { return static_cast<VstInt32>(dispatch(effGetProgram)); }
    std::string programName();
    void setProgramName(const std::string& name);
    // Name of any program by index (opcode 29); empty when not answered.
    std::string programNameIndexed(VstInt32 program);

    void setParameter(VstInt32 index, float value) { fx->setParameter(fx, index, value); }
    float getParameter(VstInt32 index) { return fx->getParameter(fx, index); }
    std::string parameterName(VstInt32 index) { return text(effGetParamName, index); }
    std::string parameterLabel(VstInt32 index) { return text(effGetParamLabel, index); }
    std::string parameterDisplay(VstInt32 index) { return text(effGetParamDisplay, index); }
    // Effect, vendor and product names (opcodes 45, 47, 48).
    std::string effectName() { return text(effGetEffectName, 0); }
    std::string vendorName() { return text(effGetVendorString, 0); }
    std::string productName() { return text(effGetProductString, 0); }

    void processReplacing(float** inputs, float** outputs, VstInt32 frames) {
        fx->processReplacing(fx, inputs, outputs, frames);
        processed += frames;
    }
    void process(float** inputs, float** outputs, VstInt32 frames) {
        fx->process(fx, inputs, outputs, frames);
        processed += frames;
    }
    // Frames processed since the instance was made: the timeline position
    // of the next call.
    std::int64_t framesProcessed() const { return processed; }

    // Text opcode into a zeroed buffer; the buffer's size is generous
    // because the interface passes none.
    std::string text(VstInt32 opcode, VstInt32 index);

private:
    Plugin() = default;
    static VstIntPtr VSTCALLBACK hostCallback(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                              VstIntPtr value, void* ptr, float opt);
    const VstTimeInfo* timeAt(std::int64_t frame);
    AEffect* fx = nullptr;
    HostOptions options;
    float hostRate = 44100.0f;
    std::int64_t processed = 0;
    VstTimeInfo timeRecord{};
};

}  // namespace vsthost
