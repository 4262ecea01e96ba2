// Painting a container: its colour, its picture, then its windowless
// elements from the bottom of the stacking list up.
#include <QPaintEvent>
#include <QPainter>

#include "qt/view/fonts.h"
#include "qt/view/game_window.h"
#include "qt/view/view_util.h"
#include "window/form1.h"
#include "window/picture_store.h"

namespace korvala {

using view::color;
using view::pixels;
using view::qs;

namespace {

// A label's text as drawn: left to right, character by character, whatever
// it holds. A left-to-right override goes in front, and every directional
// embedding, override, isolate or end of one inside the text becomes that
// same override, so that nothing in a caption (a name in a listing, say) can
// turn the direction of what follows it. Those controls draw nothing, so the
// characters shown are the caption's own.
QString leftToRight(const QString& text) {
    const QChar kOverride(0x202D);
    QString out;
    out.reserve(text.size() + 1);
    out += kOverride;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool direction = (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
        out += direction ? kOverride : c;
    }
    return out;
}

}  // namespace

QRect GameWindow::drawnRect(const Element& e) {
    const QRect r = pixels(e.pixelRect());
    if (auto* image = dynamic_cast<const Image*>(&e); image && image->fit == Fit::Natural) {
        if (image->Picture().empty()) return {};
        // A picture at its own size: the file's size, or the known size of
        // a picture that is not there yet.
        const PictureSize size = pictureSize(image->Picture());
        return QRect(r.topLeft(), QSize(size.width, size.height));
    }
    return r;
}

void GameWindow::paintContainer(QPainter& p, const Container& c, const QRect& dirty) {
    // Pictures come from the set that fits the screen's pixel density; each
    // carries its ratio, so it is drawn at its size in window pixels.
    const qreal ratio = devicePixelRatioF();
    p.fillRect(dirty, color(c.backColor));
    if (!c.background.empty()) p.drawPixmap(0, 0, pictures_.get(c.background, ratio));  // unscaled; the edges clip
    // Bottom of the stacking list first, so the top one is painted last.
    for (auto it = c.windowless.rbegin(); it != c.windowless.rend(); ++it) {
        const Element& e = **it;
        if (!e.Visible()) continue;
        const QRect r = drawnRect(e);
        if (!r.intersects(dirty)) continue;
        switch (e.kind()) {
            case Kind::Image: {
                const auto& image = static_cast<const Image&>(e);
                const QPixmap& pm = pictures_.get(image.Picture(), ratio);
                if (pm.isNull()) break;
                if (image.fit == Fit::Stretch) {
                    p.save();
                    p.setRenderHint(QPainter::SmoothPixmapTransform);
                    p.drawPixmap(r, pm);
                    p.restore();
                } else {
                    p.drawPixmap(r.topLeft(), pm);
                }
                break;
            }
            case Kind::Label: {
                const auto& label = static_cast<const Label&>(e);
                if (label.Caption().empty()) break;
                p.save();
                p.setClipRect(r, Qt::IntersectClip);
                p.setFont(qtFont(label.look.font));
                p.setPen(label.look.hasForeColor ? color(label.look.foreColor) : palette().color(QPalette::WindowText));
                const int align = label.look.align == Align::Center ? Qt::AlignHCenter : Qt::AlignLeft;
                p.drawText(r, align | Qt::AlignTop | Qt::TextSingleLine, leftToRight(qs(label.Caption())));
                p.restore();
                break;
            }
            case Kind::Shape:
                p.fillRect(r, color(static_cast<const Shape&>(e).fillColor));
                break;
            default:
                break;
        }
    }
}

void GameWindow::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    paintContainer(p, form_, event->rect());
    p.end();
    framePainted();
}

}  // namespace korvala
