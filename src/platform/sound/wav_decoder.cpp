#include "platform/sound/wav_decoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace korvala::sound {
namespace {

std::uint16_t u16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t u32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
bool isId(const std::uint8_t* p, const char* id) { return std::memcmp(p, id, 4) == 0; }

constexpr std::uint16_t kTagPcm = 1;
constexpr std::uint16_t kTagFloat = 3;
constexpr std::uint16_t kTagExtensible = 0xFFFE;
// A standard sub-format GUID is the format tag as a 32-bit number followed
// by these twelve bytes.
constexpr std::uint8_t kGuidTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                        0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

enum class Encoding { Unsigned8, Signed, Float };

// How one source frame is laid out in the data chunk.
struct SourceLayout {
    Encoding encoding = Encoding::Signed;
    int bytesPerSample = 2;
    int channels = 0;
    int sampleRate = 0;
    std::size_t stride = 0;  // bytes from one frame to the next
};

float sanitize(double v) {
    if (!std::isfinite(v)) return 0.0f;
    return static_cast<float>(std::clamp(v, -1.0, 1.0));
}

float readSample(const std::uint8_t* p, const SourceLayout& s) {
    switch (s.encoding) {
    case Encoding::Unsigned8:
        return (static_cast<int>(p[0]) - 128) / 128.0f;
    case Encoding::Signed: {
        // Place the sample in the top bytes of a 32-bit word, then scale.
        std::uint32_t w = 0;
        for (int b = 0; b < s.bytesPerSample; ++b)
            w |= static_cast<std::uint32_t>(p[b]) << (8 * (4 - s.bytesPerSample + b));
        return static_cast<float>(static_cast<std::int32_t>(w) / 2147483648.0);
    }
    case Encoding::Float:
        if (s.bytesPerSample == 4) {
            float f;
            std::memcpy(&f, p, 4);  // WAV is little-endian, so is every target we build for
            return sanitize(f);
        } else {
            double d;
            std::memcpy(&d, p, 8);
            return sanitize(d);
        }
    }
    return 0.0f;
}

// Reads source frame `i` into `out` with `targetChannels` values.
void readFrame(const std::uint8_t* data, std::size_t i, const SourceLayout& s, int targetChannels,
               float* out) {
    const std::uint8_t* p = data + i * s.stride;
    const float left = readSample(p, s);
    const float right = s.channels >= 2 ? readSample(p + s.bytesPerSample, s) : left;
    if (targetChannels == 1) {
        out[0] = s.channels >= 2 ? 0.5f * (left + right) : left;
    } else {
        out[0] = left;
        out[1] = right;
    }
}

// Parses the body of a "fmt " chunk.
WavError parseFormat(const std::uint8_t* p, std::size_t size, SourceLayout& s) {
    if (size < 16) return WavError::Truncated;
    std::uint16_t tag = u16(p);
    const int channels = u16(p + 2);
    const std::uint32_t rate = u32(p + 4);
    const std::uint16_t blockAlign = u16(p + 12);
    const int bits = u16(p + 14);
    if (tag == kTagExtensible) {
        if (size < 40 || u16(p + 16) < 22) return WavError::Truncated;
        const std::uint8_t* guid = p + 24;
        if (u16(guid + 2) != 0 || std::memcmp(guid + 4, kGuidTail, 12) != 0)
            return WavError::UnsupportedFormat;
        tag = u16(guid);
    }
    if (channels < 1 || channels > 32) return WavError::BadFormat;
    if (rate < 1000 || rate > 768000) return WavError::BadFormat;
    if (tag == kTagPcm) {
        if (bits < 1 || bits > 32) return WavError::UnsupportedFormat;
        s.bytesPerSample = (bits + 7) / 8;
        s.encoding = s.bytesPerSample == 1 ? Encoding::Unsigned8 : Encoding::Signed;
    } else if (tag == kTagFloat) {
        if (bits != 32 && bits != 64) return WavError::UnsupportedFormat;
        s.bytesPerSample = bits / 8;
        s.encoding = Encoding::Float;
    } else {
        return WavError::UnsupportedFormat;
    }
    s.channels = channels;
    s.sampleRate = static_cast<int>(rate);
    const std::size_t frameBytes = static_cast<std::size_t>(channels) * s.bytesPerSample;
    // Some writers get the block size wrong; a larger one means padded frames.
    s.stride = blockAlign > frameBytes ? blockAlign : frameBytes;
    return WavError::None;
}

}  // namespace

