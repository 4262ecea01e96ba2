#pragma once
// The entry points of the sound output module (korvala_sound_output.so),
// which links Qt Multimedia so that the game does not have to: the game
// loads it once its first frame is on screen (see DeferredSoundSystem).
// Both run on the window's thread.

namespace korvala::sound {
class MixSource;
class SoundOutput;
}  // namespace korvala::sound

#define KORVALA_SOUND_OUTPUT_OPEN "korvala_sound_output_open"
#define KORVALA_SOUND_OUTPUT_CLOSE "korvala_sound_output_close"
#define KORVALA_SOUND_OUTPUT_ACTIVE "korvala_sound_output_active"
extern "C" {
// An output on the default audio device playing `source` (which must
// outlive it); silent, but never null, when there is no device.
using KorvalaSoundOutputOpen = korvala::sound::SoundOutput* (*)(korvala::sound::MixSource& source);
using KorvalaSoundOutputClose = void (*)(korvala::sound::SoundOutput* output);
using KorvalaSoundOutputActive = bool (*)(const korvala::sound::SoundOutput* output);
}
