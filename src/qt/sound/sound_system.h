#pragma once
// The mixer and its Qt Multimedia output in one object.
#include "qt/sound/sound_output.h"
#include "system/sound/mixer.h"
#include "system/sound/mixer_source.h"

namespace korvala::sound {

// The mixer and its output together, both at once, as the tests and the
// benchmarks use them (the game opens its output later: deferred_sound.h).
class SoundSystem {
public:
    SoundSystem();
    Mixer& mixer() { return mixer_; }
    bool hasOutput() const { return output_.isActive(); }
    const SoundOutput& output() const { return output_; }

private:
    Mixer mixer_;
    MixerSource source_;
    SoundOutput output_;
};

}  // namespace korvala::sound
