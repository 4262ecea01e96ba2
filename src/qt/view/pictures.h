#pragma once
// The game's pictures, decoded from the built-in resources the first time
// each is drawn and kept for the rest of the run.
//
// Every picture comes in three sets: 1x (<name>.png, one pixel per window
// pixel) and, for dense screens, 1.5x and 2x (<name>@1.5x.png,
// <name>@2x.png: the same drawing rendered 1.5 and 2 times as finely). The
// window asks for a picture with its device pixel ratio and gets the set that
// fits; a dense picture carries its ratio, so Qt draws it at its size in
// window pixels, and a stretched one is scaled from the fine pixels.
#include <QColor>
#include <QHash>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <array>
#include <string_view>

namespace korvala {

enum class PictureScale { One, OneAndHalf, Two };

// The set for a screen of `devicePixelRatio`: 1x up to a ratio of 1, the
// 1.5x set up to 1.5, the 2x set above.
PictureScale pictureScaleFor(qreal devicePixelRatio);
// Device pixels per window pixel of a set: 1, 1.5 or 2.
qreal scaleFactor(PictureScale scale);

// The resource file of a picture name: "MNU(3)" -> ":/pictures/MNU3.png",
// "Kosong" -> ":/pictures/Kosong.png"; in the 2x set ":/pictures/MNU3@2x.png",
// in the 1.5x set ":/pictures/MNU3@1.5x.png".
QString pictureFile(std::string_view picture, PictureScale scale = PictureScale::One);

// An icon that offers the picture at every size it is kept at (the window
// icon: 32, 48 and 64 pixels).
QIcon pictureIcon(std::string_view picture);

class PictureCache {
public:
    // The picture in the set for `devicePixelRatio`, its device pixel ratio
    // set. A picture missing from a dense set is the 1x one (drawn enlarged);
    // one missing altogether is a flat stand-in of the picture's own size in
    // a colour of its own, so the layout still shows. Null for the empty name.
    const QPixmap& get(std::string_view picture, qreal devicePixelRatio = 1.0);
    // True when the picture came from a file (not a stand-in).
    bool isReal(std::string_view picture, qreal devicePixelRatio = 1.0);
    // Picture files read so far: each picture at most once per set.
    int decoded() const { return reads_; }

    static QColor standInColor(std::string_view picture);

private:
    struct Entry {
        QPixmap pixmap;
        bool real = false;
    };
    const Entry& entry(std::string_view picture, PictureScale scale);
    std::array<QHash<QString, Entry>, 3> cache_;  // one per set
    int reads_ = 0;
};

}  // namespace korvala
