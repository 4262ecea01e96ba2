#pragma once
// The game's sound system: the mixer from the start (so the devices can
// take their sounds and cues at once), its audio output once the game's
// first frame is on screen. The output (Qt Multimedia and the sound
// server's client libraries) lives in a module that a thread of its own
// loads, so that the game's window comes up as fast as a plain window's and
// the window's thread never waits for the libraries; only opening the
// output runs on the window's thread. A cue given before the output is open
// plays as it opens.
//
//   DeferredSoundSystem sound;                    // after the QApplication
//   auto mc1 = makeSoundDevice(sound.mixer());
//   ... first frame painted:
//   sound.start(post);                            // post: to the window's thread
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "system/sound/mixer.h"
#include "system/sound/mixer_source.h"

namespace korvala::sound {

class SoundOutput;

class DeferredSoundSystem {
public:
    using WindowPost = std::function<void(std::function<void()>)>;

    DeferredSoundSystem();
    // Closes the output (on the window's thread, where it is destroyed) and
    // waits for the loading thread, if it still runs.
    ~DeferredSoundSystem();
    DeferredSoundSystem(const DeferredSoundSystem&) = delete;
    DeferredSoundSystem& operator=(const DeferredSoundSystem&) = delete;

    Mixer& mixer() { return mixer_; }

    // Loads the output module (korvala_sound_output.so beside the game, or
    // the file KORVALA_SOUND_OUTPUT_MODULE names) on a thread of its own,
    // then has `post` open
    // the output on the window's thread. Once; later calls do nothing.
    // Without the module (or with no audio device) the game stays silent,
    // and the sound log says why.
    void start(WindowPost post);

    // Whether the output is open and has a device to play on.
    bool hasOutput() const;

private:
    struct Shared;
    Mixer mixer_;
    MixerSource source_;
    std::shared_ptr<Shared> shared_;
    std::thread loader_;
};

}  // namespace korvala::sound
