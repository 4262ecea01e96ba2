#pragma once
// The game's pictures, decoded from the built-in resources the first time
// each is drawn and kept for the rest of the run.
#include <QColor>
#include <QHash>
#include <QPixmap>
#include <QString>
#include <string_view>

namespace korvala {

// The resource file of a picture name: "MNU(3)" -> ":/pictures/MNU3.png",
// "Kosong" -> ":/pictures/Kosong.png".
QString pictureFile(std::string_view picture);

class PictureCache {
public:
    // The picture, or a flat stand-in of the picture's own size in a colour
    // of its own when its file is missing, so the layout still shows.
    // Null for the empty name.
    const QPixmap& get(std::string_view picture);
    // True when the picture came from its file (not a stand-in).
    bool isReal(std::string_view picture);
    int decoded() const { return static_cast<int>(cache_.size()); }

    static QColor standInColor(std::string_view picture);

private:
    struct Entry {
        QPixmap pixmap;
        bool real = false;
    };
    const Entry& entry(std::string_view picture);
    QHash<QString, Entry> cache_;
};

}  // namespace korvala
