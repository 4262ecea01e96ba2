#include "system/sound/mixer_sound_device.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "system/log/log.h"

namespace korvala::sound {

namespace {

// Why a file the decoder could not read cannot be read, in the system's
// words where it has them.
std::string whyUnreadable(const std::string& path) {
    if (path.empty()) return "no file named";
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return "it is a folder";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    return "not a regular file";
}

// The log's line for a file the device cannot play.
void logRefused(const std::string& path, WavError error) {
    try {
        std::string why = toString(error);
        if (error == WavError::CannotRead) why += ": " + whyUnreadable(path);
        log::warning(log::Area::Sound, "cannot play the sound file " + path + ": " + why);
    } catch (...) {
    }
}

}  // namespace

MixerSoundDevice::MixerSoundDevice(Mixer& mixer) : mixer_(mixer), voice_(mixer.addVoice()) {}

MixerSoundDevice::~MixerSoundDevice() {
    if (decoding_.valid()) decoding_.wait();
}

void MixerSoundDevice::setFileName(const std::string& path) {
    try {
        fileName_ = path;
    } catch (...) {
        fileName_.clear();  // out of memory: the device opens nothing
    }
}

void MixerSoundDevice::command(std::string_view cmd) {
    if (cmd == "open") {
        open();
        return;
    }
    if (cmd != "prev" && cmd != "play") return;
    std::lock_guard lock(mutex_);
    if (!ready_) {
        // The sound is still being decoded: it starts at its beginning, so
        // only whether to play it once it is ready needs remembering.
        playWhenReady_ = cmd == "play";
        return;
    }
    if (cmd == "prev")
        mixer_.rewind(voice_);
    else
        mixer_.start(voice_);
}

void MixerSoundDevice::open() {
    if (decoding_.valid()) decoding_.wait();
    {
        std::lock_guard lock(mutex_);
        ready_ = false;
        playWhenReady_ = false;
    }
    try {
        decoding_ = std::async(std::launch::async, [this, path = fileName_] { decode(path); });
    } catch (...) {
        decode(fileName_);  // no thread to be had: decode here instead
    }
}

void MixerSoundDevice::decode(std::string path) {
    std::shared_ptr<const Sound> sound;
    WavError error = WavError::None;
    try {
        SoundResult r = openWavSound(path);
        error = r.error;
        sound = std::move(r.sound);
    } catch (...) {
        error = WavError::TooLarge;  // allocation failed: stay silent
    }
    // Outside the lock: a cue never waits for the log.
    if (error != WavError::None) logRefused(path, error);
    std::lock_guard lock(mutex_);
    openError_ = error;
    mixer_.setSound(voice_, std::move(sound));
    if (playWhenReady_) mixer_.start(voice_);
    ready_ = true;
}

WavError MixerSoundDevice::openError() {
    if (decoding_.valid()) decoding_.wait();
    std::lock_guard lock(mutex_);
    return openError_;
}

std::unique_ptr<SoundBackend> makeSoundDevice(Mixer& mixer) { return std::make_unique<MixerSoundDevice>(mixer); }

}  // namespace korvala::sound
