// Compares two folders written by vst-check, one per build of the plug-in:
// the texts must be identical, each render within a tolerance (0 asks for
// identical samples). Reports the largest difference per program and where
// the two runtimes' cos, sin, log10 and pow answered differently.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

bool readFile(const std::string& path, std::string& data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::vector<float> floats(const std::string& bytes) {
    std::vector<float> out(bytes.size() / 4);
    for (std::size_t i = 0; i < out.size(); ++i) {
        std::uint32_t b = 0;
        for (int k = 0; k < 4; ++k)
            b |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[4 * i + k]))
                 << (8 * k);
        std::memcpy(&out[i], &b, sizeof b);
    }
    return out;
}

// Distance in units in the last place between two doubles of one sign,
// from their bit patterns.
long long ulps(std::uint64_t a, std::uint64_t b) {
    const long long d = static_cast<long long>(a) - static_cast<long long>(b);
    return d < 0 ? -d : d;
}

struct MathDiff {
    int count = 0;
    int differing = 0;
    int differingAsFloat = 0;  // still different once rounded to 32 bits
    long long maxUlps = 0;
    std::string examples;
};

double doubleOf(std::uint64_t bits) {
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr,
                     "usage: vst-compare FOLDER-A FOLDER-B TOLERANCE\n"
                     "  compares two vst-check outputs; TOLERANCE is the largest absolute\n"
                     "  sample difference accepted (0 for identical renders)\n");
        return 2;
    }
    const std::string a = argv[1], b = argv[2];
    char* end = nullptr;
    const double tolerance = std::strtod(argv[3], &end);
    if (end == argv[3] || *end != '\0' || !(tolerance >= 0.0)) {
        std::fprintf(stderr, "vst-compare: tolerance '%s' is not a number >= 0\n", argv[3]);
        return 2;
    }
    int failures = 0;

    std::string ta, tb;
    if (!readFile(a + "/texts.txt", ta) || !readFile(b + "/texts.txt", tb)) {
        std::fprintf(stderr, "vst-compare: texts.txt missing in %s or %s: run vst-check first\n",
                     a.c_str(), b.c_str());
        return 1;
    }
    const auto la = lines(ta), lb = lines(tb);
    int textDiffs = 0;
    for (std::size_t i = 0; i < la.size() || i < lb.size(); ++i) {
        const std::string x = i < la.size() ? la[i] : "<none>";
        const std::string y = i < lb.size() ? lb[i] : "<none>";
        if (x == y) continue;
        if (++textDiffs <= 10)
            std::printf("text line %zu differs:\n  A: %s\n  B: %s\n", i + 1, x.c_str(), y.c_str());
    }
    std::printf("texts: %zu lines, %d differ\n", la.size(), textDiffs);
    if (textDiffs != 0) ++failures;

    double worst = 0.0;
    for (int p = 0;; ++p) {
        char name[32];
        std::snprintf(name, sizeof name, "/render-%02d.f32", p);
        std::string ra, rb;
        const bool hasA = readFile(a + name, ra), hasB = readFile(b + name, rb);
        if (!hasA && !hasB) {
            if (p == 0) {
                std::fprintf(stderr, "vst-compare: no renders in %s or %s\n", a.c_str(), b.c_str());
                ++failures;
            }
            break;
        }
        if (!hasA || !hasB || ra.size() != rb.size()) {
            std::printf("program %2d: render missing or of different length\n", p);
            ++failures;
            continue;
        }
        const auto fa = floats(ra), fb = floats(rb);
        double maxDiff = 0.0;
        std::size_t differing = 0, firstDiff = fa.size();
        for (std::size_t i = 0; i < fa.size(); ++i) {
            const double d = std::fabs(static_cast<double>(fa[i]) - static_cast<double>(fb[i]));
            const bool same = std::memcmp(&fa[i], &fb[i], sizeof(float)) == 0;
            if (same) continue;
            if (firstDiff == fa.size()) firstDiff = i;
            ++differing;
            if (!(d <= maxDiff)) maxDiff = d;  // NaN against a number counts as worst
        }
        const bool ok = differing == 0 || maxDiff <= tolerance;
        if (differing == 0)
            std::printf("program %2d: identical (%zu samples)\n", p, fa.size());
        else
            std::printf(
                "program %2d: %zu of %zu samples differ, first at frame %zu, max abs %.3g%s\n", p,
                differing, fa.size(), firstDiff / 2, maxDiff, ok ? "" : "  TOO LARGE");
        if (!(maxDiff <= worst)) worst = maxDiff;
        if (!ok) ++failures;
    }
    std::printf("renders: max abs difference %.3g, tolerance %.3g\n", worst, tolerance);

    std::string ma, mb;
    if (readFile(a + "/math.txt", ma) && readFile(b + "/math.txt", mb)) {
        const auto xa = lines(ma), xb = lines(mb);
        std::map<std::string, MathDiff> diffs;
        for (std::size_t i = 0; i < xa.size() && i < xb.size(); ++i) {
            std::istringstream sa(xa[i]), sb(xb[i]);
            std::string fn, fnB, arg, argB, ra2, rb2;
            sa >> fn >> arg >> ra2;
            sb >> fnB >> argB >> rb2;
            MathDiff& d = diffs[fn];
            ++d.count;
            if (fn != fnB || arg != argB) continue;
            if (ra2 == rb2) continue;
            ++d.differing;
            const std::uint64_t va = std::strtoull(ra2.c_str(), nullptr, 16);
            const std::uint64_t vb = std::strtoull(rb2.c_str(), nullptr, 16);
            const long long u = ulps(va, vb);
            if (u > d.maxUlps) d.maxUlps = u;
            if (static_cast<float>(doubleOf(va)) != static_cast<float>(doubleOf(vb)))
                ++d.differingAsFloat;
            if (d.differing <= 4) {
                char example[64];
                const double x = fn == "pow" ? std::strtod(arg.c_str(), nullptr)
                                             : doubleOf(std::strtoull(arg.c_str(), nullptr, 16));
                std::snprintf(example, sizeof example, " %.9g(%lld ulp)", x, u);
                d.examples += example;
            }
        }
        for (const auto& [fn, d] : diffs)
            std::printf("runtime %-5s: %d of %d results differ (max %lld ulp), %d as floats;%s\n",
                        fn.c_str(), d.differing, d.count, d.maxUlps, d.differingAsFloat,
                        d.examples.empty() ? " none" : d.examples.c_str());
    }

    if (failures != 0) {
        std::printf("vst-compare: FAILED (%d problem(s))\n", failures);
        return 1;
    }
    std::printf("vst-compare: builds agree\n");
    return 0;
}
