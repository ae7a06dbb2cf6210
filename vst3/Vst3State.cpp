#include "vst3/Vst3State.h"

#include <cstring>

namespace {

constexpr unsigned char kMagic[4] = {'F', 'L', 'S', 'T'};

std::uint32_t get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void put32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

bool getValue(const unsigned char* p, float& v) {
    const std::uint32_t bits = get32(p);
    std::memcpy(&v, &bits, sizeof v);
    return v >= 0.0f && v <= 1.0f;  // false for NaN too
}

void putValue(unsigned char* p, float v) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    put32(p, bits);
}

// Reads n bytes, accepting short reads; false when the stream ends first.
bool readFully(vst3::IBStream* stream, unsigned char* bytes, std::int32_t n) {
    std::int32_t done = 0;
    while (done < n) {
        std::int32_t got = 0;
        if (stream->read(bytes + done, n - done, &got) != vst3::kResultOk || got <= 0 ||
            got > n - done)
            return false;
        done += got;
    }
    return true;
}

}  // namespace

bool decodeState(const unsigned char* bytes, std::uint32_t size, Snapshot& out) {
    if (size < kStateBytes || std::memcmp(bytes, kMagic, 4) != 0 ||
        get32(bytes + 4) != kStateVersion || get32(bytes + 8) != kStateBytes)
        return false;
    Snapshot s;
    const unsigned char* p = bytes + 12;
    s.program = static_cast<std::int32_t>(get32(p));
    if (s.program < 0 || s.program >= kNumPrograms) return false;
    p += 4;
    for (float& v : s.current) {
        if (!getValue(p, v)) return false;
        p += 4;
    }
    for (int n = 0; n < kNumPrograms; ++n) {
        if (std::memchr(p, '\0', kProgramNameBytes) == nullptr) return false;
        std::memcpy(s.names[n], p, kProgramNameBytes);
        p += kProgramNameBytes;
        for (float& v : s.values[n]) {
            if (!getValue(p, v)) return false;
            p += 4;
        }
    }
    out = s;
    return true;
}

void encodeState(const Snapshot& s, unsigned char* bytes) {
    std::memcpy(bytes, kMagic, 4);
    put32(bytes + 4, kStateVersion);
    put32(bytes + 8, kStateBytes);
    unsigned char* p = bytes + 12;
    put32(p, static_cast<std::uint32_t>(s.program));
    p += 4;
    for (const float v : s.current) {
        putValue(p, v);
        p += 4;
    }
    for (int n = 0; n < kNumPrograms; ++n) {
        // Zeroes after the terminator, so equal states give equal bytes.
        std::memset(p, 0, kProgramNameBytes);
        const void* end = std::memchr(s.names[n], '\0', kProgramNameBytes);
        const std::size_t length =
            end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - s.names[n])
                           : kProgramNameBytes - 1;
        std::memcpy(p, s.names[n], length);
        p += kProgramNameBytes;
        for (const float v : s.values[n]) {
            putValue(p, v);
            p += 4;
        }
    }
}

bool readState(vst3::IBStream* stream, Snapshot& out) {
    if (stream == nullptr) return false;
    unsigned char bytes[kStateBytes];
    if (!readFully(stream, bytes, 12)) return false;
    if (std::memcmp(bytes, kMagic, 4) != 0 || get32(bytes + 4) != kStateVersion ||
        get32(bytes + 8) != kStateBytes)
        return false;
    if (!readFully(stream, bytes + 12, static_cast<std::int32_t>(kStateBytes - 12))) return false;
    return decodeState(bytes, kStateBytes, out);
}

bool writeState(vst3::IBStream* stream, const Snapshot& state) {
    if (stream == nullptr) return false;
    unsigned char bytes[kStateBytes];
    encodeState(state, bytes);
    std::int32_t done = 0;
    while (done < static_cast<std::int32_t>(kStateBytes)) {
        std::int32_t wrote = 0;
        if (stream->write(bytes + done, static_cast<std::int32_t>(kStateBytes) - done, &wrote) !=
                vst3::kResultOk ||
            wrote <= 0)
            return false;
        done += wrote;
    }
    return true;
}
