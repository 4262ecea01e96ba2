#pragma once
// Writes WAV files byte by byte for the tests, including deliberately odd
// and broken ones.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace korvala::sound::testing {

using Bytes = std::vector<std::uint8_t>;

inline void put16(Bytes& b, std::uint32_t v) {
    b.push_back(v & 0xFF);
    b.push_back((v >> 8) & 0xFF);
}
inline void put32(Bytes& b, std::uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
inline void putId(Bytes& b, const char* id) {
    for (int k = 0; k < 4; ++k) b.push_back(static_cast<std::uint8_t>(id[k]));
}

// A chunk with its header and, for odd sizes, the pad byte.
inline Bytes chunk(const char* id, const Bytes& body, std::uint32_t declaredSize) {
    Bytes b;
    putId(b, id);
    put32(b, declaredSize);
    b.insert(b.end(), body.begin(), body.end());
    if (body.size() & 1) b.push_back(0);
    return b;
}
inline Bytes chunk(const char* id, const Bytes& body) {
    return chunk(id, body, static_cast<std::uint32_t>(body.size()));
}

struct Format {
    std::uint16_t tag = 1;  // 1 PCM, 3 float
    int channels = 1;
    int rate = 44100;
    int bits = 16;
    bool extensible = false;
};

inline Bytes fmtBody(const Format& f) {
    Bytes b;
    const int blockAlign = f.channels * f.bits / 8;
    put16(b, f.extensible ? 0xFFFE : f.tag);
    put16(b, f.channels);
    put32(b, f.rate);
    put32(b, f.rate * blockAlign);
    put16(b, blockAlign);
    put16(b, f.bits);
    if (f.extensible) {
        put16(b, 22);                       // extension size
        put16(b, f.bits);                   // valid bits
        put32(b, f.channels == 2 ? 3 : 4);  // speaker mask: FL|FR, or FC
        put32(b, f.tag);                    // sub-format GUID: the tag, then the standard tail
        const std::uint8_t tail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        b.insert(b.end(), tail, tail + 12);
    }
    return b;
}

// Encodes sample values (exactly representable ones give exact results).
inline Bytes encode(const Format& f, const std::vector<double>& values) {
    Bytes b;
    for (double v : values) {
        if (f.tag == 3 && f.bits == 32) {
            float x = static_cast<float>(v);
            std::uint32_t u;
            std::memcpy(&u, &x, 4);
            put32(b, u);
        } else if (f.tag == 3 && f.bits == 64) {
            std::uint64_t u;
            std::memcpy(&u, &v, 8);
            put32(b, static_cast<std::uint32_t>(u));
            put32(b, static_cast<std::uint32_t>(u >> 32));
        } else if (f.bits == 8) {
            b.push_back(static_cast<std::uint8_t>(std::lround(128 + v * 128)));
        } else {
            const double scale = std::ldexp(1.0, f.bits - 1);
            const auto s = static_cast<std::int64_t>(std::llround(v * scale));
            const auto u = static_cast<std::uint32_t>(s);
            for (int k = 0; k < f.bits / 8; ++k) b.push_back((u >> (8 * k)) & 0xFF);
        }
    }
    return b;
}

// RIFF/WAVE around the given chunks.
inline Bytes riff(const std::vector<Bytes>& chunks) {
    Bytes body;
    putId(body, "WAVE");
    for (const Bytes& c : chunks) body.insert(body.end(), c.begin(), c.end());
    Bytes b;
    putId(b, "RIFF");
    put32(b, static_cast<std::uint32_t>(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

inline Bytes wav(const Format& f, const std::vector<double>& values) {
    return riff({chunk("fmt ", fmtBody(f)), chunk("data", encode(f, values))});
}

// Writes `bytes` to `path`; returns the path as text.
inline std::string writeFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path.string();
}

}  // namespace korvala::sound::testing
