#pragma once
// The game under a private X server with a player at its window, for the
// C++ end-to-end tests: korvala_harness.py session runs the X server, the
// game and the player (tests/support/korvala_player.py: the screen map, the
// screens, reading text, the bot); this fixture sends it one request at a
// time and hands back its answers. Screens are kept by name on the other
// side and named in later requests; places and screens are named as in the
// player's screen map ("menu-entry", "hole4", "row-text0"; "menu",
// "board-panel", ...).
#include <sys/types.h>

#include <QJsonObject>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "harness_process.h"

namespace korvala::testing {

using Clock = std::chrono::steady_clock;

// The harness tells times in seconds of the same monotonic clock.
Clock::time_point fromSeconds(double seconds);

struct WindowSeen {
    bool found = false;
    int width = 0, height = 0;
    bool hasMin = false, hasMax = false;  // size limits told to a window manager
    int minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
};

struct GameEnd {
    Clock::time_point at;
    bool exited = false;  // else ended by `signal`
    int status = 0;
    int signal = 0;
};

// What the bot did in one game.
struct PlayedGame {
    bool result = false;  // the result panel showed (kept as the screen "result")
    double seconds = 0;   // from Mulai to the result panel
    int turns = 0;
    int targetHits = 0, clockHits = 0;
    int unsure = 0;   // clicks whose effect the bot did not see
    int misread = 0;  // turns not read as the turn pattern has them
    bool bombClicked = false;
    std::string log;  // a line per turn and per hole left alone
};

class GameSession {
public:
    // Screens the player keeps (and the text pictures it reads) go to `artefacts`.
    explicit GameSession(std::filesystem::path artefacts);
    ~GameSession();

    // Starts the X server; false with `why` (and `skip` when it cannot run here).
    bool start(std::string& why, bool& skip);
    bool hasXTest();

    // Starts the game with a home of its own (its data under
    // home/.local/share, its settings under home/.config), silent, its
    // output to `log` (empty: the home's game.log); `env` adds variables.
    pid_t startGame(const std::string& executable, const std::filesystem::path& home, const std::string& log,
                    const std::map<std::string, std::string>& env = {});
    // The game's window, once it is mapped; where it sits becomes the origin of every place.
    WindowSeen findWindow(std::chrono::seconds limit);
    // Asks the window to close as a window manager's close control does; when.
    Clock::time_point closeWindow();
    // The game's end within `limit`, or nullopt while it still runs.
    std::optional<GameEnd> waitEnd(std::chrono::milliseconds limit);
    Clock::time_point killGame();

    // Screens, kept as `name`; false when the screen never showed (the last
    // capture is then kept as never-<name> among the artefacts).
    bool capture(const std::string& name);
    bool waitFor(const std::string& name, const std::string& screen, std::chrono::milliseconds limit);
    // As waitFor, without keeping anything at the limit.
    bool poll(const std::string& name, const std::string& screen, std::chrono::milliseconds limit);
    // The screen once `region` differs from shot `from` by more than `above`
    // (mean difference of the colour channels, 0 to 255).
    bool waitForChange(const std::string& name, const std::string& from, const std::string& region, double above,
                       std::chrono::milliseconds limit);
    // The screen once `region` stops changing (or the last one at the limit).
    bool settled(const std::string& name, const std::string& region = "window",
                 std::chrono::milliseconds limit = std::chrono::seconds(3));
    // The menu once it is up and its entry painted.
    bool menuUp(const std::string& name, std::chrono::milliseconds limit);
    // A click on a menu arrow: the settled menu showing the next entry.
    bool stepMenu(const std::string& name, const std::string& arrow);

    bool shows(const std::string& shot, const std::string& screen);
    double difference(const std::string& a, const std::string& b, const std::string& region = "window");
    // Per cent of the menu entry's outline that differs: near 0 for the same entry.
    double entryChange(const std::string& a, const std::string& b);
    bool sameEntry(const std::string& a, const std::string& b) { return entryChange(a, b) < 2.0; }
    // Keeps a screen as NN-<as>.png among the artefacts.
    void keep(const std::string& shot, const std::string& as);

    // Real input: a click on a place of the window (when the button went
    // down), a key with a modifier, letters and digits typed.
    Clock::time_point click(const std::string& place);
    void chord(const std::string& modifier, const std::string& key);
    void type(const std::string& text);

    // The text read in `region` once it matches `expect` ("exact": blanks
    // aside; "lower": also any case; "contains") or at the limit; nullopt
    // without a text reader. `ink` as the player's text_picture has it.
    std::optional<std::string> text(const std::string& region, const std::string& name, std::chrono::milliseconds limit,
                                    const std::string& ink, int segmentation, const std::string& expect,
                                    const std::string& match = "exact");
    // The score board's row numbers once they read `first`. to `first + 9`.
    // and the rows from `blankFrom` on hold nothing else (or at the limit);
    // nullopt without a text reader.
    std::optional<std::string> rowNumbers(int first, int blankFrom, const std::string& name,
                                          std::chrono::milliseconds limit);
    static std::string rowNumbersText(int first);

    // The bot plays the game from its first turn (shot `turn`, seen at
    // `turnSeen`; the empty board `empty`; Mulai clicked at `mulai`) to the
    // result panel.
    PlayedGame play(Clock::time_point mulai, const std::string& empty, const std::string& turn,
                    Clock::time_point turnSeen);

    // One request and its answer; a failed request is a test failure.
    QJsonObject request(QJsonObject request, std::chrono::milliseconds limit = std::chrono::minutes(10));

private:
    std::filesystem::path artefacts_;
    std::unique_ptr<HarnessProcess> harness_;
};

}  // namespace korvala::testing
