// Golden renders through the built plug-in: every factory program renders a
// fixed stereo signal at several rates, with both processing entries and
// several ways of handing the arrays over, in several block-size patterns.
// Each case's output bytes hash to the value committed in hashes.txt, and
// every block pattern of a case gives that same hash.
//
// `golden_tests --write-golden` renders every case once and rewrites the
// committed file; review its diff like code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host/VstHost.h"

namespace {

constexpr std::int32_t kFrames = 12000;
constexpr std::int32_t kMaxBlock = 4096;
constexpr int kNumPrograms = 20;

// Settings beyond the factory bank, rendered as "programs" 20 and up: every
// inject mode with both sends, with and without the filter, at the shortest
// main-line delays (1 sample, and 0, which delays by the whole line) and at
// post-line delays of 0, 1 and the whole line less one.
constexpr int kNumSettings = 16;
constexpr int kNumCases = kNumPrograms + kNumSettings;

void applySettings(vsthost::Plugin& plugin, int k) {
    const float mode = static_cast<float>(k % 8) * 0.125f + 0.01f;
    const bool filter = k >= 8;
    plugin.setParameter(0, filter ? 0.0f : 1.5f / 399.0f);  // Flanger Depth
    plugin.setParameter(1, 0.9f);                           // FeedBack
    plugin.setParameter(2, static_cast<float>(k % 4) * 0.25f + 0.1f);
    plugin.setParameter(3, filter ? static_cast<float>(k % 4) * 0.2f + 0.3f : 0.0f);
    plugin.setParameter(4, 0.3f);
    plugin.setParameter(5, 0.8f);
    plugin.setParameter(6, 0.6f);                        // Post1 send
    plugin.setParameter(7, k % 2 == 0 ? 1.0f : 0.002f);  // Post1 depth: 499 or 1
    plugin.setParameter(8, mode);
    plugin.setParameter(9, 0.7f);                       // Post2 send
    plugin.setParameter(10, k % 2 == 0 ? 0.0f : 1.0f);  // Post2 depth: 0 or 499
    plugin.setParameter(11, 0.4f);
}

// How the host hands its arrays to the effect.
enum class Layout {
    kSeparate,   // four distinct arrays
    kInPlace,    // outputs[c] == inputs[c]
    kCrossed,    // outputs[0] == inputs[1], outputs[1] == inputs[0]
    kSharedOut,  // both outputs are one array, apart from the inputs
    kShifted,    // left output one sample ahead of its input, right one behind
};

const char* nameOf(Layout l) {
    switch (l) {
        case Layout::kSeparate: return "separate";
        case Layout::kInPlace: return "inplace";
        case Layout::kCrossed: return "crossed";
        case Layout::kSharedOut: return "sharedout";
        case Layout::kShifted: return "shifted";
    }
    return "?";
}

struct Case {
    float rate;
    Layout layout;
    bool accumulate;  // process instead of processReplacing
    int program;
};

std::string keyOf(const Case& c) {
    std::ostringstream s;
    s << static_cast<long>(c.rate) << ' ' << nameOf(c.layout) << ' '
      << (c.accumulate ? "process" : "replacing") << ' ' << c.program;
    return s.str();
}

std::vector<Case> casesFor(int program) {
    std::vector<Case> cases;
    for (float rate : {44100.0f, 48000.0f, 22050.0f}) {
        for (Layout layout : {Layout::kSeparate, Layout::kInPlace, Layout::kCrossed,
                              Layout::kSharedOut, Layout::kShifted}) {
            // The aliasing layouts once, at the reference rate.
            const bool common = layout == Layout::kSeparate || layout == Layout::kInPlace;
            if (!common && rate != 44100.0f) continue;
            for (bool accumulate : {false, true})
                cases.push_back({rate, layout, accumulate, program});
        }
    }
    return cases;
}

struct BlockPattern {
    const char* name;
    std::vector<std::int32_t> sizes;  // cycled until the signal ends
};

const std::vector<BlockPattern>& blockPatterns() {
    static const std::vector<BlockPattern> patterns = {
        {"1", {1}},       {"7", {7}},
        {"64", {64}},     {"512", {512}},
        {"4096", {4096}}, {"irregular", {1, 3, 17, 399, 401, 2, 511, 1000, 64, 5, 250, 4096, 33}},
    };
    return patterns;
}

// Hashes the samples with every value below 2^-64 in magnitude (about
// -385 dB, zeros of either sign and subnormals included) counted as +0.0.
// Processing runs with subnormals flushed to zero; a decaying tail that
// reaches the subnormal range then ends a little differently, but only at
// levels far below this threshold. Every audible sample is hashed exactly.
// A NaN's sign and payload are the processor's choice (an invalid operation
// gives 0xFFC00000 on x86 and 0x7FC00000 on ARM), so every NaN is hashed as
// the x86 one.
std::uint64_t fnv1a(const float* data, std::size_t count, std::uint64_t hash) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, &data[i], sizeof bits);
        if ((bits & 0x7F800000u) < (63u << 23)) bits = 0;  // biased exponent below 63
        if ((bits & 0x7FFFFFFFu) > 0x7F800000u) bits = 0xFFC00000u;
        for (int b = 0; b < 4; ++b) {
            hash ^= (bits >> (8 * b)) & 0xFFu;
            hash *= 0x100000001b3ull;
        }
    }
    return hash;
}
constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ull;

