#include "qt/view/platform_ui.h"

#include <QApplication>
#include <QMessageBox>
#include <QWidget>

namespace korvala {

void QtMessageBox::critical(const std::string& title, const std::string& prompt) {
    QMessageBox box(QMessageBox::Critical, QString::fromStdString(title), QString::fromStdString(prompt),
                    QMessageBox::Ok, parent_);
    box.exec();
}

void QtProgramExit::quit() {
    // Every window goes at once, before the event loop winds down.
    for (QWidget* w : QApplication::topLevelWidgets()) w->hide();
    QCoreApplication::exit(0);
}

}  // namespace korvala
