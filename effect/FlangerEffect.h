// The stereo static-comb flanger: two main delay lines set by Flanger Depth
// with signed feedback and mix, an optional biquad inside the feedback loop,
// two post-flanger comb stages per channel and eight inject routings.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "dsp/BiquadFilter.h"
#include "dsp/DelayLine.h"
#include "dsp/Relaxed.h"
#include "effect/ChainKernels.h"
#include "effect/FlangerParams.h"
#include "effect/InjectRoutines.h"
#include "frame/AudioEffect.h"

// One program: twelve normalised values in slot order and a name.
struct FlangerProgram {
    FlangerProgram();

    float fDepth;
    float fFeedBack;
    float fFeedBSign;
    float fFilterType;
    float fCutoff;
    float fQFactor;
    float fPost1Send;
    float fPost2Send;
    float fPost1Depth;
    float fPost2Depth;
    float fInjectMode;
    float fOutputGain;
    char name[kProgramNameBytes];
};

class FlangerEffect : public AudioEffect {
public:
    // Allocates everything the effect owns; may throw std::bad_alloc (the
    // entry point turns that into a null record).
    explicit FlangerEffect(audioMasterCallback audioMaster);
    ~FlangerEffect() override;

    // Main-line delay in samples that a Flanger Depth value gives in a line
    // of `length` samples: (length - 1) * depth in 32 bits, truncated, with
    // values outside 0..1 and NaN held inside the line.
    static std::int32_t depthDelay(float depth, std::int32_t length) {
        const float product = static_cast<float>(length - 1) * depth;
        if (product >= static_cast<float>(length - 1)) return length - 1;
        if (product > 0.0f) return static_cast<std::int32_t>(product);
        return 0;
    }

    // Parameter and program operations: never allocate. Any thread the host
    // uses for automation.
    void setParameter(VstInt32 index, float value) override;
    float getParameter(VstInt32 index) override;
    void setProgram(VstInt32 program) override;
    void setProgramName(char* name) override;
    void getProgramName(char* name) override;

    void getParameterLabel(VstInt32 index, char* label) override;
    void getParameterDisplay(VstInt32 index, char* text) override;
    void getParameterName(VstInt32 index, char* text) override;

    // Audio thread.
    void process(float** inputs, float** outputs, VstInt32 sampleFrames) override;
    void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) override;

    // Reallocates the main lines and post lines; control thread only, never
    // while processing.
    void setSampleRate(float sampleRate) override;
    // Clears all sample memory; positions, delays and parameters stay.
    // Control thread, while processing is stopped (hosts switch the effect
    // off first).
    void suspend() override;
    void resume() override;

    VstIntPtr dispatcher(VstInt32 opCode, VstInt32 index, VstIntPtr value, void* ptr,
                         float opt) override;

    // Read-only views for tests and tools.
    std::int32_t getBufferLength() const { return bufferLength; }
    std::int32_t getWritePos() const { return writePos; }
    std::int32_t getReadPos() const { return readPos; }
    std::int32_t getDelaySamples() const { return delaySamples; }
    std::int32_t getFeedbackSign() const { return feedbackSign; }
    std::int32_t getMixSign() const { return mixSign; }
    std::int32_t getFilterType() const { return filterType; }
    std::int32_t getInjectMode() const { return injectMode; }
    float getGain() const { return gain; }
    float getCurrentRate() const { return currentRate; }
    // True when the effect and all its lines run at `rate`: setSampleRate
    // ignores or clamps other rates and keeps the old lines when it cannot
    // allocate new ones.
    bool runsAt(float rate) const;
    const FlangerProgram& program(int n) const { return programs[n]; }
    // Value of parameter `index` as program n stores it; 0 for an index
    // out of range.
    float programValue(int n, VstInt32 index) const;
    const BiquadFilter& getFilter() const { return filter; }
    const DelayLine& getPostLine(int post, int channel) const;
    float getPost2Send() const { return fPost2Send; }

    // Parameter name without padding, the two post flangers' send and depth
    // told apart by the last word of their labels ("Post Flanger1 Send"):
    // the names front ends without VST 2's separate label show. Writes at
    // most kDistinctNameBytes bytes.
    static void distinctParameterName(VstInt32 index, char* text);

    // Program name as the host sees it for program n ("Init" shows its
    // number). Writes at most kProgramNameBytes bytes.
    void programDisplayName(int n, char* text) const;

