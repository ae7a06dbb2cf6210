#include "effect/FlangerEffect.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "effect/ChainKernels.h"
#include "effect/InjectRoutines.h"

namespace {

// Where each parameter index lives in a program and in the live state.
constexpr float FlangerProgram::*kProgramSlot[kNumParams] = {
    &FlangerProgram::fDepth,      &FlangerProgram::fFeedBack,   &FlangerProgram::fFeedBSign,
    &FlangerProgram::fFilterType, &FlangerProgram::fCutoff,     &FlangerProgram::fQFactor,
    &FlangerProgram::fPost1Send,  &FlangerProgram::fPost1Depth, &FlangerProgram::fInjectMode,
    &FlangerProgram::fPost2Send,  &FlangerProgram::fPost2Depth, &FlangerProgram::fOutputGain,
};

bool validIndex(VstInt32 index) {
    return index >= 0 && index < kNumParams;
}

// The 32-bit value nearest to 0.01: the smallest Q the filter is designed
// with.
constexpr float kMinQ = 0.01f;

// Filter cutoff in Hz for a normalised Cutoff value, formed in 32 bits.
// Values outside 0..1 (and NaN) use the nearest end of the range, and the
// cutoff is held below half the rate, where the design turns unstable.
float cutoffHz(float value, float rate) {
    float v = value;
    if (!(v >= 0.0f)) v = 0.0f;
    if (v > 1.0f) v = 1.0f;
    float hz = v * 9800.0f + 200.0f;
    const float limit = rate * 0.49f;
    if (hz >= rate * 0.5f) hz = limit;
    return hz;
}

}  // namespace

FlangerProgram::FlangerProgram()
    : fDepth(0.5f),
      fFeedBack(0.0f),
      fFeedBSign(1.0f),
      fFilterType(0.0f),
      fCutoff(0.5f),
      fQFactor(0.7f),
      fPost1Send(0.0f),
      fPost2Send(0.0f),
      fPost1Depth(0.0f),
      fPost2Depth(0.0f),
      fInjectMode(0.0f),
      fOutputGain(0.5f),
      name{'I', 'n', 'i', 't', '\0'} {}

FlangerEffect::FlangerEffect(audioMasterCallback master) : FlangerEffect(master, kNumParams) {}

FlangerEffect::FlangerEffect(audioMasterCallback master, VstInt32 params)
    : AudioEffect(master, kNumPrograms, params),
      post1L(kPostLineBase, getSampleRate()),
      post1R(kPostLineBase, getSampleRate()),
      post2L(kPostLineBase, getSampleRate()),
      post2R(kPostLineBase, getSampleRate()),
      kernels(&chain::kernelsFor(chain::bestInstructionSet())) {
    maxDelayBase = kMaxDelayBase;
    currentRate = getSampleRate();
    bufferLength = DelayLine::lengthFor(maxDelayBase, currentRate);
    bufferL.reset(new float[static_cast<std::size_t>(bufferLength)]);
    bufferR.reset(new float[static_cast<std::size_t>(bufferLength)]);
    fFeedBack = 0.0f;
    fDepth = 0.0f;
    readPos = 0;
    writePos = 0;
    delaySamples = 0;
    filterType = 0;
    filterTypeStep = 0.2f;
    injectModeStep = 0.125f;
    mixSign = 1;
    feedbackSign = 1;
    fFeedBSign = fFilterType = fCutoff = fQFactor = 0.0f;
    fPost1Send = fPost2Send = fPost1Depth = fPost2Depth = fInjectMode = fOutputGain = 0.0f;
    injectRoutine = injectRoutineFor(1);
    selectChain();

    setNumInputs(kNumInputs);
    setNumOutputs(kNumOutputs);
    setUniqueID(kUniqueId);
    canMono(true);
    canProcessReplacing(true);

    programs.reset(new FlangerProgram[kNumPrograms]);
    setProgram(0);
    // Clear all sample memory, as switching off does.
    FlangerEffect::suspend();

    initPrograms();
}

FlangerEffect::~FlangerEffect() = default;

void FlangerEffect::setParameter(VstInt32 index, float value) {
    if (!validIndex(index)) return;
    programs[curProgram].*kProgramSlot[index] = value;
    switch (index) {
        case kDepth:
            fDepth = value;
            applyDepth();
            break;
        case kFeedBack: fFeedBack = value; break;
        case kFeedBSign:
            fFeedBSign = value;
            // Quarters of 0..1 select (feedback sign, mix sign); values
            // outside 0..1 leave both as they were.
            if (value >= 0.0f && value < 0.25f) {
                feedbackSign = -1;
                mixSign = -1;
            } else if (value >= 0.25f && value < 0.5f) {
                feedbackSign = -1;
                mixSign = 1;
            } else if (value >= 0.5f && value < 0.75f) {
                feedbackSign = 1;
                mixSign = -1;
            } else if (value >= 0.75f && value <= 1.0f) {
                feedbackSign = 1;
                mixSign = 1;
            }
            break;
        case kFilterType:
            fFilterType = value;
            // Bands of width filterTypeStep; the last includes 1.0.
            if (value >= 0.0f && value <= 1.0f) {
                if (value < filterTypeStep)
                    filterType = 0;
                else if (value < 2 * filterTypeStep)
                    filterType = 1;
                else if (value < 3 * filterTypeStep)
                    filterType = 2;
                else if (value < 4 * filterTypeStep)
                    filterType = 3;
                else
                    filterType = 4;
            }
            updateFilter();
            selectChain();
            break;
        case kCutoff:
            fCutoff = value;
            updateFilter();
            break;
        case kQFactor:
            // The program keeps the value as sent; the filter is designed
            // with at least 0.01 (NaN counts as too small).
            fQFactor = value;
            if (!(value > kMinQ)) fQFactor = kMinQ;
            updateFilter();
            break;
        case kPost1Send: fPost1Send = value; break;
        case kPost1Depth:
            fPost1Depth = value;
            setPostDepth(post1L, post1R, value);
            break;
        case kInjectMode: {
            fInjectMode = value;
            std::int32_t mode = 0;
            if (value >= 0.0f && value <= 1.0f) {
                mode = 8;
                for (std::int32_t k = 1; k < 8; ++k) {
                    if (value < static_cast<float>(k) * injectModeStep) {
                        mode = k;
                        break;
                    }
                }
            }
            injectMode = mode;
            injectRoutine = injectRoutineFor(mode == 0 ? 1 : mode);
            selectChain();
            break;
        }
        case kPost2Send: fPost2Send = value; break;
        case kPost2Depth:
            fPost2Depth = value;
            setPostDepth(post2L, post2R, value);
            break;
        case kOutputGain:
            fOutputGain = value;
            gain = value + value;
            break;
        default: break;
    }
    changed();
}

