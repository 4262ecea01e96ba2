#pragma once
// What the mixer should play for a sound, and how closely: the file decoded
// whole at the output's format and held as 16-bit (the conversion the mixer
// used to do at "open"), compared sample by sample within one 16-bit step.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "system/sound/mixer.h"
#include "wav_builder.h"

namespace korvala::sound::testing {

// One step of 16-bit, and what float arithmetic adds near full scale (a
// float's step there is 1/256 of it).
constexpr float kOneStep = 1.01f;

inline std::vector<float> decodedAsSixteenBit(const Bytes& file, FrameFormat output) {
    const WavResult r = decodeWav(file, output);
    EXPECT_TRUE(r.ok()) << toString(r.error);
    std::vector<float> out;
    out.reserve(r.sound.samples.size());
    for (float v : r.sound.samples) out.push_back(toSample16(v) / 32768.0f);
    return out;
}

// Whether `got` is `want` to within one step of 16-bit, sample by sample
// (the mixer converts the held 16-bit frames without rounding again).
inline ::testing::AssertionResult withinOneStep(const std::vector<float>& got, const std::vector<float>& want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << got.size() << " samples, not " << want.size();
    for (std::size_t i = 0; i < want.size(); ++i)
        if (!(std::fabs(got[i] - want[i]) * 32768.0f <= kOneStep))
            return ::testing::AssertionFailure() << "sample " << i << " of " << want.size() << ": " << got[i] * 32768.0f
                                                 << " / 32768, not " << want[i] * 32768.0f;
    return ::testing::AssertionSuccess();
}

}  // namespace korvala::sound::testing
