#include "window/events.h"

namespace korvala {

void EventTable::on(const Element& e, Event ev, std::function<void()> handler) {
    entries_.push_back({&e, ev, std::make_shared<const std::function<void()>>(std::move(handler))});
}

bool EventTable::raise(const Element& e, Event ev) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].element != &e || entries_[i].event != ev) continue;
        if (entries_[i].running) {
            ++entries_[i].waiting;
            return true;
        }
        entries_[i].running = true;
        // A handler that binds entries moves the table's storage, and with it
        // the entry; this reference keeps the running callable alive, and the
        // entry's state is read again by its index after each run.
        const std::shared_ptr<const std::function<void()>> handler = entries_[i].handler;
        do {
            (*handler)();
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
