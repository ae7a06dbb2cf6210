#include "host/Automation.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "dsp/Sweep.h"

namespace render {

namespace {

std::string trimmed(const std::string& text) {
    const char* space = " \t\r\n";
    const std::size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// A finite number and nothing else; NaN, infinities and out-of-range
// magnitudes are refused.
bool parseNumber(const std::string& text, double& value) {
    const std::string t = trimmed(text);
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(t.c_str(), &end);
    if (t.empty() || end != t.c_str() + t.size() || errno != 0 || !std::isfinite(v)) return false;
    value = v;
    return true;
}

bool parseValue(const std::string& text, double& value, std::string& error) {
    if (!parseNumber(text, value) || value < 0.0 || value > 1.0) {
        error = "value '" + trimmed(text) +
                "' is not a number from 0 to 1; parameter values are normalised";
        return false;
    }
    return true;
}

// One "T<sep>V" breakpoint appended to `points`, checked against the one
// before it.
bool addBreakpoint(const std::string& item, char separator,
                   std::vector<std::pair<double, double>>& points, std::string& error) {
    const std::size_t at = item.find(separator);
    if (trimmed(item).empty() || at == std::string::npos ||
        item.find(separator, at + 1) != std::string::npos) {
        error = "'" + trimmed(item) + "' is not a breakpoint; write TIME" + separator +
                "VALUE, e.g. 0" + separator + "0.2";
        return false;
    }
    const std::string timeText = trimmed(item.substr(0, at));
    double time = 0.0;
    if (!parseNumber(timeText, time) || time < 0.0) {
        error = "time '" + timeText + "' is not a number of seconds from 0 on";
        return false;
    }
    if (!points.empty() && !(time > points.back().first)) {
        error = "time " + timeText +
                " does not come after the breakpoint before it; times must increase";
        return false;
    }
    double value = 0.0;
    if (!parseValue(item.substr(at + 1), value, error)) return false;
    points.emplace_back(time, value);
    return true;
}

sweep::Shape sweepShapeOf(Curve::Shape shape) {
    switch (shape) {
        case Curve::Shape::Triangle: return sweep::Shape::kTriangle;
        case Curve::Shape::Saw: return sweep::Shape::kSaw;
        case Curve::Shape::Square: return sweep::Shape::kSquare;
        default: return sweep::Shape::kSine;
    }
}

}  // namespace

bool Curve::parseEnvelope(const std::string& text, Curve& curve, std::string& error) {
    Curve c;
    if (trimmed(text).empty()) {
        error = "the envelope is empty; give breakpoints as TIME:VALUE[,TIME:VALUE...]";
        return false;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string item =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!addBreakpoint(item, ':', c.points, error)) return false;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    curve = std::move(c);
    return true;
}

bool Curve::readEnvelope(const std::string& path, Curve& curve, bool& readFailed,
                         std::string& error) {
    readFailed = true;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        error = "envelope file '" + path + "' is a folder; give a text file of time,value lines";
        return false;
    }
    errno = 0;
    std::ifstream in(path);
    if (!in) {
        error = "cannot read envelope file '" + path +
                "': " + (errno != 0 ? std::strerror(errno) : "unknown error");
        return false;
    }
    Curve c;
    std::string line;
    for (long number = 1; std::getline(in, line); ++number) {
        const std::string t = trimmed(line);
        if (t.empty() || t[0] == '#') continue;
        if (!addBreakpoint(t, ',', c.points, error)) {
            readFailed = false;
            error = "'" + path + "' line " + std::to_string(number) + ": " + error;
            return false;
        }
    }
    if (in.bad()) {
        error = "reading envelope file '" + path + "' failed";
        return false;
    }
    readFailed = false;
    if (c.points.empty()) {
        error = "'" + path + "' holds no breakpoints; write one time,value line per breakpoint";
        return false;
    }
    curve = std::move(c);
    return true;
}

bool Curve::parseSweep(const std::string& text, Curve& curve, std::string& error) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = text.find(':', start);
        fields.push_back(trimmed(
            text.substr(start, colon == std::string::npos ? std::string::npos : colon - start)));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    if (fields.size() < 4 || fields.size() > 5) {
        error = "'" + text +
                "' is not a sweep; write SHAPE:PERIOD:LOW:HIGH[:PHASE], e.g. sine:4:0.1:0.6";
        return false;
    }
    Curve c;
    std::string shape = fields[0];
    for (char& ch : shape) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (shape == "sine") {
        c.kind = Shape::Sine;
    } else if (shape == "triangle") {
        c.kind = Shape::Triangle;
    } else if (shape == "saw") {
        c.kind = Shape::Saw;
    } else if (shape == "square") {
        c.kind = Shape::Square;
    } else {
        error =
            "unknown sweep shape '" + fields[0] + "'; shapes are sine, triangle, saw and square";
        return false;
    }
    if (!parseNumber(fields[1], c.period) || !(c.period > 0.0)) {
        error = "period '" + fields[1] + "' is not a number of seconds above 0";
        return false;
    }
    if (!parseValue(fields[2], c.low, error) || !parseValue(fields[3], c.high, error)) return false;
    if (fields.size() == 5 &&
        (!parseNumber(fields[4], c.phase) || c.phase < 0.0 || c.phase > 1.0)) {
        error = "phase '" + fields[4] + "' is not a fraction of a period from 0 to 1";
        return false;
    }
    curve = std::move(c);
    return true;
}

double Curve::valueAt(double seconds) const {
    if (kind != Shape::Envelope) {
        return sweep::valueAt(sweepShapeOf(kind), seconds / period, phase, low, high);
    }
    if (points.empty()) return 0.0;
    const auto next = std::upper_bound(
        points.begin(), points.end(), seconds,
        [](double t, const std::pair<double, double>& point) { return t < point.first; });
    if (next == points.begin()) return points.front().second;
    if (next == points.end()) return points.back().second;
    const auto& [t0, v0] = *(next - 1);
    const auto& [t1, v1] = *next;
    return v0 + (v1 - v0) * ((seconds - t0) / (t1 - t0));
}

std::string Curve::describe() const {
    if (kind == Shape::Envelope)
        return "envelope, " + std::to_string(points.size()) +
               (points.size() == 1 ? " point" : " points");
    static const char* const kNames[] = {"", "sine", "triangle", "saw", "square"};
    char text[64];
    std::snprintf(text, sizeof text, "%s sweep, %g s", kNames[static_cast<int>(kind)], period);
    return text;
}

}  // namespace render
