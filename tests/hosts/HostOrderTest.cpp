// The plug-in binary driven in the call orders real hosts use: Ardour's
// (block size after rate, effMainsChanged 1 twice, silent pre-roll,
// 0-1-0 at the end), LMMS's (block size before rate, names and parameters
// while running, editor idle calls) and Ardour's scanner (effMainsChanged 0
// before any 1). Each must sound exactly like the plain order.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/VstHost.h"

namespace {

constexpr float kRate = 44100.0f;
constexpr int kFrames = 8192;
constexpr int kProgram = 5;  // strong feedback and a filter: state shows
constexpr float kDepth = 0.3f;

struct Stereo {
    std::vector<float> left, right;
};

// A tone and noise on both channels, different on each.
Stereo testSignal() {
    Stereo s{std::vector<float>(kFrames), std::vector<float>(kFrames)};
    std::uint32_t seed = 99u;
    for (int i = 0; i < kFrames; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const float noise = static_cast<float>(seed >> 8) / 8388608.0f - 1.0f;
        s.left[i] = 0.4f * std::sin(0.05f * static_cast<float>(i)) + 0.1f * noise;
        s.right[i] = 0.3f * std::sin(0.013f * static_cast<float>(i)) - 0.2f * noise;
    }
    return s;
}

class Host {
public:
    Host() {
        std::string error;
        library = vsthost::Library::open(FLANGER_PLUGIN_PATH, error);
        if (!library) throw std::runtime_error(error);
    }
    std::unique_ptr<vsthost::Plugin> make(vsthost::HostOptions options = {}) {
        std::string error;
        auto plugin = vsthost::Plugin::create(*library, error, std::move(options));
        if (!plugin) throw std::runtime_error(error);
        return plugin;
    }

private:
    std::unique_ptr<vsthost::Library> library;
};

Host& host() {
    static Host h;
    return h;
}

// Runs frames [from, to) of the signal in blocks of `block`, writing into out.
void run(vsthost::Plugin& p, const Stereo& in, Stereo& out, int from, int to, int block) {
    std::vector<float> inL(in.left), inR(in.right);
    for (int at = from; at < to; at += block) {
        const int n = std::min(block, to - at);
        float* ins[2] = {inL.data() + at, inR.data() + at};
        float* outs[2] = {out.left.data() + at, out.right.data() + at};
        p.processReplacing(ins, outs, n);
    }
}

void silentBlocks(vsthost::Plugin& p, int blocks, int block, float* peak) {
    std::vector<float> zl(block, 0.0f), zr(block, 0.0f), ol(block, 1.0f), orr(block, 1.0f);
    for (int b = 0; b < blocks; ++b) {
        float* ins[2] = {zl.data(), zr.data()};
        float* outs[2] = {ol.data(), orr.data()};
        p.processReplacing(ins, outs, block);
        for (int i = 0; i < block; ++i)
            *peak = std::fmax(*peak, std::fmax(std::fabs(ol[i]), std::fabs(orr[i])));
    }
}

// The plain order: open, rate, block size, on, program, depth, one block.
Stereo reference(const Stereo& in) {
    auto p = host().make();
    p->start(kRate, kFrames);
    p->setProgram(kProgram);
    p->setParameter(0, kDepth);
    Stereo out{std::vector<float>(kFrames), std::vector<float>(kFrames)};
    run(*p, in, out, 0, kFrames, kFrames);
    p->suspend();
    return out;
}

void expectSame(const Stereo& expected, const Stereo& actual) {
    int differing = 0, first = -1;
    for (int i = 0; i < kFrames; ++i) {
        if (expected.left[i] != actual.left[i] || expected.right[i] != actual.right[i]) {
            if (first < 0) first = i;
            ++differing;
        }
    }
    EXPECT_EQ(differing, 0) << "first differing frame " << first;
}

struct Sequence {
    const char* name;
    // Drives a fresh instance through the host's order and renders the
    // signal into out.
    std::function<void(vsthost::Plugin&, const Stereo&, Stereo&)> drive;
};

class HostSequence : public ::testing::TestWithParam<Sequence> {};

TEST_P(HostSequence, SoundsLikeThePlainOrder) {
    const Stereo in = testSignal();
    auto p = host().make();
    Stereo out{std::vector<float>(kFrames), std::vector<float>(kFrames)};
    GetParam().drive(*p, in, out);
    expectSame(reference(in), out);
}

void ardour(vsthost::Plugin& p, const Stereo& in, Stereo& out) {
    p.open();
    p.dispatch(58);
    p.setSampleRate(kRate);
    p.setBlockSize(1024);
    for (VstInt32 i = 0; i < p.numParams(); ++i) {
        p.dispatch(26, i);
        p.dispatch(56, i);
        p.parameterName(i);
        p.parameterLabel(i);
        p.parameterDisplay(i);
    }
    p.resume();
    p.resume();  // a second 1 without a 0 between
    p.setProgram(kProgram);
    for (VstInt32 i = 0; i < p.numParams(); ++i) p.setParameter(i, p.getParameter(i));
    p.setParameter(0, kDepth);
    float peak = 0.0f;
    silentBlocks(p, 3, 1024, &peak);  // pre-roll
    EXPECT_EQ(peak, 0.0f) << "silent pre-roll must stay silent";
    run(p, in, out, 0, kFrames, 1024);
    p.suspend();
    p.resume();
    p.suspend();
}

void lmms(vsthost::Plugin& p, const Stereo& in, Stereo& out) {
    p.open();
    p.setBlockSize(256);  // before the rate
    p.setSampleRate(kRate);
    p.resume();
    p.effectName();
    p.dispatch(49);
    p.vendorName();
    p.productName();
    p.setProgram(kProgram);
    // Parameters arrive while running, between periods, each sent again
    // with its own value as the host's knobs pick them up.
    float peak = 0.0f;
    silentBlocks(p, 1, 256, &peak);
    p.setParameter(0, kDepth);
    for (VstInt32 i = 0; i < p.numParams(); ++i) p.setParameter(i, p.getParameter(i));
    for (int at = 0; at < kFrames; at += 256) {
        run(p, in, out, at, at + 256, 256);
        p.setParameter(0, kDepth);
        p.dispatch(effEditIdle);
    }
    EXPECT_EQ(peak, 0.0f);
    p.suspend();
}

void scannerFirst(vsthost::Plugin& p, const Stereo& in, Stereo& out) {
    p.suspend();  // the scanner's 0 before any 1
    p.open();
    p.suspend();
    p.setSampleRate(48000.0f);  // a rate change before the real one
    p.setSampleRate(kRate);
    p.setBlockSize(512);
    p.resume();
    p.setProgram(kProgram);
    p.setParameter(0, kDepth);
    run(p, in, out, 0, kFrames, 512);
}

INSTANTIATE_TEST_SUITE_P(RealHosts, HostSequence,
                         ::testing::Values(Sequence{"Ardour", ardour}, Sequence{"Lmms", lmms},
                                           Sequence{"ScannerThenPlay", scannerFirst}),
                         [](const auto& test) { return std::string(test.param.name); });

// The sequences above would pass vacuously if every order sounded alike
// whatever the state: a depth change between blocks must be heard, and
// land on the same frame whatever the block sizes around it.
TEST(ParametersWhileRunning, TakeEffectAtTheBlockBoundaryWhateverTheBlockSize) {
    const Stereo in = testSignal();
    constexpr int kChange = 3000;
    auto render = [&](int before, int after) {
        auto p = host().make();
        p->start(kRate, before);
        p->setProgram(kProgram);
        p->setParameter(0, kDepth);
        Stereo out{std::vector<float>(kFrames), std::vector<float>(kFrames)};
        run(*p, in, out, 0, kChange, before);
        p->setParameter(0, 0.6f);
        run(*p, in, out, kChange, kFrames, after);
        return out;
    };
    const Stereo a = render(kChange, kFrames), b = render(1000, 256), c = render(1, 7);
    expectSame(a, b);
    expectSame(a, c);
    const Stereo unchanged = reference(in);
    for (int i = 0; i < kChange; ++i) ASSERT_EQ(a.left[i], unchanged.left[i]) << "frame " << i;
    int differing = 0;
    for (int i = kChange; i < kFrames; ++i) differing += a.left[i] != unchanged.left[i];
    EXPECT_GT(differing, (kFrames - kChange) / 2) << "the depth change was not heard";
}

TEST(MainsChanged, OffClearsTheTailAndOnTwiceKeepsIt) {
    const Stereo in = testSignal();
    auto tail = [&](bool off, int ons) {
        auto p = host().make();
        p->start(kRate, 1024);
        p->setProgram(kProgram);
        p->setParameter(0, kDepth);
        Stereo out{std::vector<float>(kFrames), std::vector<float>(kFrames)};
        run(*p, in, out, 0, kFrames, 1024);
        if (off) p->suspend();
        for (int k = 0; k < ons; ++k) p->resume();
        float peak = 0.0f;
        silentBlocks(*p, 2, 1024, &peak);
        return peak;
    };
    EXPECT_EQ(tail(true, 1), 0.0f) << "off then on must start from silence";
    EXPECT_GT(tail(false, 2), 0.0f) << "on twice must not cut the ringing tail";
    EXPECT_GT(tail(false, 0), 0.0f);
}

}  // namespace
