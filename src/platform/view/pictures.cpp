#include "platform/view/pictures.h"


#include "window/picture_store.h"

namespace korvala {

QString pictureFile(std::string_view picture) {
    QString name;
    for (char c : picture)
        if (c != '(' && c != ')') name += QLatin1Char(c);
    return QStringLiteral(":/pictures/") + name + QStringLiteral(".png");
}

QColor PictureCache::standInColor(std::string_view picture) {
    const auto h = qHash(QByteArray(picture.data(), static_cast<qsizetype>(picture.size())));
    return QColor::fromHsv(static_cast<int>(h % 360), 150, 210);
}

const PictureCache::Entry& PictureCache::entry(std::string_view picture) {
    const QString key = QString::fromUtf8(picture.data(), static_cast<qsizetype>(picture.size()));
    auto it = cache_.find(key);
    if (it != cache_.end()) return *it;
    Entry e;
    if (!picture.empty()) {
        e.pixmap.load(pictureFile(picture), "PNG");  // stays null when there is no such file
        e.real = !e.pixmap.isNull();
        if (!e.real) {
            const PictureSize size = pictureSize(picture);
            e.pixmap = QPixmap(std::max(1, size.width), std::max(1, size.height));
            e.pixmap.fill(standInColor(picture));
        }
    }
    return *cache_.insert(key, e);
}

const QPixmap& PictureCache::get(std::string_view picture) { return entry(picture).pixmap; }

bool PictureCache::isReal(std::string_view picture) { return entry(picture).real; }

}  // namespace korvala
