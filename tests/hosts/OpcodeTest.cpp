// Every dispatcher opcode from -10 to 80 sent to the plug-in binary: the
// effect answers the later-version opcodes hosts need (26, 29, 35, 45, 47,
// 48, 49, 58) itself, and every other opcode exactly as the bare frame
// does.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "frame/AudioEffect.h"
#include "host/VstHost.h"

namespace {

// The frame with nothing overridden but the one pure operation.
class BareEffect : public AudioEffect {
public:
    BareEffect() : AudioEffect(nullptr, 20, 12) {}
    void process(float**, float**, VstInt32) override {}
};

std::unique_ptr<vsthost::Library> openPlugin() {
    std::string error;
    auto library = vsthost::Library::open(FLANGER_PLUGIN_PATH, error);
    EXPECT_TRUE(library) << error;
    return library;
}

std::unique_ptr<vsthost::Plugin> makePlugin(const vsthost::Library& library) {
    std::string error;
    auto plugin = vsthost::Plugin::create(library, error);
    EXPECT_TRUE(plugin) << error;
    return plugin;
}

const std::set<VstInt32> kEffectOwn = {26, 29, 35, 45, 47, 48, 49, 58};

class Opcode : public ::testing::TestWithParam<VstInt32> {};

TEST_P(Opcode, AnswersAsTheFrameUnlessTheEffectOwnsIt) {
    const VstInt32 opcode = GetParam();
    auto library = openPlugin();
    ASSERT_TRUE(library);
    // A fresh instance per opcode: some (program name, rate, mains) change
    // state. Index 0, value 0 and a zeroed text buffer are what a probing
    // host sends.
    auto plugin = makePlugin(*library);
    ASSERT_TRUE(plugin);
    BareEffect bare;
    char a[256] = {}, b[256] = {};
    const VstIntPtr answer = plugin->dispatch(opcode, 0, 0, a, 0.0f);
    const VstIntPtr frame = bare.dispatcher(opcode, 0, 0, b, 0.0f);
    if (kEffectOwn.count(opcode) == 0) {
        EXPECT_EQ(answer, frame) << "opcode " << opcode;
    } else {
        EXPECT_NE(answer, 0) << "opcode " << opcode << " must be answered by the effect";
    }
}

// effClose (1) ends the instance and is covered below.
INSTANTIATE_TEST_SUITE_P(
    FromMinus10To80, Opcode,
    ::testing::Values(-10, -9, -8, -7, -6, -5, -4, -3, -2, -1, 0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
                      12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30,
                      31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49,
                      50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68,
                      69, 70, 71, 72, 73, 74, 75, 76, 77, 78, 79, 80),
    [](const auto& test) {
        return test.param < 0 ? "minus" + std::to_string(-test.param) : std::to_string(test.param);
    });

TEST(OpcodeAnswers, OfTheEffectHold) {
    auto library = openPlugin();
    ASSERT_TRUE(library);
    auto p = makePlugin(*library);
    ASSERT_TRUE(p);
    // 26: every parameter and nothing else can be automated.
    for (VstInt32 i = -1; i <= 12; ++i)
        EXPECT_EQ(p->dispatch(26, i), (i >= 0 && i < 12) ? 1 : 0) << "parameter " << i;
    // 29: every program's name by index, the same as when it is current;
    // indices outside the bank and a missing buffer answer 0.
    for (VstInt32 n = 0; n < p->numPrograms(); ++n) {
        p->setProgram(n);
        EXPECT_EQ(p->programNameIndexed(n), p->programName()) << "program " << n;
        EXPECT_FALSE(p->programNameIndexed(n).empty());
    }
    EXPECT_EQ(p->programNameIndexed(5), "Metal Flange 1");
    EXPECT_EQ(p->programNameIndexed(0), "--- Default ---");
    EXPECT_EQ(p->programNameIndexed(18), "Init 18");
    char text[256];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(p->dispatch(29, 20, 0, text), 0);
    EXPECT_EQ(p->dispatch(29, -1, 0, text), 0);
    EXPECT_EQ(text[0], 'x') << "a refused index must leave the buffer alone";
    EXPECT_EQ(p->dispatch(29, 0, 0, nullptr), 0);
    // 35: an effect.
    EXPECT_EQ(p->dispatch(35), 1);
    // 45, 47, 48: names, each terminated right after its text.
    for (VstInt32 op : {45, 47, 48}) {
        std::memset(text, 'x', sizeof text);
        EXPECT_EQ(p->dispatch(op, 0, 0, text), 1) << "opcode " << op;
        const std::size_t n = std::strlen(text);
        EXPECT_EQ(text[n + 1], 'x') << "opcode " << op << " wrote past its terminator";
        EXPECT_EQ(p->dispatch(op, 0, 0, nullptr), 0) << "opcode " << op;
    }
    EXPECT_EQ(p->effectName(), "Static Flanger");
    EXPECT_EQ(p->vendorName(), "Static Flanger Team");
    EXPECT_EQ(p->productName(), "Static Flanger");
    // 49 and 58: vendor and interface versions.
    EXPECT_EQ(p->dispatch(49), 1000);
    EXPECT_EQ(p->dispatch(58), 2400);
    // 25 (events) and 27, 28 are not the effect's: answered 0.
    EXPECT_EQ(p->dispatch(25), 0);
    EXPECT_EQ(p->dispatch(27), 0);
}

TEST(OpcodeAnswers, CloseEndsTheInstanceAndAnswers1) {
    auto library = openPlugin();
    ASSERT_TRUE(library);
    auto p = makePlugin(*library);
    ASSERT_TRUE(p);
    p->suspend();  // before any resume, as Ardour's scanner does
    EXPECT_EQ(p->close(), 1);
}

}  // namespace
