#pragma once
// The game's main window: draws the window model and feeds the player's
// mouse and keyboard back into it.
//
// The window's own surface is the game board: the board picture, then the
// board's labels, images and shape, bottom of the stacking list first. Each
// panel is a child widget stacked in the model's order (the first listed on
// top) that paints its colour, its picture and its own windowless elements.
// Text boxes, buttons, the combo box, the list box and the rich-text boxes
// are real Qt controls at their places; sound devices, timers and transfer
// controls are never drawn.
//
// Mouse input over the painted layer (board and panels) goes through the
// model's hit test, so the model's stacking decides which element a click
// or a move reaches; the real buttons report their own clicks.
//
// The model tells the window of every change (ChangeObserver); only the
// changed element's rectangle is repainted, and only when its container is
// the screen. Writing an unchanged value costs nothing.
#include <QEvent>
#include <QHash>
#include <QSet>
#include <QWidget>
#include <functional>

#include "qt/view/pictures.h"
#include "window/element.h"

class QLineEdit;
class QPainter;

namespace korvala {

class Form1;
class PanelWidget;

class GameWindow : public QWidget, public ChangeObserver {
public:
    // Builds a widget for every panel and control of `form` and becomes its
    // observer. `form` must outlive the window.
    explicit GameWindow(Form1& form, QWidget* parent = nullptr);
    ~GameWindow() override;

    void changed(const Element& e) override;

    // The widget that stands for a panel or a windowed element; nullptr for
    // painted (windowless) elements and for what is never drawn.
    QWidget* widgetFor(const Element& e) const;
    // The surface a container's windowless elements are painted on: this
    // window for the board, the panel's widget for a panel.
    QWidget* surfaceFor(const Container& c) const;

    // Called once, after the first frame of the window has been painted.
    std::function<void()> onFirstFrame;
    // The player closes the window with its close control.
    std::function<void()> onClose;
    // Makes the widget of the web browser at its place on `surface` (the
    // information panel), the first time that panel is shown; without it a
    // white stand-in holds the place.
    std::function<QWidget*(QWidget* surface, const QRect& place)> makeBrowser;

    PictureCache& pictures() { return pictures_; }

    // Paints a container's background and windowless elements into `p`,
    // whose origin is the container's top-left; `dirty` bounds the work.
    void paintContainer(QPainter& p, const Container& c, const QRect& dirty);
    // Mouse input from the painted layer, in client-area pixels.
    void mouseAt(QEvent::Type type, Qt::MouseButton button, QPointF clientPos);
    void framePainted();

protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void fillPanel(Panel& panel, QWidget* w);
    void restack(const Container& c);
    QWidget* showLateControl(const Element& e);
    QWidget* createControl(Element& e, QWidget* surface);  // the widget of `e`, placed and shown as the model says
    void buildControls(Container& c, QWidget* surface);
    QWidget* makeControl(Element& e, QWidget* surface);
    void pushText(const Element& e);
    void textEdited(TextElement& e, QLineEdit* edit, const QString& text);
    QRect drawnRect(const Element& e);
    bool onScreen(const Container& c) const;

    Form1& form_;
    PictureCache pictures_;
    QHash<const Element*, QWidget*> widgets_;
    QSet<const Panel*> filled_;               // panels whose controls exist
    QHash<const Element*, QRect> lastDrawn_;  // where each image was last painted
    const Element* pressed_ = nullptr;        // the element a press went to
    bool syncing_ = false;                    // pushing model text into a control
    bool firstFrameDone_ = false;
};

}  // namespace korvala
