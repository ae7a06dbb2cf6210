// The built LV2 bundle loaded through liblilv by its URI, checked against
// the VST 2 binary loaded through the project's host library: ports and
// presets as VST 2 hosts see the parameters and programs, and renders that
// equal the VST 2 build's out-of-place output bit for bit whatever the
// block sizes, buffer layout, control changes or hostile values.
#include <gtest/gtest.h>
#include <lilv/lilv.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
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

struct PortRow {
    const char* name;
    const char* symbol;
    std::size_t scalePoints;  // the enumerations' menu entries
};
// clang-format off
const PortRow kPorts[kNumParams] = {
    {"Flanger Depth", "flanger_depth", 0}, {"FeedBack", "feedback", 0},
    {"FeedB Sign", "feedb_sign", 4}, {"Filter Type", "filter_type", 5}, {"Cutoff", "cutoff", 0},
    {"Q Factor", "q_factor", 0}, {"Post Flanger1 Send", "post_flanger1_send", 0},
    {"Post Flanger1 Depth", "post_flanger1_depth", 0}, {"Inject Mode", "inject_mode", 8},
    {"Post Flanger2 Send", "post_flanger2_send", 0},
    {"Post Flanger2 Depth", "post_flanger2_depth", 0}, {"Output Gain", "output_gain", 0}};
// clang-format on

std::string str(const LilvNode* node) {
    return node != nullptr ? lilv_node_as_string(node) : "";
}

bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The URID map lilv needs to read presets as a host does.
std::vector<std::string> mapped;
LV2_URID mapUri(LV2_URID_Map_Handle, const char* uri) {
    for (std::size_t i = 0; i < mapped.size(); ++i)
        if (mapped[i] == uri) return static_cast<LV2_URID>(i + 1);
    mapped.emplace_back(uri);
    return static_cast<LV2_URID>(mapped.size());
}
LV2_URID_Map uridMap{nullptr, mapUri};

struct Preset {
    std::string label;
    float values[kNumParams];
};

// The world with the bundle loaded and its presets read, and the VST 2
// binary.
struct Hosts {
    LilvWorld* world = lilv_world_new();
    const LilvPlugin* plugin = nullptr;
    std::vector<Preset> presets;
    std::unique_ptr<vsthost::Library> vst;

