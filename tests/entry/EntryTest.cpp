// The built plug-in driven through its exported entry point, as a host
// drives it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "host/VstHost.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

class Entry : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        library = vsthost::Library::open(FLANGER_PLUGIN_PATH, error).release();
        ASSERT_NE(library, nullptr) << error;
    }
    static void TearDownTestSuite() {
        delete library;
        library = nullptr;
    }
    std::unique_ptr<vsthost::Plugin> make(vsthost::HostOptions options = {}) {
        std::string error;
        auto p = vsthost::Plugin::create(*library, error, std::move(options));
        EXPECT_NE(p, nullptr) << error;
        return p;
    }
    static vsthost::Library* library;
};
vsthost::Library* Entry::library = nullptr;

struct Block {
    std::vector<float> inL, inR, outL, outR;
    float* ins[2];
    float* outs[2];
    explicit Block(int n, unsigned seed = 1) : inL(n), inR(n), outL(n), outR(n) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
        for (int i = 0; i < n; ++i) {
            inL[i] = dist(rng);
            inR[i] = dist(rng);
        }
        ins[0] = inL.data();
        ins[1] = inR.data();
        outs[0] = outL.data();
        outs[1] = outR.data();
    }
    bool finite() const {
        for (float v : outL)
            if (!std::isfinite(v)) return false;
        for (float v : outR)
            if (!std::isfinite(v)) return false;
        return true;
    }
};

TEST_F(Entry, BothEntryNamesAreTheSameFunction) {
#if !defined(_WIN32)
    void* h = dlopen(FLANGER_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(dlsym(h, "main"), nullptr);
    EXPECT_EQ(dlsym(h, "main"), dlsym(h, "VSTPluginMain"));
    dlclose(h);
#endif
    EXPECT_EQ(library->entrySymbol(), "VSTPluginMain");
}

TEST_F(Entry, RecordDescribesAStereoEffect) {
    auto p = make();
    const AEffect* e = p->effect();
    EXPECT_EQ(e->magic, kEffectMagic);
    EXPECT_EQ(e->numPrograms, 20);
    EXPECT_EQ(e->numParams, 12);
    EXPECT_EQ(e->numInputs, 2);
    EXPECT_EQ(e->numOutputs, 2);
    EXPECT_EQ(e->flags, effFlagsCanMono | effFlagsCanReplacing);
    EXPECT_EQ(e->uniqueID, vstFourCC('Q', 'V', '0', '7'));
    EXPECT_EQ(e->version, 1);
    EXPECT_EQ(e->ioRatio, 1.0f);
    EXPECT_EQ(e->initialDelay, 0);
    EXPECT_NE(e->processReplacing, nullptr);
    for (char c : e->future) EXPECT_EQ(c, 0);
    EXPECT_EQ(p->dispatch(effIdentify), vstFourCC('N', 'v', 'E', 'f'));
    EXPECT_EQ(p->close(), 1);
}

TEST_F(Entry, DeclinesAHostThatAnswersZeroToTheVersionQuery) {
    std::string error;
    vsthost::HostOptions options;
    options.version = 0;
    EXPECT_EQ(vsthost::Plugin::create(*library, error, options), nullptr);
    // A host without a callback still gets a working instance.
    AEffect* e = library->entry()(nullptr);
    ASSERT_NE(e, nullptr);
    Block b(64);
    e->processReplacing(e, b.ins, b.outs, 64);
    EXPECT_EQ(e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f), 1);
}

