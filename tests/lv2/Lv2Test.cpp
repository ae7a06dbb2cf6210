// The built LV2 bundle loaded through liblilv by its URI, checked against
// the VST 2 binary loaded through the project's host library: ports and
// presets as VST 2 hosts see the parameters and programs, and renders that
// equal the VST 2 build's out-of-place output bit for bit whatever the
// block sizes, buffer layout, control changes or hostile values.
#include <gtest/gtest.h>
#include <lilv/lilv.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "host/VstHost.h"
#include "lv2/Lv2Ports.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::string str(const LilvNode* node) {
    return node != nullptr ? lilv_node_as_string(node) : "";
}

// The world with the bundle loaded, and the VST 2 binary.
struct Hosts {
    LilvWorld* world = lilv_world_new();
    const LilvPlugin* plugin = nullptr;
    std::unique_ptr<vsthost::Library> vst;

    Hosts() {
        LilvNode* bundle = lilv_new_file_uri(world, nullptr, FLANGER_LV2_BUNDLE "/");
        lilv_world_load_bundle(world, bundle);
        lilv_node_free(bundle);
        LilvNode* uri = lilv_new_uri(world, FLANGER_LV2_URI);
        plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
        lilv_node_free(uri);
        std::string error;
        vst = vsthost::Library::open(FLANGER_PLUGIN_PATH, error);
    }
    ~Hosts() { lilv_world_free(world); }
    LilvNode* uri(const char* text) { return lilv_new_uri(world, text); }

    std::unique_ptr<vsthost::Plugin> vstPlugin(float rate) {
        std::string error;
        auto p = vsthost::Plugin::create(*vst, error);
        p->start(rate, 512);
        return p;
    }
};

Hosts& hosts() {
    static Hosts h;
    return h;
}

struct Preset {
    std::string label;
    float values[kNumParams];
};

// Every preset the bundle relates to the plug-in, values by port symbol.
std::vector<Preset> presets() {
    Hosts& h = hosts();
    LilvNode* presetClass = h.uri("http://lv2plug.in/ns/ext/presets#Preset");
    LilvNode* portPred = h.uri(LILV_NS_LV2 "port");
    LilvNode* symbolPred = h.uri(LILV_NS_LV2 "symbol");
    LilvNode* valuePred = h.uri("http://lv2plug.in/ns/ext/presets#value");
    LilvNode* labelPred = h.uri(LILV_NS_RDFS "label");
    std::vector<Preset> out;
    LilvNodes* related = lilv_plugin_get_related(h.plugin, presetClass);
    LILV_FOREACH(nodes, i, related) {
        const LilvNode* preset = lilv_nodes_get(related, i);
        lilv_world_load_resource(h.world, preset);
        LilvNode* label = lilv_world_get(h.world, preset, labelPred, nullptr);
        Preset p{str(label), {}};
        lilv_node_free(label);
        std::fill(std::begin(p.values), std::end(p.values), kNaN);
        LilvNodes* ports = lilv_world_find_nodes(h.world, preset, portPred, nullptr);
        LILV_FOREACH(nodes, k, ports) {
            const LilvNode* port = lilv_nodes_get(ports, k);
            LilvNode* symbol = lilv_world_get(h.world, port, symbolPred, nullptr);
            LilvNode* value = lilv_world_get(h.world, port, valuePred, nullptr);
            LilvNode* symbolNode = lilv_new_string(h.world, str(symbol).c_str());
            const LilvPort* p2 = lilv_plugin_get_port_by_symbol(h.plugin, symbolNode);
            if (p2 != nullptr && value != nullptr)
                p.values[lilv_port_get_index(h.plugin, p2) - lv2port::kFirstControl] =
                    lilv_node_as_float(value);
            lilv_node_free(symbolNode);
            lilv_node_free(symbol);
            lilv_node_free(value);
        }
        lilv_nodes_free(ports);
        out.push_back(p);
    }
    lilv_nodes_free(related);
    for (LilvNode* n : {presetClass, portPred, symbolPred, valuePred, labelPred}) lilv_node_free(n);
    return out;
}

bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

