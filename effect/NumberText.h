// Portable decimal texts for parameter values, the same on every platform.
#pragma once

#include <cstdint>

// Longest text numberText writes, terminator included.
constexpr int kNumberTextBytes = 6;

// The magnitude of v rounded to a whole number (exact halves away from
// zero), as plain decimal digits without sign, point or padding: 12.5 gives
// "13", -50 gives "50", 0.3 gives "0". Magnitudes that round to 100000 or
// more give "Huge", NaN gives "NaN". Writes at most kNumberTextBytes bytes.
void numberText(double v, char* text);

// Decimal text of an integer, with a minus sign when negative; writes at
// most 12 bytes.
void integerText(std::int32_t value, char* text);