// Uniform values in [-1, 1) from a 64-bit linear congruential generator:
// integer arithmetic only, so every machine makes the same signal.
class Noise {
public:
    explicit Noise(std::uint64_t seed) : state(seed) {}
    float next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<float>(static_cast<double>(state >> 40) / 8388608.0 - 1.0);
    }

private:
    std::uint64_t state;
};

// Noise, then a sine (a two-term recurrence, no library calls) under soft
// noise, then an impulse followed by silence that lets the lines ring out.
std::vector<float> makeSignal(std::uint64_t seed, double coefficient, double start,
                              std::int32_t impulseAt, float impulse) {
    std::vector<float> x(kFrames, 0.0f);
    Noise noise(seed);
    for (std::int32_t i = 0; i < 3000; ++i) x[i] = 0.5f * noise.next();
    double y1 = 0.0, y0 = start;
    for (std::int32_t i = 3000; i < 7000; ++i) {
        x[i] = static_cast<float>(y0) + 0.05f * noise.next();
        const double y = coefficient * y0 - y1;
        y1 = y0;
        y0 = y;
    }
    x[impulseAt] = impulse;
    return x;
}

std::vector<float> makePrior(std::uint64_t seed) {
    std::vector<float> x(kFrames);
    Noise noise(seed);
    for (float& v : x) v = 0.25f * noise.next();
    return x;
}

// Output bytes of one case rendered in one block pattern: a fresh instance
// at the case's rate and program, fed the fixed signal.
std::uint64_t render(const vsthost::Library& library, const Case& c, const BlockPattern& pattern) {
    std::string error;
    auto plugin = vsthost::Plugin::create(library, error);
    if (!plugin) {
        ADD_FAILURE() << error;
        return 0;
    }
    plugin->start(c.rate, kMaxBlock);
    if (c.program < kNumPrograms) {
        plugin->setProgram(c.program);
    } else {
        applySettings(*plugin, c.program - kNumPrograms);
    }

    const std::vector<float> left = makeSignal(0x1234, 1.99, 0.04, 7000, 1.0f);
    const std::vector<float> right = makeSignal(0x9876, 1.96, 0.06, 7013, -0.8f);
    const std::vector<float> priorL = makePrior(0x5555);
    const std::vector<float> priorR = makePrior(0x7777);

    // Storage one sample longer than the signal, for the shifted layout.
    std::vector<float> a(kFrames + 1), b(kFrames + 1), oa(kFrames + 1), ob(kFrames + 1);
    float* in[2] = {a.data(), b.data()};
    float* out[2] = {oa.data(), ob.data()};
    switch (c.layout) {
        case Layout::kSeparate: break;
        case Layout::kInPlace:
            out[0] = in[0];
            out[1] = in[1];
            break;
        case Layout::kCrossed:
            out[0] = in[1];
            out[1] = in[0];
            break;
        case Layout::kSharedOut: out[1] = out[0]; break;
        case Layout::kShifted:
            out[0] = a.data() + 1;
            in[1] = b.data() + 1;
            out[1] = b.data();
            break;
    }
    std::copy(priorL.begin(), priorL.end(), oa.begin());
    std::copy(priorR.begin(), priorR.end(), ob.begin());
    if (c.layout == Layout::kSharedOut) {
        for (std::int32_t i = 0; i < kFrames; ++i) oa[i] += priorR[i];
    }
    std::copy(left.begin(), left.end(), in[0]);
    std::copy(right.begin(), right.end(), in[1]);

    std::int32_t done = 0;
    std::size_t next = 0;
    while (done < kFrames) {
        const std::int32_t n = std::min(pattern.sizes[next], kFrames - done);
        next = (next + 1) % pattern.sizes.size();
        float* ins[2] = {in[0] + done, in[1] + done};
        float* outs[2] = {out[0] + done, out[1] + done};
        if (c.accumulate)
            plugin->process(ins, outs, n);
        else
            plugin->processReplacing(ins, outs, n);
        done += n;
    }
    plugin->suspend();
    return fnv1a(out[1], kFrames, fnv1a(out[0], kFrames, kFnvOffset));
}

