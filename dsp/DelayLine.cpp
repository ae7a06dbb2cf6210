#include "dsp/DelayLine.h"

#include <algorithm>
#include <new>

std::int32_t DelayLine::lengthFor(std::int32_t baseLength, float rate) {
    // Formed at double precision from the 32-bit base length, truncated.
    // Rates are limited by the caller; the floor of 1 keeps a valid slot for
    // rates so low that the formula would give an empty line.
    const double n = static_cast<double>(static_cast<float>(baseLength)) * rate / 44100.0;
    if (!(n >= 1.0)) return 1;
    if (n >= 1.0e8) return 100000000;
    return static_cast<std::int32_t>(n);
}

DelayLine::DelayLine(std::int32_t base, float r)
    : rate(r), length(lengthFor(base, r)), baseLength(base) {
    buffer.reset(new float[static_cast<std::size_t>(length)]);
    std::fill_n(buffer.get(), length, 0.0f);
    if (readIndex >= length) readIndex = 0;
    delay = distance();
}

std::int32_t DelayLine::distance() const {
    const std::int32_t d = writeIndex - readIndex;
    return d < 0 ? d + length : d;
}

void DelayLine::setDelay(std::int32_t n) {
    // The audio thread may tick the line meanwhile: the write index is read
    // once, and the new read index is formed in a local, brought inside the
    // line and stored once, so the tick never sees a value outside it.
    const std::int32_t m = n < 0 ? 0 : (n < length ? n : length - 1);
    const std::int32_t w = writeIndex;
    std::int32_t r = w - m;
    if (r < 0) r += length;
    if (r >= length || r < 0) r = 0;
    readIndex = r;
    delay = w - r < 0 ? w - r + length : w - r;
}

bool DelayLine::setSampleRate(float r) {
    const std::int32_t newLength = lengthFor(baseLength, r);
    std::unique_ptr<float[]> fresh(new (std::nothrow) float[static_cast<std::size_t>(newLength)]);
    if (!fresh) return false;
    std::fill_n(fresh.get(), newLength, 0.0f);
    const std::int32_t oldDelay = getDelay();
    buffer = std::move(fresh);
    rate = r;
    length = newLength;
    if (writeIndex >= length || readIndex >= length) {
        writeIndex = writeIndex % length;
        setDelay(oldDelay);
    }
    delay = distance();
    return true;
}

void DelayLine::reset() {
    std::fill_n(buffer.get(), length, 0.0f);
}
