// Fuzz target for the WAV decoder: any bytes are decoded or refused without
// a crash and without a read outside them (the fuzzer hands over a buffer of
// exactly their size, so the address sanitizer sees any overrun). A sound
// that decodes must agree with its own header, walked here independently:
// the format it was asked for, as many frames as its data chunk holds whole
// frames (scaled by the rate change, the length kept), mono copied to both
// sides, and every sample a finite value in [-1, 1].
//
// Each input is decoded at the mixer's format and at one more format picked
// from the table below by the input's size and last byte, so the fuzzer
// also reaches rate conversion, down-mixing and refused targets.
//
// A sound that decodes is also played the way a voice plays it: held as
// 16-bit frames at its own rate (mono, or its front stereo pair) and
// converted to the target a piece at a time as the mixer does
// (addHeldFrames). That must give decodeWav's frames at the target to within
// one step of 16-bit (the held samples are rounded; one at full scale is
// held a step below it), exactly as many, reading nothing outside the held
// frames (they are a vector of exactly their size).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

#include "system/sound/frame_mixing.h"
#include "system/sound/wav_decoder.h"

namespace {

using korvala::sound::FrameFormat;

constexpr FrameFormat kTargets[] = {
    {48000, 1}, {44100, 2}, {22050, 1},  {8000, 2},
    {96000, 2}, {1000, 1},  {768000, 1},  // the slowest and the fastest rate a sound may have
    {999, 2},   {48000, 0}, {48000, 3},   // formats the mixer never plays: refused
};

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(le16(p)) | static_cast<std::uint32_t>(le16(p + 2)) << 16;
}

// What the header of a WAV says about its samples, read the plain way: the
// first "fmt " and the first "data" chunk, unknown chunks skipped, odd sizes
// padded, the walk stopping at a chunk that runs past the end.
struct Header {
    bool found = false;
    int channels = 0;
    std::uint32_t rate = 0;
    std::uint64_t frameBytes = 0;  // the larger of the block size and the samples' size
    std::uint64_t dataBytes = 0;
};

Header readHeader(std::span<const std::uint8_t> b) {
    Header h;
    const std::uint8_t* fmt = nullptr;
    std::uint64_t fmtSize = 0;
    bool haveData = false;
    std::uint64_t pos = 12;
    while (pos + 8 <= b.size() && !(fmt && haveData)) {
        const std::uint8_t* chunk = b.data() + pos;
        const std::uint64_t size = le32(chunk + 4);
        const std::uint64_t body = pos + 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0 && !fmt) {
            fmt = b.data() + body;
            fmtSize = size;
        } else if (std::memcmp(chunk, "data", 4) == 0 && !haveData) {
            h.dataBytes = size;
            haveData = true;
        }
        if (size > b.size() - body) break;
        pos = body + size + (size & 1);
    }
    if (!fmt || !haveData || fmtSize < 16) return h;
    std::uint16_t tag = le16(fmt);
    if (tag == 0xFFFE) {
        if (fmtSize < 40) return h;
        tag = le16(fmt + 24);
    }
    h.channels = le16(fmt + 2);
    h.rate = le32(fmt + 4);
    const int bits = le16(fmt + 14);
    int sampleBytes = 0;
    if (tag == 1 && bits >= 1 && bits <= 32) sampleBytes = (bits + 7) / 8;
    if (tag == 3 && (bits == 32 || bits == 64)) sampleBytes = bits / 8;
    if (sampleBytes == 0 || h.channels < 1 || h.channels > 32 || h.rate < 1000 || h.rate > 768000) return h;
    h.frameBytes = static_cast<std::uint64_t>(h.channels) * sampleBytes;
    if (le16(fmt + 12) > h.frameBytes) h.frameBytes = le16(fmt + 12);
    h.found = true;
    return h;
}

template <class Sample>
bool inRange(Sample v) {
    if constexpr (std::is_floating_point_v<Sample>)
        return std::isfinite(v) && v >= Sample(-1) && v <= Sample(1);
    else
        return true;  // an integer sample holds only what its type holds
}

