// Program names and the texts shown for every parameter.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "effect/FlangerEffect.h"
#include "effect/NumberText.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Calls a text operation on a buffer pre-filled with '#', checks that
// nothing was written past the terminator or past `bound` bytes.
template <typename F>
std::string text(F&& op, std::size_t bound = kParamTextBytes) {
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    op(buffer);
    const char* end = static_cast<const char*>(std::memchr(buffer, '\0', sizeof buffer));
    if (end == nullptr) return std::string(buffer, 0) + "<untouched>";
    const std::size_t n = static_cast<std::size_t>(end - buffer);
    EXPECT_LT(n, bound) << std::string(buffer, n);
    for (std::size_t i = n + 1; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], '#') << "byte " << i;
    return std::string(buffer, n);
}

struct Texts {
    std::unique_ptr<FlangerEffect> fx = std::make_unique<FlangerEffect>(nullptr);
    std::string display(VstInt32 i, float v) {
        fx->setParameter(i, v);
        return text([&](char* t) { fx->getParameterDisplay(i, t); });
    }
    std::string name(VstInt32 i) {
        return text([&](char* t) { fx->getParameterName(i, t); });
    }
    std::string label(VstInt32 i) {
        return text([&](char* t) { fx->getParameterLabel(i, t); });
    }
    std::string program() {
        return text([&](char* t) { fx->getProgramName(t); }, kProgramNameBytes);
    }
};

TEST(ProgramNames, FactoryNamesAndTheInitRule) {
    Texts t;
    EXPECT_EQ(t.program(), "--- Default ---");
    const char* names[] = {"--- Default ---", "Hi Flange 1",    "Hi Flange 2",    "Loud Disto",
                           "SI Resonance",    "Metal Flange 1", "Metal Flange 2", "Mega Bass",
                           "Eggs LP",         "Eggs HP",        "Eggs BP",        "Metal Air",
                           "Aerial 1",        "Aerial 2",       "Cool Flight",    "Birdy",
                           "Soft Flange",     "New Plimo",      "Init 18",        "Init 19"};
    for (int p = 0; p < kNumPrograms; ++p) {
        t.fx->setProgram(p);
        EXPECT_EQ(t.program(), names[p]) << p;
    }
    t.fx->setProgram(3);
    char init[] = "Init";
    t.fx->setProgramName(init);
    EXPECT_EQ(t.program(), "Init 3");
    for (const char* shown : {"Init 2", "Initial", "init"}) {
        std::string copy = shown;
        t.fx->setProgramName(copy.data());
        EXPECT_EQ(t.program(), shown);
    }
}

TEST(ProgramNames, LongNamesAreCutToTheFieldAndTouchNoOtherProgram) {
    Texts t;
    t.fx->setProgram(4);
    std::string longName(200, 'x');
    t.fx->setProgramName(longName.data());
    EXPECT_EQ(t.program(), std::string(23, 'x'));
    t.fx->setProgram(5);
    EXPECT_EQ(t.program(), "Metal Flange 1");
    t.fx->setProgram(3);
    EXPECT_EQ(t.program(), "Loud Disto");
}

TEST(ParameterTexts, NamesAndLabelsAsShown) {
    Texts t;
    const char* names[] = {" Flanger Depth ", " FeedBack ",      " FeedB Sign ",
                           " Filter Type ",   " Cutoff ",        " Q Factor ",
                           " Post Flanger1 ", " Post Flanger1 ", " Inject Mode ",
                           " Post Flanger2 ", " Post Flanger2 ", " Output Gain "};
    const char* labels[] = {"    %    ",   "    %    ",     "   -/+   ",     "   ---   ",
                            "    Hz    ",  "    %    ",     "  % -> send  ", "  % -> depth ",
                            "-> to post2", "  % -> send  ", "  % -> depth ", "    dB   "};
    for (int i = 0; i < kNumParams; ++i) {
        EXPECT_EQ(t.name(i), names[i]) << i;
        EXPECT_EQ(t.label(i), labels[i]) << i;
    }
}

TEST(ParameterTexts, OutOfRangeIndicesLeaveTheBufferUntouched) {
    Texts t;
    for (VstInt32 i : {12, -1}) {
        EXPECT_EQ(text([&](char* b) { t.fx->getParameterName(i, b); }), "<untouched>");
        EXPECT_EQ(text([&](char* b) { t.fx->getParameterLabel(i, b); }), "<untouched>");
        EXPECT_EQ(text([&](char* b) { t.fx->getParameterDisplay(i, b); }), "<untouched>");
    }
}

