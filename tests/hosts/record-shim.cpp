// A recording stand-in for a VST 2 plug-in, for tests only (never shipped):
// loads the plug-in named by FLANGER_SHIM_PLUGIN, hands the host its record
// with the entries routed through here, forwards every call unchanged and,
// when FLANGER_SHIM_LOG names a file, appends to it each call that changes
// what the plug-in renders: rate, block size, program and switch changes,
// parameter values, and every processing call with its input, its output
// and the time record the host answered to the plug-in's audioMasterGetTime.
// `host-check replay` plays the log back through the real plug-in.
//
// Log records, in the machine's byte order: a RecordHead, then for
// kDispatch an int32 opcode, int32 index, int64 value and float opt; for
// kParameter an int32 index and a float value; for kProcess an int32 frame
// count, an int32 time state (TimeState), the 88-byte VstTimeInfo, then the
// left and right input and the left and right output, `frames` floats each.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "frame/vst2.h"
#include "tests/hosts/ShimLog.h"

namespace {

audioMasterCallback hostCallback = nullptr;
AEffectDispatcherProc realDispatcher = nullptr;
AEffectProcessProc realProcessReplacing = nullptr;
AEffectSetParameterProc realSetParameter = nullptr;

std::mutex logLock;
std::FILE* logFile = nullptr;
std::vector<float> inputCopy;

// The time the plug-in was answered during the current processing call.
thread_local std::int32_t timeState = shimlog::kNoQuery;
thread_local VstTimeInfo timeSeen{};

void put(const void* data, std::size_t bytes) {
    if (logFile != nullptr) std::fwrite(data, 1, bytes, logFile);
}

void head(std::uint32_t kind, AEffect* effect) {
    const shimlog::RecordHead h{
        kind, 0, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(effect))};
    put(&h, sizeof h);
}

VstIntPtr VSTCALLBACK recordingHost(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                    VstIntPtr value, void* ptr, float opt) {
    const VstIntPtr answer = hostCallback(effect, opcode, index, value, ptr, opt);
    if (opcode == audioMasterGetTime) {
        if (answer == 0) {
            timeState = shimlog::kNullAnswer;
        } else {
            timeState = shimlog::kAnswered;
            std::memcpy(&timeSeen, reinterpret_cast<const void*>(answer), sizeof timeSeen);
        }
    }
    return answer;
}

VstIntPtr VSTCALLBACK dispatcher(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                 void* ptr, float opt) {
    if (opcode == effSetProgram || opcode == effSetSampleRate || opcode == effSetBlockSize ||
        opcode == effMainsChanged) {
        std::lock_guard<std::mutex> hold(logLock);
        head(shimlog::kDispatch, effect);
        const std::int32_t op = opcode, at = index;
        const std::int64_t v = value;
        put(&op, sizeof op);
        put(&at, sizeof at);
        put(&v, sizeof v);
        put(&opt, sizeof opt);
    }
    const VstIntPtr answer = realDispatcher(effect, opcode, index, value, ptr, opt);
    if (opcode == effClose) {
        std::lock_guard<std::mutex> hold(logLock);
        if (logFile != nullptr) std::fflush(logFile);
    }
    return answer;
}

void VSTCALLBACK setParameter(AEffect* effect, VstInt32 index, float value) {
    {
        std::lock_guard<std::mutex> hold(logLock);
        head(shimlog::kParameter, effect);
        const std::int32_t at = index;
        put(&at, sizeof at);
        put(&value, sizeof value);
    }
    realSetParameter(effect, index, value);
}

void VSTCALLBACK processReplacing(AEffect* effect, float** inputs, float** outputs,
                                  VstInt32 frames) {
    std::lock_guard<std::mutex> hold(logLock);
    const std::size_t n = frames > 0 ? static_cast<std::size_t>(frames) : 0;
    // The host may hand the same arrays for input and output.
    inputCopy.resize(2 * n);
    for (int c = 0; c < 2; ++c)
        if (n > 0) std::memcpy(inputCopy.data() + c * n, inputs[c], n * sizeof(float));
    timeState = shimlog::kNoQuery;
    std::memset(&timeSeen, 0, sizeof timeSeen);
    realProcessReplacing(effect, inputs, outputs, frames);
    head(shimlog::kProcess, effect);
    const std::int32_t count = static_cast<std::int32_t>(n), state = timeState;
    put(&count, sizeof count);
    put(&state, sizeof state);
    put(&timeSeen, sizeof timeSeen);
    put(inputCopy.data(), 2 * n * sizeof(float));
    for (int c = 0; c < 2; ++c)
        if (n > 0) put(outputs[c], n * sizeof(float));
    // Whole records on disk even if the host dies without closing.
    if (logFile != nullptr) std::fflush(logFile);
}

// Accumulating processing is not recorded: the plug-in answers the host
// as before, and the log says the call came, so a replay refuses it.
AEffectProcessProc realProcess = nullptr;
void VSTCALLBACK process(AEffect* effect, float** inputs, float** outputs, VstInt32 frames) {
    {
        std::lock_guard<std::mutex> hold(logLock);
        head(shimlog::kAccumulate, effect);
    }
    realProcess(effect, inputs, outputs, frames);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) AEffect* VSTPluginMain(
    audioMasterCallback master) {
    const char* path = std::getenv("FLANGER_SHIM_PLUGIN");
    if (path == nullptr || master == nullptr) {
        std::fprintf(stderr, "record-shim: set FLANGER_SHIM_PLUGIN to the plug-in to record\n");
        return nullptr;
    }
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);  // kept for the process's life
    auto* entry = library != nullptr
                      ? reinterpret_cast<VstEntryProc>(dlsym(library, "VSTPluginMain"))
                      : nullptr;
    if (entry == nullptr) {
        std::fprintf(stderr, "record-shim: cannot load '%s': %s\n", path, dlerror());
        return nullptr;
    }
    hostCallback = master;
    AEffect* effect = entry(recordingHost);
    if (effect == nullptr) return nullptr;
    // Every instance of one binary has the same entries.
    realDispatcher = effect->dispatcher;
    realProcessReplacing = effect->processReplacing;
    realProcess = effect->process;
    realSetParameter = effect->setParameter;
    effect->dispatcher = dispatcher;
    effect->processReplacing = processReplacing;
    effect->process = process;
    effect->setParameter = setParameter;
    const char* log = std::getenv("FLANGER_SHIM_LOG");
    std::lock_guard<std::mutex> hold(logLock);
    if (log != nullptr && logFile == nullptr) {
        logFile = std::fopen(log, "ab");
        if (logFile == nullptr) std::fprintf(stderr, "record-shim: cannot write '%s'\n", log);
    }
    head(shimlog::kCreate, effect);
    return effect;
}
