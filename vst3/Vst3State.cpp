#include "vst3/Vst3State.h"

#include <cstring>

namespace {

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

// The header names this format.
bool headerFits(const StateFormat& f, const unsigned char* bytes) {
    return std::memcmp(bytes, f.magic, 4) == 0 && get32(bytes + 4) == f.version &&
           get32(bytes + 8) == f.bytes();
}

}  // namespace

bool decodeState(const StateFormat& f, const unsigned char* bytes, std::uint32_t size,
                 Snapshot& out) {
    if (size < f.bytes() || !headerFits(f, bytes)) return false;
    Snapshot s;
    const unsigned char* p = bytes + 12;
    s.program = static_cast<std::int32_t>(get32(p));
    if (s.program < 0 || s.program >= kNumPrograms) return false;
    p += 4;
    for (std::int32_t i = 0; i < f.params; ++i, p += 4) {
        if (!getValue(p, s.current[i])) return false;
    }
    for (int n = 0; n < kNumPrograms; ++n) {
        if (std::memchr(p, '\0', kProgramNameBytes) == nullptr) return false;
        std::memcpy(s.names[n], p, kProgramNameBytes);
        p += kProgramNameBytes;
        for (std::int32_t i = 0; i < f.params; ++i, p += 4) {
            if (!getValue(p, s.values[n][i])) return false;
        }
    }
    out = s;
    return true;
}

void encodeState(const StateFormat& f, const Snapshot& s, unsigned char* bytes) {
    std::memcpy(bytes, f.magic, 4);
    put32(bytes + 4, f.version);
    put32(bytes + 8, f.bytes());
    unsigned char* p = bytes + 12;
    put32(p, static_cast<std::uint32_t>(s.program));
    p += 4;
    for (std::int32_t i = 0; i < f.params; ++i, p += 4) putValue(p, s.current[i]);
    for (int n = 0; n < kNumPrograms; ++n) {
        // Zeroes after the terminator, so equal states give equal bytes.
        std::memset(p, 0, kProgramNameBytes);
        const void* end = std::memchr(s.names[n], '\0', kProgramNameBytes);
        const std::size_t length =
            end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - s.names[n])
                           : kProgramNameBytes - 1;
        std::memcpy(p, s.names[n], length);
        p += kProgramNameBytes;
        for (std::int32_t i = 0; i < f.params; ++i, p += 4) putValue(p, s.values[n][i]);
    }
}

bool readState(vst3::IBStream* stream, const StateFormat& f, Snapshot& out) {
    if (stream == nullptr || f.bytes() > kMaxStateBytes) return false;
    unsigned char bytes[kMaxStateBytes];
    if (!readFully(stream, bytes, 12) || !headerFits(f, bytes)) return false;
    if (!readFully(stream, bytes + 12, static_cast<std::int32_t>(f.bytes() - 12))) return false;
    return decodeState(f, bytes, f.bytes(), out);
}

bool writeState(vst3::IBStream* stream, const StateFormat& f, const Snapshot& state) {
    if (stream == nullptr || f.bytes() > kMaxStateBytes) return false;
    unsigned char bytes[kMaxStateBytes];
    encodeState(f, state, bytes);
    const auto size = static_cast<std::int32_t>(f.bytes());
    std::int32_t done = 0;
    while (done < size) {
        std::int32_t wrote = 0;
        if (stream->write(bytes + done, size - done, &wrote) != vst3::kResultOk || wrote <= 0)
            return false;
        done += wrote;
    }
    return true;
}
