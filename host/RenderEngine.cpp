#include "host/RenderEngine.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <utility>

namespace render {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSignalSeconds = 6.0;
constexpr std::uint32_t kInfinityBits = 0x7f800000u;
constexpr std::uint32_t kOneBits = 0x3f800000u;

// Attack-decay envelope: 0 before `start`, linear rise over `attack`
// seconds, then exponential decay with time constant `decay`, cut at
// `start + length`.
double envelope(double t, double start, double length, double attack, double decay) {
    if (t < start || t >= start + length) return 0.0;
    const double u = t - start;
    const double rise = attack > 0.0 ? std::min(1.0, u / attack) : 1.0;
    // A short linear fade at the cut avoids a click.
    const double fade = std::min(1.0, (start + length - t) / 0.01);
    return rise * std::exp(-u / decay) * fade;
}

void fft(std::vector<std::complex<double>>& x) {
    const std::size_t n = x.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(x[i], x[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const double angle = -2.0 * kPi / static_cast<double>(len);
        for (std::size_t i = 0; i < n; i += len) {
            for (std::size_t k = 0; k < len / 2; ++k) {
                const std::complex<double> w = std::polar(1.0, angle * static_cast<double>(k));
                const std::complex<double> a = x[i + k];
                const std::complex<double> b = x[i + k + len / 2] * w;
                x[i + k] = a + b;
                x[i + k + len / 2] = a - b;
            }
        }
    }
}

std::uint32_t bitsOf(float x) {
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

float fromBits(std::uint32_t bits) {
    float x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

// All ones when `condition` holds, else 0.
std::uint32_t maskIf(bool condition) {
    return 0u - static_cast<std::uint32_t>(condition);
}

// The magnitude of a sample as its bit pattern, which orders finite
// magnitudes and infinity as the numbers do; NaN counts as 0. Peaks taken
// as integers, with masks rather than branches, let the loops below
// vectorise; a maximum comes out the same in any order.
std::uint32_t magnitudeBits(float x) {
    const std::uint32_t bits = bitsOf(x) & 0x7fffffffu;
    return bits & maskIf(bits <= kInfinityBits);
}

// Spreads interleaved source frames over the two input lines (a mono
// source feeds both; a stereo one feeding a single input is averaged) and
// raises `peak` to the largest magnitude read.
void spreadInput(const float* in, int channels, bool oneInput, long frames, float* left,
                 float* right, float& peak) {
    std::uint32_t peakLeft = 0;
    std::uint32_t peakRight = 0;
    if (channels == 1) {
        for (long i = 0; i < frames; ++i) {
            peakLeft = std::max(peakLeft, magnitudeBits(in[i]));
            left[i] = right[i] = in[i];
        }
    } else if (oneInput) {
        for (long i = 0; i < frames; ++i) {
            peakLeft = std::max(peakLeft, magnitudeBits(in[2 * i]));
            peakRight = std::max(peakRight, magnitudeBits(in[2 * i + 1]));
            left[i] = right[i] = 0.5f * (in[2 * i] + in[2 * i + 1]);
        }
    } else {
        for (long i = 0; i < frames; ++i) {
            peakLeft = std::max(peakLeft, magnitudeBits(in[2 * i]));
            peakRight = std::max(peakRight, magnitudeBits(in[2 * i + 1]));
            left[i] = in[2 * i];
            right[i] = in[2 * i + 1];
        }
    }
    peak = std::max(peak, fromBits(std::max(peakLeft, peakRight)));
}

// Interleaves the output lines into `out`, writing non-finite samples as
// 0, and counts them, the samples beyond full scale and the peak.
void gatherOutput(const float* left, const float* right, int channels, long frames, float* out,
                  RenderStats& stats) {
    const float* lines[2] = {left, right};
    for (int c = 0; c < channels; ++c) {
        const float* line = lines[c];
        std::uint32_t peak = 0;
        std::uint32_t over = 0;
        std::uint32_t finite = 0;
        for (long i = 0; i < frames; ++i) {
            const std::uint32_t bits = bitsOf(line[i]);
            const std::uint32_t keep = maskIf((bits & 0x7fffffffu) < kInfinityBits);
            finite += keep & 1u;
            const std::uint32_t magnitude = bits & 0x7fffffffu & keep;
            over += static_cast<std::uint32_t>(magnitude > kOneBits);
            peak = std::max(peak, magnitude);
            out[i * channels + c] = fromBits(bits & keep);
        }
        stats.peakOut = std::max(stats.peakOut, fromBits(peak));
        stats.overFullScale += over;
        stats.nonFinite += frames - finite;
    }
}

// A unit impulse followed by silence, mono.
class ImpulseSource : public Source {
public:
    ImpulseSource(int rateHz, long frames) : sampleRate(rateHz), total(frames) {}
    int channels() const override { return 1; }
    int rate() const override { return sampleRate; }
    std::int64_t length() const override { return total; }
    long read(float* interleaved, long frames, std::string&) override {
        const long n = static_cast<long>(std::min<std::int64_t>(frames, total - position));
        std::fill_n(interleaved, n, 0.0f);
        if (position == 0 && n > 0) interleaved[0] = 1.0f;
        position += n;
        return n;
    }

private:
    int sampleRate;
    std::int64_t total;
    std::int64_t position = 0;
};

class MemorySink : public Sink {
public:
    explicit MemorySink(int channels) : numChannels(channels) {}
    bool write(const float* interleaved, long frames, std::string&) override {
        samples.insert(samples.end(), interleaved, interleaved + frames * numChannels);
        return true;
    }
    int numChannels;
    std::vector<float> samples;
};

}  // namespace

TestSignal::TestSignal(int rate)
    : sampleRate(rate),
      totalFrames(static_cast<std::int64_t>(std::llround(kSignalSeconds * rate))) {}

float TestSignal::noise() {
    // xorshift32: the same bursts on every machine.
    noiseState ^= noiseState << 13;
    noiseState ^= noiseState >> 17;
    noiseState ^= noiseState << 5;
    return static_cast<float>(static_cast<double>(noiseState) / 2147483648.0 - 1.0);
}

long TestSignal::read(float* interleaved, long frames, std::string&) {
    const long n = static_cast<long>(std::min<std::int64_t>(frames, totalFrames - position));
    // A minor seventh chord; each note panned to its own place.
    static constexpr double kChord[4] = {220.0, 261.6256, 329.6276, 391.9954};
    static constexpr double kPan[4] = {0.2, 0.8, 0.35, 0.65};
    for (long i = 0; i < n; ++i) {
        const double t = static_cast<double>(position + i) / sampleRate;
        const double white = noise();
        double left = 0.0;
        double right = 0.0;
        // Three short noise bursts: left, centre, right.
        for (int b = 0; b < 3; ++b) {
            const double e = 0.15 * envelope(t, 0.1 + 0.45 * b, 0.35, 0.002, 0.08);
            const double pan = 0.15 + 0.35 * b;
            left += e * white * (1.0 - pan) * 1.4;
            right += e * white * pan * 1.4;
        }
        // The chord, with three harmonics per note and a slow decay.
        for (int k = 0; k < 4; ++k) {
            const double e = 0.0375 * envelope(t, 1.6 + 0.06 * k, 2.8, 0.03, 1.6);
            if (e == 0.0) continue;
            const double phase = 2.0 * kPi * kChord[k] * t;
            const double tone =
                std::sin(phase) + 0.5 * std::sin(2.0 * phase) + 0.25 * std::sin(3.0 * phase);
            left += e * tone * (1.0 - kPan[k]) * 1.2;
            right += e * tone * kPan[k] * 1.2;
        }
        // A swelling noise wash, where a static comb is heard best.
        const double t0 = 4.6;
        if (t >= t0 && t < 5.5) {
            const double u = (t - t0) / 0.9;
            const double e = 0.11 * std::sin(kPi * u) * std::sin(kPi * u);
            left += e * white;
            right += e * noise();
        }
        interleaved[2 * i] = static_cast<float>(left);
        interleaved[2 * i + 1] = static_cast<float>(right);
    }
    position += n;
    return n;
}

std::unique_ptr<Renderer> Renderer::create(vsthost::Plugin& plugin, VstInt32 blockSize,
                                           std::string& error) {
    const int ins = plugin.numInputs();
    const int outs = plugin.numOutputs();
    if (ins < 1 || ins > 2 || outs < 1 || outs > 2) {
        error = "the plug-in has " + std::to_string(ins) + " inputs and " + std::to_string(outs) +
                " outputs; only effects with one or two of each can be rendered";
        return nullptr;
    }
    if (blockSize < 1) {
        error = "the block size must be at least 1 frame";
        return nullptr;
    }
    const AEffect* fx = plugin.effect();
    std::unique_ptr<Renderer> r(new Renderer());
    r->plugin = &plugin;
    r->blockSize = blockSize;
    r->numInputs = ins;
    r->numOutputs = outs;
    r->replacing = (fx->flags & effFlagsCanReplacing) != 0 && fx->processReplacing != nullptr;
    const auto frames = static_cast<std::size_t>(blockSize);
    for (auto& v : r->inputs) v.assign(frames, 0.0f);
    for (auto& v : r->outputs) v.assign(frames, 0.0f);
    r->chunk(kChunkFrames);
    return r;
}

void Renderer::chunk(long frames) {
    const long blocks = std::max(1L, (frames + blockSize - 1) / blockSize);
    chunkFrames = blocks * blockSize;
    const auto samples = static_cast<std::size_t>(chunkFrames) * 2;
    // Assigned afresh rather than resized, so a shorter chunk gives memory back.
    interleavedIn = std::vector<float>(samples, 0.0f);
    interleavedOut = std::vector<float>(samples, 0.0f);
}

void Renderer::processBlock(long offset, VstInt32 frames) {
    float* ins[2] = {inputs[0].data() + offset, inputs[1].data() + offset};
    float* outs[2] = {outputs[0].data() + offset, outputs[1].data() + offset};
    if (replacing) {
        plugin->processReplacing(ins, outs, frames);
    } else {
        // The accumulating entry adds into the outputs.
        for (int c = 0; c < numOutputs; ++c) std::fill_n(outs[c], frames, 0.0f);
        plugin->process(ins, outs, frames);
    }
}

void Renderer::automate(std::vector<AutomationLane> lanes, std::int64_t controlInterval) {
    automation = std::move(lanes);
    lastSent.assign(automation.size(), 0.0f);
    control = std::max<std::int64_t>(1, controlInterval);
}

void Renderer::sendControlPoint(std::int64_t frame, int rate, bool first) {
    const double seconds = static_cast<double>(frame) / rate;
    for (std::size_t i = 0; i < automation.size(); ++i) {
        const auto value = static_cast<float>(automation[i].curve.valueAt(seconds));
        if (first || value != lastSent[i]) {
            plugin->setParameter(automation[i].parameter, value);
            lastSent[i] = value;
        }
    }
}

bool Renderer::run(Source& source, Sink& sink, std::int64_t tailFrames, const Progress& progress,
                   RenderStats& stats, std::string& error) {
    const int sourceChannels = source.channels();
    if (sourceChannels < 1 || sourceChannels > 2) {
        error = "only mono and stereo sources can be rendered";
        return false;
    }
    std::int64_t tailLeft = tailFrames;
    bool sourceDone = false;
    // Frames processed so far and the next control point at or after them.
    std::int64_t position = 0;
    std::int64_t nextControl = 0;
    for (;;) {
        long frames = 0;
        if (!sourceDone) {
            frames = source.read(interleavedIn.data(), chunkFrames, error);
            if (frames < 0) return false;
            if (frames == 0) sourceDone = true;
            stats.framesIn += frames;
        }
        if (sourceDone) {
            if (tailLeft == 0) break;
            frames = static_cast<long>(std::min<std::int64_t>(tailLeft, chunkFrames));
            tailLeft -= frames;
        }
        // The chunk goes through in whole blocks, the last one short, so the
        // processing calls are those of reading and writing block by block;
        // automation splits them further at its control points.
        for (long start = 0; start < frames; start += blockSize) {
            const long count = std::min<long>(blockSize, frames - start);
            if (sourceDone) {
                std::fill_n(inputs[0].data(), count, 0.0f);
                std::fill_n(inputs[1].data(), count, 0.0f);
            } else {
                spreadInput(interleavedIn.data() + start * sourceChannels, sourceChannels,
                            numInputs == 1, count, inputs[0].data(), inputs[1].data(),
                            stats.peakIn);
            }
            for (long done = 0; done < count;) {
                long n = count - done;
                if (!automation.empty()) {
                    if (position + done == nextControl) {
                        sendControlPoint(nextControl, source.rate(), nextControl == 0);
                        nextControl += control;
                    }
                    n = static_cast<long>(std::min<std::int64_t>(n, nextControl - position - done));
                }
                processBlock(done, static_cast<VstInt32>(n));
                done += n;
            }
            gatherOutput(outputs[0].data(), outputs[1].data(), numOutputs, count,
                         interleavedOut.data() + start * numOutputs, stats);
            position += count;
        }
        if (!sink.write(interleavedOut.data(), frames, error)) return false;
        stats.framesOut += frames;
        if (progress && !progress(stats.framesOut)) {
            error = "interrupted";
            return false;
        }
    }
    return true;
}

bool measureResponse(vsthost::Plugin& plugin, int rate, VstInt32 blockSize, long frames,
                     std::vector<ResponsePoint>& points, int& channels, std::string& error) {
    auto renderer = Renderer::create(plugin, blockSize, error);
    if (!renderer) return false;
    channels = renderer->outputChannels();
    ImpulseSource impulse(rate, frames);
    MemorySink sink(channels);
    RenderStats stats;
    if (!renderer->run(impulse, sink, 0, {}, stats, error)) return false;

    const auto n = static_cast<std::size_t>(frames);
    std::vector<std::complex<double>> spectra[2];
    for (int c = 0; c < channels; ++c) {
        spectra[c].resize(n);
        for (std::size_t i = 0; i < n; ++i)
            spectra[c][i] = sink.samples[i * static_cast<std::size_t>(channels) + c];
        fft(spectra[c]);
    }
    points.clear();
    for (std::size_t k = 0; k <= n / 2; ++k) {
        ResponsePoint p{static_cast<double>(k) * rate / static_cast<double>(n), {-200.0, -200.0}};
        for (int c = 0; c < channels; ++c) {
            const double magnitude = std::abs(spectra[c][k]);
            p.gainDb[c] = magnitude > 1e-10 ? 20.0 * std::log10(magnitude) : -200.0;
        }
        points.push_back(p);
    }
    return true;
}

}  // namespace render
