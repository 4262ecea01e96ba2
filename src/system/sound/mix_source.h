#pragma once
// What an audio output pulls its frames from: the mixer, seen through a few
// virtual calls so that the output can live in a module of its own (Qt
// Multimedia and the sound server's client libraries are loaded only once
// the game's first frame is on screen) without needing the mixer's code.
#include <cstddef>
#include <functional>

#include "system/sound/wav_decoder.h"  // FrameFormat

namespace korvala::sound {

class MixSource {
public:
    virtual ~MixSource() = default;
    virtual FrameFormat format() const = 0;
    // As Mixer::mix: frames into `out`, the number of voices playing.
    virtual int mix(float* out, std::size_t frames) = 0;
    virtual bool anyPlaying() const = 0;
    // As Mixer::setStartListener.
    virtual void setStartListener(std::function<void()> listener) = 0;
};

}  // namespace korvala::sound
