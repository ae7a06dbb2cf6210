#include "effect/NumberText.h"

#include <cmath>
#include <cstring>

namespace {

// Writes the decimal digits of a non-negative integer below 10^10.
char* writeDigits(std::uint64_t n, char* p) {
    char reversed[20];
    int count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    while (count > 0) *p++ = reversed[--count];
    return p;
}

}  // namespace

void numberText(double v, char* text) {
    if (std::isnan(v)) {
        std::memcpy(text, "NaN", 4);
        return;
    }
    // std::round takes exact halves away from zero, with no double-rounding
    // error of its own.
    const double rounded = std::round(std::fabs(v));
    if (rounded >= 100000.0) {
        std::memcpy(text, "Huge", 5);
        return;
    }
    char* end = writeDigits(static_cast<std::uint64_t>(rounded), text);
    *end = '\0';
}

void integerText(std::int32_t value, char* text) {
    char* p = text;
    std::int64_t v = value;
    if (v < 0) {
        *p++ = '-';
        v = -v;
    }
    p = writeDigits(static_cast<std::uint64_t>(v), p);
    *p = '\0';
}