    Hosts() {
        LilvNode* bundle = lilv_new_file_uri(world, nullptr, FLANGER_LV2_BUNDLE "/");
        lilv_world_load_bundle(world, bundle);
        LilvNode* uri = lilv_new_uri(world, FLANGER_LV2_URI);
        plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
        LilvNode* presetClass = lilv_new_uri(world, "http://lv2plug.in/ns/ext/presets#Preset");
        LilvNodes* related = plugin ? lilv_plugin_get_related(plugin, presetClass) : nullptr;
        LILV_FOREACH(nodes, i, related) {
            lilv_world_load_resource(world, lilv_nodes_get(related, i));
            LilvState* state =
                lilv_state_new_from_world(world, &uridMap, lilv_nodes_get(related, i));
            Preset p{state ? lilv_state_get_label(state) : "", {}};
            std::fill(std::begin(p.values), std::end(p.values), kNaN);
            auto take = [](const char* symbol, void* to, const void* value, std::uint32_t size,
                           std::uint32_t) {
                for (int k = 0; k < kNumParams; ++k) {
                    if (size == sizeof(float) && std::strcmp(symbol, kPorts[k].symbol) == 0)
                        std::memcpy(&static_cast<Preset*>(to)->values[k], value, size);
                }
            };
            if (state) lilv_state_emit_port_values(state, take, &p);
            lilv_state_free(state);
            presets.push_back(p);
        }
        lilv_nodes_free(related);
        for (LilvNode* n : {bundle, uri, presetClass}) lilv_node_free(n);
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

TEST(Lv2Bundle, PortsMatchTheVst2ParametersInOrderNameAndValue) {
    Hosts& h = hosts();
    ASSERT_NE(h.plugin, nullptr) << "no " FLANGER_LV2_URI " in " FLANGER_LV2_BUNDLE;
    ASSERT_EQ(lilv_plugin_get_num_ports(h.plugin), lv2port::kCount);
    LilvNode* rt = h.uri(LILV_NS_LV2 "hardRTCapable");
    LilvNode* broken = h.uri(LILV_NS_LV2 "inPlaceBroken");
    LilvNode* audio = h.uri(LILV_URI_AUDIO_PORT);
    LilvNode* input = h.uri(LILV_URI_INPUT_PORT);
    LilvNode* control = h.uri(LILV_URI_CONTROL_PORT);
    LilvNode* enumeration = h.uri(LILV_NS_LV2 "enumeration");
    LilvNode* comment = h.uri(LILV_NS_RDFS "comment");
    EXPECT_TRUE(lilv_plugin_has_feature(h.plugin, rt));
    EXPECT_FALSE(lilv_plugin_has_feature(h.plugin, broken));
    for (std::uint32_t p = 0; p < lv2port::kFirstControl; ++p) {
        const LilvPort* port = lilv_plugin_get_port_by_index(h.plugin, p);
        EXPECT_TRUE(lilv_port_is_a(h.plugin, port, audio));
        EXPECT_EQ(lilv_port_is_a(h.plugin, port, input), p < lv2port::kOutLeft);
    }
    std::vector<float> low(lv2port::kCount), high(lv2port::kCount), def(lv2port::kCount);
    lilv_plugin_get_port_ranges_float(h.plugin, low.data(), high.data(), def.data());
    auto vst = h.vstPlugin(44100.0f);
    vst->setProgram(0);
    for (std::int32_t i = 0; i < kNumParams; ++i) {
        SCOPED_TRACE(kPorts[i].name);
        const std::uint32_t index = lv2port::control(i);
        const LilvPort* port = lilv_plugin_get_port_by_index(h.plugin, index);
        LilvNode* name = lilv_port_get_name(h.plugin, port);
        EXPECT_EQ(str(name), kPorts[i].name);
        lilv_node_free(name);
        EXPECT_EQ(str(lilv_port_get_symbol(h.plugin, port)), kPorts[i].symbol);
        EXPECT_TRUE(lilv_port_is_a(h.plugin, port, control));
        EXPECT_TRUE(lilv_port_is_a(h.plugin, port, input));
        // The VST 2 name, without its surrounding spaces, starts the name.
        const std::string vstName = vst->parameterName(i);
        EXPECT_EQ(std::string(kPorts[i].name).rfind(vstName.substr(1, vstName.size() - 2), 0), 0u);
        EXPECT_TRUE(low[index] == 0.0f && high[index] == 1.0f);
        EXPECT_TRUE(sameBits(def[index], vst->getParameter(i)));
        LilvNodes* comments = lilv_port_get_value(h.plugin, port, comment);
        EXPECT_EQ(lilv_nodes_size(comments), 1u);
        lilv_nodes_free(comments);

        EXPECT_EQ(lilv_port_has_property(h.plugin, port, enumeration), kPorts[i].scalePoints > 0);
        LilvScalePoints* points = lilv_port_get_scale_points(h.plugin, port);
        EXPECT_EQ(points ? lilv_scale_points_size(points) : 0u, kPorts[i].scalePoints);
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
            EXPECT_EQ(std::count(labels.begin(), labels.end(), label), 0);
            labels.push_back(label);
        }
        lilv_scale_points_free(points);
    }
    for (LilvNode* n : {rt, broken, audio, input, control, enumeration, comment}) lilv_node_free(n);
}

// The VST 2 program a preset stands for, by name; -1 when none.
int programOf(vsthost::Plugin& vst, const Preset& preset) {
    for (VstInt32 n = 0; n < vst.numPrograms(); ++n)
        if (vst.programNameIndexed(n) == preset.label) return n;
    return -1;
}

TEST(Lv2Bundle, EveryNamedProgramIsAPresetWithItsValues) {
    Hosts& h = hosts();
    auto vst = h.vstPlugin(44100.0f);
    int named = 0;
    for (VstInt32 n = 0; n < vst->numPrograms(); ++n)
        named += vst->programNameIndexed(n).rfind("Init", 0) == 0 ? 0 : 1;
    EXPECT_EQ(named, 18);
    ASSERT_EQ(h.presets.size(), 18u);
    for (const Preset& preset : h.presets) {
        const int n = programOf(*vst, preset);
        ASSERT_GE(n, 0) << preset.label;
        vst->setProgram(n);
        for (std::int32_t i = 0; i < kNumParams; ++i)
            EXPECT_TRUE(sameBits(preset.values[i], vst->getParameter(i)))
                << preset.label << ", " << kPorts[i].name;
    }
}

TEST(Lv2Bundle, RatesTheEffectCannotTakeGiveNoInstance) {
    ASSERT_NE(hosts().plugin, nullptr);
    for (const double rate : {0.0, -44100.0, 0.5, 1536000.5, 2.0e6, 1.0e300,
                              static_cast<double>(kNaN), static_cast<double>(kInf)}) {
        LilvInstance* instance = lilv_plugin_instantiate(hosts().plugin, rate, nullptr);
        EXPECT_EQ(instance, nullptr) << rate;
        if (instance != nullptr) lilv_instance_free(instance);
    }
}

struct Change {
    int frame;
    int index;  // parameter, or -1 to switch off and on again
    float value;
};

// Apart: inputs and outputs separate. In place: each channel's output is
// its input. Crossed: each channel's output is the other's input.
enum class Layout { kApart, kInPlace, kCrossed };

struct Case {
    std::string name;
    float rate;
    int program;                                  // VST 2 only; LV2 gets the preset's values
    std::vector<std::pair<int, float>> settings;  // before the first block
    std::vector<int> blocks;                      // LV2 only, cycled; 0 is a zero-length run
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

// Renders both channels, concatenated: the VST 2 build out of place in
// 512-frame blocks, or the LV2 build through liblilv as the case says;
// both split at the changes. Empty when the LV2 build gives no instance.
std::vector<float> render(const Case& c, bool lv2) {
    std::vector<float> a = signal(0), b = signal(1), outL(kFrames), outR(kFrames);
    const bool apart = !lv2 || c.layout == Layout::kApart;
    std::vector<float> inL = a, inR = b;
    float* in[2] = {apart ? inL.data() : a.data(), apart ? inR.data() : b.data()};
    float* out[2] = {apart ? outL.data() : in[c.layout == Layout::kCrossed ? 1 : 0],
                     apart ? outR.data() : in[c.layout == Layout::kCrossed ? 0 : 1]};
    std::unique_ptr<vsthost::Plugin> vst;
    LilvInstance* instance = nullptr;
    float controls[kNumParams];
    if (lv2) {
        instance = lilv_plugin_instantiate(hosts().plugin, c.rate, nullptr);
        if (instance == nullptr) return {};
        std::vector<float> def(lv2port::kCount);
        lilv_plugin_get_port_ranges_float(hosts().plugin, nullptr, nullptr, def.data());
        for (std::int32_t i = 0; i < kNumParams; ++i) {
            controls[i] = def[lv2port::control(i)];
            lilv_instance_connect_port(instance, lv2port::control(i), &controls[i]);
        }
        for (const auto& [index, value] : c.settings) controls[index] = value;
        lilv_instance_activate(instance);
    } else {
        vst = hosts().vstPlugin(c.rate);
        if (c.program >= 0) vst->setProgram(c.program);
        for (const auto& [index, value] : c.settings)
            if (c.program < 0) vst->setParameter(index, value);
    }
    std::size_t next = 0, block = 0;
    for (int at = 0; at < kFrames;) {
        for (; next < c.changes.size() && c.changes[next].frame == at; ++next) {
            const Change& change = c.changes[next];
            if (change.index >= 0 && lv2) {
                controls[change.index] = change.value;
            } else if (change.index >= 0) {
                vst->setParameter(change.index, change.value);
            } else if (lv2) {
                lilv_instance_deactivate(instance);
                lilv_instance_activate(instance);
            } else {
                vst->suspend();
                vst->resume();
            }
        }
        int n = std::min(lv2 ? c.blocks[block++ % c.blocks.size()] : 512, kFrames - at);
        if (next < c.changes.size()) n = std::min(n, c.changes[next].frame - at);
        float* ins[2] = {in[0] + at, in[1] + at};
        float* outs[2] = {out[0] + at, out[1] + at};
        if (lv2) {
            for (std::uint32_t k = 0; k < 2; ++k) {
                lilv_instance_connect_port(instance, lv2port::kInLeft + k, ins[k]);
                lilv_instance_connect_port(instance, lv2port::kOutLeft + k, outs[k]);
            }
            lilv_instance_run(instance, static_cast<std::uint32_t>(n));
        } else {
            vst->processReplacing(ins, outs, n);
        }
        at += n;
    }
    if (instance != nullptr) {
        lilv_instance_deactivate(instance);
        lilv_instance_free(instance);
    }
    std::vector<float> both(out[0], out[0] + kFrames);
    both.insert(both.end(), out[1], out[1] + kFrames);
    return both;
}

// Every preset against its program, then hand-made settings: inject modes
// that read the input (1, 6, 7, 8) in place and crossed, blocks from 1
// frame up, zero-length runs, control changes between runs, NaN and values
// outside 0..1 in orders where their history matters, switching off and
// on, and the extreme rates.
std::vector<Case> cases() {
    std::vector<Case> list;
    auto vst = hosts().vstPlugin(44100.0f);
    for (const Preset& p : hosts().presets) {
        Case c{"preset " + p.label, 44100.0f, programOf(*vst, p), {}, {1024}, Layout::kInPlace, {}};
        for (int i = 0; i < kNumParams; ++i) c.settings.emplace_back(i, p.values[i]);
        list.push_back(c);
        c.blocks = {1, 500, 3};
        c.layout = Layout::kApart;
        list.push_back(c);
    }
    auto busy = [](float inject) {
        return std::vector<std::pair<int, float>>{
            {kDepth, 0.2f},     {kFeedBack, 0.85f},  {kFilterType, 0.5f},
            {kCutoff, 0.3f},    {kPost1Send, 0.6f},  {kPost1Depth, 0.3f},
            {kPost2Send, 0.7f}, {kPost2Depth, 0.1f}, {kInjectMode, inject}};
    };
    // clang-format off
    list.push_back({"mode 1 in place, odd blocks", 44100.0f, -1, busy(0.05f), {1, 7, 64, 333, 4096},
                    Layout::kInPlace, {}});
    list.push_back({"mode 6 crossed", 48000.0f, -1, busy(0.7f), {128}, Layout::kCrossed, {}});
    list.push_back({"mode 7 in place", 96000.0f, -1, busy(0.8f), {2, 3, 5}, Layout::kInPlace, {}});
    list.push_back({"mode 8, zero-length runs", 44100.0f, -1, busy(0.95f), {0, 100, 0, 37},
                    Layout::kInPlace, {}});
    list.push_back({"changes between runs", 44100.0f, -1, busy(0.0f), {256}, Layout::kInPlace,
                    {{1000, kDepth, 0.9f}, {1000, kFilterType, 0.9f}, {3000, kInjectMode, 0.3f},
                     {3000, kFeedBSign, 0.1f}, {5000, kFeedBSign, kNaN}, {5000, kCutoff, 0.95f},
                     {7000, -1, 0.0f}, {8000, kFilterType, 0.1f}, {9000, kQFactor, 0.2f}}});
    list.push_back({"hostile values", 44100.0f, -1, busy(0.0f), {1, 300}, Layout::kInPlace,
                    {{100, kFeedBSign, 0.3f}, {200, kFeedBSign, 2.0f}, {300, kFilterType, 0.7f},
                     {400, kFilterType, kNaN}, {400, kDepth, 1.0e30f}, {400, kCutoff, -kInf},
                     {600, kInjectMode, -1.0f}, {600, kQFactor, kNaN}, {600, kPost1Depth, kInf},
                     {800, kPost2Depth, -3.0f}, {800, kOutputGain, 1.5f}, {900, kDepth, kNaN},
                     {900, kCutoff, 7.0f}, {1000, kInjectMode, kNaN}, {1000, kPost1Send, -2.0f}}});
    list.push_back({"rate 1 Hz", 1.0f, -1, busy(0.0f), {5}, Layout::kInPlace, {}});
    list.push_back({"highest rate", kMaxSampleRate, -1, busy(0.0f), {4096}, Layout::kCrossed, {}});
    // clang-format on
    return list;
}

TEST(Lv2Bundle, RendersEqualTheVst2BuildBitForBit) {
    ASSERT_NE(hosts().plugin, nullptr);
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const std::vector<float> expected = render(c, false), got = render(c, true);
        ASSERT_EQ(got.size(), expected.size()) << "no instance at " << c.rate << " Hz";
        const auto diff = std::mismatch(got.begin(), got.end(), expected.begin(), sameBits);
        EXPECT_TRUE(diff.first == got.end())
            << "first difference at frame " << (diff.first - got.begin()) % kFrames;
    }
}

}  // namespace
