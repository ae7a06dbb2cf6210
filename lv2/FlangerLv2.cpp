// The LV2 front end: one FlangerEffect per instance, driven only through
// the operations a VST 2 host reaches (rate, resume and suspend, parameters,
// processReplacing), so the two builds sound the same for the same rate,
// signal and control values.
//
// Hosts may hand the same buffer as input and output (most LV2 hosts do).
// The chain reads the output already written when a VST 2 host processes in
// place; here the input is copied first, into buffers allocated with the
// instance, so the output never depends on how the host lays out buffers.
//
// The bundle holds two plug-ins: the flanger and its companion with the
// timeline-locked sweep, which also reads the host's time:Position objects
// from an optional atom input.
#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "effect/FlangerEffect.h"
#include "effect/SweepEffect.h"
#include "frame/DenormalGuard.h"
#include "frame/OutOfPlace.h"
#include "lv2/Lv2Ports.h"

#if !defined(FLANGER_LV2_URI) || !defined(FLANGER_LV2_SWEEP_URI)
#error "FLANGER_LV2_URI and FLANGER_LV2_SWEEP_URI must name the plug-ins' URIs"
#endif

namespace {

// Frames copied per step when the host's buffers overlap.
constexpr std::uint32_t kScratchFrames = 1024;

// URIDs of the atoms and time:Position properties the companion reads.
struct TimeUrids {
    LV2_URID object, blank, sequence, longType, intType, floatType, doubleType;
    LV2_URID position, frame, speed, bpm, bar, barBeat, beatsPerBar, beatUnit;
};

// The host's time as its time:Position objects left it, each property
// carried forward between objects (absent until one gives it); frame and
// quarter notes advance with the frames processed while the transport
// rolls.
struct HostClock {
    bool hasFrame = false, hasSpeed = false, hasBpm = false, hasBar = false, hasBarBeat = false;
    bool hasBeatsPerBar = false, hasBeatUnit = false;
    double frame = 0.0, speed = 0.0, bpm = 0.0, bar = 0.0, barBeat = 0.0, beatsPerBar = 0.0;
    double beatUnit = 0.0;
    // The quarter-note position the last object gave, carried forward.
    bool hasQuarter = false;
    double quarter = 0.0;
};

struct Instance {
    std::unique_ptr<FlangerEffect> effect;
    SweepEffect* sweep = nullptr;  // the same object, for the companion
    std::int32_t numParams = kNumParams;
    std::unique_ptr<float[]> scratch;  // kScratchFrames per channel
    const float* in[2] = {};
    float* out[2] = {};
    const float* control[kSweepNumParams] = {};
    // Bit patterns of the control values last applied, so NaN compares
    // equal to itself and no value is sent twice.
    std::uint32_t applied[kSweepNumParams] = {};
    bool fresh = true;  // nothing applied yet
    const LV2_Atom_Sequence* time = nullptr;
    bool mapped = false;  // the host gave urid:map
    TimeUrids urids{};
    HostClock clock;
    SweepTime now;

    bool connected() const {
        if (in[0] == nullptr || in[1] == nullptr || out[0] == nullptr || out[1] == nullptr)
            return false;
        for (std::int32_t i = 0; i < numParams; ++i) {
            if (control[i] == nullptr) return false;
        }
        return true;
    }

    // Sends every control value that changed since the last run, in
    // parameter order, as a VST 2 host sends automation.
    void applyControls() {
        for (std::int32_t i = 0; i < numParams; ++i) {
            const float value = *control[i];
            std::uint32_t bits = 0;
            std::memcpy(&bits, &value, sizeof bits);
            if (!fresh && bits == applied[i]) continue;
            applied[i] = bits;
            effect->setParameter(i, value);
        }
        fresh = false;
    }

    // `frames` frames from frame `from` of the host's arrays.
    void process(std::uint32_t frames, std::uint32_t from = 0) {
        const float* ins[2] = {in[0] + from, in[1] + from};
        float* outs[2] = {out[0] + from, out[1] + from};
        outofplace::forEachStep(ins, outs, frames, scratch.get(), kScratchFrames,
                                [this](float** i, float** o, std::uint32_t n) {
                                    if (sweep != nullptr)
                                        sweep->processAt(i, o, static_cast<VstInt32>(n), timeNow(),
                                                         false);
                                    else
                                        effect->processReplacing(i, o, static_cast<VstInt32>(n));
                                    advanceClock(n);
                                });
    }

