#pragma once
namespace korvala {
class SoundDevice;
// A cue: rewind the device to the start of its sound, then play. Returns at
// once; a device with no sound stays silent.
void playCue(SoundDevice& device);
}  // namespace korvala
