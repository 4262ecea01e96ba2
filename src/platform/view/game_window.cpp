#include "platform/view/game_window.h"

#include <QComboBox>
#include <QFile>
#include <QIcon>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <cmath>

#include "platform/view/fonts.h"
#include "window/form1.h"
#include "window/picture_store.h"

namespace korvala {

namespace {

QColor color(Rgb rgb) { return QColor::fromRgb(static_cast<QRgb>(rgb) | 0xFF000000u); }

QRect pixels(const Rect& r) { return QRect(r.left, r.top, r.width, r.height); }

QString qs(const std::string& s) { return QString::fromStdString(s); }

// A line break typed or pasted into a field that takes none.
bool isLineBreak(QChar c) {
    return c == u'\n' || c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
}

}  // namespace

// A panel: a child window covering the client area (and a little more, which
// the window clips). It paints its colour, its picture and its windowless
// elements; its mouse input goes to the window's hit test.
class PanelWidget final : public QWidget {
public:
    PanelWidget(GameWindow& window, Panel& panel, QWidget* parent) : QWidget(parent), window_(window), panel_(panel) {
        setAttribute(Qt::WA_OpaquePaintEvent);  // covers what lies beneath: the board is not repainted under it
        setAttribute(Qt::WA_NoSystemBackground);
        setMouseTracking(true);
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        QPainter p(this);
        window_.paintContainer(p, panel_, event->rect());
        p.end();
        window_.framePainted();
    }
    void mousePressEvent(QMouseEvent* event) override { forward(event); }
    void mouseReleaseEvent(QMouseEvent* event) override { forward(event); }
    void mouseMoveEvent(QMouseEvent* event) override { forward(event); }

private:
    void forward(QMouseEvent* event) {
        window_.mouseAt(event->type(), event->button(), mapTo(&window_, event->position()));
        event->accept();
    }
    GameWindow& window_;
    Panel& panel_;
};

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
    if (const QString icon = pictureFile(form.icon); QFile::exists(icon)) setWindowIcon(QIcon(icon));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setMouseTracking(true);
    buildControls(form, this);
    form.observer = this;
}

GameWindow::~GameWindow() {
    if (form_.observer == this) form_.observer = nullptr;
}

QWidget* GameWindow::widgetFor(const Element& e) const { return widgets_.value(&e, nullptr); }

QWidget* GameWindow::surfaceFor(const Container& c) const {
    if (&c == &form_) return const_cast<GameWindow*>(this);
    return widgetFor(c);
}

void GameWindow::buildControls(Container& c, QWidget* surface) {
    for (Element* e : c.windowed) {
        // Hidden controls (the hole codes, the score box, the page counter)
        // get their widgets when first shown, like hidden panels get their
        // contents: start-up builds only what the first splash and the menu need.
        if (e->kind() != Kind::Panel && !e->Visible()) continue;
        QWidget* w = createControl(*e, surface);
        if (!w) continue;
        if (auto* panel = dynamic_cast<Panel*>(e); panel && panel->Visible()) fillPanel(*panel, w);
    }
    restack(c);
}

void GameWindow::restack(const Container& c) {
    // The first listed lies on top: raise from the bottom of the list up.
    for (auto it = c.windowed.rbegin(); it != c.windowed.rend(); ++it)
        if (QWidget* w = widgetFor(**it)) w->raise();
}

QWidget* GameWindow::showLateControl(const Element& e) {
    auto* c = static_cast<Container*>(e.parent);
    QWidget* surface = surfaceFor(*c);
    if (!surface || (c != &form_ && !filled_.contains(static_cast<const Panel*>(c)))) return nullptr;
    QWidget* w = createControl(const_cast<Element&>(e), surface);
    if (w) restack(*c);
    return w;
}

QWidget* GameWindow::createControl(Element& e, QWidget* surface) {
    QWidget* w = makeControl(e, surface);
    if (!w) return nullptr;
    widgets_.insert(&e, w);
    w->setGeometry(pixels(e.pixelRect()));
    w->setVisible(e.Visible());
    return w;
}

void GameWindow::fillPanel(Panel& panel, QWidget* w) {
    if (filled_.contains(&panel)) return;
    filled_.insert(&panel);
    buildControls(panel, w);
}

QWidget* GameWindow::makeControl(Element& e, QWidget* surface) {
    switch (e.kind()) {
        case Kind::Panel:
            return new PanelWidget(*this, static_cast<Panel&>(e), surface);
        case Kind::TextBox:
        case Kind::RichTextBox: {
            // Rich-text boxes edit their one paragraph as a single line.
            auto& text = static_cast<TextElement&>(e);
            auto* edit = new QLineEdit(qs(text.Text()), surface);
            edit->setFont(qtFont(text.look.font));
            edit->setCursorPosition(0);
            connect(edit, &QLineEdit::textEdited, edit,
                    [this, &text, edit](const QString& s) { textEdited(text, edit, s); });
            return edit;
        }
        case Kind::ComboBox: {
            auto& combo = static_cast<ComboBox&>(e);
            auto* box = new QComboBox(surface);
            box->setEditable(true);
            box->setInsertPolicy(QComboBox::NoInsert);
            box->setCompleter(nullptr);  // what the player types stays as typed
            box->setFont(qtFont(combo.look.font));
            for (const std::string& item : combo.items) box->addItem(qs(item));
            box->setEditText(qs(combo.Text()));
            connect(box->lineEdit(), &QLineEdit::textEdited, box,
                    [this, &combo, box](const QString& s) { textEdited(combo, box->lineEdit(), s); });
            connect(box, &QComboBox::textActivated, box, [this, &combo](const QString& s) {
                if (!syncing_) combo.setText(s.toStdString());
            });
            return box;
        }
        case Kind::Button: {
            auto& button = static_cast<Button&>(e);
            auto* push = new QPushButton(qs(button.Caption()), surface);
            push->setFont(qtFont(button.look.font));
            connect(push, &QPushButton::clicked, push, [this, &button] { form_.raise(button, Event::Click); });
            return push;
        }
        case Kind::ListBox: {
            auto& list = static_cast<ListBox&>(e);
            auto* widget = new QListWidget(surface);
            for (const std::string& item : list.items) widget->addItem(qs(item));
            return widget;
        }
        case Kind::WebBrowser: {
            // Stands at the browser's place until the scores page viewer is wired in.
            auto* blank = new QWidget(surface);
            blank->setAutoFillBackground(true);
            QPalette pal = blank->palette();
            pal.setColor(QPalette::Window, Qt::white);
            blank->setPalette(pal);
            return blank;
        }
        default:
            return nullptr;  // sound devices are never drawn
    }
}