TEST_F(Entry, FactoryProgramsReadBackBitForBit) {
    auto p = make();
    struct Row {
        float v[12];
    };
    const float lp = 0.2f * 1.1f, hp = 0.2f * 2.1f, bp = 0.2f * 3.1f, notch = 0.2f * 4.1f;
    const float m4 = 0.125f * 3.1f, m8 = 0.125f * 8.0f, m2 = 0.125f * 1.1f;
    const Row neutral = {{0.5f, 0, 1, 0, 0.5f, 0.7f, 0, 0, 0, 0, 0, 0.5f}};
    const Row rows[20] = {
        neutral,
        {{0.08f, 0.87f, 1, hp, 0.2812245f, 0.88f, 0.66f, 0.13f, 0, 0.67f, 0.83f, 0.5f}},
        {{0.08f, 0.77f, 0, lp, 0.61f, 0.89f, 0.69f, 0.05f, m4, 0.77f, 0.2f, 0.5f}},
        {{0.08f, 0.77f, 1, lp, 0.61f, 0.89f, 0.69f, 0.05f, m4, 0.77f, 0.2f, 0.35397288f}},
        {{0.13f, 0.78f, 1, lp, 0.656f, 1, 0.73f, 1, 0, 0.77f, 1, 0.22387211f}},
        {{0.19f, 0.97f, 0, bp, 0.31255102f, 1, 0.32f, 0.33f, 0, 0.77f, 0.09f, 0.44562545f}},
        {{0.19f, 0.81f, 0.26f, hp, 0.06255102f, 1, 0.32f, 0.33f, 0, 0.77f, 0.09f, 0.35397288f}},
        {{1, 0.83f, 0.26f, lp, 0.17193878f, 0.13f, 0.32f, 0.2f, m8, 0.77f, 1, 0.35397288f}},
        {{0.11f, 0.83f, 0, lp, 0.109387755f, 1, 1, 0.08f, m8, 0, 0.22f, 0.5610092f}},
        {{0.11f, 0.83f, 0, hp, 0.109387755f, 1, 1, 0.08f, m8, 0, 0.22f, 0.5610092f}},
        {{0.11f, 0.83f, 0, bp, 0.109387755f, 1, 1, 0.08f, m8, 0, 0.22f, 0.5610092f}},
        {{1, 0.63f, 1, lp, 0.4687755f, 1, 1, 0.34f, 0, 1, 0.42f, 0.28117067f}},
        {{0.06f, 0.83f, 0.26f, lp, 0.8437755f, 1, 1, 0.72f, 0.125f, 0.78f, 0.22f, 0.2505936f}},
        {{0.06f, 0.81f, 0.51f, lp, 0.67183673f, 0.92f, 1, 0.7f, 0, 0.92f, 0.72f, 0.2505936f}},
        {{0.06f, 0.81f, 0, bp, 0.82816327f, 0.13f, 1, 0.23f, m2, 1, 1, 0.28117067f}},
        {{0.19f, 0.79f, 1, bp, 0.078163266f, 1, 0.32f, 0.33f, 0, 0.77f, 0.79f, 0.5610092f}},
        {{0, 0.1f, 1, notch, 0.06255102f, 0.92f, 0.13f, 0.83f, m4, 0.67f, 0.33f, 0.47203043f}},
        {{0.06f, 0.34f, 0, notch, 0, 0.52f, 0.13f, 0.83f, m4, 0.67f, 1, 0.5942511f}},
        neutral,
        neutral,
    };
    for (int prog = 0; prog < 20; ++prog) {
        p->setProgram(prog);
        ASSERT_EQ(p->program(), prog);
        for (int i = 0; i < 12; ++i) {
            float got = p->getParameter(i);
            std::uint32_t a, b;
            std::memcpy(&a, &got, 4);
            std::memcpy(&b, &rows[prog].v[i], 4);
            EXPECT_EQ(a, b) << "program " << prog << " parameter " << i << ": " << got << " vs "
                            << rows[prog].v[i];
        }
    }
    p->setProgram(2);
    EXPECT_EQ(p->getParameter(3), 0.22000001f);
    EXPECT_NE(p->getParameter(3), 0.22f);
    EXPECT_EQ(p->parameterDisplay(3), "low pass");
    p->setProgram(12);
    EXPECT_EQ(p->parameterDisplay(8), "2");
    p->setProgram(7);
    EXPECT_EQ(p->parameterDisplay(8), "8");
}

TEST_F(Entry, ProgramSelectionIsBoundsChecked) {
    auto p = make();
    p->setProgram(19);
    EXPECT_EQ(p->program(), 19);
    EXPECT_EQ(p->programName(), "Init 19");
    for (VstIntPtr bad : {VstIntPtr{20}, VstIntPtr{-1}, VstIntPtr{1} << 40,
                          std::numeric_limits<VstIntPtr>::min()}) {
        if (sizeof(VstIntPtr) == 4 && bad == (VstIntPtr{1} << 40)) continue;
        EXPECT_EQ(p->dispatch(effSetProgram, 0, bad), 0);
        EXPECT_EQ(p->program(), 19);
    }
}

TEST_F(Entry, EditsSurviveProgramSwitches) {
    auto p = make();
    p->setProgram(5);
    p->setParameter(0, 0.42f);
    p->setProgramName("My Flange");
    p->setProgram(6);
    p->setProgram(5);
    EXPECT_EQ(p->getParameter(0), 0.42f);
    EXPECT_EQ(p->programName(), "My Flange");
}

TEST_F(Entry, TextsFitTheirBoundsAndWriteNothingPastTheTerminator) {
    auto p = make();
    const float values[] = {0.0f, 0.5f, 1.0f, -1.0f, 7.0f, kNaN, kInf, -kInf, 1e30f, 1e-40f};
    for (float v : values) {
        for (VstInt32 i = -2; i < 14; ++i) {
            p->setParameter(i, v);
            for (VstInt32 op : {effGetParamName, effGetParamLabel, effGetParamDisplay}) {
                char buffer[64];
                std::memset(buffer, 0x5A, sizeof buffer);
                p->dispatch(op, i, 0, buffer);
                const void* end = std::memchr(buffer, '\0', sizeof buffer);
                if (i < 0 || i >= 12) {
                    EXPECT_EQ(end, nullptr) << "index " << i << " must leave the buffer alone";
                    continue;
                }
                if (end == nullptr) continue;  // FeedB Sign outside 0..1 writes nothing
                const auto n = static_cast<const char*>(end) - buffer;
                EXPECT_LT(n, 16) << "opcode " << op << " index " << i << " value " << v;
                for (std::size_t k = static_cast<std::size_t>(n) + 1; k < sizeof buffer; ++k)
                    ASSERT_EQ(buffer[k], 0x5A);
            }
        }
    }
}

