#include "window/events.h"

namespace korvala {

void EventTable::on(const Element& e, Event ev, std::function<void()> handler) {
    entries_.push_back({&e, ev, std::move(handler)});
}

bool EventTable::raise(const Element& e, Event ev) const {
    for (const Entry& entry : entries_) {
        if (entry.element == &e && entry.event == ev) {
            entry.handler();
            return true;
        }
    }
    return false;
}

bool EventTable::handles(const Element& e, Event ev) const {
    for (const Entry& entry : entries_)
        if (entry.element == &e && entry.event == ev) return true;
    return false;
}

}  // namespace korvala
