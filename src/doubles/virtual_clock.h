#pragma once
// A deterministic clock for tests and the simulator. Time moves only when
// told to. Events due at the same moment run in the order in which their
// current counts were started (a periodic timer's count restarts at each
// firing; a posted event's count starts when it is posted); counts started at
// the same moment run in the order they were armed or posted.
#include <cstdint>
#include <functional>
#include <vector>

#include "window/ports.h"

namespace korvala {

class VirtualClock : public Scheduler {
public:
    void intervalSet(Timer& timer, int ms) override;
    void processEvents() override { runUntil(now_); }
    void post(int delayMs, std::function<void()> event) override;

    // Runs every event due at or before `t`, in due order, then stands at `t`.
    void runUntil(std::int64_t t);
    std::int64_t now() const { return now_; }

private:
    struct Armed {
        Timer* timer;                 // nullptr for a posted event
        std::function<void()> event;  // a posted event, run once
        int interval;
        std::int64_t start;  // when the current count started
        std::int64_t due;
        std::uint64_t order;  // rises with every count started
    };
    std::vector<Armed> armed_;
    std::int64_t now_ = 0;
    std::uint64_t counts_ = 0;
};

}  // namespace korvala