protected:
    // Tells the processing thread that shared state changed: it takes a
    // fresh view before its next block. Called after every change.
    void changed() { controlVersion.fetch_add(1, std::memory_order_release); }

    // For effects built on this one with more parameters than its twelve
    // (indices from kNumParams on are theirs).
    FlangerEffect(audioMasterCallback audioMaster, VstInt32 numParams);

    // Where a block's depth changes: from frame `frame` of the block on, the
    // main line reads `delay` samples behind (depthDelay of the depth for
    // the line's length), without changing the parameter. Frames strictly
    // increase within a block.
    using DepthPoint = chain::Jump;
    // The instruction set the chain's loops use (fixed at construction).
    chain::InstructionSet instructionSet() const { return kernels->set; }
    // Processing thread: one block as process/processReplacing run it, split
    // inside at the points by the chain's split routine, the per-block setup
    // done once. `held` (or null) is the delay the read position follows up
    // to the first point; it is applied again when a fresh view re-derived
    // the read position from Flanger Depth.
    template <bool kAccumulate>
    void runChainSplit(float** inputs, float** outputs, VstInt32 sampleFrames,
                       const DepthPoint* points, int count, const std::int32_t* held);

private:
    void initPrograms();
    void applyDepth();
    void updateFilter();
    void setPostDepth(DelayLine& left, DelayLine& right, float value);
    // Recomputes chainIndex from filterType and injectRoutine.
    void selectChain();
    template <bool kAccumulate>
    void runChain(float** inputs, float** outputs, VstInt32 sampleFrames);
    // The processing thread's view, taken afresh from the shared state.
    void refreshView(std::uint32_t version);
    // After a block: the main line's positions `w` and `r`, the filter
    // histories and the post lines' indices stored back from the view,
    // where tools, tests and the control operations read them.
    void storeView(std::int32_t w, std::int32_t r);

    std::unique_ptr<FlangerProgram[]> programs;
    BiquadFilter filter;
    DelayLine post1L, post1R, post2L, post2R;
    std::unique_ptr<float[]> bufferL, bufferR;

    // Members the control operations write while the processing thread may
    // run are Relaxed: each value is read or written whole, with no ordering
    // against the others (a block may see any mixture of old and new values,
    // each of them safe on its own). The filter coefficients, which must be
    // seen together, are published as a set by the filter. The rest (rate,
    // line lengths and buffers) changes only while processing is stopped.
    Relaxed<float> fDepth, fFeedBack, fFeedBSign, fFilterType, fCutoff, fQFactor;
    Relaxed<float> fPost1Send, fPost2Send, fPost1Depth, fPost2Depth, fInjectMode, fOutputGain;

    float currentRate;
    float filterTypeStep;
    float injectModeStep;
    Relaxed<float> gain{1.0f};
    Relaxed<std::int32_t> filterType;
    Relaxed<std::int32_t> feedbackSign;
    Relaxed<std::int32_t> mixSign;
    Relaxed<std::int32_t> injectMode{1};
    Relaxed<std::int32_t> delaySamples;
    std::int32_t maxDelayBase;
    std::int32_t bufferLength;
    // Where the processing thread left the positions after its last block
    // (the positions themselves live in its view, below). applyDepth, on a
    // control thread, reads writePos and sets readPos as the depth places it;
    // the processing thread takes the distance from readOffset.
    Relaxed<std::int32_t> writePos;
    Relaxed<std::int32_t> readPos;
    // (writePos - readPos) modulo bufferLength as the control operations
    // last placed it: the depth, or a rate change that kept both positions.
    // Written only by them, so a block in progress never overwrites a change.
    Relaxed<std::int32_t> readOffset{0};
    Relaxed<InjectRoutine> injectRoutine;
    // Which specialised chain processes: 8 to 15 with the filter on, 0 to 7
    // without, plus the inject mode minus one. Set on the control thread
    // whenever the filter type or the inject routine changes, so the audio
    // thread reads one value instead of choosing per call.
    Relaxed<std::int32_t> chainIndex{0};
    // The chain's loops for the fastest instruction set this machine runs;
    // fixed at construction.
    const chain::Kernels* kernels;

    // Bumped (release) after every change a control operation makes; the
    // processing thread compares it (acquire) with the count its view was
    // taken at, so a block reads one shared value when nothing changed.
    std::atomic<std::uint32_t> controlVersion{1};

    // Everything a block needs, checked against the lines once per change
    // rather than once per block. Processing thread only (and the control
    // operations made while processing is stopped, through changed()).
    struct View {
        std::uint32_t version = 0;        // never a count controlVersion holds at first
        chain::Routine routines[2] = {};  // replacing, adding
        chain::SplitRoutine splits[2] = {};
        bool filterOn = false;
        chain::Settings settings{};
        std::int32_t length = 0;
        std::int32_t writePos = 0;
        std::int32_t readPos = 0;
        chain::Lane lanes[2]{};
    };
    View view;

    friend struct FlangerAccess;
};
