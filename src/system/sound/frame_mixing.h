#pragma once
// Adds a voice's frames to the mixer's output, converting them as it goes:
// a sound is held as 16-bit frames at its own rate and channel count (see
// Sound in wav_decoder.h), and the mixer plays at one output format.
//
// The conversion is decodeWav's, done a piece at a time: output frame j of a
// sound sits at source position j * from / to, linearly interpolated between
// the two source frames around it, the last source frame held at the end;
// mono goes to both sides, stereo to mono is averaged. The sound lasts
// framesAtRate(frames, from, to) output frames, and a voice's place in it is
// counted in those. Nothing is rounded on the way: for an 8- or 16-bit file
// a voice plays decodeWav's frames themselves (give or take float rounding;
// the mixer used to hold them rounded to 16 bits, half a step away); a finer
// file's samples are held rounded to 16 bits, so it plays within one step of
// them (a sample at full scale is held one step below it).
//
// Plain C++, no allocation, no lock: the mixer calls it outside its lock.
#include <cstddef>
#include <cstdint>

#include "system/sound/wav_decoder.h"

namespace korvala::sound {

// Where the frames of a sound that a voice may read now lie: its held head,
// then the window [ringFirst, ringFirst + ringCount) of its ring, frame f in
// slot f % ringFrames. Frames in neither are not decoded yet.
struct HeldFrames {
    FrameFormat format;        // the sound's own: a playable rate, 1 or 2 channels
    std::uint64_t frames = 0;  // the whole sound
    const std::int16_t* head = nullptr;
    std::uint64_t headFrames = 0;
    const std::int16_t* ring = nullptr;  // null: no ring
    std::size_t ringFrames = 0;
    std::uint64_t ringFirst = 0;
    std::size_t ringCount = 0;
};

// The source frame that output frame `position` starts from, at `outRate`.
inline std::uint64_t sourceFrameAt(std::uint64_t position, int soundRate, int outRate) {
    if (soundRate == outRate) return position;
    return position * static_cast<std::uint64_t>(soundRate) / static_cast<std::uint64_t>(outRate);
}

// Adds output frames [position, position + count) of the sound to `out`
// (interleaved floats at `output`, a playable format), each sample as its
// 16-bit value / 32768. Stops early at the sound's end, framesAtRate(frames,
// its rate, output rate), and at the first output frame whose source frames
// are not decoded yet. Returns how many frames it added; it reads no frame
// outside the head, the ring's window and the sound.
std::size_t addHeldFrames(const HeldFrames& sound, FrameFormat output, std::uint64_t position, std::size_t count,
                          float* out);

}  // namespace korvala::sound
