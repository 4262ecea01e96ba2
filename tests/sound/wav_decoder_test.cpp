// The WAV decoder: every ordinary kind of WAV decodes to the right frames,
// and broken or hostile files are refused without crashing or reading past
// the bytes given.
#include "system/sound/wav_decoder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "wav_builder.h"

namespace korvala::sound {
namespace {

using testing::Bytes;
using testing::chunk;
using testing::encode;
using testing::fmtBody;
using testing::Format;
using testing::riff;
using testing::wav;

// Exactly representable in every sample format we accept.
const std::vector<double> kValues = {0.0, 0.5, -0.5, 0.25, -1.0, 0.75, -0.125, 0.0625};

struct VariantCase {
    const char* name;
    Format format;
    friend void PrintTo(const VariantCase& c, std::ostream* os) { *os << c.name; }
};

class DecodesVariant : public ::testing::TestWithParam<VariantCase> {};

TEST_P(DecodesVariant, ToTheWrittenSamples) {
    const Format f = GetParam().format;
    // Interleave: channel c of frame i holds kValues[(i + c) % n].
    std::vector<double> values;
    const std::size_t frames = kValues.size();
    for (std::size_t i = 0; i < frames; ++i)
        for (int c = 0; c < f.channels; ++c) values.push_back(kValues[(i + c) % frames]);

    const WavResult r = decodeWav(wav(f, values), {f.rate, f.channels});
    ASSERT_TRUE(r.ok()) << toString(r.error);
    EXPECT_EQ(r.sound.format.sampleRate, f.rate);
    EXPECT_EQ(r.sound.format.channels, f.channels);
    ASSERT_EQ(r.sound.frames(), frames);
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_FLOAT_EQ(r.sound.samples[i], static_cast<float>(values[i])) << "sample " << i;
}

INSTANTIATE_TEST_SUITE_P(Wav, DecodesVariant,
                         ::testing::Values(VariantCase{"pcm8_mono_22050", {1, 1, 22050, 8, false}},
                                           VariantCase{"pcm16_mono_44100", {1, 1, 44100, 16, false}},
                                           VariantCase{"pcm16_stereo_48000", {1, 2, 48000, 16, false}},
                                           VariantCase{"pcm24_stereo_44100", {1, 2, 44100, 24, false}},
                                           VariantCase{"pcm32_mono_48000", {1, 1, 48000, 32, false}},
                                           VariantCase{"float32_stereo_44100", {3, 2, 44100, 32, false}},
                                           VariantCase{"float64_mono_22050", {3, 1, 22050, 64, false}},
                                           VariantCase{"extensible_pcm16_stereo", {1, 2, 44100, 16, true}},
                                           VariantCase{"extensible_pcm24_mono", {1, 1, 48000, 24, true}},
                                           VariantCase{"extensible_float32_stereo", {3, 2, 48000, 32, true}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WavChannels, MonoIsCopiedToBothSidesAndStereoAveragedToMono) {
    const Format mono{1, 1, 44100, 16, false};
    const WavResult up = decodeWav(wav(mono, {0.5, -0.25}), {44100, 2});
    ASSERT_TRUE(up.ok());
    EXPECT_EQ(up.sound.samples, (std::vector<float>{0.5f, 0.5f, -0.25f, -0.25f}));

    const Format stereo{1, 2, 44100, 16, false};
    const WavResult down = decodeWav(wav(stereo, {0.5, -0.25, 1.0 - 1.0 / 32768, -1.0}), {44100, 1});
    ASSERT_TRUE(down.ok());
    ASSERT_EQ(down.sound.frames(), 2u);
    EXPECT_FLOAT_EQ(down.sound.samples[0], 0.125f);
    EXPECT_NEAR(down.sound.samples[1], 0.0f, 1e-4);
}

TEST(WavChannels, MoreThanTwoChannelsKeepTheFrontPair) {
    Format f{1, 4, 48000, 16, true};
    const WavResult r = decodeWav(wav(f, {0.5, -0.5, 0.25, 0.25}), {48000, 2});
    ASSERT_TRUE(r.ok()) << toString(r.error);
    EXPECT_EQ(r.sound.samples, (std::vector<float>{0.5f, -0.5f}));
}

TEST(WavRate, DoublingInterpolatesBetweenFramesAndKeepsTheLength) {
    const Format f{1, 1, 22050, 16, false};
    const WavResult r = decodeWav(wav(f, {0.0, 0.5, -0.5, 0.25}), {44100, 1});
    ASSERT_TRUE(r.ok());
    // Frame j of the output sits at source position j / 2; the last source
    // frame is held at the end.
    EXPECT_EQ(r.sound.samples, (std::vector<float>{0.0f, 0.25f, 0.5f, 0.0f, -0.5f, -0.125f, 0.25f, 0.25f}));
}

TEST(WavRate, OneSecondStaysOneSecondAtEveryCommonRate) {
    for (int from : {22050, 44100, 48000}) {
        for (int to : {22050, 44100, 48000}) {
            const Format f{1, 1, from, 16, false};
            const std::vector<double> second(static_cast<std::size_t>(from), 0.25);
            const WavResult r = decodeWav(wav(f, second), {to, 2});
            ASSERT_TRUE(r.ok());
            EXPECT_EQ(r.sound.frames(), static_cast<std::size_t>(to)) << from << " -> " << to;
            for (float s : r.sound.samples) ASSERT_FLOAT_EQ(s, 0.25f) << from << " -> " << to;
        }
    }
}

TEST(WavLayout, OtherChunksAndOddPaddingAreSkipped) {
    const Format f{1, 1, 22050, 8, false};
    const Bytes list = chunk("LIST", {'I', 'N', 'F', 'O', 'x'});  // odd: padded
    const Bytes fact = chunk("fact", {3, 0, 0, 0});
    const Bytes data = chunk("data", encode(f, {0.5, -0.5, 0.25}));  // odd: padded
    const Bytes trailer = chunk("id3 ", {1, 2, 3});

    struct Case {
        const char* name;
        Bytes file;
    } cases[] = {
        {"LIST and fact before data", riff({chunk("fmt ", fmtBody(f)), list, fact, data, trailer})},
        {"LIST before fmt", riff({list, chunk("fmt ", fmtBody(f)), data})},
        {"data before fmt", riff({data, list, chunk("fmt ", fmtBody(f))})},
        {"fmt with 18-byte body", riff({chunk("fmt ",
                                              [&] {
                                                  Bytes b = fmtBody(f);
                                                  b.push_back(0);
                                                  b.push_back(0);
                                                  return b;
                                              }()),
                                        data})},
        {"stray bytes after the last chunk",
         [&] {
             Bytes b = riff({chunk("fmt ", fmtBody(f)), data});
             b.insert(b.end(), {0, 0, 0});
             return b;
         }()},
    };
    for (const Case& c : cases) {
        const WavResult r = decodeWav(c.file, {22050, 1});
        ASSERT_TRUE(r.ok()) << c.name << ": " << toString(r.error);
        EXPECT_EQ(r.sound.samples, (std::vector<float>{0.5f, -0.5f, 0.25f})) << c.name;
    }
}

TEST(WavLayout, PartialFrameAtTheEndIsDroppedAndEmptyDataIsAnEmptySound) {
    const Format f{1, 2, 44100, 16, false};
    Bytes body = encode(f, {0.5, -0.5, 0.25});  // one and a half frames
    WavResult r = decodeWav(riff({chunk("fmt ", fmtBody(f)), chunk("data", body)}), {44100, 2});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.sound.samples, (std::vector<float>{0.5f, -0.5f}));

    r = decodeWav(riff({chunk("fmt ", fmtBody(f)), chunk("data", {})}), {44100, 2});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.sound.frames(), 0u);
}

TEST(WavValues, NonNumbersBecomeSilenceAndOverRangeFloatsAreClipped) {
    const Format f{3, 1, 48000, 32, false};
    const double inf = std::numeric_limits<double>::infinity();
    const WavResult r = decodeWav(wav(f, {std::nan(""), inf, 3.0, -3.0, 0.5}), {48000, 1});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.sound.samples, (std::vector<float>{0.0f, 0.0f, 1.0f, -1.0f, 0.5f}));
}

struct BadCase {
    const char* name;
    Bytes file;
    WavError expected;
};

Bytes withFormat(Format f, const std::function<void(Bytes&)>& spoil) {
    Bytes fmt = fmtBody(f);
    spoil(fmt);
    return riff({chunk("fmt ", fmt), chunk("data", Bytes(64, 0))});
}

TEST(WavRefused, BrokenAndHostileFilesFailWithTheirReason) {
    const Format pcm{1, 2, 44100, 16, false};
    const Bytes good = wav(pcm, kValues);
    auto setU16 = [](std::size_t at, std::uint16_t v) {
        return [=](Bytes& b) {
            b[at] = v & 0xFF;
            b[at + 1] = v >> 8;
        };
    };
    auto setU32 = [](std::size_t at, std::uint32_t v) {
        return [=](Bytes& b) {
            for (int k = 0; k < 4; ++k) b[at + k] = (v >> (8 * k)) & 0xFF;
        };
    };
    const BadCase cases[] = {
        {"empty", {}, WavError::NotWav},
        {"plain text", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '!'}, WavError::NotWav},
        {"RIFF but not WAVE",
         [&] {
             Bytes b = good;
             b[8] = 'A';
             return b;
         }(),
         WavError::NotWav},
        {"only RIFF", {'R', 'I', 'F', 'F', 0, 0}, WavError::Truncated},
        {"header only", Bytes(good.begin(), good.begin() + 12), WavError::NoFormat},
        {"fmt body cut", Bytes(good.begin(), good.begin() + 30), WavError::Truncated},
        {"fmt claims 4 GiB",
         [&] {
             Bytes b = good;
             setU32(16, 0xFFFFFFF0)(b);
             return b;
         }(),
         WavError::Truncated},
        {"fmt of 14 bytes", riff({chunk("fmt ", Bytes(14, 1)), chunk("data", Bytes(8, 0))}), WavError::Truncated},
        {"data claims 2 GiB",
         [&] {
             Bytes b = good;
             setU32(40, 0x7FFFFFFF)(b);
             return b;
         }(),
         WavError::DataBeyondFile},
        {"data one byte beyond the file",
         [&] {
             Bytes b = good;
             setU32(40, static_cast<std::uint32_t>(b.size() - 44 + 1))(b);
             return b;
         }(),
         WavError::DataBeyondFile},
        {"no data chunk", riff({chunk("fmt ", fmtBody(pcm)), chunk("LIST", Bytes(6, 0))}), WavError::NoData},
        {"no fmt chunk", riff({chunk("data", Bytes(8, 0))}), WavError::NoFormat},
        {"zero channels", withFormat(pcm, setU16(2, 0)), WavError::BadFormat},
        {"65535 channels", withFormat(pcm, setU16(2, 65535)), WavError::BadFormat},
        {"rate 0", withFormat(pcm, setU32(4, 0)), WavError::BadFormat},
        {"rate 4 GHz", withFormat(pcm, setU32(4, 0xFFFFFFFF)), WavError::BadFormat},
        {"compressed format tag", withFormat(pcm, setU16(0, 2)), WavError::UnsupportedFormat},
        {"0 bits", withFormat(pcm, setU16(14, 0)), WavError::UnsupportedFormat},
        {"48-bit PCM", withFormat(pcm, setU16(14, 48)), WavError::UnsupportedFormat},
        {"16-bit float", withFormat({3, 2, 44100, 16, false}, [](Bytes&) {}), WavError::UnsupportedFormat},
        {"extensible with a foreign GUID", withFormat({1, 2, 44100, 16, true}, [](Bytes& b) { b[39] ^= 0xFF; }),
         WavError::UnsupportedFormat},
        {"extensible without its extension", withFormat({1, 2, 44100, 16, true}, [](Bytes& b) { b.resize(18); }),
         WavError::Truncated},
        {"over ten minutes", wav({1, 1, 1000, 8, false}, std::vector<double>(601 * 1000, 0.0)), WavError::TooLarge},
    };
    for (const BadCase& c : cases) {
        const WavResult r = decodeWav(c.file, {48000, 2});
        EXPECT_EQ(r.error, c.expected) << c.name << ": got " << toString(r.error);
        EXPECT_EQ(r.sound.samples.size(), 0u) << c.name;
    }
}

