#include "qt/view/qt_scheduler.h"

#include <QCoreApplication>
#include <QTimer>

#include "window/element.h"

namespace korvala {

QtScheduler::QtScheduler(QObject* parent) : QObject(parent) {}

QtScheduler::~QtScheduler() {
    // Stop every count before the timers go, so nothing fires into a
    // half-destroyed window.
    for (auto& [timer, qtimer] : timers_) qtimer->stop();
}

void QtScheduler::intervalSet(Timer& timer, int ms) {
    QTimer*& qtimer = timers_[&timer];
    if (!qtimer) {
        qtimer = new QTimer(this);
        qtimer->setTimerType(Qt::PreciseTimer);
        connect(qtimer, &QTimer::timeout, this, [this, t = &timer] {
            if (fire) fire(*t);
        });
    }
    if (ms > 0)
        qtimer->start(ms);  // restarts a running count too
    else
        qtimer->stop();
}

void QtScheduler::processEvents() { QCoreApplication::processEvents(); }

void QtScheduler::post(int delayMs, std::function<void()> event) {
    // Hop onto the window's thread first; the timer, if any, is made there.
    QMetaObject::invokeMethod(
        this,
        [this, delayMs, event = std::move(event)]() mutable {
            if (delayMs <= 0) {
                event();
                return;
            }
            QTimer::singleShot(delayMs, Qt::PreciseTimer, this, std::move(event));
        },
        Qt::QueuedConnection);
}

bool QtScheduler::armed(const Timer& timer) const {
    const auto it = timers_.find(&timer);
    return it != timers_.end() && it->second->isActive();
}

}  // namespace korvala
