#include "platform/view/fonts.h"

#include <QStringList>
#include <cmath>

namespace korvala {

void installFontSubstitutes() {
    static const bool done = [] {
        // Both faces are plain sans serif faces of similar width; the metric
        // compatible free faces come closest, DejaVu where those are missing.
        const QStringList nearest{"Liberation Sans", "Arimo", "DejaVu Sans", "Nimbus Sans"};
        QFont::insertSubstitutions("MS Sans Serif", nearest);
        QFont::insertSubstitutions("Tahoma", nearest);
        return true;
    }();
    (void)done;
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
