#include "system/sound/wav_decoder.h"

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
constexpr std::uint8_t kGuidTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

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
void readFrame(const std::uint8_t* data, std::size_t i, const SourceLayout& s, int targetChannels, float* out) {
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
        if (u16(guid + 2) != 0 || std::memcmp(guid + 4, kGuidTail, 12) != 0) return WavError::UnsupportedFormat;
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

// Where a WAV's samples lie in its bytes and how many frames it has.
struct WavLayout {
    SourceLayout src;
    std::uint64_t dataOffset = 0;  // of the "data" body
    std::uint64_t srcFrames = 0;   // whole source frames in it
};

// Walks the chunks of a WAV of `size` bytes, read through `readAt(offset, n,
// dst)` (exactly n bytes, all within the size), and works out its layout.
// Walks only the bytes there are: the RIFF size field is often wrong and is
// not trusted.
template <class ReadAt>
WavError parseWav(std::uint64_t size, ReadAt&& readAt, WavLayout& w) {
    if (size > kMaxWavFileBytes) return WavError::TooLarge;
    std::uint8_t head[12];
    if (size < 12) {
        if (size >= 4 && readAt(0, 4, head) && isId(head, "RIFF")) return WavError::Truncated;
        return WavError::NotWav;
    }
    if (!readAt(0, 12, head)) return WavError::CannotRead;
    if (!isId(head, "RIFF") || !isId(head + 8, "WAVE")) return WavError::NotWav;

    bool haveFormat = false;
    bool haveData = false;
    std::uint64_t dataSize = 0;
    std::uint64_t pos = 12;
    while (pos + 8 <= size && !(haveFormat && haveData)) {
        std::uint8_t chunkHead[8];
        if (!readAt(pos, 8, chunkHead)) return WavError::CannotRead;
        const std::uint64_t chunkSize = u32(chunkHead + 4);
        const std::uint64_t body = pos + 8;
        const std::uint64_t left = size - body;
        if (isId(chunkHead, "fmt ")) {
            if (chunkSize > left) return WavError::Truncated;
            if (!haveFormat) {
                // parseFormat reads at most the first 40 bytes of the body.
                std::uint8_t fmt[40] = {};
                if (!readAt(body, static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize, 40)), fmt))
                    return WavError::CannotRead;
                if (WavError e = parseFormat(fmt, static_cast<std::size_t>(chunkSize), w.src); e != WavError::None)
                    return e;
                haveFormat = true;
            }
        } else if (isId(chunkHead, "data")) {
            if (chunkSize > left) return WavError::DataBeyondFile;
            if (!haveData) {
                w.dataOffset = body;
                dataSize = chunkSize;
                haveData = true;
            }
        } else if (chunkSize > left) {
            break;  // a damaged trailing chunk; whatever came before still counts
        }
        pos = body + chunkSize + (chunkSize & 1);
    }
    if (!haveFormat) return WavError::NoFormat;
    if (!haveData) return WavError::NoData;

    w.srcFrames = dataSize / w.src.stride;
    if (w.srcFrames > kMaxDecodedSeconds * static_cast<std::uint64_t>(w.src.sampleRate)) return WavError::TooLarge;
    return WavError::None;
}

// Converts a whole sound laid out as `w` (its data at `src`) to `outFrames`
// frames of `target`, into `out`: a different rate by linear interpolation,
// output frame j sitting at source position j * from / to between the two
// source frames around it, the last one held at the end. Integer positions
// keep long sounds exact. The mixer converts held frames the same way as it
// plays them (frame_mixing.cpp).
void convertFrames(const WavLayout& w, FrameFormat target, const std::uint8_t* src, std::uint64_t outFrames,
                   float* out) {
    const int tc = target.channels;
    const std::uint64_t fromRate = static_cast<std::uint64_t>(w.src.sampleRate);
    const std::uint64_t toRate = static_cast<std::uint64_t>(target.sampleRate);
    float a[2], b[2];
    for (std::uint64_t j = 0; j < outFrames; ++j) {
        float* o = out + j * static_cast<std::uint64_t>(tc);
        if (fromRate == toRate) {
            readFrame(src, static_cast<std::size_t>(j), w.src, tc, o);
            continue;
        }
        const std::uint64_t num = j * fromRate;
        const std::uint64_t i = num / toRate;
        const float frac = static_cast<float>(num % toRate) / static_cast<float>(toRate);
        const std::uint64_t last = w.srcFrames - 1;
        readFrame(src, static_cast<std::size_t>(std::min(i, last)), w.src, tc, a);
        readFrame(src, static_cast<std::size_t>(std::min(i + 1, last)), w.src, tc, b);
        for (int c = 0; c < tc; ++c) o[c] = a[c] + (b[c] - a[c]) * frac;
    }
}

// The channels a sound is held with: mono stays mono, the rest keep their
// front left/right pair.
int heldChannels(const SourceLayout& s) { return s.channels >= 2 ? 2 : 1; }

// Reads a WAV file's samples block by block through a buffer of a fixed
// size, as 16-bit frames at the file's own rate.
class WavFileSource final : public FrameSource {
public:
    WavFileSource(std::ifstream file, const WavLayout& layout)
        : file_(std::move(file)),
          w_(layout),
          channels_(heldChannels(layout.src)),
          buffer_(std::max<std::size_t>(64u << 10, 4 * layout.src.stride)),
          perBlock_(buffer_.size() / layout.src.stride) {}

