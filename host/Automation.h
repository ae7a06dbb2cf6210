// Parameter movement over time for the render tool: breakpoint envelopes
// and periodic sweeps, parsed from their command-line forms and evaluated
// in double precision at any time.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace render {

class Curve {
public:
    enum class Shape { Envelope, Sine, Triangle, Saw, Square };

    // "T:V[,T:V...]": times in seconds from the first output frame, from 0
    // and strictly increasing, values normalised 0..1. False with a message
    // saying what is wrong.
    static bool parseEnvelope(const std::string& text, Curve& curve, std::string& error);

    // The same envelope from a text file of "time,value" lines; blank lines
    // and lines starting with '#' are skipped. `readFailed` tells a file
    // that cannot be read from one that holds a malformed line (the message
    // then names the file and the line).
    static bool readEnvelope(const std::string& path, Curve& curve, bool& readFailed,
                             std::string& error);

    // "SHAPE:PERIOD:LOW:HIGH[:PHASE]" with SHAPE sine, triangle, saw or
    // square, PERIOD seconds above 0, LOW and HIGH normalised values (LOW
    // above HIGH inverts the sweep) and PHASE a fraction of a period, 0..1.
    static bool parseSweep(const std::string& text, Curve& curve, std::string& error);

    // The value at `seconds`. Envelopes run linearly between breakpoints
    // and hold their first and last values outside them; sweeps start at
    // LOW when their phase is 0.
    double valueAt(double seconds) const;

    Shape shape() const { return kind; }
    // "envelope, 3 points" or "sine sweep, 4 s".
    std::string describe() const;

private:
    Shape kind = Shape::Envelope;
    std::vector<std::pair<double, double>> points;  // (time, value), envelopes only
    double period = 1.0;
    double low = 0.0;
    double high = 0.0;
    double phase = 0.0;
};

}  // namespace render
