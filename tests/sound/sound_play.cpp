// Plays one sound the way the game does: bind a device to a file, cue it,
// keep the event loop running. Used by playback_check.sh.
//
//   korvala_sound_play FILE SECONDS [CUES [GAP_MS [FIRST_MS]]]
//
// Cues the device CUES times (default 1), GAP_MS apart, the first one
// FIRST_MS (default 0) after start-up, then runs the event loop SECONDS
// more. Prints whether an audio output was found and whether the file
// opened, "cued" at every cue, and at the end whether the output's stream
// is suspended; exits 0 in every case, as the game carries on silently.
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "qt/sound/sound_system.h"
#include "quick_exit.h"
#include "system/sound/mixer_sound_device.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FILE SECONDS [CUES [GAP_MS [FIRST_MS]]]\n", argv[0]);
        return 2;
    }
    const double seconds = std::atof(argv[2]);
    const int cues = argc > 3 ? std::atoi(argv[3]) : 1;
    const int gapMs = argc > 4 ? std::atoi(argv[4]) : 0;
    const int firstMs = argc > 5 ? std::atoi(argv[5]) : 0;

    auto sound = std::make_unique<korvala::sound::SoundSystem>();
    auto device = korvala::sound::makeSoundDevice(sound->mixer());
    device->setFileName(argv[1]);
    device->command("open");
    auto* dev = static_cast<korvala::sound::MixerSoundDevice*>(device.get());
    std::printf("output: %s (%d Hz, %d ch)\nopen: %s\n", sound->hasOutput() ? "yes" : "none",
                sound->mixer().format().sampleRate, sound->mixer().format().channels,
                korvala::sound::toString(dev->openError()));
    std::fflush(stdout);

    for (int i = 0; i < cues; ++i) {
        QTimer::singleShot(firstMs + i * gapMs, Qt::PreciseTimer, &app, [&device] {
            device->command("prev");
            device->command("play");
            std::printf("cued\n");
            std::fflush(stdout);
        });
    }
    QTimer::singleShot(firstMs + (cues - 1) * gapMs + static_cast<int>(seconds * 1000), Qt::PreciseTimer, &app,
                       &QCoreApplication::quit);
    const int status = app.exec();
    std::printf("stream at the end: %s\n", sound->output().isSuspended() ? "suspended" : "running");
    device.reset();
    sound.reset();  // stops the output thread
    korvala::testing::exitWithoutAudioTeardown(status == 0 ? 0 : 1);
}
