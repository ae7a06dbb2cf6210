// Streams audio through a loaded VST 2 effect block by block, the way a
// host's audio thread does, reading and writing the files in chunks of many
// blocks: memory stays constant whatever the length of the source.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/Automation.h"
#include "host/VstHost.h"

namespace render {

// Interleaved float frames from a file or a generator; one or two channels.
class Source {
public:
    virtual ~Source() = default;
    virtual int channels() const = 0;
    virtual int rate() const = 0;
    // Frames in the whole source; -1 when unknown.
    virtual std::int64_t length() const = 0;
    // Up to `frames` frames; 0 at the end, -1 with a message on failure.
    virtual long read(float* interleaved, long frames, std::string& error) = 0;
};

class Sink {
public:
    virtual ~Sink() = default;
    virtual bool write(const float* interleaved, long frames, std::string& error) = 0;
};

// The built-in demonstration signal: noise bursts, a chord and a plucked
// figure, stereo, about six seconds, peaks near -15 dBFS. Generated on the
// fly and identical on every run.
class TestSignal : public Source {
public:
    explicit TestSignal(int sampleRate);
    int channels() const override { return 2; }
    int rate() const override { return sampleRate; }
    std::int64_t length() const override { return totalFrames; }
    long read(float* interleaved, long frames, std::string& error) override;

private:
    float noise();
    int sampleRate;
    std::int64_t totalFrames;
    std::int64_t position = 0;
    std::uint32_t noiseState = 0x2545F491u;
};

struct RenderStats {
    std::int64_t framesIn = 0;       // frames taken from the source
    std::int64_t framesOut = 0;      // frames written, tail included
    float peakIn = 0.0f;             // largest magnitude read
    float peakOut = 0.0f;            // largest magnitude written
    std::int64_t overFullScale = 0;  // output samples beyond +-1.0
    std::int64_t nonFinite = 0;      // NaN or infinite output samples, written as 0
};

// Called after every chunk written with the frames written so far;
// answering false stops the render (it then fails with "interrupted").
using Progress = std::function<bool(std::int64_t framesDone)>;

// A parameter moved along a curve through a render; `name` is how the
// summary calls it.
struct AutomationLane {
    VstInt32 parameter;
    std::string name;
    Curve curve;
};

// How a source's channels reach the effect's inputs and how many channels
// come out. Checks the effect offers one or two of each.
class Renderer {
public:
    // Null with a message when the effect's inputs or outputs are not one
    // or two, or the block size is not positive.
    static std::unique_ptr<Renderer> create(vsthost::Plugin& plugin, VstInt32 blockSize,
                                            std::string& error);

    int outputChannels() const { return numOutputs; }

    // Moves parameters while running, as a host's automation does: at the
    // control points, every `controlInterval` frames from the first output
    // frame, each lane's value at t = frame / rate is rounded to float and
    // sent through setParameter before those frames are processed, when it
    // differs from the value last sent (the first point always sends). No
    // block crosses a control point. Set before run().
    void automate(std::vector<AutomationLane> lanes, std::int64_t controlInterval);

    // Frames per source read and sink write (default kChunkFrames), rounded
    // up to whole blocks; the processing calls do not depend on it. Every
    // file read and write costs system calls, so long chunks leave the
    // effect, not the calls, the larger cost. Set before run().
    void chunk(long frames);
    static constexpr long kChunkFrames = 32768;

    // Runs the whole source and then `tailFrames` frames of silence through
    // the effect, writing every output frame to `sink`. Each read is cut
    // into blocks from its first frame, and the tail starts a block of its
    // own, so the processing calls are those of reading block by block. The
    // effect must be switched on already. Mono sources feed every input; a
    // stereo source feeds left and right, or its average to a one-input
    // effect.
    bool run(Source& source, Sink& sink, std::int64_t tailFrames, const Progress& progress,
             RenderStats& stats, std::string& error);

private:
    Renderer() = default;
    void processBlock(long offset, VstInt32 frames);
    void sendControlPoint(std::int64_t frame, int rate, bool first);
    vsthost::Plugin* plugin = nullptr;
    VstInt32 blockSize = 0;
    long chunkFrames = 0;
    int numInputs = 0;
    int numOutputs = 0;
    bool replacing = false;
    std::vector<float> inputs[2];
    std::vector<float> outputs[2];
    std::vector<float> interleavedIn;
    std::vector<float> interleavedOut;
    std::vector<AutomationLane> automation;
    std::vector<float> lastSent;
    std::int64_t control = 0;
};

// One line of a magnitude response: frequency in Hz and gain in dB per
// output channel.
struct ResponsePoint {
    double frequency;
    double gainDb[2];
};

// Feeds a unit impulse followed by silence (`frames`, a power of two)
// through the switched-on effect and answers the magnitude of the output's
// spectrum from 0 Hz to half the rate. Gains below -200 dB are written as
// -200.
bool measureResponse(vsthost::Plugin& plugin, int rate, VstInt32 blockSize, long frames,
                     std::vector<ResponsePoint>& points, int& channels, std::string& error);

}  // namespace render
