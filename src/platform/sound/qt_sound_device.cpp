#include "platform/sound/qt_sound_device.h"

namespace korvala::sound {

QtSoundDevice::QtSoundDevice(Mixer& mixer) : mixer_(mixer), voice_(mixer.addVoice()) {}

void QtSoundDevice::setFileName(const std::string& path) {
    try {
        fileName_ = path;
    } catch (...) {
        fileName_.clear();  // out of memory: the device opens nothing
    }
}

void QtSoundDevice::command(std::string_view cmd) {
    if (cmd == "open")
        open();
    else if (cmd == "prev")
        mixer_.rewind(voice_);
    else if (cmd == "play")
        mixer_.start(voice_);
}

void QtSoundDevice::open() {
    std::shared_ptr<const DecodedSound> sound;
    try {
        WavResult r = decodeWavFile(fileName_, mixer_.format());
        openError_ = r.error;
        if (r.ok()) sound = std::make_shared<const DecodedSound>(std::move(r.sound));
    } catch (...) {
        openError_ = WavError::TooLarge;  // allocation failed: stay silent
    }
    mixer_.setSound(voice_, std::move(sound));
}

std::unique_ptr<SoundBackend> makeSoundDevice(Mixer& mixer) {
    return std::make_unique<QtSoundDevice>(mixer);
}

}  // namespace korvala::sound
