#include "system/sound/frame_mixing.h"

#include <algorithm>

namespace korvala::sound {
namespace {

constexpr float kSampleScale = 1.0f / 32768.0f;

// Source frame k of the sound where it lies in memory, with `run` set to how
// many frames from k on lie one after another there; null when k is not
// decoded yet.
const std::int16_t* frameAt(const HeldFrames& s, std::uint64_t k, std::uint64_t& run) {
    const auto ch = static_cast<std::size_t>(s.format.channels);
    if (k < s.headFrames) {
        run = s.headFrames - k;
        return s.head + static_cast<std::size_t>(k) * ch;
    }
    if (s.ring && k >= s.ringFirst && k - s.ringFirst < s.ringCount) {
        const auto slot = static_cast<std::size_t>(k % s.ringFrames);
        run = std::min<std::uint64_t>(s.ringFirst + s.ringCount - k, s.ringFrames - slot);
        return s.ring + slot * ch;
    }
    run = 0;
    return nullptr;
}

// How the source position moves per output frame: `whole` frames and
// `part` / `to` of one.
struct Step {
    std::size_t whole;
    std::uint32_t part;
    std::uint32_t to;
    float perTo;  // 1 / to
};

// Same rate: output frame k is source frame k. SC source channels, OC output.
template <int SC, int OC>
void addSameRate(const std::int16_t* src, std::size_t n, float* out) {
    if constexpr (SC == OC) {
        for (std::size_t i = 0; i < n * SC; ++i) out[i] += src[i] * kSampleScale;
    } else if constexpr (SC == 1) {  // mono to both sides
        for (std::size_t k = 0; k < n; ++k) {
            const float v = src[k] * kSampleScale;
            out[2 * k] += v;
            out[2 * k + 1] += v;
        }
    } else {  // stereo averaged to mono
        for (std::size_t k = 0; k < n; ++k) out[k] += (src[2 * k] + src[2 * k + 1]) * (0.5f * kSampleScale);
    }
}

// Interpolated: output frame k sits `rem` / to past source frame i (0 at
// first, from `src`), between frames i and i + 1, both of which the caller
// has checked are there for all n frames.
template <int SC, int OC>
void addInterpolated(const std::int16_t* src, std::uint32_t rem, const Step& step, std::size_t n, float* out) {
    std::size_t i = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const float f = static_cast<float>(rem) * step.perTo;
        const std::int16_t* a = src + i * SC;
        if constexpr (SC == 1) {
            const float x = a[0];
            const float v = (x + (a[1] - x) * f) * kSampleScale;
            out[k * OC] += v;
            if constexpr (OC == 2) out[k * OC + 1] += v;
        } else if constexpr (OC == 2) {
            const float l = a[0], r = a[1];
            out[2 * k] += (l + (a[2] - l) * f) * kSampleScale;
            out[2 * k + 1] += (r + (a[3] - r) * f) * kSampleScale;
        } else {
            const float m = static_cast<float>(a[0] + a[1]);
            const float next = static_cast<float>(a[2] + a[3]);
            out[k] += (m + (next - m) * f) * (0.5f * kSampleScale);
        }
        rem += step.part;
        i += step.whole;
        if (rem >= step.to) {
            rem -= step.to;
            ++i;
        }
    }
}

struct Kernels {
    void (*same)(const std::int16_t*, std::size_t, float*);
    void (*interpolated)(const std::int16_t*, std::uint32_t, const Step&, std::size_t, float*);
};

template <int SC, int OC>
constexpr Kernels kernels() {
    return {&addSameRate<SC, OC>, &addInterpolated<SC, OC>};
}

Kernels pick(int soundChannels, int outChannels) {
    if (soundChannels == 1) return outChannels == 1 ? kernels<1, 1>() : kernels<1, 2>();
    return outChannels == 1 ? kernels<2, 1>() : kernels<2, 2>();
}

// How many output frames start before source frame m: those j with
// j * from / to < m.
std::uint64_t framesBefore(std::uint64_t m, std::uint64_t from, std::uint64_t to) { return (m * to + from - 1) / from; }

}  // namespace

std::size_t addHeldFrames(const HeldFrames& s, FrameFormat output, std::uint64_t position, std::size_t count,
                          float* out) {
    if (s.frames == 0) return 0;
    const std::uint64_t end = framesAtRate(s.frames, s.format.sampleRate, output.sampleRate);
    const int sc = s.format.channels;
    const auto oc = static_cast<std::size_t>(output.channels);
    const Kernels k = pick(sc, output.channels);
    const auto from = static_cast<std::uint64_t>(s.format.sampleRate);
    const auto to = static_cast<std::uint64_t>(output.sampleRate);
    const Step step{static_cast<std::size_t>(from / to), static_cast<std::uint32_t>(from % to),
                    static_cast<std::uint32_t>(to), 1.0f / static_cast<float>(to)};

    std::size_t done = 0;
    while (done < count && position < end) {
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, end - position));
        float* o = out + done * oc;
        std::uint64_t run = 0;
        std::size_t n;
        if (from == to) {
            const std::int16_t* p = frameAt(s, position, run);
            if (!p) break;  // not decoded yet
            n = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, run));
            k.same(p, n, o);
        } else {
            const std::uint64_t num = position * from;
            const std::uint64_t i = num / to;  // never past the last frame before `end`
            const auto rem = static_cast<std::uint32_t>(num % to);
            const std::int16_t* p = frameAt(s, i, run);
            if (!p) break;
            if (run >= 2) {
                // The frames that start before the run's last frame have
                // both their source frames in the run.
                n = static_cast<std::size_t>(
                    std::min<std::uint64_t>(wanted, framesBefore(i + run - 1, from, to) - position));
                k.interpolated(p, rem, step, n, o);
            } else {
                // Frame i ends its run: the next one lies elsewhere (the
                // ring's first frame after the head, its first slot after
                // its last) or, at the sound's last frame, is that frame
                // again. Both go side by side for the frames that start at i.
                std::int16_t pair[4];
                std::copy(p, p + sc, pair);
                const std::int16_t* next = p;
                if (i + 1 < s.frames) {
                    next = frameAt(s, i + 1, run);
                    if (!next) break;  // not decoded yet
                }
                std::copy(next, next + sc, pair + sc);
                n = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, framesBefore(i + 1, from, to) - position));
                k.interpolated(pair, rem, step, n, o);
            }
        }
        position += n;
        done += n;
    }
    return done;
}

}  // namespace korvala::sound
