#pragma once
// A panel of the window: a child widget covering the client area (and a
// little more, which the window clips). It paints its colour, its picture and
// its windowless elements; its mouse input goes to the window's hit test.
#include <QWidget>

namespace korvala {

class GameWindow;
class Panel;

class PanelWidget final : public QWidget {
public:
    PanelWidget(GameWindow& window, Panel& panel, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void forward(QMouseEvent* event);
    GameWindow& window_;
    Panel& panel_;
};

}  // namespace korvala
