#include "effect/SweepEffect.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "effect/NumberText.h"
#include "effect/SweepStepper.h"

namespace {

constexpr std::int32_t kSweepParams = kSweepNumParams - kNumParams;

constexpr const char* kSweepNames[kSweepParams] = {
    "Sweep Shape", "Sweep Sync", "Sweep Rate", "Sweep Low", "Sweep High", "Sweep Phase",
};
constexpr const char* kSweepLabels[kSweepParams] = {
    "   ---   ", "   ---   ", "    Hz    ", "    %    ", "    %    ", "   deg   ",
};
constexpr const char* kShapeNames[kSweepShapeBands] = {"Off", "Sine", "Triangle", "Saw", "Square"};
constexpr const char* kSyncNames[kSweepSyncBands] = {"Off",   "1/16",   "1/8",    "1/4",   "1/2",
                                                     "1 bar", "2 bars", "4 bars", "8 bars"};
// Sync lengths in quarter notes below a bar; bars are multiples of the meter.
constexpr double kSyncQuarters[5] = {0.0, 0.25, 0.5, 1.0, 2.0};

// Band widths, formed as the effect forms Filter Type's and Inject Mode's.
constexpr float kShapeStep = 0.2f;
constexpr float kSyncStep = 1.0f / 9.0f;

// Timeline positions beyond these magnitudes are not positions a host
// plays; they are handled as no position.
constexpr double kMaxFrame = 1.0e15;
constexpr double kMaxQuarter = 1.0e15;

// Longest piece of a block split at once: with a control point every 32
// frames and one more at the start, the points fit a fixed array.
constexpr std::int32_t kPieceFrames = 2048;
constexpr int kMaxPoints = kPieceFrames / static_cast<int>(kSweepControlFrames) + 2;
static_assert(kPieceFrames / kSweepControlFrames <= SweepStepper::kMaxCount);

// One sweep per program: shape, sync, rate, low, high, phase (normalised).
// Band values sit in the middle of their bands.
constexpr float kShape[kSweepShapeBands] = {0.1f, 0.3f, 0.5f, 0.7f, 0.9f};
constexpr float syncValue(int band) {
    return (static_cast<float>(band) + 0.5f) / 9.0f;
}
enum { kOff, kSine, kTriangle, kSaw, kSquare };
enum { kFree, k16th, k8th, k4th, kHalf, kBar, k2Bars, k4Bars, k8Bars };

struct SweepRow {
    int shape;
    int sync;
    float rate, low, high, phase;
};
// clang-format off
constexpr SweepRow kSweepRows[kNumPrograms] = {
    {kSine,     kBar,    0.5f,  0.05f, 0.50f, 0.0f},   // --- Default ---
    {kSine,     k2Bars,  0.5f,  0.02f, 0.16f, 0.0f},   // Hi Flange 1
    {kTriangle, kBar,    0.5f,  0.02f, 0.14f, 0.0f},   // Hi Flange 2
    {kTriangle, kHalf,   0.5f,  0.04f, 0.12f, 0.0f},   // Loud Disto
    {kSine,     k4Bars,  0.5f,  0.05f, 0.25f, 0.0f},   // SI Resonance
    {kTriangle, k2Bars,  0.5f,  0.08f, 0.30f, 0.0f},   // Metal Flange 1
    {kSine,     kBar,    0.5f,  0.10f, 0.28f, 0.5f},   // Metal Flange 2
    {kSine,     k4Bars,  0.5f,  0.60f, 1.00f, 0.0f},   // Mega Bass
    {kSaw,      kBar,    0.5f,  0.05f, 0.17f, 0.0f},   // Eggs LP
    {kSaw,      kBar,    0.5f,  0.17f, 0.05f, 0.0f},   // Eggs HP
    {kSquare,   k4th,    0.5f,  0.08f, 0.14f, 0.0f},   // Eggs BP
    {kSine,     kFree,   0.3f,  0.70f, 1.00f, 0.0f},   // Metal Air
    {kSine,     kFree,   0.4f,  0.02f, 0.10f, 0.0f},   // Aerial 1
    {kTriangle, k2Bars,  0.5f,  0.03f, 0.09f, 0.25f},  // Aerial 2
    {kSine,     k8Bars,  0.5f,  0.02f, 0.12f, 0.0f},   // Cool Flight
    {kSquare,   k8th,    0.5f,  0.15f, 0.23f, 0.0f},   // Birdy
    {kSine,     kBar,    0.5f,  0.00f, 0.08f, 0.0f},   // Soft Flange
    {kTriangle, kBar,    0.5f,  0.02f, 0.10f, 0.0f},   // New Plimo
    {kSine,     kBar,    0.5f,  0.05f, 0.50f, 0.0f},   // Init
    {kSine,     kBar,    0.5f,  0.05f, 0.50f, 0.0f},   // Init
};
// clang-format on

// Band of a stepped value: `bands` equal bands of width `step`, the lower
// limit inclusive, the last including 1.0. NaN and values outside 0..1
// answer -1 (the band stays as it was).
std::int32_t bandOf(float value, float step, std::int32_t bands) {
    if (!(value >= 0.0f && value <= 1.0f)) return -1;
    for (std::int32_t k = 1; k < bands; ++k) {
        if (value < static_cast<float>(k) * step) return k - 1;
    }
    return bands - 1;
}

// Clamped into 0..1; false for NaN (the value is then ignored).
bool clampUnit(float value, float& out) {
    if (value != value) return false;
    out = value < 0.0f ? 0.0f : (value > 1.0f ? 1.0f : value);
    return true;
}

void copyText(const char* source, char* text) {
    std::memcpy(text, source, std::strlen(source) + 1);
}

bool powerOfTwoUpTo64(std::int32_t d) {
    return d >= 1 && d <= 64 && (d & (d - 1)) == 0;
}

sweep::Shape shapeKind(std::int32_t band) {
    switch (band) {
        case kTriangle: return sweep::Shape::kTriangle;
        case kSaw: return sweep::Shape::kSaw;
        case kSquare: return sweep::Shape::kSquare;
        default: return sweep::Shape::kSine;
    }
}

}  // namespace

