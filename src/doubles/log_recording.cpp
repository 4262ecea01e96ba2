#include "doubles/log_recording.h"

namespace korvala::log {

Recording::Recording() {
    // The sink holds the lines it keeps, so a line still on its way when the
    // recording goes lands safely.
    setSink([kept = kept_](Area area, Level level, const std::string& message) {
        std::lock_guard lock(kept->m);
        kept->lines.push_back({area, level, message});
    });
}

Recording::~Recording() { setSink({}); }

std::vector<Line> Recording::lines() const {
    std::lock_guard lock(kept_->m);
    return kept_->lines;
}

std::vector<std::string> Recording::messages(Level level) const {
    std::vector<std::string> found;
    for (const Line& line : lines())
        if (line.level == level) found.push_back(line.message);
    return found;
}

std::string Recording::text() const {
    std::string all;
    for (const Line& line : lines()) {
        all += levelName(line.level);
        all += ' ';
        all += areaName(line.area);
        all += ": " + line.message + "\n";
    }
    return all;
}

void Recording::clear() {
    std::lock_guard lock(kept_->m);
    kept_->lines.clear();
}

const char* levelName(Level level) {
    switch (level) {
        case Level::Detail:
            return "detail";
        case Level::Info:
            return "info";
        case Level::Warning:
            return "warning";
    }
    return "?";
}

}  // namespace korvala::log
