#include "system/sound/mixer.h"

#include <algorithm>
#include <chrono>

#include "system/sound/frame_mixing.h"

namespace korvala::sound {
namespace {

// Frames the streaming thread decodes per read, committing each piece so
// that mix() can use it at once.
constexpr std::size_t kStreamPiece = 4096;
// Every ring holds the same bytes, so a voice keeps its ring from one long
// sound to the next whatever their channels.
constexpr std::size_t kRingValues = Mixer::kStreamRingBytes / sizeof(std::int16_t);

// Whether a voice can play `s`: a playable format, at most ten minutes, and
// every frame either held or to be streamed.
bool isWhole(const Sound& s) {
    if (!isPlayable(s.format)) return false;
    if (s.frames > kMaxDecodedSeconds * static_cast<std::uint64_t>(s.format.sampleRate)) return false;
    if (s.head.size() % static_cast<std::size_t>(s.format.channels) != 0) return false;
    return s.headFrames() == s.frames || (s.headFrames() < s.frames && s.rest);
}

}  // namespace

Mixer::Mixer(FrameFormat format) : format_(format), playable_(isPlayable(format)) {}

Mixer::~Mixer() {
    {
        std::lock_guard lock(streamMutex_);
        stopStreaming_ = true;
    }
    streamWake_.notify_all();
    if (streamer_.joinable()) streamer_.join();
}

bool Mixer::valid(VoiceId v) const { return v >= 0 && v < voiceCount_; }

Mixer::VoiceId Mixer::addVoice() {
    std::lock_guard lock(mutex_);
    if (voiceCount_ >= kMaxVoices) return kNoVoice;
    return voiceCount_++;
}

void Mixer::setSound(VoiceId voice, std::shared_ptr<const Sound> sound) {
    if (sound && (!playable_ || !isWhole(*sound))) sound.reset();
    const bool streamed = sound && sound->rest;
    std::shared_ptr<std::int16_t[]> ring;
    if (streamed) {
        std::lock_guard lock(mutex_);
        if (valid(voice)) ring = voices_[voice].ring;
    }
    if (streamed && !ring) ring.reset(new std::int16_t[kRingValues]);  // outside the lock
    const std::uint64_t end = sound ? framesAtRate(sound->frames, sound->format.sampleRate, format_.sampleRate) : 0;
    const std::size_t ringFrames = streamed ? kRingValues / static_cast<std::size_t>(sound->format.channels) : 0;
    std::shared_ptr<const Sound> oldSound;
    std::shared_ptr<std::int16_t[]> oldRing;
    {
        std::lock_guard lock(mutex_);
        if (!valid(voice)) return;
        Voice& v = voices_[voice];
        oldSound = std::move(v.sound);  // both freed outside the lock
        oldRing = std::move(v.ring);
        v.sound = std::move(sound);
        v.ring = std::move(ring);
        v.ringFrames = ringFrames;
        v.position = 0;
        v.end = end;
        v.playing = false;
        ++v.serial;
        v.ringFirst = v.sound ? v.sound->headFrames() : 0;
        v.ringCount = 0;
        ++v.ringGeneration;
        v.ringReset = true;
    }
    if (!streamed) return;
    {
        std::lock_guard lock(streamMutex_);
        if (!streamer_.joinable() && !stopStreaming_) {
            try {
                streamer_ = std::thread([this] { stream(); });
            } catch (...) {
                // No thread to be had: the sound plays its held head, then
                // stays silent where its stream would go on.
            }
        }
    }
    wakeStreamer();  // decode the start of the stream ahead of the first cue
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
    bool streamed = false;
    {
        std::lock_guard lock(mutex_);
        if (!valid(voice)) return;
        Voice& v = voices_[voice];
        v.playing = v.sound && v.position < v.end;
        ++v.serial;
        if (!v.playing) return;
        streamed = v.sound->rest != nullptr;
        if (startListener_) startListener_();
    }
    if (streamed) wakeStreamer();  // the window may have to move back to the start
}

int Mixer::mix(float* out, std::size_t frames) {
    const std::size_t ch = static_cast<std::size_t>(format_.channels);
    std::fill(out, out + frames * ch, 0.0f);

    struct Snapshot {
        VoiceId id;
        std::size_t position;
        std::uint64_t serial;
        HeldFrames held;
    };
    std::array<Snapshot, kMaxVoices> active;
    // Alive while we read them outside the lock.
    std::array<std::shared_ptr<const Sound>, kMaxVoices> sounds;
    std::array<std::shared_ptr<std::int16_t[]>, kMaxVoices> rings;
    int count = 0;
    {
        std::lock_guard lock(mutex_);
        for (VoiceId id = 0; id < voiceCount_; ++id) {
            const Voice& v = voices_[id];
            if (!v.playing || !v.sound) continue;
            sounds[count] = v.sound;
            rings[count] = v.ring;
            const Sound& sound = *v.sound;
            active[count] = {id, v.position, v.serial,
                             HeldFrames{sound.format, sound.frames, sound.head.data(), sound.headFrames(), v.ring.get(),
                                        v.ringFrames, v.ringFirst, v.ringCount}};
            ++count;
        }
        if (count == 0) return 0;
        ++mixing_;
    }

    bool streaming = false;
    for (int k = 0; k < count; ++k) {
        Snapshot& s = active[k];
        // Frames not decoded yet stop it early: silent until they are, the
        // position waits.
        s.position += addHeldFrames(s.held, format_, s.position, frames, out);
        if (sounds[k]->rest &&
            sourceFrameAt(s.position, s.held.format.sampleRate, format_.sampleRate) + 1 >= s.held.headFrames)
            streaming = true;
    }
    for (std::size_t i = 0; i < frames * ch; ++i) out[i] = std::clamp(out[i], -1.0f, 1.0f);

    {
        std::lock_guard lock(mutex_);
        --mixing_;
        for (int k = 0; k < count; ++k) {
            const Snapshot& s = active[k];
            Voice& v = voices_[s.id];
            if (v.serial != s.serial) continue;  // cued meanwhile: the cue wins
            v.position = s.position;
            v.playing = s.position < v.end;
        }
    }
    if (streaming) wakeStreamer();  // to refill what was played
    return count;
}

bool Mixer::anyPlaying() const {
    std::lock_guard lock(mutex_);
    for (VoiceId id = 0; id < voiceCount_; ++id)
        if (voices_[id].playing) return true;
    return false;
}

void Mixer::setStartListener(std::function<void()> listener) {
    std::function<void()> old;
    std::lock_guard lock(mutex_);
    old.swap(startListener_);
    startListener_ = std::move(listener);
}

void Mixer::wakeStreamer() {
    {
        std::lock_guard lock(streamMutex_);
        streamWanted_ = true;
    }
    streamWake_.notify_one();
}

void Mixer::stream() {
    std::unique_lock lock(streamMutex_);
    while (!stopStreaming_) {
        streamWanted_ = false;
        lock.unlock();
        const bool retry = fillRings();
        lock.lock();
        const auto woken = [this] { return streamWanted_ || stopStreaming_; };
        if (retry)
            streamWake_.wait_for(lock, std::chrono::milliseconds(1), woken);
        else
            streamWake_.wait(lock, woken);
    }
}

bool Mixer::fillRings() {
    bool retry = false;
    int voices;
    {
        std::lock_guard lock(mutex_);
        voices = voiceCount_;
    }
    for (VoiceId id = 0; id < voices; ++id) {
        for (;;) {
            std::shared_ptr<const Sound> sound;
            std::shared_ptr<std::int16_t[]> ring;
            std::uint64_t from;
            std::size_t n;
            std::size_t ch;
            std::size_t ringFrames;
            std::uint64_t generation;
            {
                std::lock_guard lock(mutex_);
                Voice& v = voices_[id];
                if (!v.sound || !v.sound->rest || !v.ring) break;
                // The next frame the voice needs from the ring: the one its
                // next output frame starts from (mix() reads it and the
                // frame after it).
                const std::uint64_t want = std::max<std::uint64_t>(
                    v.sound->headFrames(), sourceFrameAt(v.position, v.sound->format.sampleRate, format_.sampleRate));
                const bool inside = want >= v.ringFirst && want <= v.ringFirst + v.ringCount;
                if (!inside || v.ringReset) {
                    // Slots that a mix under way may still be reading (of a
                    // window left behind by a rewind, or of the last sound)
                    // must not be overwritten: wait until no mix is under way.
                    if (mixing_ > 0) {
                        retry = true;
                        break;
                    }
                    if (!inside) {
                        v.ringFirst = want;
                        v.ringCount = 0;
                        ++v.ringGeneration;
                    }
                    v.ringReset = false;
                }
                // What the voice has played is no longer needed.
                v.ringCount -= static_cast<std::size_t>(want - v.ringFirst);
                v.ringFirst = want;
                from = v.ringFirst + v.ringCount;
                ringFrames = v.ringFrames;
                if (from >= v.sound->frames || v.ringCount >= ringFrames) break;  // all there
                const std::size_t slot = static_cast<std::size_t>(from % ringFrames);
                n = std::min({ringFrames - v.ringCount, ringFrames - slot, kStreamPiece,
                              static_cast<std::size_t>(v.sound->frames - from)});
                ch = static_cast<std::size_t>(v.sound->format.channels);
                sound = v.sound;
                ring = v.ring;
                generation = v.ringGeneration;
            }
            // Outside the lock: these slots lie beyond the window, where
            // nobody reads.
            std::int16_t* dst = ring.get() + static_cast<std::size_t>(from % ringFrames) * ch;
            const std::size_t got = sound->rest->read(from, n, dst);
            std::fill(dst + got * ch, dst + n * ch, std::int16_t{0});
            std::lock_guard lock(mutex_);
            Voice& v = voices_[id];
            if (v.ringGeneration != generation || v.ring != ring) break;  // emptied meanwhile
            v.ringCount += n;
        }
    }
    return retry;
}

bool Mixer::isPlaying(VoiceId voice) const {
    std::lock_guard lock(mutex_);
    return valid(voice) && voices_[voice].playing;
}

std::size_t Mixer::position(VoiceId voice) const {
    std::lock_guard lock(mutex_);
    return valid(voice) ? voices_[voice].position : 0;
}

std::size_t Mixer::bytesHeld() const {
    std::lock_guard lock(mutex_);
    std::size_t bytes = 0;
    for (VoiceId id = 0; id < voiceCount_; ++id) {
        const Voice& v = voices_[id];
        if (v.sound) bytes += v.sound->bytesHeld();
        if (v.ring) bytes += kStreamRingBytes;
    }
    return bytes;
}

}  // namespace korvala::sound