// Plays the sound of `bytes` (with header `h`) as a voice does, at `target`,
// and compares it with decodeWav's `want` at that format.
void checkMixing(std::span<const std::uint8_t> bytes, const Header& h, FrameFormat target,
                 const std::vector<float>& want) {
    const FrameFormat own{static_cast<int>(h.rate), std::min(h.channels, 2)};
    const korvala::sound::WavResult held = korvala::sound::decodeWav(bytes, own);
    if (!held.ok()) __builtin_trap();  // decodes at the target but not at its own format
    std::vector<std::int16_t> frames;
    for (const float v : held.sound.samples) frames.push_back(korvala::sound::toSample16(v));
    korvala::sound::HeldFrames sound;
    sound.format = own;
    sound.frames = held.sound.frames();
    sound.head = frames.data();
    sound.headFrames = sound.frames;

    const auto channels = static_cast<std::size_t>(target.channels);
    const std::size_t total = want.size() / channels;
    std::vector<float> got(want.size() + 8 * channels, 0.0f);
    std::size_t position = 0;
    for (std::size_t piece = 1; position < total + 8; piece = piece * 3 % 101 + 1) {
        const std::size_t n = std::min(piece, total + 8 - position);
        const std::size_t added =
            korvala::sound::addHeldFrames(sound, target, position, n, got.data() + position * channels);
        // It stops at the end and only there (position never passes it).
        if (added != std::min(n, total - position)) __builtin_trap();
        if (added < n) break;
        position += added;
    }
    for (std::size_t i = 0; i < want.size(); ++i)
        if (!(std::fabs(got[i] - want[i]) * 32768.0f <= 1.01f)) __builtin_trap();  // and float rounding
    for (std::size_t i = want.size(); i < got.size(); ++i)
        if (got[i] != 0.0f) __builtin_trap();  // something after the end
}

void check(std::span<const std::uint8_t> bytes, FrameFormat target) {
    const korvala::sound::WavResult r = korvala::sound::decodeWav(bytes, target);
    const auto& samples = r.sound.samples;
    if (!r.ok()) {
        if (!samples.empty()) __builtin_trap();
        return;
    }
    if (target.channels < 1 || target.channels > 2 || target.sampleRate < 1000 || target.sampleRate > 768000)
        __builtin_trap();  // a format the mixer cannot play was accepted
    if (r.sound.format.sampleRate != target.sampleRate || r.sound.format.channels != target.channels) __builtin_trap();
    const auto channels = static_cast<std::size_t>(target.channels);
    if (samples.size() % channels != 0 || r.sound.frames() != samples.size() / channels) __builtin_trap();

    const Header h = readHeader(bytes);
    if (!h.found) __builtin_trap();  // decoded a file whose header says it cannot be
    const std::uint64_t sourceFrames = h.dataBytes / h.frameBytes;
    const std::uint64_t frames = r.sound.frames();
    if (h.rate == static_cast<std::uint32_t>(target.sampleRate)) {
        if (frames != sourceFrames) __builtin_trap();
    } else if (sourceFrames == 0) {
        if (frames != 0) __builtin_trap();
    } else {
        // The length is kept: within one frame of the exact scaled count,
        // and never nothing from something.
        const double exact = static_cast<double>(sourceFrames) * target.sampleRate / h.rate;
        if (frames == 0 || std::fabs(static_cast<double>(frames) - exact) > 1.0) __builtin_trap();
    }

    for (const auto v : samples)
        if (!inRange(v)) __builtin_trap();
    if (h.channels == 1 && channels == 2)
        for (std::size_t i = 0; i < samples.size(); i += 2)
            if (samples[i] != samples[i + 1]) __builtin_trap();

    checkMixing(bytes, h, target, samples);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    check(bytes, FrameFormat{48000, 2});
    const std::size_t pick = size + (size > 0 ? data[size - 1] : 0);
    check(bytes, kTargets[pick % std::size(kTargets)]);
    return 0;
}
