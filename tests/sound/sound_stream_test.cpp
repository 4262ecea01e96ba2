// Long sounds: a device holds a bounded amount of sound however long its
// file is, the part that streams from the file plays the frames the whole
// decoding gives (converted to the output as the mixer plays them), and
// waiting for the file never holds up a mix or a cue.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "sample_compare.h"
#include "system/sound/mixer.h"
#include "system/sound/mixer_sound_device.h"
#include "wav_builder.h"

namespace korvala::sound {
namespace {

using testing::withinOneStep;

using Clock = std::chrono::steady_clock;

class LongSounds : public ::testing::Test {
protected:
    void SetUp() override {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');  // parameterized: "Test/case"
        dir_ = std::filesystem::temp_directory_path() / ("korvala_stream_" + std::to_string(::getpid()) + "_" + name);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(const std::string& name, const testing::Bytes& b) {
        const auto path = dir_ / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        return path.string();
    }

    // A signal no stretch of which repeats another: any frame played from
    // the wrong place shows.
    static std::vector<double> noise(std::size_t values, std::uint32_t seed = 12345) {
        std::vector<double> v(values);
        for (double& x : v) {
            seed = seed * 1664525u + 1013904223u;
            x = (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 1.8;
        }
        return v;
    }

    // Pulls frames from `mixer` until `voice` has played `frames` more (or
    // stopped), the way the audio output does: in 10 ms pieces, waiting a
    // little whenever the voice waits for its stream. Returns what it
    // played (the voice must be the only one playing).
    static std::vector<float> play(Mixer& mixer, Mixer::VoiceId voice, std::size_t frames) {
        const std::size_t ch = static_cast<std::size_t>(mixer.format().channels);
        const std::size_t piece = static_cast<std::size_t>(mixer.format().sampleRate) / 100;
        std::vector<float> out, buf(piece * ch);
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (out.size() < frames * ch && mixer.isPlaying(voice)) {
            const std::size_t before = mixer.position(voice);
            const std::size_t n = std::min(piece, frames - out.size() / ch);
            mixer.mix(buf.data(), n);
            const std::size_t advanced = mixer.position(voice) - before;
            if (!mixer.isPlaying(voice) && advanced == 0) break;
            out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(advanced * ch));
            if (advanced < n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (Clock::now() > deadline) {
                ADD_FAILURE() << "the stream never delivered frame " << mixer.position(voice);
                break;
            }
        }
        return out;
    }

    static void cue(SoundBackend& d) {
        d.command("prev");
        d.command("play");
    }

    std::filesystem::path dir_;
};

TEST_F(LongSounds, FiveTenMinuteSoundsHoldABoundedAmountAndPlayTheirFrames) {
    // Five 2.4 MB files, 8-bit stereo 2000 Hz, ten minutes each: held whole
    // as 16-bit they would take 4.8 MB apiece (at 48000 Hz stereo, 115 MB).
    // The output's 22050 Hz keeps what the test compares small.
    const testing::Format small{1, 2, 2000, 8, false};
    const FrameFormat output{22050, 2};
    const std::vector<double> values = noise(600 * 2000 * 2);
    const testing::Bytes file = testing::wav(small, values);
    Mixer mixer(output);
    std::vector<std::unique_ptr<SoundBackend>> devices;
    for (const char* name : {"gunshot2.wav", "External.wav", "Auth.wav", "Birthday.wav", "beep5.wav"}) {
        devices.push_back(makeSoundDevice(mixer));
        devices.back()->setFileName(write(name, file));
        devices.back()->command("open");
    }
    for (auto& d : devices) ASSERT_EQ(static_cast<MixerSoundDevice&>(*d).openError(), WavError::None);
    // What the five hold, measured: each at least its head, together no
    // more than the game's 10 MiB.
    EXPECT_GE(mixer.bytesHeld(), 5 * kStreamHeadBytes);
    EXPECT_LE(mixer.bytesHeld(), 5 * Mixer::kMaxVoiceBytes);
    EXPECT_LE(mixer.bytesHeld(), 10u << 20);

    // The first 100 s, past the held head (65.5 s) and through the ring
    // (32.8 s) and into it again, are the frames of the whole decoding (of
    // the first 101 s of the file, which give the same frames up to there).
    const std::vector<double> start(values.begin(), values.begin() + 101 * 2000 * 2);
    std::vector<float> want = testing::decodedAsSixteenBit(testing::wav(small, start), output);
    want.resize(100 * 22050 * 2);
    auto& first = static_cast<MixerSoundDevice&>(*devices[0]);
    cue(first);
    const std::vector<float> got = play(mixer, first.voice(), 100 * 22050);
    EXPECT_TRUE(withinOneStep(got, want));

    // All five playing at once hold no more.
    for (auto& d : devices) cue(*d);
    std::vector<float> buf(220 * 2);
    for (int i = 0; i < 300; ++i) {
        mixer.mix(buf.data(), 220);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    EXPECT_GE(mixer.bytesHeld(), 5 * (kStreamHeadBytes + Mixer::kStreamRingBytes)) << "each with its ring";
    EXPECT_LE(mixer.bytesHeld(), 5 * Mixer::kMaxVoiceBytes);
    EXPECT_LE(mixer.bytesHeld(), 10u << 20);
}

struct StreamCase {
    const char* name;
    testing::Format file;
    FrameFormat output;
    double seconds;
    friend void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }
};

class StreamedSound : public LongSounds, public ::testing::WithParamInterface<StreamCase> {};

// With a head of 512 frames and the ring's 256 KiB (of the sound's own
// frames), these sounds cross the head and wrap the ring at least twice,
// and are converted to the output as they play, up and down in rate, mono
// to stereo and stereo to mono.
TEST_P(StreamedSound, PlaysTheFramesOfTheWholeDecodingAndRestartsOnACue) {
    const StreamCase& c = GetParam();
    const auto frames = static_cast<std::size_t>(c.seconds * c.file.rate);
    const testing::Bytes file = testing::wav(c.file, noise(frames * static_cast<std::size_t>(c.file.channels)));
    const std::vector<float> want = testing::decodedAsSixteenBit(file, c.output);
    const std::size_t ch = static_cast<std::size_t>(c.output.channels);
    const std::size_t total = want.size() / ch;
    const std::size_t heldChannels = std::min(c.file.channels, 2);
    ASSERT_GT(frames * heldChannels * sizeof(std::int16_t), 2 * Mixer::kStreamRingBytes);

    const SoundResult r = openWavSound(write("Birthday.wav", file), 4096, 512 * heldChannels * 2);
    ASSERT_TRUE(r.ok()) << toString(r.error);
    ASSERT_TRUE(r.sound->rest) << "long enough to stream";
    EXPECT_EQ(r.sound->format.sampleRate, c.file.rate);
    EXPECT_EQ(r.sound->format.channels, static_cast<int>(heldChannels));
    EXPECT_EQ(r.sound->frames, frames);
    EXPECT_EQ(r.sound->headFrames(), 512u);

    Mixer mixer(c.output);
    const Mixer::VoiceId voice = mixer.addVoice();
    mixer.setSound(voice, r.sound);
    mixer.start(voice);
    std::vector<float> got = play(mixer, voice, total / 3);
    ASSERT_EQ(got.size(), total / 3 * ch);

    // A cue in the middle: from the first frame again, then on to the end.
    mixer.rewind(voice);
    mixer.start(voice);
    got = play(mixer, voice, total + 100);
    EXPECT_TRUE(withinOneStep(got, want));
    EXPECT_FALSE(mixer.isPlaying(voice));
    EXPECT_EQ(mixer.position(voice), total);
    std::vector<float> after(64 * ch, 1.0f);
    EXPECT_EQ(mixer.mix(after.data(), 64), 0);
    EXPECT_EQ(after, std::vector<float>(64 * ch, 0.0f));
}

INSTANTIATE_TEST_SUITE_P(
    Wav, StreamedSound,
    ::testing::Values(StreamCase{"pcm16_mono_same_rate", {1, 1, 8000, 16, false}, {8000, 2}, 40.0},
                      StreamCase{"pcm8_stereo_2000_to_48000_mono", {1, 2, 2000, 8, false}, {48000, 1}, 80.0},
                      StreamCase{"float32_stereo_44100_to_48000", {3, 2, 44100, 32, false}, {48000, 2}, 4.0},
                      StreamCase{"pcm16_stereo_768000_to_48000", {1, 2, 768000, 16, false}, {48000, 2}, 0.5},
                      StreamCase{"pcm24_four_channels_11025_to_8000_mono", {1, 4, 11025, 24, true}, {8000, 1}, 30.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LongSounds, AShortSoundIsHeldWholeAndItsFileLetGo) {
    const testing::Format f{1, 1, 44100, 16, false};
    const testing::Bytes file = testing::wav(f, noise(44100 / 2));
    const std::string path = write("gunshot2.wav", file);
    const SoundResult r = openWavSound(path);
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r.sound->rest);
    const std::vector<float> want = testing::decodedAsSixteenBit(file, {44100, 1});  // the file's own frames
    ASSERT_EQ(r.sound->head.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) ASSERT_EQ(r.sound->head[i] / 32768.0f, want[i]) << "sample " << i;
    // Nothing keeps the file open.
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        EXPECT_NE(std::filesystem::read_symlink(fd.path(), ec), std::filesystem::path(path));
    }
}

TEST_F(LongSounds, AFileCutShortWhileStreamingPlaysSilenceWhereItEnds) {
    const testing::Format f{1, 2, 8000, 16, false};
    const std::string path = write("Birthday.wav", testing::wav(f, noise(8000 * 2 * 20)));
    const SoundResult r = openWavSound(path, 4096, 2048);
    ASSERT_TRUE(r.ok() && r.sound->rest);
    std::filesystem::resize_file(path, 44 + 8000 * 4);  // one second of the twenty left

    Mixer mixer({8000, 2});
    const Mixer::VoiceId voice = mixer.addVoice();
    mixer.setSound(voice, r.sound);
    mixer.start(voice);
    const std::vector<float> got = play(mixer, voice, 8000 * 20);
    ASSERT_EQ(got.size(), 8000u * 20 * 2);
    for (std::size_t i = 8000 * 2; i < got.size(); ++i) ASSERT_EQ(got[i], 0.0f) << "sample " << i;
}

// A source that holds every read until it is let go, like a file on a
// stalled disk.
class StalledSource final : public FrameSource {
public:
    std::size_t read(std::uint64_t first, std::size_t count, std::int16_t* out) override {
        std::unique_lock lock(mutex_);
        ++reads_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return released_; });
        for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::int16_t>(first + i);
        return count;
    }
    std::size_t bytesHeld() const override { return 0; }
    void waitForRead() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return reads_ > 0; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int reads_ = 0;
    bool released_ = false;
};

TEST_F(LongSounds, AStalledStreamNeverHoldsUpAMixOrACue) {
    // A 8000 Hz mono ramp (frame i holds i) of 5000 frames, the first 100
    // held. At 48000 Hz an output frame falls between two source frames, so
    // the voice has to wait at the first one that needs frame 100, the
    // ring's first: output frame 594 (at source position 99).
    struct Case {
        FrameFormat output;
        std::size_t waitsAt;  // output frame
        int perSourceFrame;   // output frames per source frame
    } cases[] = {{{8000, 1}, 100, 1}, {{48000, 2}, 594, 6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.output.sampleRate) + " Hz output");
        auto sound = std::make_shared<Sound>();
        sound->format = {8000, 1};
        sound->frames = 5000;
        for (int i = 0; i < 100; ++i) sound->head.push_back(static_cast<std::int16_t>(i));
        auto source = std::make_unique<StalledSource>();
        StalledSource& stalled = *source;
        sound->rest = std::move(source);
        // The ramp as the output plays it: interpolated, the last frame held.
        const std::size_t ch = static_cast<std::size_t>(c.output.channels);
        auto ramp = [&c](std::size_t j) { return std::min(static_cast<double>(j) / c.perSourceFrame, 4999.0); };

        Mixer mixer(c.output);
        const Mixer::VoiceId voice = mixer.addVoice();
        mixer.setSound(voice, sound);
        stalled.waitForRead();  // the streaming thread is stuck in the file

        // The held head plays; then the voice waits, silent, at its position.
        mixer.start(voice);
        std::vector<float> out(800 * ch);
        for (int round = 0; round < 3; ++round) {
            EXPECT_EQ(mixer.mix(out.data(), 800), 1);
            mixer.rewind(voice);  // cues go through as well
            mixer.start(voice);
            mixer.mix(out.data(), 800);
        }
        for (std::size_t j = 0; j < c.waitsAt; ++j) ASSERT_NEAR(out[j * ch] * 32768.0, ramp(j), 1e-2) << "frame " << j;
        for (std::size_t i = c.waitsAt * ch; i < out.size(); ++i) ASSERT_EQ(out[i], 0.0f) << i;
        EXPECT_TRUE(mixer.isPlaying(voice));
        EXPECT_EQ(mixer.position(voice), c.waitsAt);

        stalled.release();
        const std::size_t left = 5000 * c.perSourceFrame - c.waitsAt;
        const std::vector<float> rest = play(mixer, voice, left + 10);
        ASSERT_EQ(rest.size(), left * ch);
        for (std::size_t j = 0; j < left; ++j)
            ASSERT_NEAR(rest[j * ch] * 32768.0, ramp(c.waitsAt + j), 1e-2) << "frame " << c.waitsAt + j;
        EXPECT_FALSE(mixer.isPlaying(voice));
    }
}

}  // namespace
}  // namespace korvala::sound