    // The companion's position for the frames about to run, from what the
    // objects carried forward (null: nothing usable, the sweep runs on).
    const SweepTime* timeNow() {
        SweepTime& t = now;
        t = SweepTime{};
        const HostClock& c = clock;
        if (c.hasBpm && c.bpm >= 1.0 && c.bpm <= 999.0) {
            t.hasTempo = true;
            t.tempo = c.bpm;
        }
        const double beats = c.beatsPerBar;
        if (c.hasBeatsPerBar && c.hasBeatUnit && beats >= 1.0 && beats <= 64.0 &&
            beats == std::floor(beats) && validUnit(c.beatUnit)) {
            t.hasMeter = true;
            t.numerator = static_cast<std::int32_t>(beats);
            t.denominator = static_cast<std::int32_t>(c.beatUnit);
        }
        if (c.hasFrame && c.hasSpeed && c.speed != 0.0 && std::isfinite(c.speed) &&
            c.frame >= -1.0e15 && c.frame <= 1.0e15) {
            t.playing = true;
            t.frame = std::llround(c.frame);
            if (c.hasQuarter && c.quarter >= -1.0e15 && c.quarter <= 1.0e15) {
                t.hasPpq = true;
                t.ppq = c.quarter;
            }
        }
        return &t;
    }

    static bool validUnit(double unit) {
        for (int d = 1; d <= 64; d *= 2)
            if (unit == d) return true;
        return false;
    }

    // The transport moved n frames on: the frame and quarter notes carried
    // forward as the sweep itself predicts them.
    void advanceClock(std::uint32_t n) {
        HostClock& c = clock;
        if (!c.hasSpeed || !(c.speed != 0.0) || !std::isfinite(c.speed)) return;
        if (c.hasFrame) c.frame += static_cast<double>(n);
        if (c.hasQuarter && sweep != nullptr) {
            c.quarter += static_cast<double>(n) * (sweep->currentTempo() / 60.0) /
                         static_cast<double>(sweep->getCurrentRate());
        }
    }

    // One time:Position object's properties, each read only when its type
    // and size are the ones expected; `body` holds `size` bytes.
    void readPosition(const std::uint8_t* body, std::uint32_t size) {
        const TimeUrids& u = urids;
        HostClock& c = clock;
        std::uint32_t at = sizeof(LV2_Atom_Object_Body);
        while (at + sizeof(LV2_Atom_Property_Body) <= size) {
            LV2_Atom_Property_Body prop;
            std::memcpy(&prop, body + at, sizeof prop);
            const std::uint32_t valueAt = at + static_cast<std::uint32_t>(sizeof prop);
            if (prop.value.size > size - valueAt) return;  // truncated: stop here
            double v = 0.0;
            bool ok = true;
            const std::uint8_t* data = body + valueAt;
            if (prop.value.type == u.longType && prop.value.size == 8) {
                std::int64_t x;
                std::memcpy(&x, data, sizeof x);
                v = static_cast<double>(x);
            } else if (prop.value.type == u.intType && prop.value.size == 4) {
                std::int32_t x;
                std::memcpy(&x, data, sizeof x);
                v = x;
            } else if (prop.value.type == u.floatType && prop.value.size == 4) {
                float x;
                std::memcpy(&x, data, sizeof x);
                v = x;
            } else if (prop.value.type == u.doubleType && prop.value.size == 8) {
                std::memcpy(&v, data, sizeof v);
            } else {
                ok = false;
            }
            if (ok && std::isfinite(v)) {
                if (prop.key == u.frame) {
                    c.hasFrame = true;
                    c.frame = v;
                } else if (prop.key == u.speed) {
                    c.hasSpeed = true;
                    c.speed = v;
                } else if (prop.key == u.bpm) {
                    c.hasBpm = true;
                    c.bpm = v;
                } else if (prop.key == u.bar) {
                    c.hasBar = true;
                    c.bar = v;
                } else if (prop.key == u.barBeat) {
                    c.hasBarBeat = true;
                    c.barBeat = v;
                } else if (prop.key == u.beatsPerBar) {
                    c.hasBeatsPerBar = true;
                    c.beatsPerBar = v;
                } else if (prop.key == u.beatUnit) {
                    c.hasBeatUnit = true;
                    c.beatUnit = v;
                }
            }
            // Properties are padded to 8 bytes.
            const std::uint64_t next =
                static_cast<std::uint64_t>(valueAt) + ((prop.value.size + 7u) & ~7u);
            if (next <= at || next > size) return;
            at = static_cast<std::uint32_t>(next);
        }
    }

