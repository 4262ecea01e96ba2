// Voices converted as they are mixed: a sound is held at its own rate and
// channel count, and what the mixer plays for it is what the whole
// conversion (decodeWav to the output's format, rounded to 16 bits, the
// frames the mixer used to hold) gives, to within one step of 16-bit, for
// exactly as many frames. The held frames are a vector of exactly their
// size, so a read past the last frame shows in the sanitizer build, and as a
// wrong value at the end in any build (the sounds end on a loud frame).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>

#include "sample_compare.h"
#include "system/sound/mixer.h"
#include "wav_builder.h"

namespace korvala::sound {
namespace {

using testing::withinOneStep;

// Pieces of uneven sizes, as an output asks for them, so that a piece ends
// and the next begins between any two source frames.
constexpr std::size_t kPieces[] = {1, 7, 97, 480, 3, 1024, 250};

class MixerFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        dir_ = std::filesystem::temp_directory_path() / ("korvala_mixing_" + std::to_string(::getpid()) + "_" + name);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // A sound of `frames` frames of noise at `amplitude`, its last frame at
    // 0.95 of it on every channel.
    static testing::Bytes noiseFile(const testing::Format& f, std::size_t frames, double amplitude,
                                    std::uint32_t seed = 777) {
        const auto ch = static_cast<std::size_t>(f.channels);
        std::vector<double> v(frames * ch);
        for (double& x : v) {
            seed = seed * 1664525u + 1013904223u;
            x = (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 2 * amplitude;
        }
        for (std::size_t c = 0; c < ch && frames > 0; ++c) v[(frames - 1) * ch + c] = 0.95 * amplitude;
        return testing::wav(f, v);
    }

    std::shared_ptr<const Sound> open(const std::string& name, const testing::Bytes& file) {
        const SoundResult r = openWavSound(testing::writeFile(dir_ / name, file));
        EXPECT_TRUE(r.ok()) << toString(r.error);
        EXPECT_TRUE(!r.sound || !r.sound->rest) << "held whole";
        return r.sound;
    }

    // Mixes `frames` frames in the uneven pieces above.
    static std::vector<float> pull(Mixer& mixer, std::size_t frames) {
        const auto ch = static_cast<std::size_t>(mixer.format().channels);
        std::vector<float> out(frames * ch, 99.0f);
        for (std::size_t done = 0, k = 0; done < frames; ++k) {
            const std::size_t n = std::min(kPieces[k % std::size(kPieces)], frames - done);
            mixer.mix(out.data() + done * ch, n);
            done += n;
        }
        return out;
    }

    std::filesystem::path dir_;
};

struct ConvertCase {
    const char* name;
    testing::Format file;
    std::size_t frames;  // of the file
    FrameFormat output;
    friend void PrintTo(const ConvertCase& c, std::ostream* os) { *os << c.name; }
};

class ConvertedVoice : public MixerFiles, public ::testing::WithParamInterface<ConvertCase> {};

TEST_P(ConvertedVoice, PlaysTheOldConversionToItsLastFrameAndHoldsTheFilesOwnFrames) {
    const ConvertCase& c = GetParam();
    const testing::Bytes file = noiseFile(c.file, c.frames, 0.9);
    const std::shared_ptr<const Sound> sound = open("gunshot2.wav", file);
    ASSERT_TRUE(sound);
    const std::vector<float> want = testing::decodedAsSixteenBit(file, c.output);
    const auto ch = static_cast<std::size_t>(c.output.channels);
    const std::size_t total = want.size() / ch;

    Mixer mixer(c.output);
    const Mixer::VoiceId voice = mixer.addVoice();
    mixer.setSound(voice, sound);
    const std::size_t heldChannels = std::min(c.file.channels, 2);
    EXPECT_EQ(mixer.bytesHeld(), c.frames * heldChannels * sizeof(std::int16_t)) << "the file's own frames";

    // Played twice: a cue partway restarts it from the first frame.
    mixer.start(voice);
    pull(mixer, total / 2);
    mixer.rewind(voice);
    mixer.start(voice);
    std::vector<float> got = pull(mixer, total + 40);
    EXPECT_FALSE(mixer.isPlaying(voice));
    EXPECT_EQ(mixer.position(voice), total);
    const std::vector<float> after(got.begin() + static_cast<std::ptrdiff_t>(total * ch), got.end());
    EXPECT_EQ(after, std::vector<float>(40 * ch, 0.0f)) << "silence after the end";
    got.resize(total * ch);
    EXPECT_TRUE(withinOneStep(got, want));
}

INSTANTIATE_TEST_SUITE_P(
    Wav, ConvertedVoice,
    ::testing::Values(
        // The game's sounds on the usual output.
        ConvertCase{"pcm16_mono_44100_to_48000_stereo", {1, 1, 44100, 16, false}, 13230, {48000, 2}},
        ConvertCase{"pcm16_stereo_22050_to_48000_stereo", {1, 2, 22050, 16, false}, 6615, {48000, 2}},
        ConvertCase{"pcm16_stereo_22050_to_44100_mono", {1, 2, 22050, 16, false}, 6615, {44100, 1}},
        ConvertCase{"pcm16_stereo_48000_to_44100_stereo", {1, 2, 48000, 16, false}, 14400, {44100, 2}},
        ConvertCase{"pcm16_mono_44100_to_8000_mono", {1, 1, 44100, 16, false}, 13230, {8000, 1}},
        ConvertCase{"pcm16_stereo_same_rate_to_mono", {1, 2, 48000, 16, false}, 4800, {48000, 1}},
        ConvertCase{"pcm24_four_channels_11025_to_48000", {1, 4, 11025, 24, true}, 3308, {48000, 2}},
        // The slowest and fastest rates a file may have, both ways.
        ConvertCase{"pcm8_mono_1000_to_768000_stereo", {1, 1, 1000, 8, false}, 50, {768000, 2}},
        ConvertCase{"pcm16_32_channels_768000_to_1000_mono", {1, 32, 768000, 16, false}, 38400, {1000, 1}},
        // Sounds of one frame: the frame is the last as well as the first.
        ConvertCase{"one_frame_8000_to_48000", {1, 2, 8000, 16, false}, 1, {48000, 2}},
        ConvertCase{"one_frame_48000_to_8000", {1, 1, 48000, 16, false}, 1, {8000, 2}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MixerFiles, TwoSoundsAtTheirOwnRatesMixToTheSumOfTheOldConversions) {
    // A 44100 Hz mono sound and a 22050 Hz stereo one on the game's usual
    // output, the second cued again while both sound.
    const FrameFormat output{48000, 2};
    const testing::Bytes mono = noiseFile({1, 1, 44100, 16, false}, 17640, 0.45, 1);
    const testing::Bytes stereo = noiseFile({1, 2, 22050, 16, false}, 4410, 0.45, 2);
    const std::vector<float> a = testing::decodedAsSixteenBit(mono, output);
    const std::vector<float> b = testing::decodedAsSixteenBit(stereo, output);
    Mixer mixer(output);
    const Mixer::VoiceId voiceA = mixer.addVoice();
    const Mixer::VoiceId voiceB = mixer.addVoice();
    mixer.setSound(voiceA, open("Birthday.wav", mono));
    mixer.setSound(voiceB, open("External.wav", stereo));

    constexpr std::size_t kRecue = 3001;  // output frame of the second cue
    mixer.start(voiceA);
    mixer.start(voiceB);
    std::vector<float> got = pull(mixer, kRecue);
    mixer.rewind(voiceB);
    mixer.start(voiceB);
    const std::vector<float> rest = pull(mixer, a.size() / 2 - kRecue + 10);
    got.insert(got.end(), rest.begin(), rest.end());

    std::vector<float> want(got.size(), 0.0f);
    for (std::size_t i = 0; i < a.size(); ++i) want[i] += a[i];
    for (std::size_t i = 0; i < kRecue * 2 && i < b.size(); ++i) want[i] += b[i];
    for (std::size_t i = 0; i < b.size(); ++i) want[kRecue * 2 + i] += b[i];
    EXPECT_TRUE(withinOneStep(got, want));
    EXPECT_FALSE(mixer.anyPlaying());
}

TEST(MixerSounds, ASoundAVoiceCannotPlayWholeIsSilentAndHarmless) {
    // Sounds no decoder gives, handed to a voice all the same: none of them
    // may play, read outside its frames, or divide by nothing.
    auto make = [](FrameFormat f, std::uint64_t frames, std::size_t headValues) {
        auto s = std::make_shared<Sound>();
        s->format = f;
        s->frames = frames;
        s->head.assign(headValues, 12000);
        return s;
    };
    const struct {
        const char* name;
        std::shared_ptr<Sound> sound;
    } cases[] = {
        {"rate 0", make({0, 1}, 10, 10)},
        {"rate 999", make({999, 1}, 10, 10)},
        {"rate 768001", make({768001, 1}, 10, 10)},
        {"no channels", make({44100, 0}, 10, 0)},
        {"three channels", make({44100, 3}, 10, 30)},
        {"head longer than the sound", make({44100, 1}, 10, 11)},
        {"head shorter, nothing to stream the rest", make({44100, 1}, 10, 9)},
        {"a part of a frame held", make({44100, 2}, 5, 9)},
        {"longer than ten minutes", make({1000, 1}, 600001, 600001)},
    };
    for (const FrameFormat output : {FrameFormat{48000, 2}, FrameFormat{8000, 1}}) {
        Mixer mixer(output);
        const Mixer::VoiceId voice = mixer.addVoice();
        for (const auto& c : cases) {
            mixer.setSound(voice, c.sound);
            mixer.start(voice);
            std::vector<float> out(64 * static_cast<std::size_t>(output.channels), 1.0f);
            EXPECT_EQ(mixer.mix(out.data(), 64), 0) << c.name;
            EXPECT_EQ(out, std::vector<float>(out.size(), 0.0f)) << c.name;
            EXPECT_EQ(mixer.bytesHeld(), 0u) << c.name;
        }
    }
    // An output no sound can be converted to: every voice stays silent.
    for (const FrameFormat output : {FrameFormat{0, 2}, FrameFormat{44100, 3}, FrameFormat{900, 1}}) {
        Mixer mixer(output);
        const Mixer::VoiceId voice = mixer.addVoice();
        mixer.setSound(voice, make({44100, 1}, 10, 10));
        mixer.start(voice);
        std::vector<float> out(64 * 3, 1.0f);
        EXPECT_EQ(mixer.mix(out.data(), 64), 0) << output.sampleRate << " Hz, " << output.channels;
        EXPECT_FALSE(mixer.isPlaying(voice));
    }
}

}  // namespace
}  // namespace korvala::sound
