#include "platform/sound/mixer.h"

#include <algorithm>

namespace korvala::sound {

Mixer::Mixer(FrameFormat format) : format_(format) {}

bool Mixer::valid(VoiceId v) const { return v >= 0 && v < voiceCount_; }

Mixer::VoiceId Mixer::addVoice() {
    std::lock_guard lock(mutex_);
    if (voiceCount_ >= kMaxVoices) return kNoVoice;
    return voiceCount_++;
}

void Mixer::setSound(VoiceId voice, std::shared_ptr<const DecodedSound> sound) {
    if (sound && (sound->format.sampleRate != format_.sampleRate ||
                  sound->format.channels != format_.channels))
        sound.reset();
    std::shared_ptr<const DecodedSound> old;
    {
        std::lock_guard lock(mutex_);
        if (!valid(voice)) return;
        Voice& v = voices_[voice];
        old = std::move(v.sound);  // freed outside the lock
        v.sound = std::move(sound);
        v.position = 0;
        v.playing = false;
        ++v.serial;
    }
}

void Mixer::rewind(VoiceId voice) {
    std::lock_guard lock(mutex_);
    if (!valid(voice)) return;
    Voice& v = voices_[voice];
    v.position = 0;
    v.playing = false;
    ++v.serial;
}

void Mixer::start(VoiceId voice) {
    std::lock_guard lock(mutex_);
    if (!valid(voice)) return;
    Voice& v = voices_[voice];
    v.playing = v.sound && v.position < v.sound->frames();
    ++v.serial;
}

void Mixer::mix(float* out, std::size_t frames) {
    const std::size_t ch = static_cast<std::size_t>(format_.channels);
    std::fill(out, out + frames * ch, 0.0f);

    struct Snapshot {
        VoiceId id;
        const DecodedSound* sound;
        std::size_t position;
        std::uint64_t serial;
    };
    std::array<Snapshot, kMaxVoices> active;
    std::array<std::shared_ptr<const DecodedSound>, kMaxVoices> keep;  // alive while we read
    int count = 0;
    {
        std::lock_guard lock(mutex_);
        for (VoiceId id = 0; id < voiceCount_; ++id) {
            const Voice& v = voices_[id];
            if (!v.playing || !v.sound) continue;
            keep[count] = v.sound;
            active[count] = {id, v.sound.get(), v.position, v.serial};
            ++count;
        }
    }
    if (count == 0) return;

    for (int k = 0; k < count; ++k) {
        Snapshot& s = active[k];
        const std::size_t total = s.sound->frames();
        const std::size_t n = std::min(frames, total - std::min(total, s.position));
        const float* src = s.sound->samples.data() + s.position * ch;
        for (std::size_t i = 0; i < n * ch; ++i) out[i] += src[i];
        s.position += n;
    }
    for (std::size_t i = 0; i < frames * ch; ++i) out[i] = std::clamp(out[i], -1.0f, 1.0f);

    {
        std::lock_guard lock(mutex_);
        for (int k = 0; k < count; ++k) {
            const Snapshot& s = active[k];
            Voice& v = voices_[s.id];
            if (v.serial != s.serial) continue;  // cued meanwhile: the cue wins
            v.position = s.position;
            v.playing = s.position < s.sound->frames();
        }
    }
}

bool Mixer::isPlaying(VoiceId voice) const {
    std::lock_guard lock(mutex_);
    return valid(voice) && voices_[voice].playing;
}

std::size_t Mixer::position(VoiceId voice) const {
    std::lock_guard lock(mutex_);
    return valid(voice) ? voices_[voice].position : 0;
}

}  // namespace korvala::sound
