#pragma once
// Plays the Mixer through the default audio output (Qt Multimedia).
//
// The output runs on its own thread. While a voice plays, it tops up a
// QAudioSink's buffer (about 30 ms) with mixed frames every 10 ms. When no
// voice plays it writes nothing: the sink plays out what it holds, the
// sound's last frames included, and once it has run dry the output suspends
// the sink's stream and stops its timer, so a silent game costs neither it
// nor the sound server anything. The next cue wakes it with a queued call
// (the cue itself returns at once): it resumes the stream and writes the new
// sound straight away behind half a buffer of silence (the part the server
// has already rendered ahead, which a resumed stream's first frames would
// otherwise overwrite), so the cue is heard from its first sample about
// 15 ms later instead of behind a full buffer.
// Without an audio output (no sound server, no device, no Qt application
// object) nothing is started; the mixer and its devices still accept every
// command and simply stay silent.
//
//   QApplication app(argc, argv);
//   korvala::sound::SoundSystem sound;            // sound_system.h: the mixer and this output
//   auto mc1 = korvala::sound::makeSoundDevice(sound.mixer());
#include <memory>

#include "system/sound/mix_source.h"

namespace korvala::sound {

// The frame format of the default output device (its preferred rate, stereo
// unless the device is mono); 48000 Hz stereo when there is no device.
FrameFormat preferredFrameFormat();

class SoundOutput {
public:
    // Starts feeding from `mixer`, which must outlive this object. Create it
    // after the Qt application object, on its thread, and destroy it before;
    // the destructor stops the output and waits for its thread.
    explicit SoundOutput(MixSource& mixer);
    ~SoundOutput();
    SoundOutput(const SoundOutput&) = delete;
    SoundOutput& operator=(const SoundOutput&) = delete;

    // True while there is an audio output to feed (running or suspended).
    bool isActive() const;
    // True while the output's stream is suspended because nothing plays.
    bool isSuspended() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace korvala::sound