SweepEffect::SweepEffect(audioMasterCallback master) : FlangerEffect(master, kSweepNumParams) {
    setUniqueID(kSweepUniqueId);
    for (int p = 0; p < kNumPrograms; ++p) {
        const SweepRow& r = kSweepRows[p];
        sweepPrograms[p] = {kShape[r.shape], syncValue(r.sync), r.rate, r.low, r.high, r.phase};
    }
    const SweepValues& s = sweepPrograms[0];
    const float values[kSweepParams] = {s.shape, s.sync, s.rate, s.low, s.high, s.phase};
    for (int i = 0; i < kSweepParams; ++i) SweepEffect::setParameter(kNumParams + i, values[i]);
}

void SweepEffect::setParameter(VstInt32 index, float value) {
    if (index < kNumParams) {
        FlangerEffect::setParameter(index, value);
        return;
    }
    SweepValues& prog = sweepPrograms[curProgram];
    float v = value;
    switch (index) {
        case kSweepShape: {
            fShape = prog.shape = value;
            const std::int32_t band = bandOf(value, kShapeStep, kSweepShapeBands);
            if (band >= 0) shape = band;
            break;
        }
        case kSweepSync: {
            fSync = prog.sync = value;
            const std::int32_t band = bandOf(value, kSyncStep, kSweepSyncBands);
            if (band >= 0) sync = band;
            break;
        }
        case kSweepRate:
            if (!clampUnit(value, v)) return;
            fRate = prog.rate = v;
            break;
        case kSweepLow:
            if (!clampUnit(value, v)) return;
            fLow = prog.low = v;
            break;
        case kSweepHigh:
            if (!clampUnit(value, v)) return;
            fHigh = prog.high = v;
            break;
        case kSweepPhase:
            if (!clampUnit(value, v)) return;
            fPhase = prog.phase = v;
            break;
        default: return;
    }
    sweepChanged();
    // A fresh view on the next block: with Shape Off again the read position
    // follows Flanger Depth from there.
    changed();
}

float SweepEffect::getParameter(VstInt32 index) {
    switch (index) {
        case kSweepShape: return fShape;
        case kSweepSync: return fSync;
        case kSweepRate: return fRate;
        case kSweepLow: return fLow;
        case kSweepHigh: return fHigh;
        case kSweepPhase: return fPhase;
        default: return FlangerEffect::getParameter(index);
    }
}