float FlangerEffect::getParameter(VstInt32 index) {
    switch (index) {
        case kDepth: return fDepth;
        case kFeedBack: return fFeedBack;
        case kFeedBSign: return fFeedBSign;
        case kFilterType: return fFilterType;
        case kCutoff: return fCutoff;
        case kQFactor: return fQFactor;
        case kPost1Send: return fPost1Send;
        case kPost1Depth: return fPost1Depth;
        case kInjectMode: return fInjectMode;
        case kPost2Send: return fPost2Send;
        case kPost2Depth: return fPost2Depth;
        case kOutputGain: return fOutputGain;
        default: return 0.0f;
    }
}

void FlangerEffect::setProgram(VstInt32 program) {
    // The dispatcher has checked the range; a direct caller out of range is
    // ignored rather than indexing outside the bank.
    if (program < 0 || program >= kNumPrograms) return;
    curProgram = program;
    for (VstInt32 i = 0; i < kNumParams; ++i) setParameter(i, programs[program].*kProgramSlot[i]);
}

float FlangerEffect::programValue(int n, VstInt32 index) const {
    if (!validIndex(index) || n < 0 || n >= kNumPrograms) return 0.0f;
    return programs[n].*kProgramSlot[index];
}

void FlangerEffect::applyDepth() {
    // Values outside 0..1 and NaN are held inside the line so the read
    // position always stays in it.
    const std::int32_t n = depthDelay(fDepth, bufferLength);
    delaySamples = n;
    readOffset = n;
    std::int32_t r = writePos - n;
    if (r < 0) r += bufferLength;
    readPos = r;
}

void FlangerEffect::updateFilter() {
    if (filterType == 0) return;
    filter.calcCoefficients(cutoffHz(fCutoff, currentRate), fQFactor, currentRate, filterType);
}

void FlangerEffect::setPostDepth(DelayLine& left, DelayLine& right, float value) {
    // value * 500 at double precision, truncated; NaN and negative values
    // give 0, the line caps anything beyond its length.
    const double product = static_cast<double>(value) * 500.0;
    std::int32_t n = 0;
    if (product >= 1.0e9)
        n = 1000000000;
    else if (product > 0.0)
        n = static_cast<std::int32_t>(product);
    left.setDelay(n);
    right.setDelay(n);
}

void FlangerEffect::setSampleRate(float rate) {
    if (!(rate > 0.0f)) return;  // zero, negative and NaN rates are ignored
    rate = std::clamp(rate, kMinSampleRate, kMaxSampleRate);
    const std::int32_t length = DelayLine::lengthFor(maxDelayBase, rate);
    std::unique_ptr<float[]> left(new (std::nothrow) float[static_cast<std::size_t>(length)]);
    std::unique_ptr<float[]> right(new (std::nothrow) float[static_cast<std::size_t>(length)]);
    if (!left || !right) return;  // keep the old lines and rate
    std::fill_n(left.get(), length, 0.0f);
    std::fill_n(right.get(), length, 0.0f);

    currentRate = rate;
    bufferLength = length;
    bufferL = std::move(left);
    bufferR = std::move(right);
    // Positions still inside the new line stay; one that fell outside is
    // brought back, and the read position re-derived from the depth.
    if (writePos >= bufferLength || readPos >= bufferLength) {
        writePos = writePos % bufferLength;
        applyDepth();
    }
    const std::int32_t distance = writePos - readPos;
    readOffset = distance < 0 ? distance + bufferLength : distance;

    post1L.setSampleRate(rate);
    post1R.setSampleRate(rate);
    post2L.setSampleRate(rate);
    post2R.setSampleRate(rate);

    filter.calcCoefficients(cutoffHz(fCutoff, currentRate), fQFactor, currentRate, filterType);
    changed();
}

bool FlangerEffect::runsAt(float rate) const {
    return currentRate == rate && post1L.getRate() == rate && post1R.getRate() == rate &&
           post2L.getRate() == rate && post2R.getRate() == rate;
}

void FlangerEffect::suspend() {
    std::fill_n(bufferL.get(), bufferLength, 0.0f);
    std::fill_n(bufferR.get(), bufferLength, 0.0f);
    post1L.reset();
    post1R.reset();
    post2L.reset();
    post2R.reset();
    filter.reset();
    changed();
}

void FlangerEffect::resume() {}

const DelayLine& FlangerEffect::getPostLine(int post, int channel) const {
    if (post == 1) return channel == 0 ? post1L : post1R;
    return channel == 0 ? post2L : post2R;
}

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
    return new FlangerEffect(audioMaster);
}
