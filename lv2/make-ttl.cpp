// Writes the LV2 bundle's Turtle files from the effect itself: port names
// from the parameter names (and labels where two names coincide), defaults
// from program 0, the enumerations' scale points from the bands the effect
// displays, and one preset per named factory program; the same for the
// companion with the timeline-locked sweep, whose description adds its six
// controls and the atom input for the host's time. Run by the build:
//   make-ttl DIR URI SWEEP_URI BINARY MINOR MICRO
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "effect/FlangerEffect.h"
#include "effect/SweepEffect.h"
#include "lv2/Lv2Ports.h"

namespace {

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "make-ttl: %s\n", message.c_str());
    std::exit(1);
}

// Lower case letters and digits, every other run of characters one '_'.
std::string symbolOf(const std::string& name, char separator) {
    std::string s;
    for (const char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) != 0)
            s += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        else if (!s.empty() && s.back() != separator)
            s += separator;
    }
    while (!s.empty() && s.back() == separator) s.pop_back();
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0])) != 0) s.insert(0, 1, separator);
    return s;
}

std::string quoted(const std::string& s) {
    std::string q = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

// The shortest decimal that reads back as exactly this float, whether the
// reader rounds to float directly or through double.
std::string decimal(float v) {
    char text[40];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(v));
        const float direct = std::strtof(text, nullptr);
        const auto viaDouble = static_cast<float>(std::strtod(text, nullptr));
        if (std::memcmp(&direct, &v, sizeof v) == 0 && std::memcmp(&viaDouble, &v, sizeof v) == 0)
            break;
    }
    std::string s = text;
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

// What each value means, for hosts that cannot ask for value texts.
const char* const kComments[kSweepNumParams] = {
    "Delay of the main comb: value x 399 samples at 44.1 kHz (0 to 9 ms); the line scales with "
    "the sample rate.",
    "Share of the delayed signal fed back into the line, 0 to 100 %; FeedB Sign sets its sign. "
    "Above 90 % the comb rings for long.",
    "Signs of the feedback and of the delayed signal in the mix: negative 1 both negative, "
    "negative 2 negative feedback and positive mix, positive 1 positive feedback and negative "
    "mix, positive 2 both positive.",
    "Filter inside the feedback loop: none, low pass, high pass, band pass or notch.",
    "Filter cutoff: 200 Hz + value x 9800 Hz (200 Hz to 10 kHz), held below half the sample "
    "rate.",
    "Filter Q: the value itself, 0.01 to 1 (smaller values count as 0.01).",
    "Level at which the first post comb's delayed signal is added, 0 to 100 %.",
    "Delay of the first post comb: value x 500 samples, up to the line's length (500 samples "
    "at 44.1 kHz, scaled with the sample rate) less one.",
    "What feeds the second post comb and how it returns to the output: routings 1 to 8.",
    "Level at which the second post comb's delayed signal is added, 0 to 100 %.",
    "Delay of the second post comb: value x 500 samples, up to the line's length (500 samples "
    "at 44.1 kHz, scaled with the sample rate) less one.",
    "Output gain: 2 x value, 0 to 2 (-inf dB to +6 dB; 0.5 is 0 dB).",
    "Shape of the depth sweep: Off (Flanger Depth sets the depth), sine, triangle, saw or square.",
    "Length of one sweep: Off (free, at Sweep Rate) or 1/16, 1/8, 1/4, 1/2 note, 1, 2, 4 or 8 "
    "bars of the host's tempo and time signature, locked to the song position.",
    "Free sweep rate when Sweep Sync is Off: 0.01 Hz x 2000^value (0.01 Hz to 20 Hz).",
    "Flanger Depth value at the bottom of the sweep.",
    "Flanger Depth value at the top of the sweep (below Sweep Low inverts the sweep).",
    "Fraction of a sweep added to the position, 0 to 360 degrees.",
};

std::unique_ptr<FlangerEffect> makeEffect(bool sweep) {
    if (sweep) return std::make_unique<SweepEffect>(nullptr);
    return std::make_unique<FlangerEffect>(nullptr);
}

bool isEnumeration(std::int32_t index) {
    return index == kFeedBSign || index == kFilterType || index == kInjectMode ||
           index == kSweepShape || index == kSweepSync;
}

struct ScalePoint {
    float value;
    std::string label;
};