TEST(WavRefused, AHugeBlockSizeGivesNoFramesRatherThanAnOverrun) {
    const Bytes file = withFormat({1, 2, 44100, 16, false}, [](Bytes& b) {
        b[12] = 0xFF;
        b[13] = 0xFF;
    });
    const WavResult r = decodeWav(file, {44100, 2});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.sound.frames(), 0u);
}

// Every prefix and many random corruptions of a valid file: the decoder
// either refuses or decodes, and never reads outside the buffer (the
// sanitizer build checks this). A prefix is copied into a buffer of exactly
// its length so that any overrun is seen.
TEST(WavRefused, CutsAndCorruptionsNeverReadOutsideTheFile) {
    const Bytes good = riff({chunk("LIST", {'a', 'b', 'c'}), chunk("fmt ", fmtBody({3, 2, 22050, 32, true})),
                             chunk("data", encode({3, 2, 22050, 32, true}, kValues))});
    for (std::size_t n = 0; n < good.size(); ++n) {
        const Bytes cut(good.begin(), good.begin() + n);
        const WavResult r = decodeWav(cut, {48000, 2});
        EXPECT_LE(r.sound.frames(), 9u) << "prefix " << n;
    }
    std::mt19937 rng(1234);
    for (int round = 0; round < 3000; ++round) {
        Bytes b = good;
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int k = 0; k < flips; ++k) b[rng() % 80] = static_cast<std::uint8_t>(rng());
        const WavResult r = decodeWav(b, {44100, 2});
        if (r.ok()) {
            EXPECT_LE(r.sound.frames(), 600u * 44100u);
            EXPECT_EQ(r.sound.samples.size(), r.sound.frames() * 2);
        }
    }
}

class WavFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("korvala_wav_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string write(const std::string& name, const Bytes& b) {
        const auto path = dir_ / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        return path.string();
    }
    std::filesystem::path dir_;
};

TEST_F(WavFile, ReadsAFileAndRefusesWhatIsNoFile) {
    const std::string path = write("beep5.wav", wav({1, 1, 44100, 16, false}, {0.5, -0.5}));
    const WavResult r = decodeWavFile(path, {44100, 1});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.sound.samples, (std::vector<float>{0.5f, -0.5f}));

    EXPECT_EQ(decodeWavFile((dir_ / "missing.wav").string(), {44100, 1}).error, WavError::CannotRead);
    EXPECT_EQ(decodeWavFile(dir_.string(), {44100, 1}).error, WavError::CannotRead);
    EXPECT_EQ(decodeWavFile("", {44100, 1}).error, WavError::CannotRead);
    EXPECT_EQ(decodeWavFile(write("empty.wav", {}), {44100, 1}).error, WavError::NotWav);
}

TEST_F(WavFile, OpeningForPlayRefusesWhatDecodingRefusesForTheSameReason) {
    const Format pcm{1, 2, 44100, 16, false};
    const Bytes good = wav(pcm, kValues);
    struct Case {
        const char* name;
        Bytes file;
        WavError expected;
    } cases[] = {
        {"good", good, WavError::None},
        {"empty", {}, WavError::NotWav},
        {"only RIFF", {'R', 'I', 'F', 'F', 0, 0}, WavError::Truncated},
        {"fmt body cut", Bytes(good.begin(), good.begin() + 30), WavError::Truncated},
        {"data one byte beyond the file",
         [&] {
             Bytes b = good;
             b[40] = static_cast<std::uint8_t>(b.size() - 44 + 1);
             return b;
         }(),
         WavError::DataBeyondFile},
        {"no data chunk", riff({chunk("fmt ", fmtBody(pcm)), chunk("LIST", Bytes(6, 0))}), WavError::NoData},
        {"compressed format tag", withFormat(pcm, [](Bytes& b) { b[0] = 2; }), WavError::UnsupportedFormat},
        {"extensible without its extension", withFormat({1, 2, 44100, 16, true}, [](Bytes& b) { b.resize(18); }),
         WavError::Truncated},
        {"over ten minutes", wav({1, 1, 1000, 8, false}, std::vector<double>(601 * 1000, 0.0)), WavError::TooLarge},
    };
    for (const Case& c : cases) {
        const std::string path = write("Auth.wav", c.file);
        const SoundResult r = openWavSound(path);
        EXPECT_EQ(r.error, c.expected) << c.name << ": got " << toString(r.error);
        EXPECT_EQ(r.error, decodeWavFile(path, {48000, 2}).error) << c.name;
        EXPECT_EQ(r.sound != nullptr, c.expected == WavError::None) << c.name;
    }
    for (const std::string& path : {(dir_ / "missing.wav").string(), dir_.string(), std::string()})
        EXPECT_EQ(openWavSound(path).error, WavError::CannotRead) << path;
    const std::string huge = write("Birthday.wav", good);
    std::filesystem::resize_file(huge, kMaxWavFileBytes + 1);  // sparse, never read
    EXPECT_EQ(openWavSound(huge).error, WavError::TooLarge);
}