const char* const kNames[kNumParams] = {
    "Flanger Depth", "FeedBack",           "FeedB Sign",          "Filter Type",
    "Cutoff",        "Q Factor",           "Post Flanger1 Send",  "Post Flanger1 Depth",
    "Inject Mode",   "Post Flanger2 Send", "Post Flanger2 Depth", "Output Gain"};
const char* const kSymbols[kNumParams] = {
    "flanger_depth", "feedback",           "feedb_sign",          "filter_type",
    "cutoff",        "q_factor",           "post_flanger1_send",  "post_flanger1_depth",
    "inject_mode",   "post_flanger2_send", "post_flanger2_depth", "output_gain"};
// Scale points of the three enumerations; none on the others.
const std::size_t kScalePoints[kNumParams] = {0, 0, 4, 5, 0, 0, 0, 0, 8, 0, 0, 0};

TEST(Lv2Bundle, PortsMatchTheVst2ParametersInOrderNameAndValue) {
    Hosts& h = hosts();
    ASSERT_NE(h.plugin, nullptr) << "no " FLANGER_LV2_URI " in " FLANGER_LV2_BUNDLE;
    ASSERT_NE(h.vst, nullptr);
    ASSERT_EQ(lilv_plugin_get_num_ports(h.plugin), lv2port::kCount);
    LilvNode* rt = h.uri(LILV_NS_LV2 "hardRTCapable");
    LilvNode* broken = h.uri(LILV_NS_LV2 "inPlaceBroken");
    EXPECT_TRUE(lilv_plugin_has_feature(h.plugin, rt));
    EXPECT_FALSE(lilv_plugin_has_feature(h.plugin, broken));
    LilvNode* audio = h.uri(LILV_URI_AUDIO_PORT);
    LilvNode* input = h.uri(LILV_URI_INPUT_PORT);
    LilvNode* control = h.uri(LILV_URI_CONTROL_PORT);
    LilvNode* enumeration = h.uri(LILV_NS_LV2 "enumeration");
    LilvNode* comment = h.uri(LILV_NS_RDFS "comment");
    for (std::uint32_t p = 0; p < lv2port::kFirstControl; ++p) {
        const LilvPort* port = lilv_plugin_get_port_by_index(h.plugin, p);
        EXPECT_TRUE(lilv_port_is_a(h.plugin, port, audio));
        EXPECT_EQ(lilv_port_is_a(h.plugin, port, input), p < lv2port::kOutLeft);
    }
    std::vector<float> minimum(lv2port::kCount), maximum(lv2port::kCount), def(lv2port::kCount);
    lilv_plugin_get_port_ranges_float(h.plugin, minimum.data(), maximum.data(), def.data());
    auto vst = h.vstPlugin(44100.0f);
    vst->setProgram(0);
    for (std::int32_t i = 0; i < kNumParams; ++i) {
        SCOPED_TRACE(kNames[i]);
        const std::uint32_t index = lv2port::control(i);
        const LilvPort* port = lilv_plugin_get_port_by_index(h.plugin, index);
        LilvNode* name = lilv_port_get_name(h.plugin, port);
        EXPECT_EQ(str(name), kNames[i]);
        lilv_node_free(name);
        EXPECT_EQ(str(lilv_port_get_symbol(h.plugin, port)), kSymbols[i]);
        EXPECT_TRUE(lilv_port_is_a(h.plugin, port, control) &&
                    lilv_port_is_a(h.plugin, port, input));
        // The VST 2 name, trimmed, starts the port's name.
        std::string vstName = vst->parameterName(i);
        vstName = vstName.substr(1, vstName.size() - 2);
        EXPECT_EQ(std::string(kNames[i]).rfind(vstName, 0), 0u);
        EXPECT_EQ(minimum[index], 0.0f);
        EXPECT_EQ(maximum[index], 1.0f);
        EXPECT_TRUE(sameBits(def[index], vst->getParameter(i)));
        LilvNodes* comments = lilv_port_get_value(h.plugin, port, comment);
        EXPECT_EQ(lilv_nodes_size(comments), 1u);
        lilv_nodes_free(comments);

        EXPECT_EQ(lilv_port_has_property(h.plugin, port, enumeration), kScalePoints[i] > 0);
        LilvScalePoints* points = lilv_port_get_scale_points(h.plugin, port);
        EXPECT_EQ(points != nullptr ? lilv_scale_points_size(points) : 0u, kScalePoints[i]);
        std::vector<std::string> labels;
        LILV_FOREACH(scale_points, k, points) {
            const LilvScalePoint* point = lilv_scale_points_get(points, k);
            const std::string label = str(lilv_scale_point_get_label(point));
            const float value = lilv_node_as_float(lilv_scale_point_get_value(point));
            // Well inside its band: the VST 2 build shows the label for the
            // value and for values near it on both sides.
            for (const float v : {value - 0.01f, value, value + 0.01f}) {
                vst->setParameter(i, v);
                EXPECT_EQ(vst->parameterDisplay(i), label) << v;
            }
            for (const std::string& other : labels) EXPECT_NE(other, label);
            labels.push_back(label);
        }
        lilv_scale_points_free(points);
    }
    for (LilvNode* n : {rt, broken, audio, input, control, enumeration, comment}) lilv_node_free(n);
}

