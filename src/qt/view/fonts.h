#pragma once
// The game's two type faces on this machine, at the sizes the game was laid
// out for.
#include <QFont>
#include <QString>
#include <QStringList>

#include "window/element.h"

namespace korvala {

// Maps "MS Sans Serif" and "Tahoma" onto the nearest installed faces. Where
// the system has no face near one of them, the game's own copies of the
// nearest free faces are loaded first from the "fonts" folder beside the
// executable. Runs once, with the application object in place; later calls
// do nothing.
void installFontSubstitutes();
// The same, with the game's own fonts taken from `bundledFolder`.
void installFontSubstitutes(const QString& bundledFolder);

// For each of the game's faces that the font database has nothing near,
// loads the game's own copies from `folder`: Liberation Sans for
// "MS Sans Serif", Tahoma's free counterpart for "Tahoma". Returns the
// families loaded; none where the system has near faces for both.
QStringList addMissingFaces(const QString& folder);

// The Qt font for a model font. Sizes are points on the 96-dpi desktop the
// layout was made for, so the pixel size is points * 96 / 72 whatever the
// screen's own dpi: text then fits the element rectangles it was made for.
QFont qtFont(const Font& font);

}  // namespace korvala
