#pragma once
// The game's timers as real Qt timers: one precise QTimer per model timer.
#include <QObject>
#include <unordered_map>

#include "window/ports.h"

class QTimer;

namespace korvala {

class QtScheduler final : public QObject, public Scheduler {
public:
    explicit QtScheduler(QObject* parent = nullptr);
    ~QtScheduler() override;

    // A positive interval (re)starts the timer's count from now; 0 stops it.
    void intervalSet(Timer& timer, int ms) override;
    // Lets pending window events, timer events included, run now.
    void processEvents() override;
    // Safe to call from any thread: the event runs on this object's thread.
    void post(int delayMs, std::function<void()> event) override;

    // Whether the model timer is counting.
    bool armed(const Timer& timer) const;

private:
    std::unordered_map<const Timer*, QTimer*> timers_;
};

}  // namespace korvala
