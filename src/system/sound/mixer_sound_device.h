#pragma once
// The game's sound devices. Each device is one voice of the shared Mixer:
//
//   Mixer& mixer = soundSystem.mixer();          // see sound_output.h
//   auto hit = makeSoundDevice(mixer);
//   hit->setFileName(folder + "/gunshot2.wav");
//   hit->command("open");                        // decodes the file, in the background
//   ...
//   hit->command("prev");                        // cue: rewind ...
//   hit->command("play");                        // ... and play, returns at once
//
// "open" reads and decodes the named file on a worker thread, so binding the
// five devices at start-up does not hold back the first frame; a cue given
// before the decoding is done plays as soon as it is. The sound is held as
// 16-bit frames at the file's own rate and channel count (the mixer
// converts them to the output as it plays them). A short sound is decoded
// whole; of a long one only its first frames, the rest streams from the
// file as it plays (see openWavSound and Mixer), so a device holds at most
// 2 MiB of sound however long its file is. A missing or undecodable file
// leaves the device silent, and is logged (a warning with the file and the
// reason). "prev" and "play" only touch the voice's position and playing
// flag. Every other command is ignored. No command throws, reports an error
// or waits for the sound.
// Devices may be created while the mixer is already playing; the mixer must
// outlive its devices.
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "system/sound/mixer.h"
#include "window/ports.h"

namespace korvala::sound {

class MixerSoundDevice final : public SoundBackend {
public:
    explicit MixerSoundDevice(Mixer& mixer);
    ~MixerSoundDevice() override;  // waits for a decoding still under way

    void setFileName(const std::string& path) override;
    void command(std::string_view cmd) override;

    // Why the last "open" left the device silent (WavError::None after a
    // good one or before any); waits for that "open" to finish. For
    // diagnostics and tests only.
    WavError openError();
    Mixer::VoiceId voice() const { return voice_; }

private:
    void open();
    void decode(std::string path);

    Mixer& mixer_;
    Mixer::VoiceId voice_;
    std::string fileName_;
    std::future<void> decoding_;
    std::mutex mutex_;   // guards the three below against the decoding thread
    bool ready_ = true;  // the voice holds the last opened sound
    bool playWhenReady_ = false;
    WavError openError_ = WavError::None;
};

std::unique_ptr<SoundBackend> makeSoundDevice(Mixer& mixer);

}  // namespace korvala::sound
