#pragma once
// Reads a waveform-audio (WAV) file whole and turns it into float frames at
// the rate and channel count the mixer plays, so a cue only has to copy
// samples. Plain C++: no Qt, no platform calls.
//
// Accepted: RIFF/WAVE with a "fmt " chunk of format PCM (8-bit unsigned,
// 16/24/32-bit signed), IEEE float (32/64-bit), or WAVE_FORMAT_EXTENSIBLE
// wrapping either; 1..32 channels; 1000..768000 Hz; chunks in any order with
// unknown chunks (LIST, fact, cue ...) skipped and odd sizes padded.
// Everything else is refused with an error, never a crash: the decoder never
// reads past the bytes it was given and checks every size before it
// allocates, so a hostile header cannot make it reserve gigabytes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace korvala::sound {

// The shape of the frames the mixer plays.
struct FrameFormat {
    int sampleRate = 48000;  // frames per second
    int channels = 2;        // 1 (mono) or 2 (stereo, left then right)
};

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
    CannotRead,          // missing, unreadable or a folder
    TooLarge,            // file or decoded sound beyond the limits below
    NotWav,              // no RIFF/WAVE header
    Truncated,           // a chunk header or the "fmt " body is cut short
    NoFormat,            // no "fmt " chunk before "data"
    NoData,              // no "data" chunk
    DataBeyondFile,      // "data" claims more bytes than the file holds
    UnsupportedFormat,   // a format tag or bit depth we do not play
    BadFormat,           // zero channels, absurd rate, inconsistent block size
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

// Decodes a WAV held in memory into frames at `target`.
// Channels: mono is copied to both sides, stereo is averaged to mono, more
// than two channels keep their front left/right pair. A different rate is
// converted by linear interpolation, keeping the sound's length.
// A data chunk whose size is not a whole number of frames loses the partial
// frame at its end. A data chunk of zero frames decodes to an empty sound.
// Sample values outside [-1, 1] are clipped, and non-numbers become silence.
WavResult decodeWav(std::span<const std::uint8_t> bytes, FrameFormat target);

// Reads the file at `path` (no larger than kMaxWavFileBytes) and decodes it.
WavResult decodeWavFile(const std::string& path, FrameFormat target);

}  // namespace korvala::sound
