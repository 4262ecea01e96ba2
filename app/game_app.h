#pragma once
// The game in its window, wired with the real platform parts: what the
// game's main runs, and what the test-only entry runs with its hooks.
#include <functional>

class QWidget;

namespace korvala {

class Form1;

// Test-only hooks; the game itself runs with none.
struct GameHooks {
    // After the window's Load event, before the window is shown.
    std::function<void(Form1&)> afterLoad;
    // Once, after the first frame has been painted.
    std::function<void(QWidget& window)> onFirstFrame;
};

// Runs the game until it ends; returns the process status (the process may
// also end inside, at once, when the player quits).
int runGame(int argc, char** argv, const GameHooks& hooks = {});

}  // namespace korvala
