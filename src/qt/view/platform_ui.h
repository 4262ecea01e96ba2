#pragma once
// The message box and the program's end, for the game's real window.
#include <functional>

#include "window/ports.h"

class QWidget;

namespace korvala {

// A modal QMessageBox over the window: the critical icon, one OK button.
class QtMessageBox final : public MessageBox {
public:
    explicit QtMessageBox(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }
    void critical(const std::string& title, const std::string& prompt) override;

private:
    QWidget* parent_;
};

// Ends the Qt application's event loop at once; what main owns (the window,
// the sound output, the transfer channels) is released on the way out.
class QtProgramExit final : public ProgramExit {
public:
    void quit() override;
};

}  // namespace korvala