    std::size_t read(std::uint64_t first, std::size_t count, std::int16_t* out) override {
        if (first >= w_.srcFrames) return 0;
        count = static_cast<std::size_t>(std::min<std::uint64_t>(count, w_.srcFrames - first));
        const std::size_t stride = w_.src.stride;
        float frame[2];
        for (std::size_t done = 0; done < count;) {
            const std::size_t k = std::min(count - done, perBlock_);
            const std::size_t bytes = k * stride;
            std::size_t got = 0;
            file_.clear();
            if (file_.seekg(static_cast<std::streamoff>(w_.dataOffset + (first + done) * stride))) {
                file_.read(reinterpret_cast<char*>(buffer_.data()), static_cast<std::streamsize>(bytes));
                got = static_cast<std::size_t>(file_.gcount());
            }
            // A file that shrank since it was opened: what is missing is silence.
            std::fill(buffer_.begin() + static_cast<std::ptrdiff_t>(got),
                      buffer_.begin() + static_cast<std::ptrdiff_t>(bytes), std::uint8_t{0});
            std::int16_t* o = out + done * static_cast<std::size_t>(channels_);
            for (std::size_t f = 0; f < k; ++f) {
                readFrame(buffer_.data(), f, w_.src, channels_, frame);
                for (int c = 0; c < channels_; ++c) *o++ = toSample16(frame[c]);
            }
            done += k;
        }
        return count;
    }

    std::size_t bytesHeld() const override { return buffer_.size(); }

private:
    std::ifstream file_;
    const WavLayout w_;
    const int channels_;
    std::vector<std::uint8_t> buffer_;  // source bytes of one block
    const std::size_t perBlock_;        // source frames per block, at least 4
};

// Opens `path` for reading if it is a regular file of an acceptable size.
WavError openFile(const std::string& path, std::ifstream& in, std::uint64_t& size) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return WavError::CannotRead;
    const std::uintmax_t n = std::filesystem::file_size(path, ec);
    if (ec) return WavError::CannotRead;
    if (n > kMaxWavFileBytes) return WavError::TooLarge;
    in.open(path, std::ios::binary);
    if (!in) return WavError::CannotRead;
    size = n;
    return WavError::None;
}

}  // namespace

const char* toString(WavError e) {
    switch (e) {
        case WavError::None:
            return "ok";
        case WavError::CannotRead:
            return "cannot read the file";
        case WavError::TooLarge:
            return "file or sound too large";
        case WavError::NotWav:
            return "not a WAV file";
        case WavError::Truncated:
            return "header cut short";
        case WavError::NoFormat:
            return "no format chunk";
        case WavError::NoData:
            return "no data chunk";
        case WavError::DataBeyondFile:
            return "data chunk runs past the end of the file";
        case WavError::UnsupportedFormat:
            return "unsupported sample format";
        case WavError::BadFormat:
            return "invalid format values";
    }
    return "unknown";
}

WavResult decodeWav(std::span<const std::uint8_t> bytes, FrameFormat target) {
    WavResult r;
    if (!isPlayable(target)) {
        r.error = WavError::BadFormat;
        return r;
    }
    WavLayout w;
    auto readAt = [bytes](std::uint64_t offset, std::size_t n, std::uint8_t* dst) {
        std::memcpy(dst, bytes.data() + offset, n);
        return true;
    };
    r.error = parseWav(bytes.size(), readAt, w);
    if (!r.ok()) return r;
    const std::uint64_t outFrames = framesAtRate(w.srcFrames, w.src.sampleRate, target.sampleRate);
    if (outFrames > kMaxDecodedSeconds * static_cast<std::uint64_t>(target.sampleRate)) {
        r.error = WavError::TooLarge;
        return r;
    }
    std::vector<float> out(static_cast<std::size_t>(outFrames) * target.channels);
    convertFrames(w, target, bytes.data() + w.dataOffset, outFrames, out.data());
    r.sound.format = target;
    r.sound.samples = std::move(out);
    return r;
}

WavResult decodeWavFile(const std::string& path, FrameFormat target) {
    WavResult r;
    std::ifstream in;
    std::uint64_t size = 0;
    r.error = openFile(path, in, size);
    if (!r.ok()) return r;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    // A file that shrank since we measured it decodes as the bytes we got.
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return decodeWav(bytes, target);
}

SoundResult openWavSound(const std::string& path, std::size_t maxHeldBytes, std::size_t headBytes) {
    SoundResult r;
    std::ifstream in;
    std::uint64_t size = 0;
    r.error = openFile(path, in, size);
    if (!r.ok()) return r;
    WavLayout w;
    auto readAt = [&in, size](std::uint64_t offset, std::size_t n, std::uint8_t* dst) {
        in.clear();
        in.seekg(static_cast<std::streamoff>(offset));
        in.read(reinterpret_cast<char*>(dst), static_cast<std::streamsize>(n));
        // A file that shrank since we measured it: what is missing reads as zeros.
        const std::size_t got = static_cast<std::size_t>(std::max<std::streamsize>(0, in.gcount()));
        std::memset(dst + got, 0, n - got);
        return offset + n <= size;
    };
    r.error = parseWav(size, readAt, w);
    if (!r.ok()) return r;

    auto sound = std::make_shared<Sound>();
    sound->format = {w.src.sampleRate, heldChannels(w.src)};
    sound->frames = w.srcFrames;
    const std::size_t channels = static_cast<std::size_t>(sound->format.channels);
    const std::size_t frameBytes = sizeof(std::int16_t) * channels;
    const std::uint64_t held = w.srcFrames * frameBytes <= maxHeldBytes
                                   ? w.srcFrames
                                   : std::min<std::uint64_t>(w.srcFrames, headBytes / frameBytes);
    auto source = std::make_unique<WavFileSource>(std::move(in), w);
    sound->head.resize(static_cast<std::size_t>(held) * channels);
    source->read(0, static_cast<std::size_t>(held), sound->head.data());
    if (held < w.srcFrames) sound->rest = std::move(source);  // else the file closes here
    r.sound = std::move(sound);
    return r;
}

}  // namespace korvala::sound
