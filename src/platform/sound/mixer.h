#pragma once
// The game's own mixer: one voice per sound device, each holding one decoded
// sound and a play position. The window's thread cues voices; the audio
// side pulls mixed frames with mix(). Plain C++: the Qt output that pulls
// from it lives in sound_output.h, and tests call mix() directly.
//
// Threading: cues (rewind/start) and mix() may run on different threads. They
// share one mutex that each holds only to read or write a few numbers per
// voice, never while mixing samples, so a cue never waits for a mix and the
// audio side never waits for decoding.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/sound/wav_decoder.h"

namespace korvala::sound {

class Mixer {
public:
    using VoiceId = int;
    static constexpr VoiceId kNoVoice = -1;
    static constexpr int kMaxVoices = 16;

    // `format` is what mix() produces; every sound given to a voice must have it.
    explicit Mixer(FrameFormat format);
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    const FrameFormat& format() const { return format_; }

    // A new, silent voice. Returns kNoVoice once kMaxVoices exist; every call
    // below accepts kNoVoice and does nothing with it.
    VoiceId addVoice();

    // Gives the voice its sound (null, or a sound of another format: silent),
    // stopped at its start.
    void setSound(VoiceId voice, std::shared_ptr<const DecodedSound> sound);

    // "prev": stop if playing and go back to the start of the sound.
    void rewind(VoiceId voice);
    // "play": play from the current position; at the end of a finished
    // sound there is nothing left to play until the next rewind.
    void start(VoiceId voice);

    // Writes `frames` frames (frames * format().channels floats) into `out`:
    // the sum of all playing voices, clipped to [-1, 1]; silence when none
    // plays. A voice that reaches the end of its sound stops there.
    void mix(float* out, std::size_t frames);

    // For tests and diagnostics.
    bool isPlaying(VoiceId voice) const;
    std::size_t position(VoiceId voice) const;  // in frames

private:
    struct Voice {
        std::shared_ptr<const DecodedSound> sound;
        std::size_t position = 0;
        bool playing = false;
        std::uint64_t serial = 0;  // bumped by every command, so mix() can tell
                                   // whether its snapshot went stale
    };
    bool valid(VoiceId v) const;

    const FrameFormat format_;
    mutable std::mutex mutex_;
    std::array<Voice, kMaxVoices> voices_;
    int voiceCount_ = 0;
};

}  // namespace korvala::sound
