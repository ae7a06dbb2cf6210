// The factory bank: program 0 and programs 18 and 19 carry the neutral
// values of a fresh program; programs 1 to 17 are named presets.
#include <cstring>

#include "effect/FlangerEffect.h"

namespace {

// One preset by parameter index. Filter Type and Inject Mode are given as
// factors of the band widths: the stored value is the 32-bit product of the
// width and the factor, which lands just inside the intended band.
struct FactoryRow {
    const char* name;
    float depth, feedBack, feedBSign;
    float filterFactor;  // times filterTypeStep; 0 means no filter
    float cutoff, qFactor, post1Send, post1Depth;
    float injectFactor;  // times injectModeStep; kInjectStepItself for the width itself
    float post2Send, post2Depth, outputGain;
};

constexpr float kInjectStepItself = -1.0f;

// clang-format off
constexpr FactoryRow kPresets[] = {
    {"Hi Flange 1", 0.08f, 0.87f, 1.0f, 2.1f, 0.2812245f, 0.88f, 0.66f, 0.13f, 0.0f, 0.67f, 0.83f, 0.5f},
    {"Hi Flange 2", 0.08f, 0.77f, 0.0f, 1.1f, 0.61f, 0.89f, 0.69f, 0.05f, 3.1f, 0.77f, 0.2f, 0.5f},
    {"Loud Disto", 0.08f, 0.77f, 1.0f, 1.1f, 0.61f, 0.89f, 0.69f, 0.05f, 3.1f, 0.77f, 0.2f, 0.35397288f},
    {"SI Resonance", 0.13f, 0.78f, 1.0f, 1.1f, 0.656f, 1.0f, 0.73f, 1.0f, 0.0f, 0.77f, 1.0f, 0.22387211f},
    {"Metal Flange 1", 0.19f, 0.97f, 0.0f, 3.1f, 0.31255102f, 1.0f, 0.32f, 0.33f, 0.0f, 0.77f, 0.09f, 0.44562545f},
    {"Metal Flange 2", 0.19f, 0.81f, 0.26f, 2.1f, 0.06255102f, 1.0f, 0.32f, 0.33f, 0.0f, 0.77f, 0.09f, 0.35397288f},
    {"Mega Bass", 1.0f, 0.83f, 0.26f, 1.1f, 0.17193878f, 0.13f, 0.32f, 0.2f, 8.0f, 0.77f, 1.0f, 0.35397288f},
    {"Eggs LP", 0.11f, 0.83f, 0.0f, 1.1f, 0.109387755f, 1.0f, 1.0f, 0.08f, 8.0f, 0.0f, 0.22f, 0.5610092f},
    {"Eggs HP", 0.11f, 0.83f, 0.0f, 2.1f, 0.109387755f, 1.0f, 1.0f, 0.08f, 8.0f, 0.0f, 0.22f, 0.5610092f},
    {"Eggs BP", 0.11f, 0.83f, 0.0f, 3.1f, 0.109387755f, 1.0f, 1.0f, 0.08f, 8.0f, 0.0f, 0.22f, 0.5610092f},
    {"Metal Air", 1.0f, 0.63f, 1.0f, 1.1f, 0.4687755f, 1.0f, 1.0f, 0.34f, 0.0f, 1.0f, 0.42f, 0.28117067f},
    {"Aerial 1", 0.06f, 0.83f, 0.26f, 1.1f, 0.8437755f, 1.0f, 1.0f, 0.72f, kInjectStepItself, 0.78f, 0.22f, 0.2505936f},
    {"Aerial 2", 0.06f, 0.81f, 0.51f, 1.1f, 0.67183673f, 0.92f, 1.0f, 0.7f, 0.0f, 0.92f, 0.72f, 0.2505936f},
    {"Cool Flight", 0.06f, 0.81f, 0.0f, 3.1f, 0.82816327f, 0.13f, 1.0f, 0.23f, 1.1f, 1.0f, 1.0f, 0.28117067f},
    {"Birdy", 0.19f, 0.79f, 1.0f, 3.1f, 0.078163266f, 1.0f, 0.32f, 0.33f, 0.0f, 0.77f, 0.79f, 0.5610092f},
    {"Soft Flange", 0.0f, 0.1f, 1.0f, 4.1f, 0.06255102f, 0.92f, 0.13f, 0.83f, 3.1f, 0.67f, 0.33f, 0.47203043f},
    {"New Plimo", 0.06f, 0.34f, 0.0f, 4.1f, 0.0f, 0.52f, 0.13f, 0.83f, 3.1f, 0.67f, 1.0f, 0.5942511f},
};
// clang-format on
constexpr int kFirstPreset = 1;
constexpr int kNumPresets = static_cast<int>(sizeof kPresets / sizeof kPresets[0]);
static_assert(kFirstPreset + kNumPresets + 2 == kNumPrograms,
              "programs 0, 18 and 19 are neutral, the rest are presets");

}  // namespace

void FlangerEffect::initPrograms() {
    std::strcpy(programs[0].name, "--- Default ---");
    for (int p = 0; p < kNumPrograms; ++p) {
        FlangerProgram& prog = programs[p];
        const int row = p - kFirstPreset;
        if (row < 0 || row >= kNumPresets) {
            // Neutral values of a fresh program; the name stays.
            char name[kProgramNameBytes];
            std::memcpy(name, prog.name, sizeof name);
            prog = FlangerProgram();
            std::memcpy(prog.name, name, sizeof name);
            continue;
        }
        const FactoryRow& r = kPresets[row];
        std::strcpy(prog.name, r.name);
        prog.fDepth = r.depth;
        prog.fFeedBack = r.feedBack;
        prog.fFeedBSign = r.feedBSign;
        prog.fFilterType = r.filterFactor == 0.0f ? 0.0f : filterTypeStep * r.filterFactor;
        prog.fCutoff = r.cutoff;
        prog.fQFactor = r.qFactor;
        prog.fPost1Send = r.post1Send;
        prog.fPost1Depth = r.post1Depth;
        prog.fInjectMode =
            r.injectFactor == kInjectStepItself ? injectModeStep : injectModeStep * r.injectFactor;
        prog.fPost2Send = r.post2Send;
        prog.fPost2Depth = r.post2Depth;
        prog.fOutputGain = r.outputGain;
    }
}
