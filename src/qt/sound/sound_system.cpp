#include "qt/sound/sound_system.h"

namespace korvala::sound {

SoundSystem::SoundSystem() : mixer_(preferredFrameFormat()), source_(mixer_), output_(source_) {}

}  // namespace korvala::sound
