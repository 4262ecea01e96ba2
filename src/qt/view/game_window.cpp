// The window itself: its set-up, and how the model's changes reach the screen.
#include "qt/view/game_window.h"

#include <QCloseEvent>
#include <QFile>
#include <QIcon>
#include <QTimer>

#include "qt/view/fonts.h"
#include "qt/view/view_util.h"
#include "window/form1.h"

namespace korvala {

using view::pixels;
using view::qs;

GameWindow::GameWindow(Form1& form, QWidget* parent) : QWidget(parent), form_(form) {
    installFontSubstitutes();
    setWindowTitle(qs(form.Caption));
    // A fixed single border: the window can be moved, minimised and closed,
    // never maximised or resized.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    const Rect client = form.pixelRect();
    setFixedSize(client.width, client.height);
    setFont(qtFont(Font{}));  // the window's default font, inherited by every control
    if (QFile::exists(pictureFile(form.icon))) setWindowIcon(pictureIcon(form.icon));  // 32, 48 and 64 px
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setMouseTracking(true);
    buildControls(form, this);
    form.setObserver(this);
}

GameWindow::~GameWindow() {
    if (form_.observer() == this) form_.setObserver(nullptr);
}

QWidget* GameWindow::widgetFor(const Element& e) const { return widgets_.value(&e, nullptr); }

QWidget* GameWindow::surfaceFor(const Container& c) const {
    if (&c == &form_) return const_cast<GameWindow*>(this);
    return widgetFor(c);
}

bool GameWindow::onScreen(const Container& c) const {
    if (&c == &form_) return form_.screen() == nullptr;
    return form_.screen() == &c;  // every panel covers the whole client area
}

void GameWindow::changed(const Element& e) {
    if (QWidget* w = widgetFor(e)) {
        if (auto* panel = dynamic_cast<const Panel*>(&e); panel && e.Visible())
            fillPanel(const_cast<Panel&>(*panel), w);
        if (w->isHidden() == e.Visible()) w->setVisible(e.Visible());
        pushText(e);
        return;
    }
    if (e.windowed()) {
        if (e.parent && e.Visible()) showLateControl(e);
        return;
    }
    if (!e.parent) return;
    QRect dirty = drawnRect(e);
    if (e.kind() == Kind::Image) {
        // A picture of another size leaves the old area to be cleaned too.
        auto it = lastDrawn_.find(&e);
        dirty |= it != lastDrawn_.end() ? *it : pixels(e.pixelRect());
        lastDrawn_.insert(&e, drawnRect(e));
    }
    if (dirty.isEmpty() || !onScreen(*e.parent)) return;
    if (QWidget* surface = surfaceFor(*e.parent)) surface->update(dirty);
}

void GameWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    if (onClose) onClose();
}

void GameWindow::framePainted() {
    if (firstFrameDone_) return;
    firstFrameDone_ = true;
    // After this paint has reached the screen, not from inside it.
    if (onFirstFrame) QTimer::singleShot(0, this, [this] { onFirstFrame(); });
}

}  // namespace korvala