TEST_F(Entry, EveryOpcodeIsAnsweredSafely) {
    auto p = make();
    p->start(44100.0f, 512);
    for (VstInt32 op = -10; op <= 80; ++op) {
        if (op == effClose) continue;
        for (VstIntPtr value : {VstIntPtr{0}, VstIntPtr{-1}, VstIntPtr{1000000}}) {
            std::vector<char> buffer(4096, 0);
            void* ptr = buffer.data();
            if (op == effGetChunk) ptr = nullptr;
            p->dispatch(op, -1, value, ptr, kNaN);
            p->dispatch(op, 0, value, ptr, 48000.0f);
            p->dispatch(op, 99, value, ptr, 0.0f);
        }
    }
    p->dispatch(effSetSampleRate, 0, 0, nullptr, 44100.0f);
    Block b(512);
    p->processReplacing(b.ins, b.outs, 512);
    EXPECT_TRUE(b.finite());
}

TEST_F(Entry, HostileRatesAndBlockSizesNeverHangOrCrash) {
    auto p = make();
    p->open();
    for (float rate : {0.0f, -1.0f, kNaN, kInf, 1e-30f, 1.0f, 50.0f, 8000.0f, 1e9f, 96000.0f}) {
        p->setSampleRate(rate);
        for (VstInt32 size : {0, -5, 1, 1000, 5000}) {
            p->setBlockSize(size);
            p->resume();
            Block b(size > 0 ? size : 8);
            p->processReplacing(b.ins, b.outs, size);
            p->process(b.ins, b.outs, size);
        }
    }
}

TEST_F(Entry, HostCallOrdersSeenInRealHosts) {
    // Block size before rate, mains on twice, off before on, parameters
    // while running, silent pre-roll: the output equals a plain start-up.
    auto reference = make();
    reference->start(48000.0f, 256);
    auto p = make();
    p->open();
    p->dispatch(effMainsChanged, 0, 0);
    p->setBlockSize(256);
    p->setSampleRate(48000.0f);
    p->resume();
    p->resume();
    for (auto* fx : {reference.get(), p.get()}) {
        fx->setProgram(5);
        Block silence(256);
        std::fill(silence.inL.begin(), silence.inL.end(), 0.0f);
        std::fill(silence.inR.begin(), silence.inR.end(), 0.0f);
        for (int i = 0; i < 3; ++i) fx->processReplacing(silence.ins, silence.outs, 256);
    }
    Block a(256, 3), b(256, 3);
    for (int i = 0; i < 8; ++i) {
        reference->setParameter(0, 0.1f * static_cast<float>(i));
        p->setParameter(0, 0.1f * static_cast<float>(i));
        reference->processReplacing(a.ins, a.outs, 256);
        p->processReplacing(b.ins, b.outs, 256);
        ASSERT_EQ(a.outL, b.outL) << "block " << i;
        ASSERT_EQ(a.outR, b.outR) << "block " << i;
    }
    EXPECT_TRUE(a.finite());
}

TEST_F(Entry, AliasedBuffersAreProcessedSafely) {
    auto p = make();
    p->start(44100.0f, 512);
    p->setProgram(14);
    Block b(512);
    float* same[2] = {b.inL.data(), b.inL.data()};
    p->processReplacing(same, same, 512);
    float* crossed[2] = {b.inL.data(), b.inR.data()};
    float* crossedOut[2] = {b.inR.data(), b.inL.data()};
    p->process(crossed, crossedOut, 512);
    EXPECT_TRUE(std::isfinite(b.inL[100]));
}

TEST_F(Entry, AnswersTheOpcodesHostsNeedForAutomationAndNames) {
    auto p = make();
    for (VstInt32 i = 0; i < 12; ++i) EXPECT_EQ(p->dispatch(effCanBeAutomated, i), 1) << i;
    EXPECT_EQ(p->dispatch(effCanBeAutomated, 12), 0);
    EXPECT_EQ(p->dispatch(effCanBeAutomated, -1), 0);
    EXPECT_EQ(p->programNameIndexed(0), "--- Default ---");
    EXPECT_EQ(p->programNameIndexed(17), "New Plimo");
    EXPECT_EQ(p->programNameIndexed(18), "Init 18");
    EXPECT_EQ(p->program(), 0);  // asking does not switch
    char untouched[8] = "same";
    EXPECT_EQ(p->dispatch(effGetProgramNameIndexed, 20, -1, untouched), 0);
    EXPECT_STREQ(untouched, "same");
    EXPECT_EQ(p->dispatch(effGetPlugCategory), 1);
    EXPECT_EQ(p->dispatch(effGetVstVersion), 2400);
    EXPECT_GT(p->dispatch(effGetVendorVersion), 0);
    EXPECT_FALSE(p->effectName().empty());
    EXPECT_LT(p->effectName().size(), 32u);
    EXPECT_LT(p->vendorName().size(), 32u);
    EXPECT_LT(p->productName().size(), 32u);
    EXPECT_EQ(p->dispatch(25), 0);
}

}  // namespace
