#include "window/cues.h"

#include "window/element.h"

namespace korvala {

void playCue(SoundDevice& device) {
    device.Command("prev");
    device.Command("play");
}

}  // namespace korvala
