// Memory of the sound devices, two figures:
//
//  - the game's five sounds bound to five devices: the bytes the mixer holds
//    for them (mixer.bytesHeld()), held at their own rate and channel count,
//    and the bytes the same sounds took when "open" converted them to the
//    output's 48000 Hz stereo (their frames from decodeWav at that format,
//    16-bit), before and after;
//  - devices bound to long sounds: small files that last long (8-bit stereo
//    2000 Hz, 2.4 MB for ten minutes, which stream) played at the output's
//    48000 Hz stereo, the process's peak resident memory before binding and
//    after binding and playing.
//
//   korvala_sound_memory_bench [--sounds FOLDER] [SECONDS [DEVICES]]
//
// FOLDER holds the game's WAV files (default: the sources' assets/sounds).
// First writes DEVICES (default 5) long files of SECONDS (default 600) seconds,
// binds a device to each, cues them all and mixes 3 s of output in 10 ms
// pieces the way the audio output pulls it.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "system/sound/mixer.h"
#include "system/sound/mixer_sound_device.h"
#include "wav_builder.h"

namespace {

// Peak resident set size of this process, in MiB.
double peakRssMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return 0.0;
}

// 8-bit stereo at 2000 Hz: a 110 Hz tone, written a second at a time so
// that making it does not raise the peak the benchmark measures.
std::string writeLongSound(const std::filesystem::path& path, int seconds) {
    namespace t = korvala::sound::testing;
    const t::Format format{1, 2, 2000, 8};
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(seconds) * 2000 * 2;
    t::Bytes head;
    t::putId(head, "RIFF");
    const t::Bytes fmt = t::chunk("fmt ", t::fmtBody(format));
    t::put32(head, static_cast<std::uint32_t>(4 + fmt.size() + 8 + dataBytes));
    t::putId(head, "WAVE");
    head.insert(head.end(), fmt.begin(), fmt.end());
    t::putId(head, "data");
    t::put32(head, dataBytes);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
    std::vector<char> second(2000 * 2);
    for (int s = 0; s < seconds; ++s) {
        for (int i = 0; i < 2000; ++i) {
            const double v = 60.0 * std::sin(i * 2 * M_PI * 110 / 2000);
            second[2 * i] = second[2 * i + 1] = static_cast<char>(static_cast<int>(std::lround(128 + v)));
        }
        out.write(second.data(), static_cast<std::streamsize>(second.size()));
    }
    return path.string();
}

constexpr const char* kGameSounds[] = {"gunshot2.wav", "External.wav", "Auth.wav", "Birthday.wav", "beep5.wav"};

// The game's five sounds: what they took converted at "open", and what the
// mixer holds for them now.
void gameSounds(const std::string& folder) {
    namespace s = korvala::sound;
    const s::FrameFormat output{48000, 2};
    s::Mixer mixer(output);
    std::vector<std::unique_ptr<korvala::SoundBackend>> devices;
    std::uintmax_t fileBytes = 0;
    std::size_t converted = 0;
    std::size_t heldSoFar = 0;
    std::printf("the game's five sounds (%s), bound to five devices of a 48000 Hz stereo mixer:\n", folder.c_str());
    for (const char* name : kGameSounds) {
        const std::string path = folder + "/" + name;
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(path, ec);
        const s::WavResult old = s::decodeWavFile(path, output);
        if (ec || !old.ok()) {
            std::printf("  %-13s cannot be read: %s\n", name, ec ? ec.message().c_str() : s::toString(old.error));
            continue;
        }
        const std::size_t before = old.sound.samples.size() * sizeof(std::int16_t);
        devices.push_back(s::makeSoundDevice(mixer));
        devices.back()->setFileName(path);
        devices.back()->command("open");
        static_cast<s::MixerSoundDevice&>(*devices.back()).openError();
        const std::size_t all = mixer.bytesHeld();
        std::printf("  %-13s file %7ju bytes   held before %8zu   after %8zu bytes\n", name, size, before,
                    all - heldSoFar);
        heldSoFar = all;
        fileBytes += size;
        converted += before;
    }
    const std::size_t held = mixer.bytesHeld();
    const double files = static_cast<double>(std::max<std::uintmax_t>(1, fileBytes));
    std::printf(
        "  together:     files %6.1f KiB   held before %6.1f KiB (%.2fx the files)   after %6.1f KiB "
        "(%.2fx the files)\n",
        fileBytes / 1024.0, converted / 1024.0, converted / files, held / 1024.0, held / files);
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder = KORVALA_GAME_SOUNDS;
    std::vector<const char*> numbers;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--sounds") == 0 && i + 1 < argc)
            folder = argv[++i];
        else
            numbers.push_back(argv[i]);
    }
    const int seconds = numbers.size() > 0 ? std::max(1, std::atoi(numbers[0])) : 600;
    const int count = numbers.size() > 1 ? std::max(1, std::atoi(numbers[1])) : 5;
    const auto dir = std::filesystem::temp_directory_path() / ("korvala_sound_memory_" + std::to_string(getpid()));
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
        opened += static_cast<korvala::sound::MixerSoundDevice&>(*d).openError() == korvala::sound::WavError::None;
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
    std::printf(
        "%d devices bound to %d s 8-bit stereo 2000 Hz sounds (%d opened), mixed at 48000 Hz "
        "stereo:\n  peak RSS %.1f MiB before binding, %.1f MiB after binding and playing "
        "(+%.1f MiB; the mixer holds %.1f MiB)\n",
        count, seconds, opened, before, after, after - before, mixer.bytesHeld() / 1048576.0);
    gameSounds(folder);  // after the peak figures: the old conversion's floats would raise them
    return 0;
}
