// How long a cue takes to be heard: from "prev"+"play" on a device to the
// sound's first sample coming out of the default output, measured by
// recording that output's monitor (parec) and timing when the first loud
// sample arrives. Needs a sound server whose default output is a null sink
// (cue_latency_bench.py starts a private one).
//
//   korvala_cue_latency [--cues N] [--gap MS] [--under-tune]
//
// Each cue comes after GAP_MS (default 600) of silence, the way cues fall in
// a game, so the output has had time to go idle. With --under-tune a quiet
// tune plays all along on another device, so the output never stops and a
// cue has to join a running stream. The recording runs at 2 ms fragments;
// the time of a sample is the arrival of its fragment less the frames after
// it. The null output renders a fragment at once, so a figure can be up to
// one fragment (2 ms) early, and a millisecond or so late for the trip to
// the recorder.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qt/sound/sound_system.h"
#include "quick_exit.h"
#include "system/sound/mixer_sound_device.h"
#include "wav_builder.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A 16-bit stereo WAV at `rate` whose frame i holds sample(i).
template <class Sample>
std::string writeWav(const std::filesystem::path& path, int rate, int frames, Sample sample) {
    namespace t = korvala::sound::testing;
    std::vector<double> values;
    values.reserve(static_cast<std::size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        const double v = sample(i) / 32768.0;
        values.push_back(v);
        values.push_back(v);
    }
    return t::writeFile(path, t::wav({1, 2, rate, 16}, values));
}

// Records the default output's monitor through parec, stamping every read.
class Recorder {
public:
    explicit Recorder(int rate) : rate_(rate) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        const std::string rateArg = "--rate=" + std::to_string(rate);
        std::vector<std::string> args = {"parec", "--latency-msec=2", "-d",           "@DEFAULT_MONITOR@",
                                         "--raw", "--format=s16le",   "--channels=2", rateArg};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawnp(&pid_, "parec", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (rc != 0) {
            close(fds[0]);
            pid_ = -1;
            return;
        }
        fd_ = fds[0];
        reader_ = std::thread([this] { read(); });
    }
    ~Recorder() { stop(); }

    bool ok() const { return pid_ > 0; }
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGINT);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    std::size_t frames() {
        std::lock_guard lock(mutex_);
        return samples_.size() / 2;
    }

    // The first frame at or after `from` (a time) whose left sample exceeds
    // `threshold`, and when it was played; false when there is none.
    bool firstLoud(Clock::time_point from, int threshold, Clock::time_point& when) {
        std::lock_guard lock(mutex_);
        std::size_t begin = 0;  // frames before this chunk
        for (const Chunk& c : chunks_) {
            for (std::size_t f = begin; f < c.endFrame; ++f) {
                const auto t = c.arrival - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                               static_cast<double>(c.endFrame - f - 1) / rate_));
                if (t < from) continue;
                if (std::abs(samples_[2 * f]) > threshold) {
                    when = t;
                    return true;
                }
            }
            begin = c.endFrame;
        }
        return false;
    }

