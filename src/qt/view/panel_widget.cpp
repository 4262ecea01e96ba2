#include "qt/view/panel_widget.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include "qt/view/game_window.h"
#include "window/element.h"

namespace korvala {

PanelWidget::PanelWidget(GameWindow& window, Panel& panel, QWidget* parent)
    : QWidget(parent), window_(window), panel_(panel) {
    setAttribute(Qt::WA_OpaquePaintEvent);  // covers what lies beneath: the board is not repainted under it
    setAttribute(Qt::WA_NoSystemBackground);
    setMouseTracking(true);
}

void PanelWidget::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    window_.paintContainer(p, panel_, event->rect());
    p.end();
    window_.framePainted();
}

void PanelWidget::mousePressEvent(QMouseEvent* event) { forward(event); }
void PanelWidget::mouseReleaseEvent(QMouseEvent* event) { forward(event); }
void PanelWidget::mouseMoveEvent(QMouseEvent* event) { forward(event); }

void PanelWidget::forward(QMouseEvent* event) {
    window_.mouseAt(event->type(), event->button(), mapTo(&window_, event->position()));
    event->accept();
}

}  // namespace korvala
