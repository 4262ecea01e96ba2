#pragma once
// What the game tells whoever looks after it (a player at a terminal, an
// administrator, a test): failed transfers, refused sound files, failed
// saves, the loopback score server's start and stop. The player's screen
// never shows any of it. The parts below the window toolkit write here; the
// game sends it on to the toolkit's logging (one category per area, see
// app/), and a program that sets no sink (the simulator) says nothing.
//
// Never pass a password or the player's e-mail address: name an operation
// by its kind ("upload", "listing"), not by the score string.
#include <functional>
#include <string>

namespace korvala::log {

enum class Area { Online, Sound, Files, Web };
enum class Level { Detail, Warning };

using Sink = std::function<void(Area, Level, const std::string& message)>;

// Sets the process's one sink (empty: nothing is written). Set it before
// any thread that may log starts.
void setSink(Sink sink);

// What a player or an administrator needs to know.
void warning(Area area, const std::string& message);
// What helps to follow a run, shown only when asked for.
void detail(Area area, const std::string& message);

}  // namespace korvala::log
