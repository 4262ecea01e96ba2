#include "doubles/virtual_clock.h"

#include <algorithm>
#include <tuple>

#include "window/element.h"

namespace korvala {

void VirtualClock::intervalSet(Timer& timer, int ms) {
    std::erase_if(armed_, [&](const Armed& a) { return a.timer == &timer; });
    if (ms > 0) armed_.push_back({&timer, {}, ms, now_, now_ + ms, ++counts_});
}

void VirtualClock::post(int delayMs, std::function<void()> event) {
    const std::int64_t delay = std::max(0, delayMs);
    armed_.push_back({nullptr, std::move(event), 0, now_, now_ + delay, ++counts_});
}

void VirtualClock::runUntil(std::int64_t t) {
    for (;;) {
        auto next = armed_.end();
        for (auto it = armed_.begin(); it != armed_.end(); ++it) {
            if (it->due > t) continue;
            if (next == armed_.end() ||
                std::tie(it->due, it->start, it->order) < std::tie(next->due, next->start, next->order))
                next = it;
        }
        if (next == armed_.end()) break;
        now_ = std::max(now_, next->due);
        if (!next->timer) {
            std::function<void()> event = std::move(next->event);
            armed_.erase(next);
            if (event) event();
            continue;
        }
        // A periodic timer's count restarts at its firing, before its handler
        // runs; the handler may then re-arm or stop it.
        next->start = now_;
        next->due = now_ + next->interval;
        next->order = ++counts_;
        Timer& timer = *next->timer;
        if (fire) fire(timer);
    }
    now_ = std::max(now_, t);
}

}  // namespace korvala