// Sweeps 0..1 and groups the values by the text the effect displays: one
// scale point per band, at its middle, labelled with the band's text.
std::vector<ScalePoint> scalePoints(std::int32_t index) {
    // Divisible by every band count in use (the sweep's nine too).
    const int kSteps = index < kNumParams ? 8000 : 72000;
    std::unique_ptr<FlangerEffect> effect = makeEffect(index >= kNumParams);
    FlangerEffect& fx = *effect;
    auto textAt = [&](int step) {
        fx.setParameter(index, static_cast<float>(step) / static_cast<float>(kSteps));
        char text[kParamTextBytes * 4] = {};
        fx.getParameterDisplay(index, text);
        return std::string(text);
    };
    std::vector<ScalePoint> points;
    std::set<std::string> seen;
    int first = 0;
    std::string band = textAt(0);
    for (int step = 1; step <= kSteps + 1; ++step) {
        const std::string text = step <= kSteps ? textAt(step) : std::string();
        if (step <= kSteps && text == band) continue;
        if (band.empty() || !seen.insert(band).second)
            fail("parameter " + std::to_string(index) + " shows '" + band +
                 "' in more than one band or none");
        const int middle = (first + step) / 2;
        points.push_back({static_cast<float>(middle) / static_cast<float>(kSteps), band});
        first = step;
        band = text;
    }
    return points;
}

struct Port {
    std::string name, symbol;
    float defaultValue;
};

std::vector<Port> controlPorts(bool sweep) {
    std::unique_ptr<FlangerEffect> effect = makeEffect(sweep);
    FlangerEffect& fx = *effect;
    fx.setProgram(0);
    const std::int32_t count = sweep ? kSweepNumParams : kNumParams;
    std::vector<Port> ports;
    std::set<std::string> symbols;
    for (std::int32_t i = 0; i < count; ++i) {
        // The flanger's twelve as every front end names them apart; the
        // sweep's own six have names of their own.
        char text[kDistinctNameBytes > kParamTextBytes * 4 ? kDistinctNameBytes
                                                           : kParamTextBytes * 4] = {};
        if (i < kNumParams)
            FlangerEffect::distinctParameterName(i, text);
        else
            fx.getParameterName(i, text);
        const std::string name = text;
        Port p{name, symbolOf(name, '_'), fx.getParameter(i)};
        if (!symbols.insert(p.symbol).second) fail("two ports would share the symbol " + p.symbol);
        ports.push_back(p);
    }
    return ports;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file) fail("cannot write '" + path + "'; check the build folder is writable");
}

const char* const kPrefixes =
    "@prefix atom: <http://lv2plug.in/ns/ext/atom#> .\n"
    "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
    "@prefix foaf: <http://xmlns.com/foaf/0.1/> .\n"
    "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
    "@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
    "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix rsz: <http://lv2plug.in/ns/ext/resize-port#> .\n"
    "@prefix time: <http://lv2plug.in/ns/ext/time#> .\n"
    "@prefix urid: <http://lv2plug.in/ns/ext/urid#> .\n\n";