    // After an object: the quarter-note position its bar and beat give.
    void updateQuarter() {
        HostClock& c = clock;
        c.hasQuarter = false;
        if (c.hasBar && c.hasBarBeat && c.hasBeatsPerBar && c.hasBeatUnit &&
            validUnit(c.beatUnit) && c.beatsPerBar > 0.0) {
            const double q = (c.bar * c.beatsPerBar + c.barBeat) * 4.0 / c.beatUnit;
            if (std::isfinite(q)) {
                c.hasQuarter = true;
                c.quarter = q;
            }
        }
    }

    // The block with the time input: processing split where time:Position
    // objects arrive, each applied from its frame on. Events out of order,
    // of other types, or running past the sequence (or a sequence larger
    // than the buffer the bundle asks for) end the reading there.
    void runWithTime(std::uint32_t frames) {
        const LV2_Atom_Sequence* seq = time;
        std::uint32_t done = 0;
        if (seq != nullptr && mapped) {
            LV2_Atom header;
            std::memcpy(&header, seq, sizeof header);
            const std::uint32_t total = header.size;  // body bytes after the atom header
            const auto* body = reinterpret_cast<const std::uint8_t*>(seq) + sizeof(LV2_Atom);
            if (header.type == urids.sequence && total >= sizeof(LV2_Atom_Sequence_Body) &&
                total <= lv2port::kTimeBufferBytes - sizeof(LV2_Atom)) {
                std::uint32_t at = sizeof(LV2_Atom_Sequence_Body);
                while (at + sizeof(LV2_Atom_Event) <= total) {
                    LV2_Atom_Event ev;
                    std::memcpy(&ev, body + at, sizeof ev);
                    const std::uint32_t dataAt = at + static_cast<std::uint32_t>(sizeof ev);
                    if (ev.body.size > total - dataAt) break;
                    if (ev.time.frames < static_cast<std::int64_t>(done)) break;
                    const auto when = static_cast<std::uint32_t>(
                        ev.time.frames > static_cast<std::int64_t>(frames) ? frames
                                                                           : ev.time.frames);
                    if ((ev.body.type == urids.object || ev.body.type == urids.blank) &&
                        ev.body.size >= sizeof(LV2_Atom_Object_Body)) {
                        LV2_Atom_Object_Body object;
                        std::memcpy(&object, body + dataAt, sizeof object);
                        if (object.otype == urids.position) {
                            if (when > done) process(when - done, done);
                            done = when;
                            readPosition(body + dataAt, ev.body.size);
                            updateQuarter();
                        }
                    }
                    const std::uint64_t next =
                        static_cast<std::uint64_t>(dataAt) + ((ev.body.size + 7u) & ~7u);
                    if (next > total) break;
                    at = static_cast<std::uint32_t>(next);
                }
            }
        }
        if (frames > done) process(frames - done, done);
    }
};

// The rates a VST 2 host's effSetSampleRate gives the effect unchanged;
// the effect ignores or clamps any other, so it would not run at the
// host's rate.
bool takesRate(double rate) {
    return rate >= static_cast<double>(kMinSampleRate) &&
           rate <= static_cast<double>(kMaxSampleRate);
}

LV2_URID mapUri(const LV2_URID_Map* map, const char* uri) {
    return map->map(map->handle, uri);
}

LV2_Handle instantiate(const LV2_Descriptor* descriptor, double rate, const char*,
                       const LV2_Feature* const* features) {
    if (!takesRate(rate)) return nullptr;
    const float r = static_cast<float>(rate);
    try {
        auto self = std::make_unique<Instance>();
        if (std::strcmp(descriptor->URI, FLANGER_LV2_SWEEP_URI) == 0) {
            auto sweep = std::make_unique<SweepEffect>(nullptr);
            self->sweep = sweep.get();
            self->effect = std::move(sweep);
            self->numParams = kSweepNumParams;
            const LV2_URID_Map* map = nullptr;
            for (const LV2_Feature* const* f = features; f != nullptr && *f != nullptr; ++f) {
                if (std::strcmp((*f)->URI, LV2_URID__map) == 0)
                    map = static_cast<const LV2_URID_Map*>((*f)->data);
            }
            // Without urid:map no atom can be read; the sweep then runs on
            // its own count, as with the time input unconnected.
            if (map != nullptr && map->map != nullptr) {
                TimeUrids& u = self->urids;
                u.object = mapUri(map, LV2_ATOM__Object);
                u.blank = mapUri(map, LV2_ATOM__Blank);
                u.sequence = mapUri(map, LV2_ATOM__Sequence);
                u.longType = mapUri(map, LV2_ATOM__Long);
                u.intType = mapUri(map, LV2_ATOM__Int);
                u.floatType = mapUri(map, LV2_ATOM__Float);
                u.doubleType = mapUri(map, LV2_ATOM__Double);
                u.position = mapUri(map, LV2_TIME__Position);
                u.frame = mapUri(map, LV2_TIME__frame);
                u.speed = mapUri(map, LV2_TIME__speed);
                u.bpm = mapUri(map, LV2_TIME__beatsPerMinute);
                u.bar = mapUri(map, LV2_TIME__bar);
                u.barBeat = mapUri(map, LV2_TIME__barBeat);
                u.beatsPerBar = mapUri(map, LV2_TIME__beatsPerBar);
                u.beatUnit = mapUri(map, LV2_TIME__beatUnit);
                self->mapped = true;
            }
        } else {
            self->effect = std::make_unique<FlangerEffect>(nullptr);
        }
        FlangerEffect& fx = *self->effect;
        fx.setSampleRate(r);
        if (!fx.runsAt(r)) return nullptr;
        self->scratch.reset(new float[2 * kScratchFrames]());
        return self.release();
    } catch (...) {
        return nullptr;
    }
}

void connectPort(LV2_Handle handle, std::uint32_t port, void* data) {
    auto* self = static_cast<Instance*>(handle);
    auto* samples = static_cast<float*>(data);
    const auto controls = static_cast<std::uint32_t>(self->numParams);
    switch (port) {
        case lv2port::kInLeft: self->in[0] = samples; break;
        case lv2port::kInRight: self->in[1] = samples; break;
        case lv2port::kOutLeft: self->out[0] = samples; break;
        case lv2port::kOutRight: self->out[1] = samples; break;
        default:
            if (port >= lv2port::kFirstControl && port < lv2port::kFirstControl + controls)
                self->control[port - lv2port::kFirstControl] = samples;
            else if (self->sweep != nullptr && port == lv2port::kSweepTime)
                self->time = static_cast<const LV2_Atom_Sequence*>(data);
            break;
    }
}

void activate(LV2_Handle handle) {
    auto* self = static_cast<Instance*>(handle);
    self->effect->resume();
    // Switched on: no position until the host sends one.
    self->clock = HostClock{};
}

void run(LV2_Handle handle, std::uint32_t frames) {
    auto* self = static_cast<Instance*>(handle);
    if (frames == 0 || !self->connected()) return;
    const DenormalGuard guard;
    self->applyControls();
    if (self->sweep != nullptr)
        self->runWithTime(frames);
    else
        self->process(frames);
}

void deactivate(LV2_Handle handle) {
    static_cast<Instance*>(handle)->effect->suspend();
}

void cleanup(LV2_Handle handle) {
    delete static_cast<Instance*>(handle);
}

const void* extensionData(const char*) {
    return nullptr;
}

const LV2_Descriptor kDescriptors[2] = {
    {FLANGER_LV2_URI, instantiate, connectPort, activate, run, deactivate, cleanup, extensionData},
    {FLANGER_LV2_SWEEP_URI, instantiate, connectPort, activate, run, deactivate, cleanup,
     extensionData},
};

}  // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index) {
    return index < 2 ? &kDescriptors[index] : nullptr;
}
