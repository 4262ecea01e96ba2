#pragma once
// Plays the Mixer through the default audio output (Qt Multimedia).
//
// The output runs on its own thread: every 10 ms it tops up a QAudioSink's
// buffer with frames from the mixer, for as long as the game runs, silence
// while no voice plays.
// Keeping it running means a cue starts within one buffer (about 40 ms) and
// a sound's last frames are always played out instead of cut off.
// Without an audio output (no sound server, no device, no Qt application
// object) nothing is started; the mixer and its devices still accept every
// command and simply stay silent.
//
//   QApplication app(argc, argv);
//   korvala::sound::SoundSystem sound;            // picks the format, starts output
//   auto mc1 = korvala::sound::makeSoundDevice(sound.mixer());
#include <memory>

#include "platform/sound/mixer.h"


namespace korvala::sound {

// The frame format of the default output device (its preferred rate, stereo
// unless the device is mono); 48000 Hz stereo when there is no device.
FrameFormat preferredFrameFormat();

class SoundOutput {
public:
    // Starts feeding from `mixer`, which must outlive this object. Create it
    // after the Qt application object and destroy it before; the destructor
    // stops the output and waits for its thread.
    explicit SoundOutput(Mixer& mixer);
    ~SoundOutput();
    SoundOutput(const SoundOutput&) = delete;
    SoundOutput& operator=(const SoundOutput&) = delete;

    // True while an audio output is being fed.
    bool isActive() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The mixer and its output together, as the game uses them.
class SoundSystem {
public:
    SoundSystem();
    Mixer& mixer() { return mixer_; }
    bool hasOutput() const { return output_.isActive(); }

private:
    Mixer mixer_;
    SoundOutput output_;
};

}  // namespace korvala::sound