void SweepEffect::setProgram(VstInt32 program) {
    if (program < 0 || program >= kNumPrograms) return;
    FlangerEffect::setProgram(program);
    const SweepValues s = sweepPrograms[program];
    const float values[kSweepParams] = {s.shape, s.sync, s.rate, s.low, s.high, s.phase};
    for (int i = 0; i < kSweepParams; ++i) setParameter(kNumParams + i, values[i]);
}

void SweepEffect::getParameterName(VstInt32 index, char* text) {
    if (index >= kNumParams && index < kSweepNumParams)
        copyText(kSweepNames[index - kNumParams], text);
    else
        FlangerEffect::getParameterName(index, text);
}

void SweepEffect::getParameterLabel(VstInt32 index, char* label) {
    if (index >= kNumParams && index < kSweepNumParams)
        copyText(kSweepLabels[index - kNumParams], label);
    else
        FlangerEffect::getParameterLabel(index, label);
}

void SweepEffect::getParameterDisplay(VstInt32 index, char* text) {
    // Low and High show what Flanger Depth shows for the same value.
    auto percent = [](float value) { return static_cast<double>(value * 100.0f); };
    switch (index) {
        case kSweepShape: copyText(kShapeNames[shape], text); break;
        case kSweepSync: copyText(kSyncNames[sync], text); break;
        case kSweepRate: std::snprintf(text, kParamTextBytes, "%.3g", rateHz(fRate)); break;
        case kSweepLow: numberText(percent(fLow), text); break;
        case kSweepHigh: numberText(percent(fHigh), text); break;
        case kSweepPhase: numberText(static_cast<double>(fPhase * 360.0f), text); break;
        default: FlangerEffect::getParameterDisplay(index, text); break;
    }
}

VstIntPtr SweepEffect::dispatcher(VstInt32 opCode, VstInt32 index, VstIntPtr value, void* ptr,
                                  float opt) {
    char* text = static_cast<char*>(ptr);
    switch (opCode) {
        case effCanBeAutomated: return (index >= 0 && index < kSweepNumParams) ? 1 : 0;
        case effGetEffectName:
        case effGetProductString:
            if (text == nullptr) return 0;
            copyText(opCode == effGetEffectName ? kSweepEffectName : kSweepProductName, text);
            return 1;
        default: return FlangerEffect::dispatcher(opCode, index, value, ptr, opt);
    }
}

double SweepEffect::rateHz(float value) {
    return 0.01 * std::pow(2000.0, static_cast<double>(value));
}

double SweepEffect::syncQuarters() const {
    const std::int32_t band = sync;
    if (band < 5) return kSyncQuarters[band];
    const double bar = static_cast<double>(numerator) * 4.0 / static_cast<double>(denominator);
    return bar * static_cast<double>(1 << (band - 5));
}

SweepTime SweepEffect::timeFrom(const VstTimeInfo* info) {
    if (info == nullptr) return SweepTime{};
    const VstInt32 flags = info->flags;
    HostPosition p;
    p.playing = (flags & kVstTransportPlaying) != 0;
    p.frame = info->samplePos;
    p.ppqValid = (flags & kVstPpqPosValid) != 0;
    p.ppq = info->ppqPos;
    p.tempoValid = (flags & kVstTempoValid) != 0;
    p.tempo = info->tempo;
    p.meterValid = (flags & kVstTimeSigValid) != 0;
    p.numerator = info->timeSigNumerator;
    p.denominator = info->timeSigDenominator;
    return timeOf(p);
}

SweepTime SweepEffect::timeOf(const HostPosition& p) {
    SweepTime t;
    if (p.tempoValid && p.tempo >= 1.0 && p.tempo <= 999.0) {
        t.hasTempo = true;
        t.tempo = p.tempo;
    }
    if (p.meterValid && p.numerator >= 1 && p.numerator <= 64 && powerOfTwoUpTo64(p.denominator)) {
        t.hasMeter = true;
        t.numerator = p.numerator;
        t.denominator = p.denominator;
    }
    if (p.playing && p.frame >= -kMaxFrame && p.frame <= kMaxFrame) {
        t.playing = true;
        t.frame = std::llround(p.frame);
        if (p.ppqValid && p.ppq >= -kMaxQuarter && p.ppq <= kMaxQuarter) {
            t.hasPpq = true;
            t.ppq = p.ppq;
        }
    }
    return t;
}