TEST(ParameterTexts, NumbersAreRoundedPercentagesAndHertz) {
    Texts t;
    EXPECT_EQ(t.display(kDepth, 0.0f), "0");
    EXPECT_EQ(t.display(kDepth, 0.08f), "8");
    EXPECT_EQ(t.display(kDepth, 0.5f), "50");
    EXPECT_EQ(t.display(kDepth, 1.0f), "100");
    EXPECT_EQ(t.display(kDepth, 0.125f), "13");  // exact half: away from zero
    EXPECT_EQ(t.display(kDepth, 0.003f), "0");
    EXPECT_EQ(t.display(kCutoff, 0.0f), "200");
    EXPECT_EQ(t.display(kCutoff, 0.5f), "5100");
    EXPECT_EQ(t.display(kCutoff, 1.0f), "10000");
    EXPECT_EQ(t.display(kCutoff, 0.656f), "6629");
    EXPECT_EQ(t.display(kQFactor, 0.0f), "1");
    EXPECT_EQ(t.display(kQFactor, 0.005f), "1");
    EXPECT_EQ(t.display(kPost1Send, -0.5f), "50");
}

TEST(ParameterTexts, FeedBackAboveNinetyPercentCarriesACaution) {
    Texts t;
    EXPECT_EQ(t.display(kFeedBack, 0.9f), "90");
    EXPECT_EQ(t.display(kFeedBack, std::nextafter(0.9f, 1.0f)), "90   careful");
    EXPECT_EQ(t.display(kFeedBack, 0.97f), "97   careful");
    EXPECT_EQ(t.display(kFeedBack, 1.0f), "100 careful");
}

TEST(ParameterTexts, SelectorsShowTheirSettingNames) {
    Texts t;
    EXPECT_EQ(t.display(kFeedBSign, 0.2499f), "negative 1");
    EXPECT_EQ(t.display(kFeedBSign, 0.25f), "negative 2");
    EXPECT_EQ(t.display(kFeedBSign, 0.5f), "positive 1");
    EXPECT_EQ(t.display(kFeedBSign, 0.75f), "positive 2");
    EXPECT_EQ(t.display(kFeedBSign, 1.0f), "positive 2");
    EXPECT_EQ(t.display(kFeedBSign, 1.5f), "<untouched>");
    EXPECT_EQ(t.display(kFilterType, 0.0f), "none");
    EXPECT_EQ(t.display(kFilterType, 0.2f), "low pass");
    EXPECT_EQ(t.display(kFilterType, 0.4f), "high pass");
    EXPECT_EQ(t.display(kFilterType, 0.6f), "band pass");
    EXPECT_EQ(t.display(kFilterType, 0.8f), "notch");
    EXPECT_EQ(t.display(kInjectMode, 0.0f), "1");
    EXPECT_EQ(t.display(kInjectMode, 0.125f), "2");
    EXPECT_EQ(t.display(kInjectMode, 0.3875f), "4");
    EXPECT_EQ(t.display(kInjectMode, 1.0f), "8");
    EXPECT_EQ(t.display(kInjectMode, 2.0f), "0");
}

TEST(ParameterTexts, OutputGainInDecibels) {
    Texts t;
    EXPECT_EQ(t.display(kOutputGain, 0.0f), "  -oo   ");
    EXPECT_EQ(t.display(kOutputGain, 0.5f), "0.000000");
    EXPECT_EQ(t.display(kOutputGain, 1.0f), "6.020599");
}

TEST(ParameterTexts, ShowTheMetalFlangeSettings) {
    Texts t;
    const float values[] = {0.19f, 0.97f, 0.0f, 0.62f, 0.31255102f, 1.0f,
                            0.32f, 0.33f, 0.0f, 0.77f, 0.09f};
    const char* shown[] = {"19", "97   careful", "negative 1", "band pass", "3263", "100",
                           "32", "33",           "1",          "77",        "9"};
    for (int i = 0; i < 11; ++i) EXPECT_EQ(t.display(i, values[i]), shown[i]) << i;
}

TEST(ParameterTexts, HostileValuesGiveShortTexts) {
    Texts t;
    for (float v :
         {kNaN, kInf, -kInf, 1e30f, -1e30f, 1000.0f, std::numeric_limits<float>::denorm_min()}) {
        for (int i = 0; i < kNumParams; ++i) {
            Texts fresh;
            const std::string s = fresh.display(i, v);
            EXPECT_LT(s.size(), static_cast<std::size_t>(kParamTextBytes)) << i << " " << v;
        }
    }
    EXPECT_EQ(t.display(kDepth, kNaN), "NaN");
    EXPECT_EQ(t.display(kDepth, 1e30f), "Huge");
    EXPECT_EQ(t.display(kFeedBack, kInf), "Huge   careful");
}

TEST(NumberText, RoundsHalvesAwayFromZero) {
    char b[kNumberTextBytes];
    numberText(12.5, b);
    EXPECT_STREQ(b, "13");
    numberText(-12.5, b);
    EXPECT_STREQ(b, "13");
    numberText(0.49999999999999994, b);
    EXPECT_STREQ(b, "0");
    numberText(99999.4, b);
    EXPECT_STREQ(b, "99999");
    numberText(99999.5, b);
    EXPECT_STREQ(b, "Huge");
}

}  // namespace
