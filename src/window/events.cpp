#include "window/events.h"

namespace korvala {

void EventTable::on(const Element& e, Event ev, std::function<void()> handler) {
    entries_.push_back({&e, ev, std::move(handler)});
}

bool EventTable::raise(const Element& e, Event ev) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].element != &e || entries_[i].event != ev) continue;
        if (entries_[i].running) {
            ++entries_[i].waiting;
            return true;
        }
        entries_[i].running = true;
        do {
            entries_[i].handler();  // by index: a handler may bind more entries
        } while (entries_[i].waiting > 0 && entries_[i].waiting--);
        entries_[i].running = false;
        return true;
    }
    return false;
}

bool EventTable::handles(const Element& e, Event ev) const {
    for (const Entry& entry : entries_)
        if (entry.element == &e && entry.event == ev) return true;
    return false;
}

}  // namespace korvala
