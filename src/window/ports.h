#pragma once
// The small interfaces through which the window model reaches the platform,
// and the one bundle that carries them. Each has one real implementation in
// src/platform and a recording double in src/doubles; the program's wiring
// (src/program) sets the bundle on the window once.
#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace korvala {

class Timer;

// Timers, "let pending events run", and events delivered later: real Qt
// timers for the game, a virtual clock for tests and the simulator.
class Scheduler {
public:
    virtual ~Scheduler() = default;
    // Called whenever a timer's interval is set: a positive interval arms the
    // timer and restarts its count from now; 0 stops it.
    virtual void intervalSet(Timer& timer, int ms) = 0;
    // Let pending events run (from inside a handler).
    virtual void processEvents() = 0;
    // Delivers `event` on the window's thread `delayMs` from now (0: as soon
    // as the current handler has finished), as one more window event. The
    // transfer channels hand in their reports this way.
    virtual void post(int delayMs, std::function<void()> event) = 0;
    // Where due timers are delivered; the program's wiring sets it.
    std::function<void(Timer&)> fire;
};

// A multimedia device: bound once to a WAV file, then cued.
// Commands are "open", "prev" and "play"; any other is ignored.
// Nothing here reports an error or waits for a sound: a device whose file
// is missing or cannot be played stays silent and accepts every command.
class SoundBackend {
public:
    virtual ~SoundBackend() = default;
    virtual void setFileName(const std::string& path) = 0;
    virtual void command(std::string_view cmd) = 0;
};

// The files of the rich-text boxes. Paths are as the game names them
// ("C:/konfignama.tamzosystem"); the implementation maps "C:/" onto the
// game's data folder. Both return false on failure and leave `text`
// unchanged when a load fails.
class DocumentFiles {
public:
    virtual ~DocumentFiles() = default;
    virtual bool load(const std::string& path, std::string& text) = 0;
    virtual bool save(const std::string& path, const std::string& text) = 0;
};

// The modal message box: one OK button, a critical (stop) icon. Returns
// when the player has closed it.
class MessageBox {
public:
    virtual ~MessageBox() = default;
    virtual void critical(const std::string& title, const std::string& prompt) = 0;
};

// Ends the program at once: every window closed, the sound devices
// released, nothing saved, no question.
class ProgramExit {
public:
    virtual ~ProgramExit() = default;
    virtual void quit() = 0;
};

// The six connection settings of a transfer channel, as last set.
struct ChannelSettings {
    std::string AccessType = "0";
    std::string RequestTimeout = "60";  // seconds
    std::string Protocol = "0";
    std::string URL;
    std::string UserName;
    std::string Password;
};

// One request on a transfer channel, carried whole: paths are never
// re-split on blanks. `operation` is the string the program formed ("DIR
// Korvala/", "PUT C:/<name> Korvala/<name>"), kept for the record.
struct TransferRequest {
    enum class Kind { Listing, Upload };
    Kind kind = Kind::Listing;
    std::string operation;
    std::string folder;      // Listing: the remote folder, "Korvala/"
    std::string localPath;   // Upload: the game's path of the local file, "C:/<name>"
    std::string remotePath;  // Upload: "Korvala/<name>"
};

// An Internet transfer channel (FTP). `execute` returns at once; the request
// runs in the background and ends in exactly one report, delivered on the
// window's thread through `stateChanged`, once its response can be read or
// it has failed (a failed request has an empty response).
class TransferChannel {
public:
    virtual ~TransferChannel() = default;
    virtual void execute(const ChannelSettings& settings, const TransferRequest& request) = 0;
    // The next part of the response, at most `size` bytes; empty when
    // nothing is left.
    virtual std::string getChunk(std::size_t size) = 0;
    // Set by the program's wiring; called on the window's thread.
    std::function<void(int state)> stateChanged;
};

// The embedded web browser. `navigate` returns at once; the page loads by
// itself. The real view is created the first time it is shown. `prepare` is
// a hint that the page may soon be wanted: a browser that is costly to bring
// in may start on it, showing nothing.
class WebView {
public:
    virtual ~WebView() = default;
    virtual void navigate(const std::string& url) = 0;
    virtual void prepare() {}
};

// The bundle of ports, set on the window once by the program's wiring. A
// port left empty makes its elements inert (no sound, failing files,
// nothing sent).
inline constexpr std::size_t kSoundDevices = 5;  // mc1, mc2, mc3, Music, DK
struct Ports {
    Scheduler* scheduler = nullptr;
    DocumentFiles* files = nullptr;
    std::array<SoundBackend*, kSoundDevices> sounds{};
    MessageBox* messageBox = nullptr;
    ProgramExit* exit = nullptr;
    TransferChannel* Inet1 = nullptr;
    TransferChannel* Inet3 = nullptr;
    WebView* WBX = nullptr;
};

}  // namespace korvala
