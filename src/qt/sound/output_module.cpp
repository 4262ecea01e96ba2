// The sound output module's entry points: the Qt Multimedia output, made
// and ended on the game's behalf.
#include "system/sound/output_module.h"

#include <QtGlobal>

#include "qt/sound/sound_output.h"

extern "C" Q_DECL_EXPORT korvala::sound::SoundOutput* korvala_sound_output_open(korvala::sound::MixSource& source) {
    return new korvala::sound::SoundOutput(source);
}

extern "C" Q_DECL_EXPORT void korvala_sound_output_close(korvala::sound::SoundOutput* output) { delete output; }

extern "C" Q_DECL_EXPORT bool korvala_sound_output_active(const korvala::sound::SoundOutput* output) {
    return output && output->isActive();
}
