#include "tests/vst3/Vst3Host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

using namespace vst3;

namespace v3host {

namespace {

// What the plug-in may ask of its context object: nothing but its name.
class HostApplication : public IHostApplication {
public:
    tresult V3CALL queryInterface(const char* iid, void** obj) override {
        *obj = nullptr;
        if (!uidIs(iid, kFUnknownIid) && !uidIs(iid, kIHostApplicationIid)) return kNoInterface;
        *obj = this;
        return kResultOk;
    }
    std::uint32_t V3CALL addRef() override { return 1; }
    std::uint32_t V3CALL release() override { return 1; }
    tresult V3CALL getName(TChar* name) override {
        toUtf16("test host", name, 128);
        return kResultOk;
    }
    tresult V3CALL createInstance(char*, char*, void** obj) override {
        *obj = nullptr;
        return kNoInterface;
    }
};

class Handler : public IComponentHandler {
public:
    tresult V3CALL queryInterface(const char* iid, void** obj) override {
        *obj = nullptr;
        if (!uidIs(iid, kFUnknownIid) && !uidIs(iid, kIComponentHandlerIid)) return kNoInterface;
        *obj = this;
        return kResultOk;
    }
    std::uint32_t V3CALL addRef() override { return 1; }
    std::uint32_t V3CALL release() override { return 1; }
    tresult V3CALL beginEdit(ParamID) override { return kResultOk; }
    tresult V3CALL performEdit(ParamID, ParamValue) override { return kResultOk; }
    tresult V3CALL endEdit(ParamID) override { return kResultOk; }
    tresult V3CALL restartComponent(std::int32_t) override { return kResultOk; }
};

HostApplication hostApplication;
Handler handler;

template <typename T>
tresult answer(T* self, const char* iid, const Uid& mine, void** obj) {
    *obj = nullptr;
    if (!uidIs(iid, kFUnknownIid) && !uidIs(iid, mine)) return kNoInterface;
    *obj = self;
    return kResultOk;
}

}  // namespace

tresult MemoryStream::queryInterface(const char* iid, void** obj) {
    return answer(this, iid, kIBStreamIid, obj);
}

tresult MemoryStream::read(void* buffer, std::int32_t n, std::int32_t* got) {
    if (n < 0) return kInvalidArgument;
    const auto size = static_cast<std::int64_t>(data.size());
    const std::int64_t count =
        std::max<std::int64_t>(0, std::min<std::int64_t>({n, chunk, size - pos}));
    if (count > 0) std::memcpy(buffer, data.data() + pos, static_cast<std::size_t>(count));
    pos += count;
    if (got != nullptr) *got = static_cast<std::int32_t>(count);
    return kResultOk;
}

tresult MemoryStream::write(void* buffer, std::int32_t n, std::int32_t* wrote) {
    if (n < 0) return kInvalidArgument;
    const auto end = static_cast<std::size_t>(pos + n);
    if (end > data.size()) data.resize(end);
    std::memcpy(data.data() + pos, buffer, static_cast<std::size_t>(n));
    pos += n;
    if (wrote != nullptr) *wrote = n;
    return kResultOk;
}

tresult MemoryStream::seek(std::int64_t to, std::int32_t mode, std::int64_t* result) {
    const std::int64_t base = mode == kSeekSet   ? 0
                              : mode == kSeekCur ? pos
                                                 : static_cast<std::int64_t>(data.size());
    if (base + to < 0) return kInvalidArgument;
    pos = base + to;
    if (result != nullptr) *result = pos;
    return kResultOk;
}

tresult MemoryStream::tell(std::int64_t* at) {
    if (at == nullptr) return kInvalidArgument;
    *at = pos;
    return kResultOk;
}

tresult Queue::queryInterface(const char* iid, void** obj) {
    return answer(this, iid, kIParamValueQueueIid, obj);
}

tresult Queue::getPoint(std::int32_t index, std::int32_t* offset, ParamValue* value) {
    if (index < 0 || index >= getPointCount()) return kInvalidArgument;
    *offset = points[static_cast<std::size_t>(index)].first;
    *value = points[static_cast<std::size_t>(index)].second;
    return kResultOk;
}

tresult Queue::addPoint(std::int32_t offset, ParamValue value, std::int32_t* index) {
    points.emplace_back(offset, value);
    if (index != nullptr) *index = getPointCount() - 1;
    return kResultOk;
}

void Changes::add(ParamID id, std::int32_t offset, double value) {
    std::int32_t index = 0;
    addParameterData(&id, &index)->addPoint(offset, value, &index);
}

double Changes::last(ParamID id) const {
    for (const auto& q : queues) {
        if (q->id == id && !q->points.empty()) return q->points.back().second;
    }
    return -1.0;
}

tresult Changes::queryInterface(const char* iid, void** obj) {
    return answer(this, iid, kIParameterChangesIid, obj);
}

IParamValueQueue* Changes::getParameterData(std::int32_t index) {
    if (index < 0 || index >= getParameterCount()) return nullptr;
    return queues[static_cast<std::size_t>(index)].get();
}

IParamValueQueue* Changes::addParameterData(const ParamID* id, std::int32_t* index) {
    for (std::size_t i = 0; i < queues.size(); ++i) {
        if (queues[i]->id == *id) {
            if (index != nullptr) *index = static_cast<std::int32_t>(i);
            return queues[i].get();
        }
    }
    queues.push_back(std::make_unique<Queue>(*id));
    if (index != nullptr) *index = getParameterCount() - 1;
    return queues.back().get();
}

std::unique_ptr<Module> Module::open(const std::string& path, std::string& error) {
    std::unique_ptr<Module> m(new Module());
    GetFactoryProc getFactory = nullptr;
#if defined(_WIN32)
    HMODULE h = LoadLibraryA(path.c_str());
    if (h == nullptr) {
        error = "cannot load " + path;
        return nullptr;
    }
    m->handle = h;
    auto symbol = [&](const char* name) {
        return reinterpret_cast<void*>(GetProcAddress(h, name));
    };
    const char* entryName = "InitDll";
    const char* exitName = "ExitDll";
#else
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
        const char* why = dlerror();
        error = "cannot load " + path + ": " + (why != nullptr ? why : "");
        return nullptr;
    }
    m->handle = h;
    auto symbol = [&](const char* name) { return dlsym(h, name); };
    const char* entryName = "ModuleEntry";
    const char* exitName = "ModuleExit";
#endif
    void* entry = symbol(entryName);
    void* exit = symbol(exitName);
    void* factory = symbol("GetPluginFactory");
    if (factory == nullptr || entry == nullptr || exit == nullptr) {
        error = path + " lacks GetPluginFactory, " + entryName + " or " + exitName;
        return nullptr;
    }
#if defined(_WIN32)
    auto entryProc = reinterpret_cast<bool (*)()>(entry);
    if (!entryProc()) {
#else
    auto entryProc = reinterpret_cast<bool (*)(void*)>(entry);
    if (!entryProc(h)) {
#endif
        error = std::string(entryName) + " failed";
        return nullptr;
    }
    m->exitProc = reinterpret_cast<bool (*)()>(exit);
    std::memcpy(&getFactory, &factory, sizeof getFactory);
    m->fac = getFactory();
    if (m->fac == nullptr) {
        error = "GetPluginFactory answered null";
        return nullptr;
    }
    return m;
}

Module::~Module() {
    if (fac != nullptr) fac->release();
    if (exitProc != nullptr) exitProc();
#if defined(_WIN32)
    if (handle != nullptr) FreeLibrary(static_cast<HMODULE>(handle));
#else
    if (handle != nullptr) dlclose(handle);
#endif
}

std::int32_t audioClassCount(const Module& module) {
    IPluginFactory* factory = module.factory();
    std::int32_t count = 0;
    for (std::int32_t i = 0; i < factory->countClasses(); ++i) {
        PClassInfo info{};
        if (factory->getClassInfo(i, &info) == kResultOk &&
            std::strcmp(info.category, "Audio Module Class") == 0)
            ++count;
    }
    return count;
}

std::unique_ptr<Instance> Instance::create(const Module& module, std::string& error,
                                           std::int32_t audioClass) {
    IPluginFactory* factory = module.factory();
    PFactoryInfo info{};
    if (factory->getFactoryInfo(&info) != kResultOk) {
        error = "getFactoryInfo failed";
        return nullptr;
    }
    IPluginFactory2* factory2 = nullptr;
    char iid[16];
    uidBytes(kIPluginFactory2Iid, iid);
    if (factory->queryInterface(iid, reinterpret_cast<void**>(&factory2)) != kResultOk) {
        error = "the factory does not answer IPluginFactory2";
        return nullptr;
    }
    std::unique_ptr<Instance> self(new Instance());
    PClassInfo2 classInfo{};
    bool found = false;
    std::int32_t seen = 0;
    for (std::int32_t i = 0; i < factory->countClasses() && !found; ++i) {
        if (factory2->getClassInfo2(i, &classInfo) == kResultOk &&
            std::strcmp(classInfo.category, "Audio Module Class") == 0)
            found = seen++ == audioClass;
    }
    factory2->release();
    if (!found) {
        error = "no audio module class number " + std::to_string(audioClass);
        return nullptr;
    }
    self->classFlags = static_cast<std::int32_t>(classInfo.classFlags);
    self->className = classInfo.name;
    self->context.sampleRate = 44100.0;
    // The text form: the four words, whatever the platform's byte order.
    const auto* b = reinterpret_cast<const unsigned char*>(classInfo.cid);
    auto big = [&](int at) {
        return static_cast<std::uint32_t>(b[at]) << 24 |
               static_cast<std::uint32_t>(b[at + 1]) << 16 |
               static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
    };
#if defined(_WIN32)
    const std::uint32_t w0 = static_cast<std::uint32_t>(b[3]) << 24 |
                             static_cast<std::uint32_t>(b[2]) << 16 |
                             static_cast<std::uint32_t>(b[1]) << 8 | b[0];
    const std::uint32_t w1 = static_cast<std::uint32_t>(b[5]) << 24 |
                             static_cast<std::uint32_t>(b[4]) << 16 |
                             static_cast<std::uint32_t>(b[7]) << 8 | b[6];
#else
    const std::uint32_t w0 = big(0), w1 = big(4);
#endif
    char hex[33];
    std::snprintf(hex, sizeof hex, "%08X%08X%08X%08X", static_cast<unsigned>(w0),
                  static_cast<unsigned>(w1), static_cast<unsigned>(big(8)),
                  static_cast<unsigned>(big(12)));
    self->classId = hex;
    uidBytes(kIComponentIid, iid);
    if (factory->createInstance(classInfo.cid, iid, reinterpret_cast<void**>(&self->component)) !=
            kResultOk ||
        self->component == nullptr) {
        error = "createInstance failed";
        return nullptr;
    }
    if (self->component->initialize(&hostApplication) != kResultOk) {
        error = "initialize failed";
        return nullptr;
    }
    uidBytes(kIAudioProcessorIid, iid);
    if (self->component->queryInterface(iid, reinterpret_cast<void**>(&self->processor)) !=
        kResultOk) {
        error = "the component is no audio processor";
        return nullptr;
    }
    uidBytes(kIEditControllerIid, iid);
    if (self->component->queryInterface(iid, reinterpret_cast<void**>(&self->controller)) !=
        kResultOk) {
        error = "the component is not its own controller";
        return nullptr;
    }
    uidBytes(kIUnitInfoIid, iid);
    if (self->component->queryInterface(iid, reinterpret_cast<void**>(&self->units)) != kResultOk) {
        error = "no unit info";
        return nullptr;
    }
    if (self->controller->setComponentHandler(&handler) != kResultOk) {
        error = "setComponentHandler failed";
        return nullptr;
    }
    MemoryStream stream;
    if (self->component->getState(&stream) != kResultOk) {
        error = "getState failed";
        return nullptr;
    }
    stream.pos = 0;
    if (self->controller->setComponentState(&stream) != kResultOk) {
        error = "setComponentState failed";
        return nullptr;
    }
    return self;
}

bool Instance::start(double rate, std::int32_t maxBlock, std::string& error) {
    if (component->getBusCount(kAudio, kInput) != 1 ||
        component->getBusCount(kAudio, kOutput) != 1) {
        error = "not one input and one output bus";
        return false;
    }
    SpeakerArrangement in = kStereo, out = kStereo;
    if (processor->setBusArrangements(&in, 1, &out, 1) != kResultTrue) {
        error = "stereo refused";
        return false;
    }
    component->activateBus(kAudio, kInput, 0, 1);
    component->activateBus(kAudio, kOutput, 0, 1);
    if (processor->canProcessSampleSize(kSample32) != kResultTrue) {
        error = "32-bit samples refused";
        return false;
    }
    ProcessSetup setup{kOffline, kSample32, maxBlock, rate};
    if (processor->setupProcessing(&setup) != kResultOk) {
        error = "setupProcessing refused";
        return false;
    }
    if (component->setActive(1) != kResultOk || processor->setProcessing(1) != kResultOk) {
        error = "activation refused";
        return false;
    }
    active = true;
    return true;
}

void Instance::stop() {
    if (!active) return;
    processor->setProcessing(0);
    component->setActive(0);
    active = false;
}

tresult Instance::process(float** inputs, float** outputs, std::int32_t frames, Changes* changes,
                          Changes* out) {
    AudioBusBuffers in{};
    in.numChannels = 2;
    in.channelBuffers32 = inputs;
    AudioBusBuffers o{};
    o.numChannels = 2;
    o.channelBuffers32 = outputs;
    ProcessData data{};
    data.processMode = kOffline;
    data.symbolicSampleSize = kSample32;
    data.numSamples = frames;
    data.numInputs = 1;
    data.numOutputs = 1;
    data.inputs = &in;
    data.outputs = &o;
    data.inputParameterChanges = changes;
    data.outputParameterChanges = out;
    data.processContext = withContext ? &context : nullptr;
    return processor->process(&data);
}

std::vector<unsigned char> Instance::state() {
    MemoryStream stream;
    if (component->getState(&stream) != kResultOk) return {};
    return stream.data;
}

tresult Instance::setState(std::vector<unsigned char> bytes, std::int32_t chunk) {
    MemoryStream stream(std::move(bytes));
    stream.chunk = chunk;
    const tresult r = component->setState(&stream);
    stream.pos = 0;
    const tresult c = controller->setComponentState(&stream);
    return r != kResultOk ? r : c;
}

std::string Instance::text(ParamID id, double value) {
    TChar text[128] = {};
    if (controller->getParamStringByValue(id, value, text) != kResultOk) return "(refused)";
    return narrow(text);
}

bool Instance::value(ParamID id, const std::string& text, double& value) {
    TChar wide[128] = {};
    toUtf16(text.c_str(), wide, 128);
    return controller->getParamValueByString(id, wide, &value) == kResultOk;
}

Instance::~Instance() {
    stop();
    if (controller != nullptr) {
        controller->setComponentHandler(nullptr);
        controller->release();
    }
    if (units != nullptr) units->release();
    if (processor != nullptr) processor->release();
    if (component != nullptr) {
        component->terminate();
        component->release();
    }
}

std::string narrow(const TChar* text) {
    std::string s;
    for (; *text != 0; ++text) s += *text < 0x80 ? static_cast<char>(*text) : '?';
    return s;
}

}  // namespace v3host
