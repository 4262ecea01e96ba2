#include "qt/view/fonts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QtGlobal>
#include <cmath>

namespace korvala {

namespace {

// One of the faces the window model names, the installed faces that draw it
// as the game was laid out (the face itself first), and the game's own copies
// of the nearest free face, for a system with none of those.
struct GameFace {
    const char* face;
    QStringList nearFaces;
    QStringList bundledFiles;
};

const GameFace kGameFaces[] = {
    // Liberation Sans has Arial's metrics: close to the small MS Sans Serif
    // text, and the only near face with every weight and slant the game uses.
    {"MS Sans Serif",
     {"MS Sans Serif", "Liberation Sans", "Arimo"},
     {"LiberationSans-Regular.ttf", "LiberationSans-Bold.ttf", "LiberationSans-Italic.ttf",
      "LiberationSans-BoldItalic.ttf"}},
    // Wine's Tahoma is drawn to Tahoma's own metrics; the game only uses it
    // upright, regular and bold.
    {"Tahoma", {"Tahoma", "Liberation Sans", "Arimo"}, {"tahoma.ttf", "tahomabd.ttf"}},
};

bool hasAny(const QStringList& installed, const QStringList& faces) {
    for (const QString& face : faces)
        if (installed.contains(face, Qt::CaseInsensitive)) return true;
    return false;
}

}  // namespace

QStringList addMissingFaces(const QString& folder) {
    // What the system has, before any copy is loaded: Liberation Sans loaded
    // for "MS Sans Serif" does not stand in the way of Tahoma's own copy.
    const QStringList installed = QFontDatabase::families();
    QStringList loaded;
    for (const GameFace& game : kGameFaces) {
        if (hasAny(installed, game.nearFaces)) continue;
        QStringList unusable;
        for (const QString& name : game.bundledFiles) {
            const QString file = QDir(folder).filePath(name);
            const int id = QFileInfo::exists(file) ? QFontDatabase::addApplicationFont(file) : -1;
            if (id < 0) {
                unusable.append(name);
                continue;
            }
            for (const QString& family : QFontDatabase::applicationFontFamilies(id))
                if (!loaded.contains(family)) loaded.append(family);
        }
        if (!unusable.isEmpty())
            qWarning("fonts: no face near %s is installed, and %s in %s cannot be loaded", game.face,
                     qPrintable(unusable.join(QLatin1String(", "))), qPrintable(folder));
    }
    return loaded;
}

void installFontSubstitutes(const QString& bundledFolder) {
    static bool done = false;
    if (done) return;
    done = true;
    addMissingFaces(bundledFolder);
    // Both faces are plain sans serif faces of similar width; the metric
    // compatible free faces come closest, DejaVu where those are missing.
    // A face the system (or the game's own copies) has is used as it is.
    const QStringList nearest{"Liberation Sans", "Arimo", "DejaVu Sans", "Nimbus Sans"};
    QFont::insertSubstitutions("MS Sans Serif", nearest);
    QFont::insertSubstitutions("Tahoma", nearest);
}

void installFontSubstitutes() {
    installFontSubstitutes(QCoreApplication::applicationDirPath() + QStringLiteral("/fonts"));
}

QFont qtFont(const Font& font) {
    installFontSubstitutes();
    QFont f(QString::fromStdString(font.face));
    f.setPixelSize(std::max(1, static_cast<int>(std::lround(font.points * 96.0 / 72.0))));
    f.setBold(font.bold);
    f.setItalic(font.italic);
    return f;
}

}  // namespace korvala
