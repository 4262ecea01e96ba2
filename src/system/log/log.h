#pragma once
// What the game tells whoever looks after it (a player at a terminal, an
// administrator, a test): failed transfers, refused sound files, failed
// saves, the loopback score server's start and stop. The player's screen
// never shows any of it. The parts below the window toolkit write here; the
// game sends it on to the toolkit's logging (one category per area, see
// qt/view/qt_log.h), and a program that sets no sink (the simulator)
// says nothing.
//
// Never pass a password or the player's e-mail address: name an operation
// by its kind ("upload", "listing"), not by the score string.
#include <functional>
#include <string>

namespace korvala::log {

enum class Area { Online, Sound, Files, Web };
// From the least to the most pressing.
enum class Level { Detail, Info, Warning };

using Sink = std::function<void(Area, Level, const std::string& message)>;

// Sets the process's one sink (empty: nothing is written). Set it before
// any thread that may log starts. Lines may be written from any thread, so
// the sink must take lines from several threads at once; a line being
// written when the sink is replaced still goes to the old one.
void setSink(Sink sink);

// What a player or an administrator needs to know.
void warning(Area area, const std::string& message);
// What is worth seeing on every run (the loopback score server's start and
// stop), shown by default but not a fault.
void info(Area area, const std::string& message);
// What helps to follow a run, shown only when asked for.
void detail(Area area, const std::string& message);

// The area's name as the logs show it: "online", "sound", "files", "web".
const char* areaName(Area area);

}  // namespace korvala::log
