#pragma once
// The one event table: which element's which event goes to which handler.
// Every event not listed is ignored.
#include <functional>
#include <memory>
#include <vector>

namespace korvala {

class Element;

enum class Event { Load, Click, MouseMove, Timer, StateChanged };

class EventTable {
public:
    void on(const Element& e, Event ev, std::function<void()> handler);
    // Runs the handler bound to (e, ev); false when the event is ignored.
    // An event raised again while its own handler runs (pending events let
    // through from inside it) waits until that handler has finished, then
    // runs: one handling of an event never interleaves with another. A
    // handler may bind more entries while it runs.
    bool raise(const Element& e, Event ev);
    bool handles(const Element& e, Event ev) const;

private:
    struct Entry {
        const Element* element;
        Event event;
        // Shared, so that the handler that runs keeps its callable alive
        // when it binds entries and the table's storage moves.
        std::shared_ptr<const std::function<void()>> handler;
        bool running = false;
        int waiting = 0;
    };
    std::vector<Entry> entries_;
};

}  // namespace korvala
