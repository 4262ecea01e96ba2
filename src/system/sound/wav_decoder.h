#pragma once
// Reads waveform-audio (WAV) files. Plain C++: no Qt, no platform calls.
//
// Two ways in:
//   decodeWav / decodeWavFile  the whole sound at once, as float frames
//                              converted to a given rate and channel count;
//   openWavSound               what the sound devices use: 16-bit frames at
//                              the sound's own rate and channel count (the
//                              mixer converts them as it plays them), a
//                              short sound decoded whole, a long one only its
//                              first frames, the rest read from the file in
//                              small blocks as it plays (see Sound).
//
// Accepted: RIFF/WAVE with a "fmt " chunk of format PCM (8-bit unsigned,
// 16/24/32-bit signed), IEEE float (32/64-bit), or WAVE_FORMAT_EXTENSIBLE
// wrapping either; 1..32 channels; 1000..768000 Hz; chunks in any order with
// unknown chunks (LIST, fact, cue ...) skipped and odd sizes padded. The
// first "fmt " and the first "data" count, whichever comes first; the walk
// through the chunks ends once it has both, or at an unknown chunk that
// claims more bytes than the file has left.
// Everything else is refused with an error, never a crash: the decoder never
// reads past the bytes it was given and checks every size before it
// allocates, so a hostile header cannot make it reserve gigabytes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace korvala::sound {

// The shape of a run of frames: the mixer's output, or a sound as it is held.
struct FrameFormat {
    int sampleRate = 48000;  // frames per second
    int channels = 2;        // 1 (mono) or 2 (stereo, left then right)
};

// Whether frames of `f` can be held and mixed: 1000..768000 Hz, one or two channels.
inline bool isPlayable(FrameFormat f) {
    return f.channels >= 1 && f.channels <= 2 && f.sampleRate >= 1000 && f.sampleRate <= 768000;
}

// How many frames at `toRate` a sound of `frames` frames at `fromRate` lasts:
// the length kept, rounded, and never nothing from something. Both rates
// in 1000..768000 and frames no more than ten minutes' worth.
inline std::uint64_t framesAtRate(std::uint64_t frames, int fromRate, int toRate) {
    if (fromRate == toRate || frames == 0) return frames;
    const auto from = static_cast<std::uint64_t>(fromRate);
    const auto to = static_cast<std::uint64_t>(toRate);
    const std::uint64_t n = (frames * to + from / 2) / from;
    return n > 0 ? n : 1;
}

// A decoded sound: interleaved float samples in [-1, 1] at `format`.
struct DecodedSound {
    FrameFormat format;
    std::vector<float> samples;  // frames() * format.channels values
    std::size_t frames() const {
        return format.channels > 0 ? samples.size() / static_cast<std::size_t>(format.channels) : 0;
    }
};

enum class WavError {
    None,
    CannotRead,         // missing, unreadable or a folder
    TooLarge,           // file or decoded sound beyond the limits below
    NotWav,             // no RIFF/WAVE header
    Truncated,          // a chunk header or the "fmt " body is cut short
    NoFormat,           // no "fmt " chunk (before or after "data")
    NoData,             // no "data" chunk
    DataBeyondFile,     // "data" claims more bytes than the file holds
    UnsupportedFormat,  // a format tag or bit depth we do not play
    BadFormat,          // zero channels, absurd rate, inconsistent block size
};

const char* toString(WavError e);

struct WavResult {
    WavError error = WavError::None;
    DecodedSound sound;  // empty unless error == None
    bool ok() const { return error == WavError::None; }
};

// Limits that keep a damaged or hostile file from exhausting memory.
inline constexpr std::uint64_t kMaxWavFileBytes = 256ull << 20;  // 256 MiB
inline constexpr std::uint64_t kMaxDecodedSeconds = 600;         // 10 minutes

// Decodes a WAV held in memory into frames at `target`, the whole sound
// converted at once: what a voice of the mixer plays for it, give or take
// the rounding to 16 bits (the mixer converts the same way as it plays).
// Channels: mono is copied to both sides, stereo is averaged to mono, more
// than two channels keep their front left/right pair. A different rate is
// converted by linear interpolation, keeping the sound's length.
// A data chunk whose size is not a whole number of frames loses the partial
// frame at its end. A data chunk of zero frames decodes to an empty sound.
// Sample values outside [-1, 1] are clipped, and non-numbers become silence.
WavResult decodeWav(std::span<const std::uint8_t> bytes, FrameFormat target);

