// Allocation failure never reaches the host: construction answers a null
// record, a rate change keeps the old lines. Global operator new is
// replaced in this executable so a test can make the next allocations fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "effect/FlangerEffect.h"

namespace {
// Allocations left before the next one fails; negative: never fail.
long gAllowed = -1;
}  // namespace

void* operator new(std::size_t size) {
    if (gAllowed == 0) throw std::bad_alloc();
    if (gAllowed > 0) --gAllowed;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

VstIntPtr VSTCALLBACK host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

struct FailAfter {
    explicit FailAfter(long n) { gAllowed = n; }
    ~FailAfter() { gAllowed = -1; }
};

TEST(AllocationFailure, DuringConstructionGivesANullRecord) {
    // Fail each allocation of the constructor in turn.
    for (long n = 0; n < 12; ++n) {
        AEffect* e = nullptr;
        {
            FailAfter fail(n);
            e = pluginEntry(host);
        }
        // The object, four post lines, two main lines and the bank.
        if (n < 8) {
            EXPECT_EQ(e, nullptr) << n;
        } else {
            ASSERT_NE(e, nullptr) << n;
            EXPECT_EQ(e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f), 1);
        }
    }
}

TEST(AllocationFailure, DuringARateChangeKeepsTheOldLines) {
    AEffect* e = pluginEntry(host);
    ASSERT_NE(e, nullptr);
    auto* fx = static_cast<FlangerEffect*>(e->object);
    for (long n = 0; n < 8; ++n) {
        {
            FailAfter fail(n);
            e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, n % 2 ? 96000.0f : 22050.0f);
        }
        // Whatever failed, every line is whole and processing works.
        EXPECT_GE(fx->getReadPos(), 0);
        EXPECT_LT(fx->getReadPos(), fx->getBufferLength());
        EXPECT_LT(fx->getWritePos(), fx->getBufferLength());
        float in[2][256] = {}, out[2][256] = {};
        float* ins[2] = {in[0], in[1]};
        float* outs[2] = {out[0], out[1]};
        in[0][0] = 1.0f;
        e->processReplacing(e, ins, outs, 256);
        EXPECT_EQ(out[0][0], 1.0f);
    }
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
}

TEST(AllocationFailure, RateChangeThatCannotAllocateChangesNothing) {
    AEffect* e = pluginEntry(host);
    ASSERT_NE(e, nullptr);
    auto* fx = static_cast<FlangerEffect*>(e->object);
    {
        FailAfter fail(0);
        e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, 96000.0f);
    }
    EXPECT_EQ(fx->getCurrentRate(), 44100.0f);
    EXPECT_EQ(fx->getBufferLength(), 400);
    EXPECT_EQ(fx->getPostLine(1, 0).getLength(), 500);
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
}

}  // namespace