private:
    struct Chunk {
        Clock::time_point arrival;
        std::size_t endFrame;  // frames received up to and including this read
    };
    void read() {
        std::vector<char> buf(4096);
        std::vector<char> partial;
        for (;;) {
            const ssize_t n = ::read(fd_, buf.data(), buf.size());
            const auto now = Clock::now();
            if (n <= 0) return;
            partial.insert(partial.end(), buf.begin(), buf.begin() + n);
            const std::size_t whole = partial.size() / 4 * 4;
            std::lock_guard lock(mutex_);
            for (std::size_t i = 0; i < whole; i += 2) {
                std::int16_t s;
                std::memcpy(&s, &partial[i], 2);
                samples_.push_back(s);
            }
            partial.erase(partial.begin(), partial.begin() + static_cast<std::ptrdiff_t>(whole));
            if (whole > 0) chunks_.push_back({now, samples_.size() / 2});
        }
    }

    const int rate_;
    pid_t pid_ = -1;
    int fd_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<std::int16_t> samples_;
    std::vector<Chunk> chunks_;
};

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5))];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int cues = 20;
    int gapMs = 600;
    bool underTune = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--cues") == 0 && i + 1 < argc)
            cues = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--gap") == 0 && i + 1 < argc)
            gapMs = std::max(100, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--under-tune") == 0)
            underTune = true;
    }

    korvala::sound::SoundSystem sound;
    if (!sound.hasOutput()) {
        std::fprintf(stderr, "no audio output: start a sound server first\n");
        return 77;
    }
    const int rate = sound.mixer().format().sampleRate;
    const auto dir = std::filesystem::temp_directory_path() / ("korvala_cue_latency_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    // The cue: 60 ms of a 1 kHz square wave at half scale, loud from its first sample.
    const std::string click = writeWav(dir / "gunshot2.wav", rate, rate * 60 / 1000,
                                       [rate](int i) { return (i * 2000 / rate) % 2 ? -16384 : 16384; });
    // The tune: a long tone far below the detection threshold.
    const std::string tune = writeWav(dir / "Birthday.wav", rate, rate * 8, [rate](int i) {
        return static_cast<int>(std::lround(300 * std::sin(i * 2 * M_PI * 220 / rate)));
    });

    auto hit = korvala::sound::makeSoundDevice(sound.mixer());
    hit->setFileName(click);
    hit->command("open");
    auto music = korvala::sound::makeSoundDevice(sound.mixer());
    music->setFileName(tune);
    music->command("open");
    static_cast<korvala::sound::MixerSoundDevice&>(*hit).openError();
    static_cast<korvala::sound::MixerSoundDevice&>(*music).openError();

    Recorder recorder(rate);
    if (!recorder.ok()) {
        std::fprintf(stderr, "cannot start parec (package pulseaudio-utils)\n");
        return 77;
    }
    // A null output renders in long blocks until a low-latency client has
    // been attached for a while; start measuring once that has settled.
    constexpr int kSettleMs = 2500;
    std::vector<Clock::time_point> cueTimes;
    if (underTune) {
        QTimer::singleShot(kSettleMs - 500, Qt::PreciseTimer, &app, [&music] {
            music->command("prev");
            music->command("play");
        });
        // Replays the tune whenever it ends, so it runs under every cue.
        auto* again = new QTimer(&app);
        QObject::connect(again, &QTimer::timeout, &app, [&music] {
            music->command("prev");
            music->command("play");
        });
        again->start(7000);
    }
    for (int i = 0; i < cues; ++i) {
        QTimer::singleShot(kSettleMs + i * gapMs, Qt::PreciseTimer, &app, [&] {
            cueTimes.push_back(Clock::now());
            hit->command("prev");
            hit->command("play");
        });
    }
    QTimer::singleShot(kSettleMs + cues * gapMs + 300, Qt::PreciseTimer, &app, &QCoreApplication::quit);
    app.exec();
    recorder.stop();
    std::filesystem::remove_all(dir);

    std::vector<double> ms;
    int missed = 0;
    for (const auto& t : cueTimes) {
        Clock::time_point heard;
        if (recorder.firstLoud(t - std::chrono::milliseconds(5), 8000, heard))
            ms.push_back(std::chrono::duration<double, std::milli>(heard - t).count());
        else
            ++missed;
    }
    if (ms.empty()) {
        std::printf("no cue was heard (%zu frames recorded)\n", recorder.frames());
        korvala::testing::exitWithoutAudioTeardown(1);
    }
    std::printf(
        "cue to first sample at the output, %s: median %.1f ms  min %.1f ms  max %.1f ms"
        "  (%zu cues %d ms apart%s)\n",
        underTune ? "while a tune plays" : "after a silence", percentile(ms, 0.5), percentile(ms, 0.0),
        percentile(ms, 1.0), ms.size(), gapMs, missed ? (", " + std::to_string(missed) + " not heard").c_str() : "");
    korvala::testing::exitWithoutAudioTeardown(0);
}
