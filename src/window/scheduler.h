#pragma once
// Timers and "let pending events run": a virtual clock for tests and the
// simulator, real Qt timers for the game.
#include <functional>

namespace korvala {

class Timer;

class Scheduler {
public:
    virtual ~Scheduler() = default;
    // Called whenever a timer's interval is set: a positive interval arms the
    // timer and restarts its count from now; 0 stops it.
    virtual void intervalSet(Timer& timer, int ms) = 0;
    // Let pending events run (from inside a handler).
    virtual void processEvents() = 0;
    // Where due timers are delivered.
    std::function<void(Timer&)> fire;
};

}  // namespace korvala