// The plug-in's description, its manifest entries and its presets.
void describe(bool sweep, const std::string& uri, const std::string& binary,
              const std::string& minor, const std::string& micro, const std::string& ttl,
              const std::string& presetsTtl, std::ostringstream& manifest,
              std::ostringstream& presets) {
    const std::vector<Port> ports = controlPorts(sweep);
    const auto count = static_cast<std::int32_t>(ports.size());

    // The plug-in and its ports.
    std::ostringstream plugin;
    plugin << kPrefixes << "<" << uri << ">\n    a lv2:Plugin, lv2:FlangerPlugin, doap:Project ;\n"
           << "    doap:name " << quoted(sweep ? kSweepEffectName : kEffectName) << " ;\n"
           << "    doap:maintainer [ foaf:name " << quoted(kVendorName) << " ] ;\n"
           << "    lv2:minorVersion " << minor << " ;\n    lv2:microVersion " << micro << " ;\n"
           << "    lv2:optionalFeature lv2:hardRTCapable" << (sweep ? ", urid:map" : "")
           << " ;\n    lv2:port";
    const char* const audio[4][3] = {{"Input", "in_l", "Left In"},
                                     {"Input", "in_r", "Right In"},
                                     {"Output", "out_l", "Left Out"},
                                     {"Output", "out_r", "Right Out"}};
    for (std::uint32_t p = 0; p < lv2port::kFirstControl; ++p) {
        plugin << (p == 0 ? " [\n" : " , [\n") << "        a lv2:AudioPort, lv2:" << audio[p][0]
               << "Port ;\n        lv2:index " << p << " ;\n        lv2:symbol "
               << quoted(audio[p][1]) << " ;\n        lv2:name " << quoted(audio[p][2])
               << " ;\n    ]";
    }
    for (std::int32_t i = 0; i < count; ++i) {
        const Port& port = ports[i];
        plugin << " , [\n        a lv2:InputPort, lv2:ControlPort ;\n        lv2:index "
               << lv2port::control(i) << " ;\n        lv2:symbol " << quoted(port.symbol)
               << " ;\n        lv2:name " << quoted(port.name) << " ;\n        lv2:default "
               << decimal(port.defaultValue)
               << " ;\n        lv2:minimum 0.0 ;\n        lv2:maximum 1.0 ;\n"
               << "        rdfs:comment " << quoted(kComments[i]);
        if (isEnumeration(i)) {
            plugin << " ;\n        lv2:portProperty lv2:enumeration ;\n        lv2:scalePoint";
            const std::vector<ScalePoint> points = scalePoints(i);
            for (std::size_t k = 0; k < points.size(); ++k) {
                plugin << (k == 0 ? " [ " : " , [ ") << "rdfs:label " << quoted(points[k].label)
                       << " ; rdf:value " << decimal(points[k].value) << " ]";
            }
        }
        plugin << " ;\n    ]";
    }
    if (sweep) {
        plugin << " , [\n        a lv2:InputPort, atom:AtomPort ;\n        atom:bufferType "
               << "atom:Sequence ;\n        atom:supports time:Position ;\n"
               << "        lv2:portProperty lv2:connectionOptional ;\n        rsz:minimumSize "
               << lv2port::kTimeBufferBytes << " ;\n        lv2:index " << lv2port::kSweepTime
               << " ;\n        lv2:symbol \"time\" ;\n        lv2:name \"Time\" ;\n"
               << "        rdfs:comment \"The host's song position (time:Position), which the "
               << "sweep follows; without it the sweep runs on its own count.\"\n    ]";
    }
    plugin << " .\n";
    writeFile(ttl, plugin.str());

    // One preset per factory program with a name of its own.
    const std::string file = ttl.substr(ttl.find_last_of('/') + 1);
    const std::string presetFile = presetsTtl.substr(presetsTtl.find_last_of('/') + 1);
    manifest << "\n<" << uri << ">\n    a lv2:Plugin ;\n    lv2:binary <" << binary
             << "> ;\n    rdfs:seeAlso <" << file << "> .\n";
    presets << kPrefixes;
    std::unique_ptr<FlangerEffect> effect = makeEffect(sweep);
    FlangerEffect& fx = *effect;
    std::set<std::string> presetUris;
    for (std::int32_t n = 0; n < kNumPrograms; ++n) {
        if (std::strcmp(fx.program(n).name, "Init") == 0) continue;
        char name[kProgramNameBytes * 2] = {};
        fx.programDisplayName(n, name);
        const std::string presetUri = uri + "#preset-" + symbolOf(name, '-');
        if (!presetUris.insert(presetUri).second) fail("two presets would share " + presetUri);
        manifest << "\n<" << presetUri << ">\n    a pset:Preset ;\n    lv2:appliesTo <" << uri
                 << "> ;\n    rdfs:label " << quoted(name) << " ;\n    rdfs:seeAlso <" << presetFile
                 << "> .\n";
        fx.setProgram(n);
        presets << "<" << presetUri << ">\n    a pset:Preset ;\n    lv2:appliesTo <" << uri
                << "> ;\n    rdfs:label " << quoted(name) << " ;\n    lv2:port";
        for (std::int32_t i = 0; i < count; ++i) {
            presets << (i == 0 ? " [\n" : " , [\n") << "        lv2:symbol "
                    << quoted(ports[i].symbol) << " ;\n        pset:value "
                    << decimal(fx.getParameter(i)) << "\n    ]";
        }
        presets << " .\n\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: make-ttl DIR URI SWEEP_URI BINARY MINOR MICRO\n");
        return 2;
    }
    const std::string dir = argv[1], uri = argv[2], sweepUri = argv[3], binary = argv[4];
    const std::string minor = argv[5], micro = argv[6];
    std::ostringstream manifest, presets, sweepPresets;
    manifest << kPrefixes;
    describe(false, uri, binary, minor, micro, dir + "/flanger.ttl", dir + "/presets.ttl", manifest,
             presets);
    describe(true, sweepUri, binary, minor, micro, dir + "/flanger-sweep.ttl",
             dir + "/presets-sweep.ttl", manifest, sweepPresets);
    writeFile(dir + "/manifest.ttl", manifest.str());
    writeFile(dir + "/presets.ttl", presets.str());
    writeFile(dir + "/presets-sweep.ttl", sweepPresets.str());
    return 0;
}
