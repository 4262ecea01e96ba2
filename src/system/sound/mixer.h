#pragma once
// The game's own mixer: one voice per sound device, each holding one sound
// (16-bit frames at the sound's own rate and channel count, see Sound in
// wav_decoder.h) and a play position. The window's thread cues voices; the
// audio side pulls mixed frames with mix(), which converts each voice's
// frames to the output's rate and channels as it adds them (linear
// interpolation, the same conversion as decodeWav: see frame_mixing.h).
// Plain C++: the Qt output that pulls from it lives in sound_output.h, and
// tests call mix() directly.
//
// Long sounds: a sound that is not held whole streams the rest of its frames
// from its file. The mixer decodes them ahead on a thread of its own (started
// with the first such sound) into a ring of kStreamRingBytes per voice, in
// the sound's own frames, and mix() only reads from the ring.
//
// Memory: a voice holds its sound (at most kMaxHeldSoundBytes, see
// wav_decoder.h) and, for a long sound, its ring, so a voice never holds
// more than kMaxVoiceBytes (2 MiB) and the game's five devices no more than
// 10 MiB, whatever the length of their files (while a device opens a new
// file, its old sound is kept until the new one is ready). bytesHeld()
// reports what the voices hold.
//
// Threading: cues (rewind/start) and mix() may run on different threads. They
// share one mutex that each holds only to read or write a few numbers per
// voice, never while mixing samples or decoding, so a cue never waits for a
// mix and the audio side never waits for decoding: a voice whose next frames
// are not decoded yet is silent for the moment and keeps its position until
// they are. mix() is called by one thread at a time and allocates nothing.
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "system/sound/wav_decoder.h"

namespace korvala::sound {

class Mixer {
public:
    using VoiceId = int;
    static constexpr VoiceId kNoVoice = -1;
    static constexpr int kMaxVoices = 16;
    // What each voice with a long sound decodes ahead, in its own frames:
    // about 1.5 s of a 44100 Hz stereo sound, 3 s of a mono one.
    static constexpr std::size_t kStreamRingBytes = 256u << 10;
    // The most a voice holds: a sound held whole, or a long sound's head,
    // read buffer and ring.
    static constexpr std::size_t kMaxVoiceBytes =
        kStreamHeadBytes + kMaxReadBufferBytes + kStreamRingBytes > kMaxHeldSoundBytes
            ? kStreamHeadBytes + kMaxReadBufferBytes + kStreamRingBytes
            : kMaxHeldSoundBytes;

    // `format` is what mix() produces: a playable format (see isPlayable),
    // else every voice stays silent.
    explicit Mixer(FrameFormat format);
    ~Mixer();  // stops the streaming thread
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    const FrameFormat& format() const { return format_; }

    // A new, silent voice. Returns kNoVoice once kMaxVoices exist; every call
    // below accepts kNoVoice and does nothing with it.
    VoiceId addVoice();

    // Gives the voice its sound, stopped at its start. A sound of any
    // playable rate and channel count plays; null, or a sound that is not
    // whole (an unplayable format, more than ten minutes, a head longer than
    // the sound, or a short head and nothing to stream the rest from), is
    // silent.
    void setSound(VoiceId voice, std::shared_ptr<const Sound> sound);

    // "prev": stop if playing and go back to the start of the sound.
    void rewind(VoiceId voice);
    // "play": play from the current position; at the end of a finished
    // sound there is nothing left to play until the next rewind.
    void start(VoiceId voice);

    // Writes `frames` frames (frames * format().channels floats) into `out`:
    // the sum of all playing voices, each converted to the output's rate and
    // channels, clipped to [-1, 1]; silence when none plays. A voice that
    // reaches the end of its sound (its length at the output's rate) stops
    // there. Returns how many voices were playing (0: `out` is silence).
    int mix(float* out, std::size_t frames);

    // Whether any voice is playing.
    bool anyPlaying() const;

    // Called whenever start() sets a voice playing, so that an audio output
    // that went idle can wake up. It runs on the cueing thread under the
    // mixer's lock: it must be quick and must not call the mixer. Null: none.
    void setStartListener(std::function<void()> listener);

    // For tests and diagnostics.
    bool isPlaying(VoiceId voice) const;
    // Frames of the output the voice has played since the sound's start.
    std::size_t position(VoiceId voice) const;
    // Sample memory the voices hold: their sounds and rings, in bytes.
    std::size_t bytesHeld() const;

private:
    struct Voice {
        std::shared_ptr<const Sound> sound;
        std::size_t position = 0;  // in output frames; source frame sourceFrameAt(position)
        std::uint64_t end = 0;     // the sound's length in output frames
        bool playing = false;
        std::uint64_t serial = 0;  // bumped by every command, so mix() can tell
                                   // whether its snapshot went stale
        // A long sound's frames [ringFirst, ringFirst + ringCount), decoded
        // ahead in the sound's own frames: frame f sits at slot f %
        // ringFrames (null for a sound held whole). The streaming thread fills slots outside the window and
        // outside the lock, then widens the window; it alone moves the
        // window. mix() only reads inside it. Both keep the ring alive while
        // they use it outside the lock.
        std::shared_ptr<std::int16_t[]> ring;  // kStreamRingBytes, whatever the sound
        std::size_t ringFrames = 0;
        std::uint64_t ringFirst = 0;
        std::size_t ringCount = 0;
        std::uint64_t ringGeneration = 0;  // bumped whenever the window is emptied
        bool ringReset = false;            // emptied for a new sound since last filled
    };
    bool valid(VoiceId v) const;

    void wakeStreamer();
    void stream();     // the streaming thread
    bool fillRings();  // one round of it; true when a voice has to be tried again soon

    const FrameFormat format_;
    const bool playable_;  // whether the format is one the voices can be converted to
    mutable std::mutex mutex_;
    std::array<Voice, kMaxVoices> voices_;
    int voiceCount_ = 0;
    int mixing_ = 0;  // mix() calls between their first and last look at the voices
    std::function<void()> startListener_;

    std::mutex streamMutex_;  // guards the three below, never held while decoding
    std::condition_variable streamWake_;
    bool streamWanted_ = false;
    bool stopStreaming_ = false;
    std::thread streamer_;
};

}  // namespace korvala::sound
