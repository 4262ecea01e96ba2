#include "platform/log/log.h"

namespace korvala::log {

namespace {
Sink& sink() {
    static Sink s;
    return s;
}
}  // namespace

void setSink(Sink s) { sink() = std::move(s); }

void warning(Area area, const std::string& message) {
    if (sink()) sink()(area, Level::Warning, message);
}

void detail(Area area, const std::string& message) {
    if (sink()) sink()(area, Level::Detail, message);
}

}  // namespace korvala::log
