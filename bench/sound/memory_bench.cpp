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

void put16(std::ofstream& f, int v) {
    const char b[2] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
    f.write(b, 2);
}
void put32(std::ofstream& f, std::uint32_t v) {
    put16(f, static_cast<int>(v & 0xFFFF));
    put16(f, static_cast<int>(v >> 16));
}

// 8-bit mono at 1000 Hz: a 110 Hz tone.
std::string writeLongSound(const std::filesystem::path& path, int seconds) {
    const std::uint32_t frames = static_cast<std::uint32_t>(seconds) * 1000;
    std::ofstream f(path, std::ios::binary);
    f.write("RIFF", 4);
    put32(f, 36 + frames);
    f.write("WAVEfmt ", 8);
    put32(f, 16);
    put16(f, 1);
    put16(f, 1);
    put32(f, 1000);
    put32(f, 1000);
    put16(f, 1);
    put16(f, 8);
    f.write("data", 4);
    put32(f, frames);
    std::vector<char> data(frames);
    for (std::uint32_t i = 0; i < frames; ++i)
        data[i] = static_cast<char>(128 + std::lround(60 * std::sin(i * 2 * M_PI * 110 / 1000)));
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
    return path.string();
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