const vsthost::Library& library() {
    static std::unique_ptr<vsthost::Library> lib = [] {
        std::string error;
        auto l = vsthost::Library::open(FLANGER_PLUGIN_PATH, error);
        if (!l) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::abort();
        }
        return l;
    }();
    return *lib;
}

std::map<std::string, std::uint64_t> readHashes(std::string& error) {
    std::map<std::string, std::uint64_t> table;
    std::ifstream file(FLANGER_GOLDEN_FILE);
    if (!file) {
        error = std::string("cannot read ") + FLANGER_GOLDEN_FILE;
        return table;
    }
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t cut = line.rfind(' ');
        table[line.substr(0, cut)] = std::stoull(line.substr(cut + 1), nullptr, 16);
    }
    return table;
}

int writeHashes() {
    const std::string path = FLANGER_GOLDEN_FILE;
    const std::string temp = path + ".tmp";
    {
        std::ofstream file(temp);
        if (!file) {
            std::fprintf(stderr, "cannot write %s: check the folder is writable\n", temp.c_str());
            return 1;
        }
        file << "# rate layout operation program fnv1a64(left output bytes, right output bytes)\n";
        for (int p = 0; p < kNumCases; ++p) {
            for (const Case& c : casesFor(p)) {
                char hex[17];
                std::snprintf(hex, sizeof hex, "%016" PRIx64,
                              render(library(), c, blockPatterns().back()));
                file << keyOf(c) << ' ' << hex << '\n';
            }
        }
        if (!file.flush()) {
            std::fprintf(stderr, "writing %s failed\n", temp.c_str());
            return 1;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "cannot replace %s\n", path.c_str());
        return 1;
    }
    std::printf("wrote %s\n", path.c_str());
    return 0;
}

class GoldenRender : public ::testing::TestWithParam<int> {};

TEST_P(GoldenRender, EveryBlockPatternMatchesTheCommittedHash) {
    std::string error;
    static const std::map<std::string, std::uint64_t> table = readHashes(error);
    ASSERT_FALSE(table.empty()) << error;
    for (const Case& c : casesFor(GetParam())) {
        const auto found = table.find(keyOf(c));
        ASSERT_NE(found, table.end()) << "no committed hash for " << keyOf(c);
        for (const BlockPattern& pattern : blockPatterns()) {
            EXPECT_EQ(render(library(), c, pattern), found->second)
                << keyOf(c) << ", blocks of " << pattern.name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, GoldenRender, ::testing::Range(0, kNumCases));

// The hashes must tell renders apart: a layout or operation that reads its
// arrays differently gives a different output.
TEST(GoldenRenderSanity, DifferentCasesGiveDifferentHashes) {
    const BlockPattern& blocks = blockPatterns()[3];
    const Case base{44100.0f, Layout::kSeparate, false, 1};
    const std::uint64_t h = render(library(), base, blocks);
    EXPECT_NE(h, render(library(), {44100.0f, Layout::kInPlace, false, 1}, blocks));
    EXPECT_NE(h, render(library(), {44100.0f, Layout::kSeparate, true, 1}, blocks));
    EXPECT_NE(h, render(library(), {44100.0f, Layout::kSeparate, false, 2}, blocks));
    EXPECT_NE(h, render(library(), {48000.0f, Layout::kSeparate, false, 1}, blocks));
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--write-golden") == 0) return writeHashes();
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