TEST(Lv2Bundle, EveryNamedProgramIsAPresetWithItsValues) {
    Hosts& h = hosts();
    ASSERT_NE(h.plugin, nullptr);
    const std::vector<Preset> list = presets();
    auto vst = h.vstPlugin(44100.0f);
    std::size_t named = 0;
    for (VstInt32 n = 0; n < vst->numPrograms(); ++n) {
        const std::string name = vst->programNameIndexed(n);
        if (name.rfind("Init", 0) == 0) continue;
        ++named;
        SCOPED_TRACE(name);
        const Preset* preset = nullptr;
        for (const Preset& p : list) preset = p.label == name ? &p : preset;
        ASSERT_NE(preset, nullptr);
        vst->setProgram(n);
        for (std::int32_t i = 0; i < kNumParams; ++i)
            EXPECT_TRUE(sameBits(preset->values[i], vst->getParameter(i))) << kNames[i];
    }
    EXPECT_EQ(named, 18u);
    EXPECT_EQ(list.size(), named);
}

TEST(Lv2Bundle, RatesTheEffectCannotTakeGiveNoInstance) {
    Hosts& h = hosts();
    ASSERT_NE(h.plugin, nullptr);
    for (const double rate : {0.0, -44100.0, 0.5, 1536000.5, 2.0e6, 1.0e300,
                              static_cast<double>(kNaN), static_cast<double>(kInf)}) {
        LilvInstance* instance = lilv_plugin_instantiate(h.plugin, rate, nullptr);
        EXPECT_EQ(instance, nullptr) << rate;
        if (instance != nullptr) lilv_instance_free(instance);
    }
}

struct Change {
    int frame;
    int index;  // parameter, or -1 to switch off and on again
    float value;
};

enum class Layout { kApart, kInPlace, kCrossed };

struct Case {
    std::string name;
    float rate;
    std::vector<std::pair<int, float>> settings;  // before the first block
    std::vector<int> blocks;                      // cycled; 0 is a zero-length run
    Layout layout;
    std::vector<Change> changes;
};

constexpr int kFrames = 12000;

std::vector<float> signal(int channel) {
    std::vector<float> s(kFrames);
    std::uint32_t seed = 7u + static_cast<std::uint32_t>(channel);
    for (int i = 0; i < kFrames; ++i) {
        seed = seed * 1664525u + 1013904223u;
        s[i] = 0.4f * std::sin(0.02f * static_cast<float>(i * (channel + 1))) +
               0.2f * (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f);
    }
    return s;
}

// The VST 2 build out of place, 512-frame blocks split at the changes.
std::vector<float> vstRender(const Case& c, std::vector<float>& right) {
    auto vst = hosts().vstPlugin(c.rate);
    for (const auto& [index, value] : c.settings) vst->setParameter(index, value);
    std::vector<float> inL = signal(0), inR = signal(1), left(kFrames);
    right.assign(kFrames, 0.0f);
    std::size_t next = 0;
    for (int at = 0; at < kFrames;) {
        for (; next < c.changes.size() && c.changes[next].frame == at; ++next) {
            if (c.changes[next].index < 0) {
                vst->suspend();
                vst->resume();
            } else {
                vst->setParameter(c.changes[next].index, c.changes[next].value);
            }
        }
        int n = std::min(512, kFrames - at);
        if (next < c.changes.size()) n = std::min(n, c.changes[next].frame - at);
        float* ins[2] = {inL.data() + at, inR.data() + at};
        float* outs[2] = {left.data() + at, right.data() + at};
        vst->processReplacing(ins, outs, n);
        at += n;
    }
    return left;
}

