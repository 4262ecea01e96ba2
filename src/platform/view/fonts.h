#pragma once
// The game's two type faces on this machine, at the sizes the game was laid
// out for.
#include <QFont>

#include "window/element.h"

namespace korvala {

// Maps "MS Sans Serif" and "Tahoma" onto the nearest installed faces. Runs
// once; later calls do nothing.
void installFontSubstitutes();

// The Qt font for a model font. Sizes are points on the 96-dpi desktop the
// layout was made for, so the pixel size is points * 96 / 72 whatever the
// screen's own dpi: text then fits the element rectangles it was made for.
QFont qtFont(const Font& font);

}  // namespace korvala
