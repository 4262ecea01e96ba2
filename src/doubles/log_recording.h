#pragma once
// Keeps what the game logs, for a test to read: while a Recording lives it is
// the process's sink; when it goes, no sink is left. Lines may arrive from
// any thread.
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "system/log/log.h"

namespace korvala::log {

struct Line {
    Area area;
    Level level;
    std::string message;
};

class Recording {
public:
    Recording();
    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    std::vector<Line> lines() const;
    // The messages of one level, in the order they came.
    std::vector<std::string> messages(Level level) const;
    // Every line, one a row, "<level> <area>: <message>", to show when a
    // test fails.
    std::string text() const;
    void clear();

private:
    struct Kept {
        std::mutex m;
        std::vector<Line> lines;
    };
    std::shared_ptr<Kept> kept_ = std::make_shared<Kept>();
};

const char* levelName(Level level);

}  // namespace korvala::log
