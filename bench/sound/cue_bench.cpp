// What a cue costs the window's thread, how long binding a device takes,
// and what mixing costs the audio side.
//
// A cue ("prev" then "play") is timed one by one while another thread pulls
// mixed frames the way the audio output does (10 ms of frames every 10 ms,
// or as fast as it can with --busy), so the figures include the cost of
// meeting the mixer on its lock. "open" is timed for a short cue file and a
// longer tune, both at 44100 Hz (held at their own rate). mix() is timed with
// all 16 voices playing, 10 ms of 48000 Hz stereo a call, for sounds that
// need no conversion (what every sound was held as when "open" converted
// it) and for sounds the mixer converts as it plays them: per frame and
// voice, min / median / max over the calls.
//
//   korvala_sound_bench [--busy] [cues]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
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

using Clock = std::chrono::steady_clock;
using korvala::sound::FrameFormat;
using korvala::sound::Mixer;

// What one mix() call costs per output frame and playing voice, in ns, with
// every voice playing a 2 s tone of `file` (restarted once it has played).
std::vector<double> mixCost(const std::string& file, int calls) {
    Mixer mixer(FrameFormat{48000, 2});
    const korvala::sound::SoundResult r = korvala::sound::openWavSound(file);
    if (!r.ok()) return {};
    std::vector<Mixer::VoiceId> voices;
    for (int v = 0; v < Mixer::kMaxVoices; ++v) {
        voices.push_back(mixer.addVoice());
        mixer.setSound(voices.back(), r.sound);
    }
    constexpr std::size_t kFrames = 480;  // 10 ms
    std::vector<float> buf(kFrames * 2);
    std::vector<double> ns;
    for (int i = 0; i < calls; ++i) {
        if (i % 150 == 0)  // 1.5 s: all of them restart before their end
            for (Mixer::VoiceId v : voices) {
                mixer.rewind(v);
                mixer.start(v);
            }
        const auto t0 = Clock::now();
        const int playing = mixer.mix(buf.data(), kFrames);
        const double elapsed = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
        ns.push_back(elapsed / (kFrames * static_cast<double>(std::max(1, playing))));
    }
    return ns;
}

// A 16-bit tone of `seconds` at `rate` with `channels`.
std::string writeTone(const std::filesystem::path& path, double seconds, int rate, int channels) {
    namespace t = korvala::sound::testing;
    const int frames = static_cast<int>(seconds * rate);
    std::vector<double> values;
    values.reserve(static_cast<std::size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) values.push_back(12000.0 / 32768 * std::sin(i * 2 * M_PI * 440 / rate));
    return t::writeFile(path, t::wav({1, channels, rate, 16}, values));
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5))];
}

}  // namespace

int main(int argc, char** argv) {
    bool busy = false;
    int cues = 100000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--busy") == 0)
            busy = true;
        else
            cues = std::max(1, std::atoi(argv[i]));
    }
    const auto dir = std::filesystem::temp_directory_path() / "korvala_sound_bench";
    std::filesystem::create_directories(dir);
    const std::string shortFile = writeTone(dir / "gunshot2.wav", 0.8, 44100, 1);
    const std::string tuneFile = writeTone(dir / "Birthday.wav", 30.0, 44100, 2);

    Mixer mixer(FrameFormat{48000, 2});

    // "open": a fresh device each time, so every run decodes the file.
    for (const auto& [name, file, runs] : {std::tuple{"open, 0.8 s mono 44100 Hz cue", shortFile, 20},
                                           std::tuple{"open, 30 s stereo 44100 Hz tune", tuneFile, 3}}) {
        std::vector<double> ms, callerMs;
        for (int r = 0; r < runs; ++r) {
            Mixer m(FrameFormat{48000, 2});
            auto d = korvala::sound::makeSoundDevice(m);
            d->setFileName(file);
            const auto t0 = Clock::now();
            d->command("open");
            callerMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            static_cast<korvala::sound::MixerSoundDevice&>(*d).openError();  // until decoded
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
        std::printf(
            "%-34s median %8.2f ms   max %8.2f ms   (%d runs; decoded in the background,\n"
            "%-34s the caller waits median %.3f ms)\n",
            name, percentile(ms, 0.5), percentile(ms, 1.0), runs, "", percentile(callerMs, 0.5));
    }

    for (const auto& [name, rate, channels] :
         {std::tuple{"48000 Hz stereo (no conversion)", 48000, 2},
          std::tuple{"44100 Hz mono (the game's sounds)", 44100, 1}, std::tuple{"22050 Hz stereo", 22050, 2},
          std::tuple{"48000 Hz mono", 48000, 1}}) {
        const std::string file = writeTone(dir / "External.wav", 2.0, rate, channels);
        const std::vector<double> ns = mixCost(file, 3000);
        if (ns.empty()) continue;
        std::printf("mix, 16 voices of %-33s min %5.2f  median %5.2f  max %7.2f ns per frame and voice\n", name,
                    percentile(ns, 0.0), percentile(ns, 0.5), percentile(ns, 1.0));
    }

    std::vector<std::unique_ptr<korvala::SoundBackend>> devices;
    for (const std::string& f : {shortFile, shortFile, shortFile, tuneFile, shortFile}) {
        devices.push_back(korvala::sound::makeSoundDevice(mixer));
        devices.back()->setFileName(f);
        devices.back()->command("open");
    }
    devices[3]->command("prev");  // the tune plays under the cues
    devices[3]->command("play");

    std::atomic<bool> stop{false};
    std::thread audio([&] {
        std::vector<float> buf(480 * 2);
        auto next = Clock::now();
        while (!stop.load(std::memory_order_relaxed)) {
            mixer.mix(buf.data(), 480);
            if (!busy) {
                next += std::chrono::milliseconds(10);
                std::this_thread::sleep_until(next);
            }
        }
    });

    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(cues));
    for (int i = 0; i < cues; ++i) {
        const int k = i % 5 == 3 ? 0 : i % 5;  // every device but the tune
        korvala::SoundBackend& d = *devices[static_cast<std::size_t>(k)];
        const auto t0 = Clock::now();
        d.command("prev");
        d.command("play");
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    stop = true;
    audio.join();
    std::printf("cue (prev+play), mixer %s:  median %.3f us   p99 %.3f us   max %.1f us   (%d cues)\n",
                busy ? "mixing flat out" : "mixing every 10 ms", percentile(us, 0.5), percentile(us, 0.99),
                percentile(us, 1.0), cues);
    std::filesystem::remove_all(dir);
    return 0;
}