// Reads the file at `path` (no larger than kMaxWavFileBytes) and decodes it.
WavResult decodeWavFile(const std::string& path, FrameFormat target);

// The 16-bit value the mixer holds for a decoded sample in [-1, 1]: scaled by
// 32768 and rounded, so 8- and 16-bit sources keep their exact values.
inline std::int16_t toSample16(float v) {
    const long s = std::lrint(static_cast<double>(v) * 32768.0);
    return static_cast<std::int16_t>(s > 32767 ? 32767 : (s < -32768 ? -32768 : s));
}

// Decodes frames of a sound on demand (the part of a long sound that is not
// held in memory), at the sound's own rate and channel count. Called by one
// thread at a time.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Writes frames [first, first + count) into `out` (count * the sound's
    // channels values); returns how many it wrote, fewer only past the
    // sound's end.
    // Samples it cannot read (the file shrank or went away) are silence.
    virtual std::size_t read(std::uint64_t first, std::size_t count, std::int16_t* out) = 0;
    // The memory it keeps for its work, in bytes.
    virtual std::size_t bytesHeld() const = 0;
};

// A sound as a voice plays it: interleaved 16-bit frames at the sound's own
// rate and channel count, `format` (a file of more than two channels keeps
// its front left/right pair). Its first headFrames() frames are held in
// `head`; a sound longer than that reads the rest from `rest` while it
// plays. The mixer converts the frames to its output as it mixes them.
struct Sound {
    FrameFormat format;
    std::uint64_t frames = 0;           // the whole sound
    std::vector<std::int16_t> head;     // frames [0, headFrames())
    std::unique_ptr<FrameSource> rest;  // frames [headFrames(), frames); null when all is held
    std::size_t headFrames() const {
        return format.channels > 0 ? head.size() / static_cast<std::size_t>(format.channels) : 0;
    }
    // Memory held for this sound: its head and its source's buffers.
    std::size_t bytesHeld() const { return head.size() * sizeof(std::int16_t) + (rest ? rest->bytesHeld() : 0); }
};

// How much of a sound is held in memory (as 16-bit frames at its own rate
// and channel count): a sound of up to kMaxHeldSoundBytes is decoded whole
// (about 23 s at 44100 Hz mono, 11 s at 48000 Hz stereo: every sound the game
// ships); of a longer one only the first kStreamHeadBytes are, the rest is
// read from its file as it plays, in blocks through a buffer of at most
// kMaxReadBufferBytes. So no sound holds more than kMaxHeldSoundBytes,
// however long it is.
inline constexpr std::size_t kMaxHeldSoundBytes = 2u << 20;  // 2 MiB
inline constexpr std::size_t kStreamHeadBytes = 512u << 10;  // 512 KiB
// 256 KiB: the buffer is 64 KiB, or 4 frames when frames are larger than
// 16 KiB (a frame's block is at most 65535 bytes, so 4 of them fit).
inline constexpr std::size_t kMaxReadBufferBytes = 256u << 10;

struct SoundResult {
    WavError error = WavError::None;
    std::shared_ptr<Sound> sound;  // null unless error == None
    bool ok() const { return error == WavError::None; }
};

// Opens the WAV file at `path` for playing, with the same checks and errors
// as decodeWavFile, but without reading the file whole: it reads the chunk
// headers, then decodes the held frames; a sound longer than `maxHeldBytes`
// keeps the first `headBytes` and its file open for the rest. The frames
// keep the file's rate; a mono file stays mono, a stereo file stereo, and
// of more channels the front left/right pair is kept. Each sample is
// toSample16 of what decodeWav gives at the file's own rate and that channel
// count. The limits are parameters for the tests; the game uses the defaults.
SoundResult openWavSound(const std::string& path, std::size_t maxHeldBytes = kMaxHeldSoundBytes,
                         std::size_t headBytes = kStreamHeadBytes);

}  // namespace korvala::sound