// The LV2 build through liblilv, as the case lays out blocks and buffers.
std::vector<float> lv2Render(const Case& c, std::vector<float>& right) {
    Hosts& h = hosts();
    LilvInstance* lv2 = lilv_plugin_instantiate(h.plugin, c.rate, nullptr);
    if (lv2 == nullptr) return {};
    std::vector<float> def(lv2port::kCount);
    lilv_plugin_get_port_ranges_float(h.plugin, nullptr, nullptr, def.data());
    float controls[kNumParams];
    for (std::int32_t i = 0; i < kNumParams; ++i) {
        controls[i] = def[lv2port::control(i)];
        lilv_instance_connect_port(lv2, lv2port::control(i), &controls[i]);
    }
    for (const auto& [index, value] : c.settings) controls[index] = value;
    std::vector<float> a = signal(0), b = signal(1), inL = a, inR = b;
    std::vector<float> outL(kFrames), outR(kFrames);
    // Apart: inputs and outputs separate. In place: each channel's output
    // is its input. Crossed: each channel's output is the other's input.
    float* const bufIn[2] = {c.layout == Layout::kApart ? inL.data() : a.data(),
                             c.layout == Layout::kApart ? inR.data() : b.data()};
    float* const bufOut[2] = {c.layout == Layout::kApart     ? outL.data()
                              : c.layout == Layout::kInPlace ? a.data()
                                                             : b.data(),
                              c.layout == Layout::kApart     ? outR.data()
                              : c.layout == Layout::kInPlace ? b.data()
                                                             : a.data()};
    lilv_instance_activate(lv2);
    std::size_t next = 0, block = 0;
    for (int at = 0; at < kFrames;) {
        for (; next < c.changes.size() && c.changes[next].frame == at; ++next) {
            if (c.changes[next].index < 0) {
                lilv_instance_deactivate(lv2);
                lilv_instance_activate(lv2);
            } else {
                controls[c.changes[next].index] = c.changes[next].value;
            }
        }
        int n = std::min(c.blocks[block++ % c.blocks.size()], kFrames - at);
        if (next < c.changes.size()) n = std::min(n, c.changes[next].frame - at);
        for (int k = 0; k < 2; ++k) {
            lilv_instance_connect_port(lv2, lv2port::kInLeft + k, bufIn[k] + at);
            lilv_instance_connect_port(lv2, lv2port::kOutLeft + k, bufOut[k] + at);
        }
        lilv_instance_run(lv2, static_cast<std::uint32_t>(n));
        at += n;
    }
    lilv_instance_deactivate(lv2);
    lilv_instance_free(lv2);
    right.assign(bufOut[1], bufOut[1] + kFrames);
    return {bufOut[0], bufOut[0] + kFrames};
}

