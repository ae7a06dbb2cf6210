// The bundle's second plug-in, the companion with the timeline-locked
// sweep, through liblilv against its VST 2 binary: ports, scale points and
// presets as the VST 2 build shows them, renders that equal the VST 2
// build's with the same timeline (none, or time:Position objects against
// the same positions in VstTimeInfo), and malformed time input ignored
// without reading past the buffer.
#include <gtest/gtest.h>
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "effect/SweepParams.h"
#include "host/VstHost.h"
#include "lv2/Lv2Ports.h"

namespace {

std::vector<std::string> uris;
LV2_URID mapUri(LV2_URID_Map_Handle, const char* uri) {
    for (std::size_t i = 0; i < uris.size(); ++i)
        if (uris[i] == uri) return static_cast<LV2_URID>(i + 1);
    uris.emplace_back(uri);
    return static_cast<LV2_URID>(uris.size());
}
LV2_URID_Map map{nullptr, mapUri};
LV2_URID id(const char* uri) {
    return mapUri(nullptr, uri);
}
const LV2_Feature mapFeature{LV2_URID__map, &map};
const LV2_Feature* const features[] = {&mapFeature, nullptr};

std::string trimmed(std::string s) {
    s.erase(0, s.find_first_not_of(' '));
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

struct World {
    LilvWorld* world = lilv_world_new();
    const LilvPlugin* plugin = nullptr;
    std::unique_ptr<vsthost::Library> vst;
    World() {
        LilvNode* bundle = lilv_new_file_uri(world, nullptr, FLANGER_LV2_BUNDLE "/");
        lilv_world_load_bundle(world, bundle);
        LilvNode* uri = lilv_new_uri(world, FLANGER_LV2_SWEEP_URI);
        plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
        lilv_node_free(bundle);
        lilv_node_free(uri);
        std::string error;
        vst = vsthost::Library::open(FLANGER_SWEEP_PATH, error);
    }
    ~World() { lilv_world_free(world); }
};

World& world() {
    static World w;
    return w;
}

TEST(Lv2Sweep, PortsScalePointsAndPresetsAreTheVst2Companions) {
    World& w = world();
    ASSERT_NE(w.plugin, nullptr) << "no " FLANGER_LV2_SWEEP_URI " in " FLANGER_LV2_BUNDLE;
    ASSERT_TRUE(w.vst);
    ASSERT_EQ(lilv_plugin_get_num_ports(w.plugin), lv2port::kSweepCount);
    std::string error;
    auto vst = vsthost::Plugin::create(*w.vst, error);
    ASSERT_TRUE(vst) << error;
    std::vector<float> def(lv2port::kSweepCount);
    lilv_plugin_get_port_ranges_float(w.plugin, nullptr, nullptr, def.data());
    for (std::int32_t i = 0; i < kSweepNumParams; ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(w.plugin, lv2port::control(i));
        LilvNode* name = lilv_port_get_name(w.plugin, port);
        // The VST 2 name starts the port's (shared names add a word).
        EXPECT_EQ(std::string(lilv_node_as_string(name)).rfind(trimmed(vst->parameterName(i)), 0),
                  0u);
        lilv_node_free(name);
        EXPECT_EQ(def[lv2port::control(i)], vst->getParameter(i)) << i;
        LilvScalePoints* points = lilv_port_get_scale_points(w.plugin, port);
        const std::size_t expected = i == kSweepShape  ? 5
                                     : i == kSweepSync ? 9
                                     : i == 2          ? 4
                                     : i == 3          ? 5
                                     : i == 8          ? 8
                                                       : 0;
        EXPECT_EQ(points ? lilv_scale_points_size(points) : 0u, expected) << i;
        LILV_FOREACH(scale_points, k, points) {
            const LilvScalePoint* point = lilv_scale_points_get(points, k);
            vst->setParameter(i, lilv_node_as_float(lilv_scale_point_get_value(point)));
            EXPECT_EQ(vst->parameterDisplay(i),
                      lilv_node_as_string(lilv_scale_point_get_label(point)));
        }
        lilv_scale_points_free(points);
    }
    const LilvPort* time = lilv_plugin_get_port_by_index(w.plugin, lv2port::kSweepTime);
    LilvNode* atomPort = lilv_new_uri(w.world, LV2_ATOM__AtomPort);
    LilvNode* optional = lilv_new_uri(w.world, LV2_CORE__connectionOptional);
    LilvNode* position = lilv_new_uri(w.world, LV2_TIME__Position);
    EXPECT_TRUE(lilv_port_is_a(w.plugin, time, atomPort));
    EXPECT_TRUE(lilv_port_has_property(w.plugin, time, optional));
    EXPECT_TRUE(lilv_port_supports_event(w.plugin, time, position));
    for (LilvNode* n : {atomPort, optional, position}) lilv_node_free(n);

    // Presets: one per named program, eighteen values each (a fresh
    // instance: the scale points above changed program 0's values).
    vst = vsthost::Plugin::create(*w.vst, error);
    ASSERT_TRUE(vst) << error;
    LilvNode* presetClass = lilv_new_uri(w.world, "http://lv2plug.in/ns/ext/presets#Preset");
    LilvNodes* related = lilv_plugin_get_related(w.plugin, presetClass);
    int count = 0;
    LILV_FOREACH(nodes, i, related) {
        const LilvNode* preset = lilv_nodes_get(related, i);
        lilv_world_load_resource(w.world, preset);
        LilvState* state = lilv_state_new_from_world(w.world, &map, preset);
        ASSERT_NE(state, nullptr);
        const std::string label = lilv_state_get_label(state);
        VstInt32 program = -1;
        for (VstInt32 n = 0; n < kNumPrograms; ++n)
            if (vst->programNameIndexed(n) == label) program = n;
        ASSERT_GE(program, 0) << label;
        vst->setProgram(program);
        struct Seen {
            vsthost::Plugin* vst;
            const LilvPlugin* plugin;
            int values = 0;
        } seen{vst.get(), w.plugin};
        lilv_state_emit_port_values(
            state,
            [](const char* symbol, void* to, const void* value, std::uint32_t size, std::uint32_t) {
                auto* s = static_cast<Seen*>(to);
                float v;
                ASSERT_EQ(size, sizeof v);
                std::memcpy(&v, value, sizeof v);
                for (std::int32_t k = 0; k < kSweepNumParams; ++k) {
                    const LilvPort* p =
                        lilv_plugin_get_port_by_index(s->plugin, lv2port::control(k));
                    if (std::strcmp(lilv_node_as_string(lilv_port_get_symbol(s->plugin, p)),
                                    symbol) == 0) {
                        EXPECT_EQ(v, s->vst->getParameter(k)) << symbol;
                        ++s->values;
                    }
                }
            },
            &seen);
        EXPECT_EQ(seen.values, kSweepNumParams) << label;
        lilv_state_free(state);
        ++count;
    }
    EXPECT_EQ(count, 18);
    lilv_nodes_free(related);
    lilv_node_free(presetClass);
}

// A sequence of time:Position objects, built in a buffer of exactly the
// size the bundle asks hosts for.
struct Sequence {
    std::unique_ptr<std::uint64_t[]> words{new std::uint64_t[lv2port::kTimeBufferBytes / 8]()};
    std::uint8_t* bytes() { return reinterpret_cast<std::uint8_t*>(words.get()); }
    std::uint32_t used = sizeof(LV2_Atom_Sequence);

    void clear() {
        std::memset(bytes(), 0, lv2port::kTimeBufferBytes);
        used = sizeof(LV2_Atom_Sequence);
        finish();
    }
    void finish() {
        LV2_Atom_Sequence seq{};
        seq.atom.type = id(LV2_ATOM__Sequence);
        seq.atom.size = used - static_cast<std::uint32_t>(sizeof(LV2_Atom));
        std::memcpy(bytes(), &seq, sizeof seq);
    }
    template <typename T>
    void put(const T& v) {
        std::memcpy(bytes() + used, &v, sizeof v);
        used += static_cast<std::uint32_t>((sizeof v + 7) & ~std::size_t{7});
    }
    // One position: frame, speed 1, tempo, bar and beat of a meter.
    void position(std::int64_t at, std::int64_t frame, float bpm, std::int64_t bar, float beat,
                  float beatsPerBar, std::int32_t unit) {
        struct Long {
            LV2_Atom_Property_Body head;
            std::int64_t v;
        };
        struct Float {
            LV2_Atom_Property_Body head;
            float v;
            std::uint32_t pad;
        };
        struct Int {
            LV2_Atom_Property_Body head;
            std::int32_t v;
            std::uint32_t pad;
        };
        auto l = [](const char* key, std::int64_t v) {
            return Long{{id(key), 0, {8, id(LV2_ATOM__Long)}}, v};
        };
        auto f = [](const char* key, float v) {
            return Float{{id(key), 0, {4, id(LV2_ATOM__Float)}}, v, 0};
        };
        const Int u{{id(LV2_TIME__beatUnit), 0, {4, id(LV2_ATOM__Int)}}, unit, 0};
        const auto size = static_cast<std::uint32_t>(
            sizeof(LV2_Atom_Object_Body) + 2 * sizeof(Long) + 4 * sizeof(Float) + sizeof(Int));
        LV2_Atom_Event ev{};
        ev.time.frames = at;
        ev.body = {size, id(LV2_ATOM__Object)};
        put(ev);
        put(LV2_Atom_Object_Body{0, id(LV2_TIME__Position)});
        put(l(LV2_TIME__frame, frame));
        put(f(LV2_TIME__speed, 1.0f));
        put(f(LV2_TIME__beatsPerMinute, bpm));
        put(l(LV2_TIME__bar, bar));
        put(f(LV2_TIME__barBeat, beat));
        put(f(LV2_TIME__beatsPerBar, beatsPerBar));
        put(u);
        finish();
    }
};

constexpr int kFrames = 30000;
constexpr int kBlock = 600;

std::vector<float> input(int channel) {
    std::vector<float> s(kFrames);
    for (int i = 0; i < kFrames; ++i)
        s[i] = 0.4f * std::sin(0.013f * static_cast<float>(i * (channel + 2)));
    return s;
}

// Where the song is at each block: a jump to `locate` at frame `at`.
struct Song {
    double tempo;
    int beatsPerBar;
    std::int64_t locateAt, locateTo;
    std::int64_t frameOf(int done) const {
        return done < locateAt ? done : locateTo + (done - locateAt);
    }
};

// The companion with program `program` through LV2 (time input fed with the
// song, or unconnected, or fed with `hostile` bytes) or VST 2 (the same
// positions in VstTimeInfo, or null).
std::vector<float> render(int program, const Song* song, bool lv2,
                          void (*hostile)(Sequence&) = nullptr) {
    World& w = world();
    std::vector<float> in[2] = {input(0), input(1)};
    std::vector<float> out[2] = {std::vector<float>(kFrames), std::vector<float>(kFrames)};
    Sequence seq;
    VstTimeInfo record{};
    auto fill = [&](int done, std::int64_t& bar, float& beat, double& ppq) {
        const std::int64_t frame = song->frameOf(done);
        const double q = static_cast<double>(frame) * song->tempo / (60.0 * 44100.0);
        bar = static_cast<std::int64_t>(std::floor(q / song->beatsPerBar));
        beat = static_cast<float>(q - static_cast<double>(bar * song->beatsPerBar));
        ppq =
            (static_cast<double>(bar) * song->beatsPerBar + static_cast<double>(beat)) * 4.0 / 4.0;
        return frame;
    };
    if (lv2) {
        LilvInstance* inst = lilv_plugin_instantiate(w.plugin, 44100.0, features);
        EXPECT_NE(inst, nullptr);
        if (inst == nullptr) return {};
        std::string error;
        auto vst = vsthost::Plugin::create(*w.vst, error);
        vst->setProgram(program);
        float controls[kSweepNumParams];
        for (std::int32_t i = 0; i < kSweepNumParams; ++i) {
            controls[i] = vst->getParameter(i);
            lilv_instance_connect_port(inst, lv2port::control(i), &controls[i]);
        }
        if (song != nullptr || hostile != nullptr)
            lilv_instance_connect_port(inst, lv2port::kSweepTime, seq.bytes());
        lilv_instance_activate(inst);
        for (int done = 0; done < kFrames; done += kBlock) {
            seq.clear();
            if (song != nullptr) {
                std::int64_t bar;
                float beat;
                double ppq;
                const std::int64_t frame = fill(done, bar, beat, ppq);
                if (done == 0 || done == song->locateAt)
                    seq.position(0, frame, static_cast<float>(song->tempo), bar, beat,
                                 static_cast<float>(song->beatsPerBar), 4);
            }
            if (hostile != nullptr) hostile(seq);
            for (int c = 0; c < 2; ++c) {
                lilv_instance_connect_port(inst, lv2port::kInLeft + c, in[c].data() + done);
                lilv_instance_connect_port(inst, lv2port::kOutLeft + c, out[c].data() + done);
            }
            lilv_instance_run(inst, kBlock);
        }
        lilv_instance_deactivate(inst);
        lilv_instance_free(inst);
    } else {
        vsthost::HostOptions options;
        options.timeInfo = [&](std::int64_t) -> const VstTimeInfo* {
            return song != nullptr ? &record : nullptr;
        };
        std::string error;
        auto vst = vsthost::Plugin::create(*w.vst, error, std::move(options));
        vst->start(44100.0f, kBlock);
        vst->setProgram(program);
        double carried = 0.0;
        for (int done = 0; done < kFrames; done += kBlock) {
            if (song != nullptr) {
                std::int64_t bar;
                float beat;
                double ppq;
                record.samplePos = static_cast<double>(fill(done, bar, beat, ppq));
                // Between objects the LV2 build carries the position on as
                // the sweep predicts it; a VST 2 host reporting the same.
                carried =
                    done == 0 || done == song->locateAt
                        ? ppq
                        : carried + static_cast<double>(kBlock) * (song->tempo / 60.0) / 44100.0;
                record.ppqPos = carried;
                record.tempo = song->tempo;
                record.timeSigNumerator = song->beatsPerBar;
                record.timeSigDenominator = 4;
                record.flags =
                    kVstTransportPlaying | kVstPpqPosValid | kVstTempoValid | kVstTimeSigValid;
            }
            float* ins[2] = {in[0].data() + done, in[1].data() + done};
            float* outs[2] = {out[0].data() + done, out[1].data() + done};
            vst->processReplacing(ins, outs, kBlock);
        }
    }
    std::vector<float> both = out[0];
    both.insert(both.end(), out[1].begin(), out[1].end());
    return both;
}

// Without time the LV2 build runs on its own count as the VST 2 build does
// with a host that answers null; with the song's positions (a locate
// included) as time:Position objects it equals the VST 2 build given them
// in VstTimeInfo.
TEST(Lv2Sweep, RendersEqualTheVst2CompanionWithTheSameTimeline) {
    const Song songs[] = {{120.0, 4, 9000, 120000}, {140.0, 3, 6000, 333}};
    for (int program : {0, 1, 11, 15}) {
        SCOPED_TRACE(program);
        const std::vector<float> lv2 = render(program, nullptr, true);
        EXPECT_FALSE(lv2.empty());
        EXPECT_EQ(lv2, render(program, nullptr, false));
        for (const Song& song : songs) {
            const std::vector<float> timed = render(program, &song, true);
            EXPECT_EQ(timed, render(program, &song, false)) << song.tempo;
            EXPECT_NE(timed, lv2) << song.tempo;
        }
    }
}

// Malformed time input changes nothing and reads nothing past the buffer
// (the buffer is exactly the size the bundle asks for; the sanitizer build
// sees any read beyond it): each case is ignored from where it goes wrong.
TEST(Lv2Sweep, MalformedTimeInputIsIgnored) {
    using Write = void (*)(Sequence&);
    struct Case {
        const char* what;
        Write write;
    };
    // A correct header for `bytes` of body, then garbage or a bad event.
    static auto header = [](Sequence& s, std::uint32_t type, std::uint32_t size) {
        LV2_Atom_Sequence seq{};
        seq.atom.type = type;
        seq.atom.size = size;
        std::memcpy(s.bytes(), &seq, sizeof seq);
    };
    static auto event = [](Sequence& s, std::int64_t frames, std::uint32_t size, std::uint32_t type,
                           std::uint32_t otype) {
        LV2_Atom_Event ev{};
        ev.time.frames = frames;
        ev.body = {size, type};
        s.put(ev);
        s.put(LV2_Atom_Object_Body{0, otype});
    };
    const Case cases[] = {
        {"sequence longer than the buffer",
         [](Sequence& s) {
             s.position(0, 500000, 100.0f, 3, 1.0f, 4.0f, 4);
             header(s, id(LV2_ATOM__Sequence), 0xFFFFFFF0u);
         }},
        {"sequence just past the buffer",
         [](Sequence& s) {
             s.position(0, 500000, 100.0f, 3, 1.0f, 4.0f, 4);
             header(s, id(LV2_ATOM__Sequence), lv2port::kTimeBufferBytes);
         }},
        {"not a sequence",
         [](Sequence& s) {
             s.position(0, 500000, 100.0f, 3, 1.0f, 4.0f, 4);
             header(s, id(LV2_ATOM__Tuple), s.used - 8);
         }},
        {"event larger than the sequence",
         [](Sequence& s) {
             event(s, 0, 4000, id(LV2_ATOM__Object), id(LV2_TIME__Position));
             s.finish();
         }},
        {"truncated object, no properties",
         [](Sequence& s) {
             event(s, 0, 8, id(LV2_ATOM__Object), id(LV2_TIME__Position));
             s.finish();
         }},
        {"object of another type",
         [](Sequence& s) {
             event(s, 0, 8, id(LV2_ATOM__Object), id(LV2_ATOM__Float));
             s.finish();
         }},
        {"unknown event type",
         [](Sequence& s) {
             event(s, 0, 8, id(LV2_ATOM__String), id(LV2_TIME__Position));
             s.finish();
         }},
        {"negative event frame",
         [](Sequence& s) { s.position(-5, 500000, 100.0f, 3, 1.0f, 4.0f, 4); }},
        {"size zero with garbage after",
         [](Sequence& s) {
             std::memset(s.bytes() + 8, 0xAB, lv2port::kTimeBufferBytes - 8);
             header(s, id(LV2_ATOM__Sequence), 0);
         }},
        {"garbage body",
         [](Sequence& s) {
             std::memset(s.bytes() + 8, 0xFF, lv2port::kTimeBufferBytes - 8);
             header(s, id(LV2_ATOM__Sequence), lv2port::kTimeBufferBytes - 8);
         }},
    };
    const std::vector<float> own = render(1, nullptr, true);
    for (const Case& c : cases) {
        const std::vector<float> out = render(1, nullptr, true, c.write);
        ASSERT_EQ(out.size(), own.size()) << c.what;
        EXPECT_EQ(out, own) << c.what;
    }
    // A property of the wrong size or type is skipped, not read: the
    // object's other properties still apply.
    const std::vector<float> wrong = render(1, nullptr, true, [](Sequence& s) {
        s.position(0, 500000, 100.0f, 3, 1.0f, 4.0f, 4);
        // time:frame's atom claims 4 bytes of Long: the frame is not read.
        LV2_Atom_Property_Body prop;
        const std::uint32_t first =
            sizeof(LV2_Atom_Sequence) + sizeof(LV2_Atom_Event) + sizeof(LV2_Atom_Object_Body);
        std::memcpy(&prop, s.bytes() + first, sizeof prop);
        prop.value.size = 4;
        std::memcpy(s.bytes() + first, &prop, sizeof prop);
    });
    for (float v : wrong) ASSERT_TRUE(std::isfinite(v));
}

}  // namespace
