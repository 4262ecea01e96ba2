// The real Qt controls that stand for the model's windowed elements: made
// when first needed, kept in step with the model's text both ways.
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPalette>
#include <QPushButton>
#include <QSignalBlocker>

#include "qt/view/fonts.h"
#include "qt/view/game_window.h"
#include "qt/view/panel_widget.h"
#include "qt/view/view_util.h"
#include "window/form1.h"

namespace korvala {

using view::pixels;
using view::qs;

namespace {

// A line break typed or pasted into a field that takes none.
bool isLineBreak(QChar c) {
    return c == u'\n' || c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
}

}  // namespace

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
    // The Tab key follows the model's order, not the order of creation.
    for (std::size_t i = 1; i < panel.tabOrder.size(); ++i) {
        QWidget* from = widgetFor(*panel.tabOrder[i - 1]);
        QWidget* to = widgetFor(*panel.tabOrder[i]);
        if (from && to) QWidget::setTabOrder(from, to);
    }
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
            // A length-limited field refuses further input silently (the
            // limit counts UTF-16 units here, never more than the model holds).
            if (text.maxLength > 0) edit->setMaxLength(static_cast<int>(text.maxLength));
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
            for (const std::string& item : combo.List()) box->addItem(qs(item));
            if (combo.maxLength > 0) box->lineEdit()->setMaxLength(static_cast<int>(combo.maxLength));
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
            push->setAutoDefault(true);  // a focused button clicks on Enter too
            connect(push, &QPushButton::clicked, push, [this, &button] { form_.raise(button, Event::Click); });
            return push;
        }
        case Kind::ListBox: {
            auto& list = static_cast<ListBox&>(e);
            auto* widget = new QListWidget(surface);
            for (const std::string& item : list.List()) widget->addItem(qs(item));
            return widget;
        }
        case Kind::WebBrowser: {
            if (makeBrowser)
                if (QWidget* browser = makeBrowser(surface, pixels(e.pixelRect()))) return browser;
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
            if (auto* combo = dynamic_cast<const ComboBox*>(&e);
                combo && box->count() != static_cast<int>(combo->List().size())) {
                box->clear();
                for (const std::string& item : combo->List()) box->addItem(qs(item));
            }
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
        for (const std::string& item : list->List()) items << qs(item);
        QStringList shown;
        for (int i = 0; widget && i < widget->count(); ++i) shown << widget->item(i)->text();
        if (widget && shown != items) {
            widget->clear();
            widget->addItems(items);
        }
    }
    syncing_ = false;
}

}  // namespace korvala