void GameWindow::textEdited(TextElement& e, QLineEdit* edit, const QString& typed) {
    if (syncing_) return;
    QString text = typed;
    auto* rich = dynamic_cast<RichTextBox*>(&e);
    if (rich && !rich->acceptsLineBreaks) {
        text.removeIf(isLineBreak);
        if (text != typed) {
            const int cursor = std::max(0, static_cast<int>(edit->cursorPosition() - (typed.size() - text.size())));
            QSignalBlocker block(edit);
            edit->setText(text);
            edit->setCursorPosition(cursor);
        }
    }
    e.setText(text.toStdString());
}

void GameWindow::pushText(const Element& e) {
    QWidget* w = widgetFor(e);
    if (!w) return;
    syncing_ = true;
    if (auto* text = dynamic_cast<const TextElement*>(&e)) {
        const QString value = qs(text->Text());
        if (auto* box = qobject_cast<QComboBox*>(w)) {
            if (box->currentText() != value) box->setEditText(value);
        } else if (auto* edit = qobject_cast<QLineEdit*>(w); edit && edit->text() != value) {
            edit->setText(value);
            edit->setCursorPosition(0);
        }
    } else if (auto* button = dynamic_cast<const Button*>(&e)) {
        if (auto* push = qobject_cast<QPushButton*>(w); push && push->text() != qs(button->Caption()))
            push->setText(qs(button->Caption()));
    } else if (auto* list = dynamic_cast<const ListBox*>(&e)) {
        auto* widget = qobject_cast<QListWidget*>(w);
        QStringList items;
        for (const std::string& item : list->items) items << qs(item);
        QStringList shown;
        for (int i = 0; widget && i < widget->count(); ++i) shown << widget->item(i)->text();
        if (widget && shown != items) {
            widget->clear();
            widget->addItems(items);
        }
    }
    syncing_ = false;
}

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

void GameWindow::paintContainer(QPainter& p, const Container& c, const QRect& dirty) {
    p.fillRect(dirty, color(c.backColor));
    if (!c.background.empty()) p.drawPixmap(0, 0, pictures_.get(c.background));  // unscaled; the edges clip
    // Bottom of the stacking list first, so the top one is painted last.
    for (auto it = c.windowless.rbegin(); it != c.windowless.rend(); ++it) {
        const Element& e = **it;
        if (!e.Visible()) continue;
        const QRect r = drawnRect(e);
        if (!r.intersects(dirty)) continue;
        switch (e.kind()) {
            case Kind::Image: {
                const auto& image = static_cast<const Image&>(e);
                const QPixmap& pm = pictures_.get(image.Picture());
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
                p.drawText(r, align | Qt::AlignTop | Qt::TextSingleLine, qs(label.Caption()));
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

void GameWindow::framePainted() {
    if (firstFrameDone_) return;
    firstFrameDone_ = true;
    // After this paint has reached the screen, not from inside it.
    if (onFirstFrame) QTimer::singleShot(0, this, [this] { onFirstFrame(); });
}

void GameWindow::mouseAt(QEvent::Type type, Qt::MouseButton button, QPointF clientPos) {
    const int x = static_cast<int>(std::floor(clientPos.x()));
    const int y = static_cast<int>(std::floor(clientPos.y()));
    Element* e = form_.hitTest(x, y);
    switch (type) {
        case QEvent::MouseMove:
            if (e) form_.raise(*e, Event::MouseMove);
            break;
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:  // a quick second click is a click as well
            if (button == Qt::LeftButton) pressed_ = e;
            break;
        case QEvent::MouseButtonRelease:
            if (button == Qt::LeftButton) {
                const Element* was = pressed_;
                pressed_ = nullptr;
                // A click is a press and a release on the same element.
                if (e && e == was) form_.raise(*e, Event::Click);
            }
            break;
        default:
            break;
    }
}

void GameWindow::mousePressEvent(QMouseEvent* event) { mouseAt(event->type(), event->button(), event->position()); }
void GameWindow::mouseReleaseEvent(QMouseEvent* event) { mouseAt(event->type(), event->button(), event->position()); }
void GameWindow::mouseMoveEvent(QMouseEvent* event) { mouseAt(event->type(), event->button(), event->position()); }

}  // namespace korvala
