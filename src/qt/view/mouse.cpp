// The player's mouse over the painted layer, routed through the model's hit
// test: the model's stacking decides which element a click or a move reaches.
#include <QMouseEvent>
#include <cmath>

#include "qt/view/game_window.h"
#include "window/form1.h"

namespace korvala {

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