// Every preset, then hand-made settings: inject modes that read the input
// (1, 6, 7, 8) in place and crossed, block sizes from 1 up, zero-length
// runs, control changes between runs, values outside 0..1 and NaN in the
// order that makes their history matter, switching off and on, and the
// extreme rates.
std::vector<Case> cases() {
    std::vector<Case> list;
    for (const Preset& p : presets()) {
        Case c{"preset " + p.label, 44100.0f, {}, {1024}, Layout::kInPlace, {}};
        for (int i = 0; i < kNumParams; ++i) c.settings.emplace_back(i, p.values[i]);
        list.push_back(c);
        c.blocks = {1, 500, 3};
        c.layout = Layout::kApart;
        list.push_back(c);
    }
    const std::vector<std::pair<int, float>> busy = {
        {kDepth, 0.2f},      {kFeedBack, 0.85f}, {kFilterType, 0.5f},
        {kCutoff, 0.3f},     {kPost1Send, 0.6f}, {kPost1Depth, 0.3f},
        {kInjectMode, 0.0f}, {kPost2Send, 0.7f}, {kPost2Depth, 0.1f}};
    auto mode = [&](float inject) {
        auto s = busy;
        s.emplace_back(kInjectMode, inject);
        return s;
    };
    list.push_back({"mode 1 in place, odd blocks",
                    44100.0f,
                    mode(0.05f),
                    {1, 7, 64, 333, 4096},
                    Layout::kInPlace,
                    {}});
    list.push_back({"mode 6 crossed", 48000.0f, mode(0.7f), {128}, Layout::kCrossed, {}});
    list.push_back({"mode 7 in place", 96000.0f, mode(0.8f), {2, 3, 5}, Layout::kInPlace, {}});
    list.push_back(
        {"mode 8 zero-length runs", 44100.0f, mode(0.95f), {0, 100, 0, 37}, Layout::kInPlace, {}});
    list.push_back({"changes between runs",
                    44100.0f,
                    busy,
                    {256},
                    Layout::kInPlace,
                    {{1000, kDepth, 0.9f},
                     {1000, kFilterType, 0.9f},
                     {3000, kInjectMode, 0.3f},
                     {3000, kFeedBSign, 0.1f},
                     {5000, kFeedBSign, kNaN},
                     {5000, kCutoff, 0.95f},
                     {7000, -1, 0.0f},
                     {8000, kFilterType, 0.1f},
                     {9000, kQFactor, 0.2f}}});
    list.push_back({"hostile values",
                    44100.0f,
                    busy,
                    {1, 300},
                    Layout::kInPlace,
                    {{100, kFeedBSign, 0.3f},
                     {200, kFeedBSign, 2.0f},
                     {300, kFilterType, 0.7f},
                     {400, kFilterType, kNaN},
                     {400, kDepth, 1.0e30f},
                     {400, kCutoff, -kInf},
                     {600, kInjectMode, -1.0f},
                     {600, kQFactor, kNaN},
                     {600, kPost1Depth, kInf},
                     {800, kPost2Depth, -3.0f},
                     {800, kOutputGain, 1.5f},
                     {900, kDepth, kNaN},
                     {900, kCutoff, 7.0f},
                     {1000, kInjectMode, kNaN},
                     {1000, kPost1Send, -2.0f}}});
    list.push_back({"rate 1 Hz", 1.0f, busy, {5}, Layout::kInPlace, {}});
    list.push_back({"highest rate", kMaxSampleRate, busy, {4096}, Layout::kCrossed, {}});
    return list;
}

TEST(Lv2Bundle, RendersEqualTheVst2BuildBitForBit) {
    ASSERT_NE(hosts().plugin, nullptr);
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        std::vector<float> vstRight, lv2Right;
        const std::vector<float> vstLeft = vstRender(c, vstRight);
        const std::vector<float> lv2Left = lv2Render(c, lv2Right);
        ASSERT_EQ(lv2Left.size(), vstLeft.size()) << "no instance at " << c.rate << " Hz";
        for (int i = 0; i < kFrames; ++i) {
            if (!sameBits(vstLeft[i], lv2Left[i]) || !sameBits(vstRight[i], lv2Right[i])) {
                ADD_FAILURE() << "first difference at frame " << i;
                break;
            }
        }
    }
}

TEST(Lv2Bundle, ZeroLengthRunTouchesNothing) {
    Hosts& h = hosts();
    ASSERT_NE(h.plugin, nullptr);
    LilvInstance* lv2 = lilv_plugin_instantiate(h.plugin, 44100.0, nullptr);
    ASSERT_NE(lv2, nullptr);
    float controls[kNumParams] = {};
    float in[4] = {0.5f, 0.5f, 0.5f, 0.5f}, out[4] = {9.0f, 9.0f, 9.0f, 9.0f};
    for (std::int32_t i = 0; i < kNumParams; ++i)
        lilv_instance_connect_port(lv2, lv2port::control(i), &controls[i]);
    lilv_instance_connect_port(lv2, lv2port::kInLeft, in);
    lilv_instance_connect_port(lv2, lv2port::kInRight, in + 2);
    lilv_instance_connect_port(lv2, lv2port::kOutLeft, out);
    lilv_instance_connect_port(lv2, lv2port::kOutRight, out + 2);
    lilv_instance_activate(lv2);
    lilv_instance_run(lv2, 0);
    for (const float v : out) EXPECT_EQ(v, 9.0f);
    lilv_instance_deactivate(lv2);
    lilv_instance_free(lv2);
}

}  // namespace
