// The value-to-text tools of the base class.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "frame/AudioEffect.h"

namespace {

class Bare : public AudioEffect {
public:
    Bare() : AudioEffect(nullptr, 1, 1) {}
    void process(float**, float**, VstInt32) override {}
};

// Runs a tool into a buffer pre-filled with a marker and checks that
// nothing beyond the terminator was written.
template <typename F>
std::string render(F&& tool) {
    char buffer[32];
    std::memset(buffer, '#', sizeof buffer);
    tool(buffer);
    const std::size_t n = strnlen(buffer, sizeof buffer);
    EXPECT_LT(n, 9u);
    for (std::size_t i = n + 1; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], '#');
    return std::string(buffer, n);
}

struct Case {
    float value;
    const char* text;
};

class Float2String : public ::testing::TestWithParam<Case> {};

TEST_P(Float2String, CutsDigitsIntoAnEightCharacterField) {
    Bare fx;
    const Case c = GetParam();
    EXPECT_EQ(render([&](char* t) { fx.float2string(c.value, t); }), c.text) << c.value;
}

INSTANTIATE_TEST_SUITE_P(
    Values, Float2String,
    ::testing::Values(Case{0.0f, "0.000000"}, Case{1.0f, "1.000000"}, Case{6.0206f, "6.020599"},
                      Case{0.1f, "0.100000"}, Case{3.14159f, "3.141590"}, Case{-0.25f, "-0.25000"},
                      Case{-3.5f, "-3.50000"}, Case{-120.0f, "-120.000"},
                      Case{123456.78f, "123456.7"}, Case{1234567.0f, "1234567."},
                      Case{-999999.0f, "-999999."}, Case{-0.0000001f, "-0.00000"},
                      Case{100000000.0f, " Huge!  "}, Case{-10000000.0f, " Huge!  "},
                      Case{-0.0f, "0.000000"}, Case{9999999.0f, "9999999."},
                      Case{0.99999994f, "0.999999"}, Case{99999999.0f, " Huge!  "},
                      // Too wide for the field: shown as too large rather than
                      // with the leading digits cut off.
                      Case{12345678.0f, " Huge!  "}, Case{-1234567.0f, " Huge!  "},
                      Case{std::numeric_limits<float>::infinity(), " Huge!  "},
                      Case{-std::numeric_limits<float>::infinity(), " Huge!  "},
                      Case{std::numeric_limits<float>::quiet_NaN(), "  NaN   "}));

TEST(DbText, ShowsDecibelsOrMinusInfinity) {
    Bare fx;
    auto db = [&](float v) { return render([&](char* t) { fx.dB2string(v, t); }); };
    EXPECT_EQ(db(2.0f), "6.020599");
    EXPECT_EQ(db(1.5f), "3.521825");
    EXPECT_EQ(db(1.0f), "0.000000");
    EXPECT_EQ(db(0.5f), "-6.02059");
    EXPECT_EQ(db(0.001f), "-60.0000");
    EXPECT_EQ(db(0.0f), "  -oo   ");
    EXPECT_EQ(db(-1.0f), "  -oo   ");
    EXPECT_EQ(db(std::numeric_limits<float>::denorm_min()), "-897.069");
    EXPECT_EQ(db(std::numeric_limits<float>::quiet_NaN()).size(), 8u);
}

TEST(RateTexts, UseTheObjectsSampleRate) {
    Bare fx;
    auto hz = [&](float v) { return render([&](char* t) { fx.Hz2string(v, t); }); };
    auto ms = [&](float v) { return render([&](char* t) { fx.ms2string(v, t); }); };
    EXPECT_EQ(hz(1.0f), "44100.00");
    EXPECT_EQ(hz(100.0f), "441.0000");
    EXPECT_EQ(hz(441.0f), "100.0000");
    EXPECT_EQ(hz(0.0f), "0.000000");
    EXPECT_EQ(ms(441.0f), "10.00000");
    EXPECT_EQ(ms(44100.0f), "1000.000");
    EXPECT_EQ(ms(100.0f), "2.267573");
    fx.setSampleRate(48000.0f);
    EXPECT_EQ(hz(480.0f), "100.0000");
}

TEST(LongText, RightAlignsToSevenAndCutsToEight) {
    Bare fx;
    auto text = [&](VstInt32 v) { return render([&](char* t) { fx.long2string(v, t); }); };
    EXPECT_EQ(text(42), "     42");
    EXPECT_EQ(text(-42), "    -42");
    EXPECT_EQ(text(1234567), "1234567");
    EXPECT_EQ(text(12345678), "12345678");
    EXPECT_EQ(text(-12345678), "-1234567");
    EXPECT_EQ(text(99999999), "99999999");
    EXPECT_EQ(text(100000000), " Huge!  ");
    EXPECT_EQ(text(std::numeric_limits<VstInt32>::min()), "-2147483");
}

// An override of float2string changes every tool that goes through it.
TEST(TextTools, ReachFloat2StringVirtually) {
    struct Custom : Bare {
        void float2string(float, char* text) override { std::strcpy(text, "custom"); }
    } fx;
    char t[16];
    fx.dB2string(2.0f, t);
    EXPECT_STREQ(t, "custom");
    fx.Hz2string(2.0f, t);
    EXPECT_STREQ(t, "custom");
    fx.ms2string(2.0f, t);
    EXPECT_STREQ(t, "custom");
}

}  // namespace
