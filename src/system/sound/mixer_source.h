#pragma once
// The mixer seen as what an audio output pulls from.
#include "system/sound/mix_source.h"
#include "system/sound/mixer.h"

namespace korvala::sound {

// The mixer as a MixSource.
class MixerSource final : public MixSource {
public:
    explicit MixerSource(Mixer& mixer) : mixer_(mixer) {}
    FrameFormat format() const override { return mixer_.format(); }
    int mix(float* out, std::size_t frames) override { return mixer_.mix(out, frames); }
    bool anyPlaying() const override { return mixer_.anyPlaying(); }
    void setStartListener(std::function<void()> listener) override { mixer_.setStartListener(std::move(listener)); }

private:
    Mixer& mixer_;
};

}  // namespace korvala::sound