TEST_F(WavFile, OpeningForPlayHoldsTheFilesOwnRateAndAtMostTwoChannels) {
    // Each held sample is the file's own, rounded to 16 bits: what decoding
    // at the file's rate and the held channel count gives.
    struct Case {
        const char* name;
        Format format;
        FrameFormat held;
    } cases[] = {
        {"pcm16 mono 44100", {1, 1, 44100, 16, false}, {44100, 1}},
        {"pcm16 stereo 22050", {1, 2, 22050, 16, false}, {22050, 2}},
        {"pcm8 mono 1000", {1, 1, 1000, 8, false}, {1000, 1}},
        {"pcm24 six channels 768000: the front pair", {1, 6, 768000, 24, true}, {768000, 2}},
        {"float64 32 channels 11025: the front pair", {3, 32, 11025, 64, false}, {11025, 2}},
    };
    for (const Case& c : cases) {
        std::vector<double> values;
        for (std::size_t i = 0; i < 50; ++i)
            for (int ch = 0; ch < c.format.channels; ++ch)
                values.push_back(kValues[(i + static_cast<std::size_t>(ch) * 3) % kValues.size()] * 0.999);
        const Bytes file = wav(c.format, values);
        const SoundResult r = openWavSound(write("External.wav", file));
        ASSERT_TRUE(r.ok()) << c.name << ": " << toString(r.error);
        EXPECT_EQ(r.sound->format.sampleRate, c.held.sampleRate) << c.name;
        EXPECT_EQ(r.sound->format.channels, c.held.channels) << c.name;
        EXPECT_EQ(r.sound->frames, 50u) << c.name;
        EXPECT_FALSE(r.sound->rest) << c.name;
        const WavResult d = decodeWav(file, c.held);
        ASSERT_EQ(r.sound->head.size(), d.sound.samples.size()) << c.name;
        for (std::size_t i = 0; i < d.sound.samples.size(); ++i)
            ASSERT_EQ(r.sound->head[i], toSample16(d.sound.samples[i])) << c.name << ", sample " << i;
        EXPECT_EQ(r.sound->bytesHeld(), 50u * c.held.channels * sizeof(std::int16_t)) << c.name;
    }
}

TEST_F(WavFile, AnOversizedFileIsRefusedBeforeItIsRead) {
    // Sparse: takes no disk space, and must not be read into memory either.
    const std::string path = write("Birthday.wav", wav({1, 2, 44100, 16, false}, kValues));
    std::filesystem::resize_file(path, kMaxWavFileBytes + 1);
    EXPECT_EQ(decodeWavFile(path, {44100, 2}).error, WavError::TooLarge);
}

}  // namespace
}  // namespace korvala::sound
