#pragma once
// The one place that wires the program: the window's ports, the sound
// devices, the timers' firing, the transfer channels' reports, the score
// service and the event table. The game's main gives it the real platform
// parts; the simulator and the tests give it doubles.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "window/ports.h"
#include "window/score_service.h"

namespace korvala {

class Form1;

// The ports the program runs on (the sound slots are filled here, one
// backend per device), and how to make a device's sound backend.
struct PlatformParts : Ports {
    // Makes the sound backend of one device, by the device's name ("mc1" ...
    // "DK"); called once per device, in the order they are bound.
    std::function<std::unique_ptr<SoundBackend>(const std::string& device)> makeSound;
    // The score service of the run, set on the window; none: the window's
    // own is left as it is.
    std::optional<ScoreService> service;
};

class Program {
public:
    // Sets the window's ports and score service once, binds every handled
    // event and starts the timers that count from the window's creation.
    // `form` and the parts must outlive the program.
    Program(Form1& form, PlatformParts parts);
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // The window's Load event: run once, before the window is shown.
    void load();
    // The player closed the window with its close control: the program ends
    // just as through the menu's Keluar.
    void close();

private:
    Form1& form_;
    std::vector<std::unique_ptr<SoundBackend>> sounds_;
};

}  // namespace korvala
