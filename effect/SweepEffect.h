// The companion effect: the flanger with a depth sweep locked to the host's
// timeline. Parameters 0 to 11 are the flanger's; six more choose the
// sweep. With Sweep Shape Off it is the flanger, bit for bit; with a shape
// on, the sweep sets the main line's depth at control points (every 32
// timeline frames, at discontinuities and after a change) and Flanger
// Depth's value is only stored until the shape is Off again.
#pragma once

#include <atomic>
#include <cstdint>

#include "dsp/Relaxed.h"
#include "dsp/Sweep.h"
#include "effect/FlangerEffect.h"
#include "effect/SweepParams.h"

// The host's position for one block as the front end read it, each part
// already checked (finite, in range) or marked absent.
struct SweepTime {
    bool playing = false;  // a usable, running position: `frame` holds
    std::int64_t frame = 0;
    bool hasPpq = false;  // `ppq` is the quarter-note position at `frame`
    double ppq = 0.0;
    bool hasTempo = false;
    double tempo = 120.0;
    bool hasMeter = false;
    std::int32_t numerator = 4;
    std::int32_t denominator = 4;
};

// A host's report of its position in the terms both plug-in interfaces
// use, each part with whether the host marked it valid; values unchecked.
struct HostPosition {
    bool playing = false;
    double frame = 0.0;
    bool ppqValid = false;
    double ppq = 0.0;  // quarter notes at `frame`
    bool tempoValid = false;
    double tempo = 0.0;  // quarter notes per minute
    bool meterValid = false;
    std::int32_t numerator = 0;
    std::int32_t denominator = 0;
};

class SweepEffect : public FlangerEffect {
public:
    // Allocates like FlangerEffect; may throw std::bad_alloc.
    explicit SweepEffect(audioMasterCallback audioMaster);

    // Any thread the host uses for automation; never allocate.
    void setParameter(VstInt32 index, float value) override;
    float getParameter(VstInt32 index) override;
    void setProgram(VstInt32 program) override;
    void getParameterLabel(VstInt32 index, char* label) override;
    void getParameterDisplay(VstInt32 index, char* text) override;
    void getParameterName(VstInt32 index, char* text) override;

    // Audio thread. Ask the host for its time (audioMasterGetTime) and run
    // the block at that position.
    void process(float** inputs, float** outputs, VstInt32 sampleFrames) override;
    void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) override;
    // Audio thread: the block at a position the caller read (null: none).
    // The LV2 front end's entry.
    void processAt(float** inputs, float** outputs, VstInt32 sampleFrames, const SweepTime* time,
                   bool accumulate);

    // Control thread, processing stopped: the sweep's own clock restarts at
    // frame 0 and the next block starts with a control point.
    void resume() override;

    VstIntPtr dispatcher(VstInt32 opCode, VstInt32 index, VstIntPtr value, void* ptr,
                         float opt) override;

    // A checked reading of a VST 2 time record (null gives no position).
    static SweepTime timeFrom(const VstTimeInfo* info);
    // The same checks on any host's report: tempo 1..999, a meter of 1..64
    // over a power of two up to 64, and a position within 1e15 frames and
    // quarter notes, read only while playing.
    static SweepTime timeOf(const HostPosition& position);

    // Read-only views for tests and tools.
    std::int32_t getShape() const { return shape; }
    std::int32_t getSync() const { return sync; }
    // The sweep's value at its last control point (its delay is the one
    // applied), and whether it has taken one.
    float getSweptDepth() const {
        return static_cast<float>(
            sweep::valueAt(swept.shape, swept.position, swept.phase, swept.low, swept.high));
    }
    bool hasSweptDepth() const { return applied; }
    // Quarter notes per sync length for the current band and meter (0 when
    // Sync is Off).
    double syncQuarters() const;
    // The tempo the sweep runs at: the host's last valid one, else 120.
    // Processing thread.
    double currentTempo() const { return tempo; }
    // Free rate in Hz for a normalised Rate value.
    static double rateHz(float value);

private:
    // The host's time at this block, asked with the fields the sweep reads
    // (a null or unusable answer gives no position).
    SweepTime hostTime();
    struct SweepValues {
        float shape, sync, rate, low, high, phase;
    };

    template <bool kAccumulate>
    void run(float** inputs, float** outputs, VstInt32 sampleFrames, const SweepTime* time);
    void sweepChanged() { sweepVersion.fetch_add(1, std::memory_order_release); }

    SweepValues sweepPrograms[kNumPrograms];
    // Values as the host last set them (Shape and Sync as sent, the others
    // clamped), and the bands of the stepped two.
    Relaxed<float> fShape, fSync, fRate, fLow, fHigh, fPhase;
    Relaxed<std::int32_t> shape{0};
    Relaxed<std::int32_t> sync{0};
    // Bumped (release) after a change to any of the six: the next block
    // starts with a control point. `resumes` counts switch-ons.
    std::atomic<std::uint32_t> sweepVersion{1};
    std::atomic<std::uint32_t> resumes{1};

    // Processing thread only: the timeline as the last block left it.
    std::uint32_t seenVersion = 0;
    std::uint32_t seenResumes = 0;
    double tempo = 120.0;
    std::int32_t numerator = 4;
    std::int32_t denominator = 4;
    // Where the next block follows on (its own count when the host gives
    // no position): its timeline frame and quarter-note position.
    std::int64_t nextFrame = 0;
    double nextQuarter = 0.0;
    // Whether a point was taken, the main-line delay applied last in a line
    // of appliedLength samples, and what the last point's value is made of.
    bool applied = false;
    std::int32_t appliedDelay = 0;
    std::int32_t appliedLength = 0;
    struct SweptPoint {
        sweep::Shape shape = sweep::Shape::kSine;
        double position = 0.0, phase = 0.0, low = 0.0, high = 0.0;
    };
    SweptPoint swept;
};

// The companion's instance for a host; its binary's entry passes this to
// pluginEntry.
AudioEffect* createSweepInstance(audioMasterCallback audioMaster);
