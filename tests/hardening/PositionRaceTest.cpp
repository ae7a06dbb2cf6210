// Delay changes from a second thread while long blocks run. Hosts call
// setParameter from an automation or interface thread while the audio
// thread is inside processReplacing; the delay positions must stay inside
// their lines whatever the interleaving, no sample may be written outside
// the host's block, and a depth change that arrives during a block must not
// be lost.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ostream>
#include <thread>
#include <vector>

#include "tests/hardening/RecordHelpers.h"

namespace {

using hardening::closeRecord;
using hardening::effectBehind;
using hardening::openRecord;

constexpr std::int32_t kBlock = 10000;  // 25 passes over the 400-sample main line
constexpr std::size_t kGuard = 64;
constexpr float kCanary = -12345.0f;
constexpr auto kDuration = std::chrono::milliseconds(400);

struct Automated {
    const char* name;
    VstInt32 index;
};

void PrintTo(const Automated& a, std::ostream* os) {
    *os << a.name;
}

class DelayChangesDuringProcessing : public ::testing::TestWithParam<Automated> {};

// Positions of every line of the effect, each inside its line.
bool positionsInRange(const FlangerEffect& e) {
    const std::int32_t n = e.getBufferLength();
    if (e.getWritePos() < 0 || e.getWritePos() >= n) return false;
    if (e.getReadPos() < 0 || e.getReadPos() >= n) return false;
    for (int post = 1; post <= 2; ++post) {
        for (int ch = 0; ch < 2; ++ch) {
            const DelayLine& line = e.getPostLine(post, ch);
            if (line.getReadIndex() < 0 || line.getReadIndex() >= line.getLength()) return false;
            if (line.getWriteIndex() < 0 || line.getWriteIndex() >= line.getLength()) return false;
        }
    }
    return true;
}

TEST_P(DelayChangesDuringProcessing, KeepPositionsInsideTheLinesAndWritesInsideTheBlock) {
    AEffect* fx = openRecord();
    ASSERT_NE(fx, nullptr);
    const FlangerEffect& effect = effectBehind(fx);
    const VstInt32 index = GetParam().index;
    fx->setParameter(fx, kFeedBack, 0.5f);
    fx->setParameter(fx, kPost1Send, 0.5f);
    fx->setParameter(fx, kPost2Send, 0.5f);

    // Each channel's output sits between guard zones that must stay intact.
    std::vector<float> in(2 * kBlock, 0.25f);
    std::vector<float> out(2 * (kBlock + 2 * kGuard), kCanary);
    float* inputs[2] = {in.data(), in.data() + kBlock};
    float* outputs[2] = {out.data() + kGuard, out.data() + kBlock + 3 * kGuard};

    std::atomic<bool> stop{false};
    std::atomic<float> last{0.0f};
    long long changes = 0;
    std::thread control([&] {
        std::uint32_t s = 0x2545F491u;
        while (!stop.load(std::memory_order_relaxed)) {
            s ^= s << 13;
            s ^= s >> 17;
            s ^= s << 5;
            // Jumps between the ends of the range move the read position
            // across the whole line.
            const float v = (s & 3u) == 0 ? static_cast<float>(s >> 8) / 16777216.0f
                                          : static_cast<float>(s & 1u);
            fx->setParameter(fx, index, v);
            last.store(v, std::memory_order_relaxed);
            ++changes;
        }
    });

    long long blocks = 0;
    long long outOfRange = 0;
    long long strayWrites = 0;
    const auto end = std::chrono::steady_clock::now() + kDuration;
    while (std::chrono::steady_clock::now() < end) {
        fx->processReplacing(fx, inputs, outputs, kBlock);
        if (!positionsInRange(effect)) ++outOfRange;
        for (std::size_t g = 0; g < kGuard; ++g) {
            for (const float* zone :
                 {out.data(), out.data() + kBlock + kGuard, out.data() + kBlock + 2 * kGuard,
                  out.data() + 2 * kBlock + 3 * kGuard}) {
                if (zone[g] != kCanary) ++strayWrites;
            }
        }
        ++blocks;
    }
    stop = true;
    control.join();

    EXPECT_GT(blocks, 5);
    EXPECT_GT(changes, 100);
    EXPECT_EQ(outOfRange, 0) << "positions left their lines after " << blocks << " blocks";
    EXPECT_EQ(strayWrites, 0) << "samples written outside the host's block";

    if (index == kDepth) {
        // The last depth set is the delay heard from now on, even when it
        // arrived while a block was running.
        fx->processReplacing(fx, inputs, outputs, 123);
        const std::int32_t n = effect.getBufferLength();
        const std::int32_t distance = (effect.getWritePos() - effect.getReadPos() + n) % n;
        const float v = last.load();
        const auto expected = static_cast<std::int32_t>(static_cast<float>(n - 1) * v);
        EXPECT_EQ(distance, expected) << "depth " << v;
    }
    closeRecord(fx);
}

INSTANTIATE_TEST_SUITE_P(Hardening, DelayChangesDuringProcessing,
                         ::testing::Values(Automated{"FlangerDepth", kDepth},
                                           Automated{"PostFlanger1Depth", kPost1Depth},
                                           Automated{"PostFlanger2Depth", kPost2Depth}),
                         [](const ::testing::TestParamInfo<Automated>& p) {
                             return std::string(p.param.name);
                         });

}  // namespace
