// The audio path never allocates: global operator new and delete are
// replaced in this executable and count every call while an armed scope is
// open, across processing, parameter and program changes and suspend.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "effect/SweepEffect.h"
#include "frame/AudioEffect.h"
#include "frame/vst2.h"

namespace {

std::atomic<bool> armed{false};
std::atomic<long> allocations{0};
std::atomic<long> releases{0};

void* allocate(std::size_t size) {
    if (armed.load(std::memory_order_relaxed)) allocations.fetch_add(1);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void release(void* p) noexcept {
    if (p != nullptr && armed.load(std::memory_order_relaxed)) releases.fetch_add(1);
    std::free(p);
}

}  // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}

namespace {

// Counts allocations and releases between construction and destruction.
class Armed {
public:
    Armed() {
        allocations = 0;
        releases = 0;
        armed = true;
    }
    ~Armed() { armed = false; }
};

void render(AEffect* e, std::vector<float>& a, std::vector<float>& b, bool accumulate) {
    float* io[2] = {a.data(), b.data()};
    const auto n = static_cast<VstInt32>(a.size());
    if (accumulate)
        e->process(e, io, io, n);
    else
        e->processReplacing(e, io, io, n);
}

// A host that answers time queries with a playing transport.
VstTimeInfo hostTime{};
VstIntPtr VSTCALLBACK timeHost(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    if (opcode == audioMasterVersion) return 2400;
    if (opcode == audioMasterGetTime) return reinterpret_cast<VstIntPtr>(&hostTime);
    return 0;
}

// The flanger, and the companion whose sweep splits every block.
class AudioPath : public ::testing::TestWithParam<bool> {};

TEST_P(AudioPath, ProcessingParameterAndProgramChangesAndSuspendNeverAllocate) {
    hostTime.flags = kVstTransportPlaying | kVstPpqPosValid | kVstTempoValid;
    hostTime.tempo = 140.0;
    AEffect* e = GetParam() ? pluginEntry(timeHost, createSweepInstance) : pluginEntry(nullptr);
    ASSERT_NE(e, nullptr);
    e->dispatcher(e, effOpen, 0, 0, nullptr, 0.0f);
    e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, 48000.0f);
    e->dispatcher(e, effSetBlockSize, 0, 512, nullptr, 0.0f);
    e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
    std::vector<float> a(512, 0.25f), b(512, -0.5f);
    {
        Armed scope;
        for (VstInt32 program = 0; program < 20; ++program) {
            e->dispatcher(e, effSetProgram, 0, program, nullptr, 0.0f);
            hostTime.samplePos += 512.0;
            hostTime.ppqPos += 1.5;
            render(e, a, b, program % 2 == 0);
            for (VstInt32 index = 0; index < e->numParams; ++index) {
                for (float v : {0.0f, 0.33f, 1.0f, -0.5f, 1.5f}) {
                    e->setParameter(e, index, v);
                    render(e, a, b, false);
                }
            }
            e->dispatcher(e, effMainsChanged, 0, 0, nullptr, 0.0f);
            e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
            render(e, a, b, true);
        }
        EXPECT_EQ(allocations.load(), 0);
        EXPECT_EQ(releases.load(), 0);
    }
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
}
INSTANTIATE_TEST_SUITE_P(FlangerAndCompanion, AudioPath, ::testing::Bool());

// The counter is live: a rate change reallocates the lines and is seen.
TEST(AudioPathCounter, SeesTheRateChangeReallocate) {
    AEffect* e = pluginEntry(nullptr);
    ASSERT_NE(e, nullptr);
    {
        Armed scope;
        e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, 96000.0f);
        EXPECT_GT(allocations.load(), 0);
        EXPECT_GT(releases.load(), 0);
    }
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
}

}  // namespace
