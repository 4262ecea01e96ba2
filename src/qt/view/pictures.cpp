#include "qt/view/pictures.h"

#include <QImageReader>

#include "qt/pictures/picture_resources.h"
#include "window/picture_store.h"

namespace korvala {

namespace {

// The ratios sit exactly on 1 and 1.5 when a screen is set to them; the
// margin only absorbs rounding in a ratio computed elsewhere.
constexpr qreal kRatioMargin = 1e-6;

int slot(PictureScale scale) { return static_cast<int>(scale); }

// Decodes the picture at `path` into `pm`; false when there is none. Every
// picture is a PNG, so the reader goes straight to the PNG decoder: left to
// guess, it would load and ask every image format plugin first.
bool loadPicture(QPixmap& pm, const QString& path) {
    QImageReader reader(path, "png");
    reader.setAutoDetectImageFormat(false);
    pm = QPixmap::fromImageReader(&reader);
    // Kept from now on: the file's pages it was read from can go.
    releasePictureResourcePages();
    return !pm.isNull();
}

}  // namespace

PictureScale pictureScaleFor(qreal devicePixelRatio) {
    if (devicePixelRatio <= 1.0 + kRatioMargin) return PictureScale::One;
    if (devicePixelRatio <= 1.5 + kRatioMargin) return PictureScale::OneAndHalf;
    return PictureScale::Two;
}

qreal scaleFactor(PictureScale scale) {
    switch (scale) {
        case PictureScale::One:
            return 1.0;
        case PictureScale::OneAndHalf:
            return 1.5;
        case PictureScale::Two:
            return 2.0;
    }
    return 1.0;
}

QString pictureFile(std::string_view picture, PictureScale scale) {
    registerPictureResources();
    QString name;
    for (char c : picture)
        if (c != '(' && c != ')') name += QLatin1Char(c);
    QString suffix;
    if (scale == PictureScale::OneAndHalf)
        suffix = QStringLiteral("@1.5x");
    else if (scale == PictureScale::Two)
        suffix = QStringLiteral("@2x");
    return QStringLiteral(":/pictures/") + name + suffix + QStringLiteral(".png");
}

QIcon pictureIcon(std::string_view picture) {
    QIcon icon;
    for (PictureScale scale : {PictureScale::One, PictureScale::OneAndHalf, PictureScale::Two}) {
        QPixmap pm;
        // Each size at a ratio of 1: the window system picks the size it shows.
        if (loadPicture(pm, pictureFile(picture, scale))) {
            pm.setDevicePixelRatio(1.0);
            icon.addPixmap(pm);
        }
    }
    return icon;
}

QColor PictureCache::standInColor(std::string_view picture) {
    const auto h = qHash(QByteArray(picture.data(), static_cast<qsizetype>(picture.size())));
    return QColor::fromHsv(static_cast<int>(h % 360), 150, 210);
}

const PictureCache::Entry& PictureCache::entry(std::string_view picture, PictureScale scale) {
    auto& cache = cache_[static_cast<std::size_t>(slot(scale))];
    const QString key = QString::fromUtf8(picture.data(), static_cast<qsizetype>(picture.size()));
    auto it = cache.find(key);
    if (it != cache.end()) return *it;
    Entry e;
    if (!picture.empty()) {
        ++reads_;
        e.real = loadPicture(e.pixmap, pictureFile(picture, scale));  // null when there is no such file
        if (e.real) {
            e.pixmap.setDevicePixelRatio(scaleFactor(scale));
        } else if (scale != PictureScale::One) {
            e = entry(picture, PictureScale::One);  // shares the 1x pixmap: no second read
        } else {
            const PictureSize size = pictureSize(picture);
            e.pixmap = QPixmap(std::max(1, size.width), std::max(1, size.height));
            e.pixmap.fill(standInColor(picture));
        }
    }
    return *cache.insert(key, e);
}

const QPixmap& PictureCache::get(std::string_view picture, qreal devicePixelRatio) {
    return entry(picture, pictureScaleFor(devicePixelRatio)).pixmap;
}

bool PictureCache::isReal(std::string_view picture, qreal devicePixelRatio) {
    return entry(picture, pictureScaleFor(devicePixelRatio)).real;
}

}  // namespace korvala