void SweepEffect::resume() {
    FlangerEffect::resume();
    resumes.fetch_add(1, std::memory_order_release);
}

SweepTime SweepEffect::hostTime() {
    const VstIntPtr answer =
        audioMaster != nullptr
            ? audioMaster(&cEffect, audioMasterGetTime, 0,
                          kVstPpqPosValid | kVstTempoValid | kVstTimeSigValid, nullptr, 0.0f)
            : 0;
    return timeFrom(reinterpret_cast<const VstTimeInfo*>(answer));
}

void SweepEffect::process(float** inputs, float** outputs, VstInt32 sampleFrames) {
    if (shape == kOff) {
        run<true>(inputs, outputs, sampleFrames, nullptr);
        return;
    }
    const SweepTime t = hostTime();
    run<true>(inputs, outputs, sampleFrames, &t);
}

void SweepEffect::processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) {
    if (shape == kOff) {
        run<false>(inputs, outputs, sampleFrames, nullptr);
        return;
    }
    const SweepTime t = hostTime();
    run<false>(inputs, outputs, sampleFrames, &t);
}

void SweepEffect::processAt(float** inputs, float** outputs, VstInt32 sampleFrames,
                            const SweepTime* time, bool accumulate) {
    if (accumulate)
        run<true>(inputs, outputs, sampleFrames, time);
    else
        run<false>(inputs, outputs, sampleFrames, time);
}

