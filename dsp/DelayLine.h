// Circular delay line sized by sample rate, with one write and one read
// index. `tick` writes before it reads, so delays from 0 to length - 1 are
// available: with delay n it returns the sample handed in n ticks earlier.
#pragma once

#include <cstdint>
#include <memory>

#include "dsp/Relaxed.h"

class DelayLine {
public:
    // Allocates and zeroes `length` = baseLength * rate / 44100 samples
    // (truncated, at least 1). May throw std::bad_alloc.
    DelayLine(std::int32_t baseLength, float rate);
    virtual ~DelayLine() = default;

    DelayLine(const DelayLine&) = delete;
    DelayLine& operator=(const DelayLine&) = delete;

    // Places the read index n samples behind the write index; n is capped
    // at length - 1 and negative n counts as 0.
    void setDelay(std::int32_t n);

    // Reallocates and zeroes the line for a new rate. Indices are kept when
    // they still lie inside the new line; otherwise the write index is
    // wrapped into it and the previous delay is re-applied (capped). On
    // allocation failure the line keeps its old rate and samples and
    // answers false. Not for the audio thread.
    bool setSampleRate(float rate);

    // Clears the samples; indices and delay unchanged.
    void reset();

    float tick(float x) {
        std::int32_t w = writeIndex, r = readIndex;
        buffer[w] = x;
        if (++w == length) w = 0;
        const float y = buffer[r];
        if (++r == length) r = 0;
        writeIndex = w;
        readIndex = r;
        return y;
    }

    std::int32_t getLength() const { return length; }
    // The distance from the read index back to the write index, 0 to
    // length - 1, as construction, setDelay or a rate change placed it;
    // ticks keep it.
    std::int32_t getDelay() const { return delay; }
    std::int32_t getWriteIndex() const { return writeIndex; }
    std::int32_t getReadIndex() const { return readIndex; }
    float getRate() const { return rate; }

    // Raw access for loops that inline the tick: they keep their own
    // indices, the read index getDelay() behind the write index, and store
    // them back here.
    float* data() { return buffer.get(); }
    void setIndices(std::int32_t write, std::int32_t read) {
        writeIndex = write;
        readIndex = read;
    }

    static std::int32_t lengthFor(std::int32_t baseLength, float rate);

private:
    // (writeIndex - readIndex) modulo length.
    std::int32_t distance() const;

    std::unique_ptr<float[]> buffer;
    float rate;
    // The processing thread moves both indices; setDelay, on another
    // thread, reads the write index and moves the read index. The delay is
    // written only by setDelay and the operations made while processing is
    // stopped, so a processing thread that derives its read index from it
    // never loses a change to a store of its own.
    Relaxed<std::int32_t> writeIndex{0};
    Relaxed<std::int32_t> readIndex{1};
    Relaxed<std::int32_t> delay{0};
    std::int32_t length;
    std::int32_t baseLength;
};
