#include "platform/sound/qt_sound_device.h"

namespace korvala::sound {

QtSoundDevice::QtSoundDevice(Mixer& mixer) : mixer_(mixer), voice_(mixer.addVoice()) {}

QtSoundDevice::~QtSoundDevice() {
    if (decoding_.valid()) decoding_.wait();
}

void QtSoundDevice::setFileName(const std::string& path) {
    try {
        fileName_ = path;
    } catch (...) {
        fileName_.clear();  // out of memory: the device opens nothing
    }
}

void QtSoundDevice::command(std::string_view cmd) {
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

void QtSoundDevice::open() {
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

void QtSoundDevice::decode(std::string path) {
    std::shared_ptr<const Sound> sound;
    WavError error = WavError::None;
    try {
        SoundResult r = openWavSound(path, mixer_.format());
        error = r.error;
        sound = std::move(r.sound);
    } catch (...) {
        error = WavError::TooLarge;  // allocation failed: stay silent
    }
    std::lock_guard lock(mutex_);
    openError_ = error;
    mixer_.setSound(voice_, std::move(sound));
    if (playWhenReady_) mixer_.start(voice_);
    ready_ = true;
}

WavError QtSoundDevice::openError() {
    if (decoding_.valid()) decoding_.wait();
    std::lock_guard lock(mutex_);
    return openError_;
}

std::unique_ptr<SoundBackend> makeSoundDevice(Mixer& mixer) {
    return std::make_unique<QtSoundDevice>(mixer);
}

}  // namespace korvala::sound