// One block: where the timeline stands (the host's playing position, else
// the instance's own count running on), the control points in it, and the
// chain split at them.
template <bool kAccumulate>
void SweepEffect::run(float** inputs, float** outputs, VstInt32 sampleFrames,
                      const SweepTime* time) {
    if (sampleFrames <= 0) return;
    const std::int32_t n = sampleFrames;
    const double rate = static_cast<double>(getCurrentRate());
    if (time != nullptr) {
        if (time->hasTempo) tempo = time->tempo;
        if (time->hasMeter) {
            numerator = time->numerator;
            denominator = time->denominator;
        }
    }
    bool force = false;
    const std::uint32_t resumed = resumes.load(std::memory_order_acquire);
    if (resumed != seenResumes) {
        // Switched on: the own count starts at frame 0, quarter note 0.
        seenResumes = resumed;
        nextFrame = 0;
        nextQuarter = 0.0;
        force = true;
    }
    const std::uint32_t version = sweepVersion.load(std::memory_order_acquire);
    if (version != seenVersion) {
        seenVersion = version;
        force = true;
    }

    // The block's first frame and quarter note: the host's when it plays,
    // else where the last block ended.
    enum class Clock { kOwn, kPpq, kFrames };
    Clock clock = Clock::kOwn;
    std::int64_t frame0 = nextFrame;
    double quarter0 = nextQuarter;
    if (time != nullptr && time->playing) {
        frame0 = time->frame;
        clock = time->hasPpq ? Clock::kPpq : Clock::kFrames;
        if (time->hasPpq) quarter0 = time->ppq;
        if (frame0 != nextFrame || (time->hasPpq && std::fabs(quarter0 - nextQuarter) > 1e-6))
            force = true;
    }
    const double beatsPerSecond = tempo / 60.0;
    auto quarterAt = [&](std::int32_t k) {
        if (clock == Clock::kFrames) return static_cast<double>(frame0 + k) / rate * tempo / 60.0;
        return quarter0 + static_cast<double>(k) * beatsPerSecond / rate;
    };

    const std::int32_t band = shape;
    if (band == kOff) {
        if constexpr (kAccumulate)
            FlangerEffect::process(inputs, outputs, sampleFrames);
        else
            FlangerEffect::processReplacing(inputs, outputs, sampleFrames);
    } else {
        const sweep::Shape kind = shapeKind(band);
        const double low = static_cast<float>(fLow);
        const double high = static_cast<float>(fHigh);
        const double phase = static_cast<float>(fPhase);
        const double quarters = syncQuarters();
        const double period = quarters > 0.0 ? 0.0 : 1.0 / rateHz(fRate);
        auto positionAt = [&](std::int32_t k) {
            return quarters > 0.0 ? quarterAt(k) / quarters
                                  : static_cast<double>(frame0 + k) / rate / period;
        };
        const std::int32_t lineLength = getBufferLength();
        // The position's advance from one control point to the next.
        const double step =
            quarters > 0.0
                ? static_cast<double>(kSweepControlFrames) * beatsPerSecond / rate / quarters
                : static_cast<double>(kSweepControlFrames) / rate / period;
        const SweepStepper stepper(kind, low, high, lineLength, step,
                                   instructionSet() == chain::InstructionSet::kAvx);
        // The value at a point as defined, and the delay it gives; false when
        // the value is not finite (the point is then not taken).
        auto definedDelay = [&](std::int32_t k, std::int32_t& delay) {
            const auto depth =
                static_cast<float>(sweep::valueAt(kind, positionAt(k), phase, low, high));
            if (!std::isfinite(depth)) return false;
            delay = depthDelay(depth, lineLength);
            return true;
        };

        // The delay applied last: a point splits the block only where the
        // main line's delay moves (a value that gives the same delay changes
        // no sample). One applied in a line of another length moves on the
        // first point.
        std::int32_t current = applied && appliedLength == lineLength ? appliedDelay : -1;
        std::int32_t lastPoint = -1;  // the block's last point taken
        DepthPoint points[kMaxPoints];
        for (std::int32_t start = 0; start < n; start += kPieceFrames) {
            const std::int32_t length = n - start < kPieceFrames ? n - start : kPieceFrames;
            const std::int32_t held = current;
            int count = 0;
            // Written always, counted when the delay moves.
            auto take = [&](std::int32_t k, std::int32_t delay) {
                points[count] = {k - start, delay};
                count += delay != current ? 1 : 0;
                current = delay;
                lastPoint = k;
            };
            std::int32_t delay = 0;
            if (start == 0 && force && definedDelay(0, delay)) {
                current = -1;
                take(0, delay);
            }
            // The first multiple of 32 timeline frames in the piece.
            const std::int64_t phaseFrames =
                ((frame0 + start) % kSweepControlFrames + kSweepControlFrames) %
                kSweepControlFrames;
            std::int32_t k = start + static_cast<std::int32_t>(
                                         phaseFrames == 0 ? 0 : kSweepControlFrames - phaseFrames);
            if (k == 0 && force) k += static_cast<std::int32_t>(kSweepControlFrames);
            if (k < start + length) {
                // The phase at the piece's first point as defined; the
                // stepper carries it on to the others.
                const double position = positionAt(k);
                const double x = position + phase;
                const int m = static_cast<int>((start + length - k + kSweepControlFrames - 1) /
                                               kSweepControlFrames);
                std::int32_t delays[SweepStepper::kMaxCount];
                if (stepper.usable(position, x, quarters > 0.0 ? quarterAt(k) : 0.0))
                    stepper.delays(x - std::floor(x), m, delays);
                else
                    std::fill_n(delays, m, -1);
                for (int j = 0; j < m; ++j, k += static_cast<std::int32_t>(kSweepControlFrames)) {
                    if (delays[j] >= 0)
                        take(k, delays[j]);
                    else if (definedDelay(k, delay))
                        take(k, delay);
                }
            }
            float* ins[2] = {inputs[0] + start, inputs[1] + start};
            float* outs[2] = {outputs[0] + start, outputs[1] + start};
            runChainSplit<kAccumulate>(ins, outs, length, points, count,
                                       held >= 0 ? &held : nullptr);
        }
        if (lastPoint >= 0) {
            applied = true;
            appliedDelay = current;
            appliedLength = lineLength;
            swept = {kind, positionAt(lastPoint), phase, low, high};
        }
    }

    nextFrame = frame0 + n;
    nextQuarter = quarterAt(n);
}

AudioEffect* createSweepInstance(audioMasterCallback audioMaster) {
    return new SweepEffect(audioMaster);
}
