// Coverage-guided fuzz target for the VST 3 module's state: the input is a
// stream handed to setState and setComponentState of the class the first
// byte's bit 6 picks, read in pieces whose size its low bits pick, then a
// zero-frame and a short process call.
// A refused stream must leave the saved state exactly as it was; an
// accepted one must read back and be accepted again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vst3/vst3.h"

extern "C" vst3::IPluginFactory* V3CALL GetPluginFactory();

namespace {

using namespace vst3;

class Stream : public IBStream {
public:
    std::vector<unsigned char> data;
    std::size_t pos = 0;
    std::int32_t chunk = 1;

    tresult V3CALL queryInterface(const char*, void** obj) override {
        *obj = nullptr;
        return kNoInterface;
    }
    std::uint32_t V3CALL addRef() override { return 1; }
    std::uint32_t V3CALL release() override { return 1; }
    tresult V3CALL read(void* buffer, std::int32_t n, std::int32_t* got) override {
        std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(n < 0 ? 0 : n),
                                                  static_cast<std::size_t>(chunk));
        count = std::min(count, data.size() - pos);
        // An exact-size copy, so the sanitizer sees any overrun of `n`.
        std::vector<unsigned char> exact(data.begin() + static_cast<std::ptrdiff_t>(pos),
                                         data.begin() + static_cast<std::ptrdiff_t>(pos + count));
        if (count > 0) std::memcpy(buffer, exact.data(), count);
        pos += count;
        if (got != nullptr) *got = static_cast<std::int32_t>(count);
        return kResultOk;
    }
    tresult V3CALL write(void* buffer, std::int32_t n, std::int32_t* wrote) override {
        const auto* bytes = static_cast<const unsigned char*>(buffer);
        data.insert(data.end(), bytes, bytes + n);
        if (wrote != nullptr) *wrote = n;
        return kResultOk;
    }
    tresult V3CALL seek(std::int64_t, std::int32_t, std::int64_t*) override { return kResultFalse; }
    tresult V3CALL tell(std::int64_t* at) override {
        *at = static_cast<std::int64_t>(pos);
        return kResultOk;
    }
};

std::vector<unsigned char> saved(IComponent* c) {
    Stream s;
    if (c->getState(&s) != kResultOk) std::abort();
    return s.data;
}

void fail(const char* what) {
    std::fprintf(stderr, "vst3 state fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    IPluginFactory* factory = GetPluginFactory();
    PClassInfo info{};
    factory->getClassInfo(size > 0 ? (data[0] >> 6) & 1 : 0, &info);
    char iid[16];
    uidBytes(kIComponentIid, iid);
    IComponent* component = nullptr;
    if (factory->createInstance(info.cid, iid, reinterpret_cast<void**>(&component)) != kResultOk)
        fail("createInstance failed");
    component->initialize(nullptr);
    IEditController* controller = nullptr;
    uidBytes(kIEditControllerIid, iid);
    component->queryInterface(iid, reinterpret_cast<void**>(&controller));
    IAudioProcessor* processor = nullptr;
    uidBytes(kIAudioProcessorIid, iid);
    component->queryInterface(iid, reinterpret_cast<void**>(&processor));

    const std::vector<unsigned char> before = saved(component);
    Stream in;
    in.chunk = size > 0 ? 1 + data[0] % 64 : 1;
    if (size > 1) in.data.assign(data + 1, data + size);
    const tresult r = component->setState(&in);
    in.pos = 0;
    const tresult c = controller->setComponentState(&in);
    if ((r == kResultOk) != (c == kResultOk)) fail("setState and setComponentState disagree");

    float left[8] = {}, right[8] = {};
    float* channels[2] = {left, right};
    AudioBusBuffers bus{};
    bus.numChannels = 2;
    bus.channelBuffers32 = channels;
    ProcessData block{};
    block.symbolicSampleSize = kSample32;
    block.numInputs = block.numOutputs = 1;
    block.inputs = block.outputs = &bus;
    processor->process(&block);
    block.numSamples = 8;
    processor->process(&block);

    const std::vector<unsigned char> after = saved(component);
    if (r != kResultOk && after != before) fail("a refused state changed the saved state");
    if (r == kResultOk) {
        Stream again;
        again.data = after;
        if (component->setState(&again) != kResultOk) fail("a saved state was refused");
    }
    processor->release();
    controller->release();
    component->terminate();
    component->release();
    factory->release();
    return 0;
}