const char* toString(WavError e) {
    switch (e) {
    case WavError::None: return "ok";
    case WavError::CannotRead: return "cannot read the file";
    case WavError::TooLarge: return "file or sound too large";
    case WavError::NotWav: return "not a WAV file";
    case WavError::Truncated: return "header cut short";
    case WavError::NoFormat: return "no format chunk";
    case WavError::NoData: return "no data chunk";
    case WavError::DataBeyondFile: return "data chunk runs past the end of the file";
    case WavError::UnsupportedFormat: return "unsupported sample format";
    case WavError::BadFormat: return "invalid format values";
    }
    return "unknown";
}

WavResult decodeWav(std::span<const std::uint8_t> bytes, FrameFormat target) {
    WavResult r;
    auto fail = [&r](WavError e) {
        r.error = e;
        return r;
    };
    if (target.channels < 1 || target.channels > 2 || target.sampleRate < 1000 ||
        target.sampleRate > 768000)
        return fail(WavError::BadFormat);
    if (bytes.size() > kMaxWavFileBytes) return fail(WavError::TooLarge);
    const std::uint8_t* base = bytes.data();
    const std::size_t size = bytes.size();
    if (size < 12) {
        if (size >= 4 && isId(base, "RIFF")) return fail(WavError::Truncated);
        return fail(WavError::NotWav);
    }
    if (!isId(base, "RIFF") || !isId(base + 8, "WAVE")) return fail(WavError::NotWav);

    // Walk the chunks within the bytes we actually hold; the RIFF size field
    // is often wrong and is not trusted.
    SourceLayout src;
    bool haveFormat = false;
    const std::uint8_t* data = nullptr;
    std::size_t dataSize = 0;
    std::size_t pos = 12;
    while (pos + 8 <= size && !(haveFormat && data)) {
        const std::uint8_t* head = base + pos;
        const std::uint64_t chunkSize = u32(head + 4);
        const std::size_t body = pos + 8;
        const std::size_t left = size - body;
        if (isId(head, "fmt ")) {
            if (chunkSize > left) return fail(WavError::Truncated);
            if (!haveFormat) {
                if (WavError e = parseFormat(base + body, chunkSize, src); e != WavError::None)
                    return fail(e);
                haveFormat = true;
            }
        } else if (isId(head, "data")) {
            if (chunkSize > left) return fail(WavError::DataBeyondFile);
            if (!data) {
                data = base + body;
                dataSize = chunkSize;
            }
        } else if (chunkSize > left) {
            break;  // a damaged trailing chunk; whatever came before still counts
        }
        pos = body + chunkSize + (chunkSize & 1);
    }
    if (!haveFormat) return fail(WavError::NoFormat);
    if (!data) return fail(WavError::NoData);

    const std::uint64_t srcFrames = dataSize / src.stride;
    // Frames that the converted sound will have, the length kept.
    const std::uint64_t fromRate = static_cast<std::uint64_t>(src.sampleRate);
    const std::uint64_t toRate = static_cast<std::uint64_t>(target.sampleRate);
    if (srcFrames > kMaxDecodedSeconds * fromRate) return fail(WavError::TooLarge);
    std::uint64_t outFrames = srcFrames;
    if (fromRate != toRate && srcFrames > 0)
        outFrames = std::max<std::uint64_t>(1, (srcFrames * toRate + fromRate / 2) / fromRate);
    if (outFrames > kMaxDecodedSeconds * toRate) return fail(WavError::TooLarge);

    const int tc = target.channels;
    std::vector<float> out(static_cast<std::size_t>(outFrames) * tc);
    if (fromRate == toRate) {
        for (std::size_t i = 0; i < outFrames; ++i) readFrame(data, i, src, tc, &out[i * tc]);
    } else {
        // Output frame j sits at source position j * from / to; blend the two
        // source frames around it. Integer positions keep long sounds exact.
        float a[2], b[2];
        for (std::uint64_t j = 0; j < outFrames; ++j) {
            const std::uint64_t num = j * fromRate;
            const std::uint64_t i = num / toRate;
            const float frac = static_cast<float>(num % toRate) / static_cast<float>(toRate);
            readFrame(data, std::min(i, srcFrames - 1), src, tc, a);
            readFrame(data, std::min(i + 1, srcFrames - 1), src, tc, b);
            for (int c = 0; c < tc; ++c) out[j * tc + c] = a[c] + (b[c] - a[c]) * frac;
        }
    }
    r.sound.format = target;
    r.sound.samples = std::move(out);
    return r;
}

WavResult decodeWavFile(const std::string& path, FrameFormat target) {
    WavResult r;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        r.error = WavError::CannotRead;
        return r;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) {
        r.error = WavError::CannotRead;
        return r;
    }
    if (size > kMaxWavFileBytes) {
        r.error = WavError::TooLarge;
        return r;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        r.error = WavError::CannotRead;
        return r;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    // A file that shrank since we measured it decodes as the bytes we got.
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return decodeWav(bytes, target);
}

}  // namespace korvala::sound
