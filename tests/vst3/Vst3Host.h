// A small VST 3 host for tests and checks: loads a module, creates one of
// its audio effect classes and drives it in the documented call order
// (load, entry, factory, component, processor, controller, handler, state
// sync, buses, set-up, activation, blocks with parameter queues, tear-down).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "vst3/vst3.h"

namespace v3host {

// A growable memory stream; `chunk` limits each read, as hosts whose
// streams return short reads do.
class MemoryStream : public vst3::IBStream {
public:
    MemoryStream() = default;
    explicit MemoryStream(std::vector<unsigned char> bytes) : data(std::move(bytes)) {}
    std::vector<unsigned char> data;
    std::int64_t pos = 0;
    std::int32_t chunk = 0x7FFFFFFF;

    vst3::tresult V3CALL queryInterface(const char* iid, void** obj) override;
    std::uint32_t V3CALL addRef() override { return 1; }
    std::uint32_t V3CALL release() override { return 1; }
    vst3::tresult V3CALL read(void* buffer, std::int32_t n, std::int32_t* got) override;
    vst3::tresult V3CALL write(void* buffer, std::int32_t n, std::int32_t* wrote) override;
    vst3::tresult V3CALL seek(std::int64_t to, std::int32_t mode, std::int64_t* result) override;
    vst3::tresult V3CALL tell(std::int64_t* at) override;
};

class Queue : public vst3::IParamValueQueue {
public:
    explicit Queue(vst3::ParamID param) : id(param) {}
    vst3::ParamID id;
    std::vector<std::pair<std::int32_t, double>> points;

    vst3::tresult V3CALL queryInterface(const char* iid, void** obj) override;
    std::uint32_t V3CALL addRef() override { return 1; }
    std::uint32_t V3CALL release() override { return 1; }
    vst3::ParamID V3CALL getParameterId() override { return id; }
    std::int32_t V3CALL getPointCount() override {
        return static_cast<std::int32_t>(points.size());
    }
    vst3::tresult V3CALL getPoint(std::int32_t index, std::int32_t* offset,
                                  vst3::ParamValue* value) override;
    vst3::tresult V3CALL addPoint(std::int32_t offset, vst3::ParamValue value,
                                  std::int32_t* index) override;
};

class Changes : public vst3::IParameterChanges {
public:
    std::vector<std::unique_ptr<Queue>> queues;
    // Appends a point to the queue of `id`, made on first use.
    void add(vst3::ParamID id, std::int32_t offset, double value);
    // The last value reported for `id`, or -1 when none.
    double last(vst3::ParamID id) const;

    vst3::tresult V3CALL queryInterface(const char* iid, void** obj) override;
    std::uint32_t V3CALL addRef() override { return 1; }
    std::uint32_t V3CALL release() override { return 1; }
    std::int32_t V3CALL getParameterCount() override {
        return static_cast<std::int32_t>(queues.size());
    }
    vst3::IParamValueQueue* V3CALL getParameterData(std::int32_t index) override;
    vst3::IParamValueQueue* V3CALL addParameterData(const vst3::ParamID* id,
                                                    std::int32_t* index) override;
};

// A loaded module and its factory.
class Module {
public:
    // Null with a message in `error` when the file cannot be loaded, lacks
    // an entry point or its entry function fails.
    static std::unique_ptr<Module> open(const std::string& path, std::string& error);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    vst3::IPluginFactory* factory() const { return fac; }

private:
    Module() = default;
    void* handle = nullptr;
    vst3::IPluginFactory* fac = nullptr;
    bool (*exitProc)() = nullptr;
};

// The number of audio effect classes the module's factory lists.
std::int32_t audioClassCount(const Module& module);

// One instance of one of the module's audio effect classes.
class Instance {
public:
    // Steps up to the state sync and the parameter list for the module's
    // `audioClass`-th audio effect class; null with a message in `error`
    // when a step fails.
    static std::unique_ptr<Instance> create(const Module& module, std::string& error,
                                            std::int32_t audioClass = 0);
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    // Buses, set-up and activation; false when the plug-in refuses.
    bool start(double rate, std::int32_t maxBlock, std::string& error);
    // Deactivation.
    void stop();
    // One block of two channels; `changes` and `out` may be null. The block
    // carries `context` when `withContext` is set, else no ProcessContext.
    vst3::tresult process(float** inputs, float** outputs, std::int32_t frames, Changes* changes,
                          Changes* out);

    std::vector<unsigned char> state();
    vst3::tresult setState(std::vector<unsigned char> bytes, std::int32_t chunk = 0x7FFFFFFF);
    std::string text(vst3::ParamID id, double value);
    // Reads `text` back to a value; false when the controller refuses.
    bool value(vst3::ParamID id, const std::string& text, double& value);

    vst3::IComponent* component = nullptr;
    vst3::IAudioProcessor* processor = nullptr;
    vst3::IEditController* controller = nullptr;
    vst3::IUnitInfo* units = nullptr;
    std::int32_t classFlags = 0;
    std::string classId;  // 32 hex digits
    std::string className;
    vst3::ProcessContext context{};  // state 0 (stopped) at 44100 Hz unless a test sets it
    bool withContext = true;

private:
    Instance() = default;
    bool active = false;
};

std::string narrow(const vst3::TChar* text);

}  // namespace v3host
