// Peak memory of the sound devices bound to long sounds: small files that
// last long (8-bit mono 1000 Hz, 600 KB for ten minutes) played at the
// output's 48000 Hz stereo.
//
//   korvala_sound_memory_bench [SECONDS [DEVICES]]
//
// Writes DEVICES (default 5) such files of SECONDS (default 600) seconds,
// binds a device to each, cues them all and mixes 3 s of output in 10 ms
// pieces the way the audio output pulls it, then prints the process's peak
// resident memory before binding and at the end.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "wav_builder.h"
#include "platform/sound/mixer.h"
#include "platform/sound/qt_sound_device.h"

namespace {

// Peak resident set size of this process, in MiB.
double peakRssMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return 0.0;
}

// 8-bit mono at 1000 Hz: a 110 Hz tone.
std::string writeLongSound(const std::filesystem::path& path, int seconds) {
    namespace t = korvala::sound::testing;
    std::vector<double> values(static_cast<std::size_t>(seconds) * 1000);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = 60.0 / 128 * std::sin(i * 2 * M_PI * 110 / 1000);
    return t::writeFile(path, t::wav({1, 1, 1000, 8}, values));
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 600;
    const int count = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const auto dir = std::filesystem::temp_directory_path() /
                     ("korvala_sound_memory_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::vector<std::string> files;
    for (int i = 0; i < count; ++i)
        files.push_back(writeLongSound(dir / ("long" + std::to_string(i) + ".wav"), seconds));

    korvala::sound::Mixer mixer(korvala::sound::FrameFormat{48000, 2});
    const double before = peakRssMiB();
    std::vector<std::unique_ptr<korvala::SoundBackend>> devices;
    for (const std::string& f : files) {
        devices.push_back(korvala::sound::makeSoundDevice(mixer));
        devices.back()->setFileName(f);
        devices.back()->command("open");
    }
    int opened = 0;
    for (auto& d : devices)
        opened += static_cast<korvala::sound::QtSoundDevice&>(*d).openError() ==
                  korvala::sound::WavError::None;
    for (auto& d : devices) {
        d->command("prev");
        d->command("play");
    }
    std::vector<float> buf(480 * 2);
    for (int i = 0; i < 300; ++i) {
        mixer.mix(buf.data(), 480);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double after = peakRssMiB();
    std::filesystem::remove_all(dir);
    std::printf("%d devices bound to %d s 8-bit mono 1000 Hz sounds (%d opened), mixed at 48000 Hz "
                "stereo:\n  peak RSS %.1f MiB before binding, %.1f MiB after binding and playing "
                "(+%.1f MiB)\n",
                count, seconds, opened, before, after, after - before);
    return 0;
}
