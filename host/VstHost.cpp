#include "host/VstHost.h"

#include <cmath>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace vsthost {

namespace {

constexpr std::size_t kTextBuffer = 256;

// The instance whose entry call is running on this thread: the callback
// gets no record during that call.
thread_local Plugin* constructing = nullptr;

void* loadLibrary(const std::string& path, std::string& error) {
#if defined(_WIN32)
    HMODULE h = LoadLibraryA(path.c_str());
    if (h == nullptr) error = "error code " + std::to_string(GetLastError());
    return reinterpret_cast<void*>(h);
#else
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
        const char* message = dlerror();
        error = message != nullptr ? message : "unknown error";
    }
    return h;
#endif
}

void* findSymbol(void* handle, const char* name) {
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
#else
    return dlsym(handle, name);
#endif
}

void unloadLibrary(void* handle) {
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle));
#else
    dlclose(handle);
#endif
}

}  // namespace

std::unique_ptr<Library> Library::open(const std::string& path, std::string& error) {
    std::string why;
    void* handle = loadLibrary(path, why);
    if (handle == nullptr) {
        error = "cannot load '" + path + "' as a plug-in library (" + why + ")";
        return nullptr;
    }
    std::unique_ptr<Library> lib(new Library());
    lib->handle = handle;
    lib->filePath = path;
    for (const char* name : {"VSTPluginMain", "main"}) {
        if (void* sym = findSymbol(handle, name)) {
            lib->entryProc = reinterpret_cast<VstEntryProc>(sym);
            lib->symbol = name;
            break;
        }
    }
    if (lib->entryProc == nullptr) {
        error = "'" + path + "' is not a VST 2 plug-in: it exports neither VSTPluginMain nor main";
        return nullptr;
    }
    return lib;
}

Library::~Library() {
    if (handle != nullptr) unloadLibrary(handle);
}

VstIntPtr VSTCALLBACK Plugin::hostCallback(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                           VstIntPtr value, void*, float opt) {
    Plugin* self = effect != nullptr && effect->resvd1 != 0
                       ? reinterpret_cast<Plugin*>(effect->resvd1)
                       : constructing;
    VstIntPtr answer = 0;
    if (opcode == audioMasterVersion) answer = self != nullptr ? self->options.version : 2400;
    if (opcode == audioMasterGetTime && self != nullptr)
        answer = reinterpret_cast<VstIntPtr>(self->timeAt(self->processed));
    if (self != nullptr && self->options.onCall) self->options.onCall(opcode, index, value, opt);
    return answer;
}

const VstTimeInfo* Plugin::timeAt(std::int64_t frame) {
    if (options.timeInfo) return options.timeInfo(frame);
    if (!options.timeline) return nullptr;
    const Timeline& t = *options.timeline;
    VstTimeInfo& r = timeRecord;
    r = VstTimeInfo{};
    r.samplePos = static_cast<double>(frame);
    r.sampleRate = hostRate;
    r.ppqPos = r.samplePos * t.tempo / (60.0 * r.sampleRate);
    r.tempo = t.tempo;
    const double bar = static_cast<double>(t.numerator) * 4.0 / t.denominator;
    r.barStartPos = std::floor(r.ppqPos / bar) * bar;
    r.timeSigNumerator = t.numerator;
    r.timeSigDenominator = t.denominator;
    r.flags =
        kVstTransportPlaying | kVstPpqPosValid | kVstTempoValid | kVstBarsValid | kVstTimeSigValid;
    return &r;
}

std::unique_ptr<Plugin> Plugin::create(const Library& library, std::string& error,
                                       HostOptions options) {
    std::unique_ptr<Plugin> plugin(new Plugin());
    plugin->options = std::move(options);
    constructing = plugin.get();
    AEffect* fx = library.entry()(hostCallback);
    constructing = nullptr;
    if (fx == nullptr) {
        error = "the plug-in's entry point answered null: it declined to create an effect";
        return nullptr;
    }
    if (fx->magic != kEffectMagic) {
        error = "the plug-in's entry point returned a record without the VST 2 magic number";
        return nullptr;
    }
    fx->resvd1 = reinterpret_cast<VstIntPtr>(plugin.get());
    plugin->fx = fx;
    return plugin;
}

Plugin::~Plugin() {
    if (fx != nullptr) close();
}

VstIntPtr Plugin::dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
    return fx->dispatcher(fx, opcode, index, value, ptr, opt);
}

void Plugin::start(float sampleRate, VstInt32 blockSize) {
    open();
    setSampleRate(sampleRate);
    setBlockSize(blockSize);
    resume();
}

VstIntPtr Plugin::close() {
    const VstIntPtr answer = dispatch(effClose);
    fx = nullptr;
    return answer;
}

std::string Plugin::text(VstInt32 opcode, VstInt32 index) {
    char buffer[kTextBuffer] = {};
    dispatch(opcode, index, 0, buffer);
    buffer[kTextBuffer - 1] = '\0';
    return buffer;
}

std::string Plugin::programName() {
    return text(effGetProgramName, 0);
}

void Plugin::setProgramName(const std::string& name) {
    std::vector<char> copy(name.begin(), name.end());
    copy.push_back('\0');
    dispatch(effSetProgramName, 0, 0, copy.data());
}

std::string Plugin::programNameIndexed(VstInt32 program) {
    char buffer[kTextBuffer] = {};
    if (dispatch(effGetProgramNameIndexed, program, -1, buffer) == 0) return {};
    buffer[kTextBuffer - 1] = '\0';
    return buffer;
}

}  // namespace vsthost
