// The sound side of a game in which nothing sounds: the sound system and
// five devices bound to the game's sound files, never cued, the event loop
// running until the process is stopped. cpu_bench.py measures it when the
// game itself is not at hand.
//
//   korvala_silent_sound FOLDER    (the folder holding the game's WAV files)
#include <QCoreApplication>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "qt/sound/sound_system.h"
#include "quick_exit.h"
#include "system/sound/mixer_sound_device.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::string folder = argc > 1 ? argv[1] : ".";
    korvala::sound::SoundSystem sound;
    std::vector<std::unique_ptr<korvala::SoundBackend>> devices;
    for (const char* name : {"gunshot2.wav", "External.wav", "Auth.wav", "Birthday.wav", "beep5.wav"}) {
        devices.push_back(korvala::sound::makeSoundDevice(sound.mixer()));
        devices.back()->setFileName(folder + "/" + name);
        devices.back()->command("open");
    }
    std::printf("output: %s\n", sound.hasOutput() ? "yes" : "none");
    std::fflush(stdout);
    korvala::testing::exitWithoutAudioTeardown(app.exec());
}
