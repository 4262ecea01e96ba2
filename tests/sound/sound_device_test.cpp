// The sound devices over the mixer, without any audio output: the tests
// pull frames from the mixer themselves, as the audio output would.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "system/sound/mixer.h"
#include "system/sound/mixer_sound_device.h"
#include "wav_builder.h"

namespace korvala::sound {
namespace {

constexpr int kRate = 8000;

class SoundDevices : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               (std::string("korvala_sound_") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // A mono file whose frame i holds (i + 1) / 1024 * scale, so a mixed
    // sample tells which frame of which sound was played.
    std::string rampFile(const std::string& name, int frames, double scale = 1.0) {
        std::vector<double> v;
        for (int i = 0; i < frames; ++i) v.push_back((i + 1) / 1024.0 * scale);
        const auto bytes = testing::wav({1, 1, kRate, 16, false}, v);
        const auto path = dir_ / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }

    std::unique_ptr<SoundBackend> bind(const std::string& path) {
        auto d = makeSoundDevice(mixer_);
        d->setFileName(path);
        d->command("open");
        static_cast<MixerSoundDevice&>(*d).openError();  // the decoding runs in the background
        return d;
    }
    static void cue(SoundBackend& d) {
        d.command("prev");
        d.command("play");
    }
    // Pulls `frames` frames; returns the left channel.
    std::vector<float> pull(std::size_t frames) {
        std::vector<float> out(frames * 2, 99.0f);
        mixer_.mix(out.data(), frames);
        std::vector<float> left;
        for (std::size_t i = 0; i < frames; ++i) {
            EXPECT_EQ(out[2 * i], out[2 * i + 1]) << "mono sound on both sides";
            left.push_back(out[2 * i]);
        }
        return left;
    }
    static float ramp(int frame, double scale = 1.0) { return static_cast<float>((frame + 1) / 1024.0 * scale); }

    std::filesystem::path dir_;
    Mixer mixer_{FrameFormat{kRate, 2}};
};

TEST_F(SoundDevices, MissingOrBrokenFileLeavesTheDeviceSilentAndAcceptingEverything) {
    const std::string broken = (dir_ / "Auth.wav").string();
    std::ofstream(broken) << "this is no sound";
    for (const std::string& path : {(dir_ / "gunshot2.wav").string(), broken, std::string()}) {
        auto device = makeSoundDevice(mixer_);
        device->command("prev");  // before anything is bound
        device->command("play");
        device->setFileName(path);
        device->command("open");
        for (const char* cmd : {"prev", "play", "play", "stop", "", "PLAY", "close", "open"}) device->command(cmd);
        cue(*device);
        EXPECT_NE(static_cast<MixerSoundDevice&>(*device).openError(), WavError::None) << path;
        for (float s : pull(64)) ASSERT_EQ(s, 0.0f) << path;
    }
}

TEST_F(SoundDevices, CueRestartsTheSoundFromItsStart) {
    auto hit = bind(rampFile("gunshot2.wav", 100));
    auto* dev = static_cast<MixerSoundDevice*>(hit.get());
    ASSERT_EQ(dev->openError(), WavError::None);
    EXPECT_EQ(pull(4), std::vector<float>(4, 0.0f)) << "an opened device waits for its cue";

    cue(*hit);
    EXPECT_EQ(pull(30).front(), ramp(0));
    EXPECT_EQ(mixer_.position(dev->voice()), 30u);

    cue(*hit);  // a second hit while the first still sounds
    EXPECT_EQ(mixer_.position(dev->voice()), 0u);
    const auto again = pull(30);
    EXPECT_EQ(again.front(), ramp(0));
    EXPECT_EQ(again.back(), ramp(29));
}

TEST_F(SoundDevices, SoundPlaysToItsLastFrameThenStopsUntilRewound) {
    auto tune = bind(rampFile("Birthday.wav", 50));
    auto* dev = static_cast<MixerSoundDevice*>(tune.get());
    cue(*tune);
    const auto out = pull(64);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(out[i], ramp(i)) << i;
    for (int i = 50; i < 64; ++i) ASSERT_EQ(out[i], 0.0f) << i;
    EXPECT_FALSE(mixer_.isPlaying(dev->voice()));

    tune->command("play");  // at the end already: nothing left to play
    EXPECT_EQ(pull(8), std::vector<float>(8, 0.0f));

    tune->command("prev");  // rewound but not started: still silent
    EXPECT_EQ(pull(8), std::vector<float>(8, 0.0f));
    tune->command("play");
    EXPECT_EQ(pull(1).front(), ramp(0));
}

TEST_F(SoundDevices, ACueGivenWhileTheSoundIsStillDecodingPlaysItFromTheStart) {
    // Whether the cue lands before or after the decoding is done, the sound
    // plays from its first frame.
    auto tune = makeSoundDevice(mixer_);
    tune->setFileName(rampFile("Birthday.wav", 100));
    tune->command("open");
    cue(*tune);
    ASSERT_EQ(static_cast<MixerSoundDevice&>(*tune).openError(), WavError::None);
    EXPECT_EQ(pull(1).front(), ramp(0));
}

TEST_F(SoundDevices, PrevStopsAPlayingSoundAndPlayWithoutPrevResumes) {
    auto beep = bind(rampFile("beep5.wav", 100));
    beep->command("play");  // straight after "open" it plays from the start
    EXPECT_EQ(pull(10).back(), ramp(9));
    beep->command("prev");
    EXPECT_EQ(pull(10), std::vector<float>(10, 0.0f));
    beep->command("play");
    EXPECT_EQ(pull(1).front(), ramp(0));
    beep->command("play");  // a second "play" does not rewind
    EXPECT_EQ(pull(1).front(), ramp(1));
}

TEST_F(SoundDevices, DevicesSoundTogetherAndTheSumIsClipped) {
    auto tune = bind(rampFile("Birthday.wav", 200));
    auto choice = bind(rampFile("External.wav", 20, 2.0));
    cue(*tune);
    pull(100);
    cue(*choice);  // the choice cue over the credits tune
    auto out = pull(30);
    for (int i = 0; i < 20; ++i) ASSERT_FLOAT_EQ(out[i], ramp(100 + i) + ramp(i, 2.0)) << i;
    for (int i = 20; i < 30; ++i) ASSERT_FLOAT_EQ(out[i], ramp(100 + i)) << i;

    auto loud1 = bind(rampFile("loud1.wav", 1000, 1.0));  // reaches ~0.98
    auto loud2 = bind(rampFile("loud2.wav", 1000, 1.0));
    cue(*loud1);
    cue(*loud2);
    out = pull(1000);
    EXPECT_FLOAT_EQ(out[100], 2 * ramp(100));
    for (float s : out) ASSERT_LE(s, 1.0f);
    EXPECT_EQ(out[999], 1.0f);
}

TEST_F(SoundDevices, SoundsPlayAtTheMixersRateAndChannels) {
    // A 44100 Hz mono file on an 8000 Hz stereo mixer keeps its length.
    std::vector<double> v(44100 / 10, 0.5);  // 0.1 s
    const auto bytes = testing::wav({3, 1, 44100, 32, true}, v);
    const auto path = (dir_ / "gunshot2.wav").string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    auto hit = bind(path);
    cue(*hit);
    const auto out = pull(kRate / 10 + 5);
    for (int i = 0; i < kRate / 10; ++i) ASSERT_FLOAT_EQ(out[i], 0.5f) << i;
    for (int i = kRate / 10; i < kRate / 10 + 5; ++i) ASSERT_EQ(out[i], 0.0f) << i;
}

// A mono file is held as mono (half its stereo copy) and played on both
// sides; a stereo file keeps its two sides.
TEST_F(SoundDevices, SoundsAreHeldWithTheirOwnChannels) {
    struct Case {
        int channels;
        std::vector<double> samples;  // interleaved
        std::size_t heldBytes;
        float left, right;
    };
    const std::vector<Case> cases = {
        {1, std::vector<double>(800, 0.25), 800 * 2, 0.25f, 0.25f},
        {2,
         [] {
             std::vector<double> v;
             for (int i = 0; i < 800; ++i) v.insert(v.end(), {0.5, -0.25});
             return v;
         }(),
         800 * 4, 0.5f, -0.25f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channels);
        Mixer mixer{FrameFormat{kRate, 2}};
        const auto bytes = testing::wav({1, c.channels, kRate, 16, false}, c.samples);
        const auto path = (dir_ / ("own" + std::to_string(c.channels) + ".wav")).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        auto device = makeSoundDevice(mixer);
        device->setFileName(path);
        device->command("open");
        static_cast<MixerSoundDevice&>(*device).openError();
        EXPECT_EQ(mixer.bytesHeld(), c.heldBytes);
        cue(*device);
        std::vector<float> out(2 * 801, 99.0f);
        mixer.mix(out.data(), 801);
        EXPECT_FLOAT_EQ(out[0], c.left);
        EXPECT_FLOAT_EQ(out[1], c.right);
        EXPECT_FLOAT_EQ(out[2 * 799], c.left);
        EXPECT_FLOAT_EQ(out[2 * 799 + 1], c.right);
        EXPECT_EQ(out[2 * 800], 0.0f);
    }
}

TEST_F(SoundDevices, DevicesBeyondTheMixersVoicesAreSilentButAcceptCommands) {
    const std::string path = rampFile("beep5.wav", 10);
    std::vector<std::unique_ptr<SoundBackend>> devices;
    for (int i = 0; i < Mixer::kMaxVoices + 3; ++i) devices.push_back(bind(path));
    for (auto& d : devices) cue(*d);
    const auto out = pull(1);
    EXPECT_FLOAT_EQ(out[0], std::min(1.0f, Mixer::kMaxVoices * ramp(0)));
}

}  // namespace
}  // namespace korvala::sound
