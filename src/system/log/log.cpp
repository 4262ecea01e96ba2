#include "system/log/log.h"

#include <memory>
#include <mutex>

namespace korvala::log {

namespace {

// The sink is shared, not copied per line: a line takes a reference under
// the lock and is written outside it, so lines from several threads never
// wait for one another here and replacing the sink never pulls it from
// under a line being written.
struct Current {
    std::mutex m;
    std::shared_ptr<const Sink> sink;
};

Current& current() {
    static Current c;
    return c;
}

void write(Area area, Level level, const std::string& message) {
    std::shared_ptr<const Sink> sink;
    {
        Current& c = current();
        std::lock_guard lock(c.m);
        sink = c.sink;
    }
    // Logging never breaks what it reports on: a sink that throws loses
    // the line.
    try {
        if (sink) (*sink)(area, level, message);
    } catch (...) {
    }
}

}  // namespace

void setSink(Sink s) {
    auto next = s ? std::make_shared<const Sink>(std::move(s)) : nullptr;
    Current& c = current();
    std::lock_guard lock(c.m);
    c.sink.swap(next);
}

void warning(Area area, const std::string& message) { write(area, Level::Warning, message); }

void info(Area area, const std::string& message) { write(area, Level::Info, message); }

void detail(Area area, const std::string& message) { write(area, Level::Detail, message); }

const char* areaName(Area area) {
    switch (area) {
        case Area::Online:
            return "online";
        case Area::Sound:
            return "sound";
        case Area::Files:
            return "files";
        case Area::Web:
            return "web";
    }
    return "other";
}

}  // namespace korvala::log
