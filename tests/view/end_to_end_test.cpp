// The game executable under a real X server: its window appears with the
// game's caption, a 687 x 470 client area that cannot be resized, and closing
// it ends the program; and a player's whole path, driven by real X mouse and
// keyboard events against the score server the game starts for itself on
// loopback: the splash screens, the menu, a full game played by a bot that
// reads the holes off the screen, the result panel, "Ya" with the upload and
// the score board and its pages, the scores page of Info Online, the profile
// and Keluar (which takes the score server along), then a second start that
// shows the saved name on the board; and a game killed outright, whose score
// server goes by itself. Needs Xvfb; skipped where there is none. The game's
// output goes to game-<n>.log among the artefacts; KORVALA_E2E_VERBOSE=1 lets
// it through instead.
//
// The X server, the game's process, the screens, reading text and the bot
// are the tests' support layer (tests/support: korvala_player.py knows where
// everything is in the window and what each screen looks like); what stays
// here is the player's path and what it must find on the way.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "game_session.h"
#include "score_server_process.h"

#ifndef KORVALA_GAME
#error "KORVALA_GAME must name the game executable"
#endif
#ifndef KORVALA_LSAN_SUPPRESSIONS
#define KORVALA_LSAN_SUPPRESSIONS ""
#endif
#ifndef KORVALA_E2E_ARTIFACTS
#define KORVALA_E2E_ARTIFACTS "e2e-artifacts"
#endif
#ifndef KORVALA_FTP_HOST
#define KORVALA_FTP_HOST "127.0.0.1:2121"
#endif
#ifndef KORVALA_SCORES_PAGE
#define KORVALA_SCORES_PAGE "http://127.0.0.1:2180/"
#endif

namespace {

namespace support = korvala::testing;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Text without its blanks: how far apart the reader sets words varies.
std::string squeezed(const std::string& text) {
    std::string out;
    for (const char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) out += c;
    return out;
}

// Whether some file under the folder holds the text.
bool holdsText(const std::filesystem::path& folder, const std::string& text) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (content.find(text) != std::string::npos) return true;
    }
    return false;
}

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

class GameUnderX : public ::testing::Test {
protected:
    std::unique_ptr<support::GameSession> session;
    pid_t game = -1;  // while it may still run
    std::filesystem::path home;
    // Where the player keeps screens, and each start of the game writes its
    // output as game-<n>.log (none: nowhere).
    std::filesystem::path logFolder;
    int starts = 0;

    void SetUp() override {
        session = std::make_unique<support::GameSession>(logFolder);
        std::string why;
        bool skip = false;
        if (!session->start(why, skip)) {
            if (skip) GTEST_SKIP() << why;
            FAIL() << "no X server: " << why;
        }
        char pattern[] = "/tmp/korvala-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        home = pattern;
        startGame();
    }

    // Starts the game on this server with this fixture's home; a second start
    // after the first has ended finds the profile the first one saved.
    void startGame() {
        ++starts;
        const std::string log = logFolder.empty() ? (home / "game.log").string()
                                                  : (logFolder / ("game-" + std::to_string(starts) + ".log")).string();
        // Sanitizer builds: leaks of system libraries are not the game's.
        game = session->startGame(KORVALA_GAME, home, log,
                                  {{"LSAN_OPTIONS", std::string("suppressions=") + KORVALA_LSAN_SUPPRESSIONS}});
        ASSERT_GT(game, 0) << "the game did not start";
    }

    void TearDown() override {
        if (game > 0 && session && !session->waitEnd(0ms)) {
            session->killGame();
            session->waitEnd(10s);
        }
        game = -1;
        session.reset();  // the X server goes with it
        if (!home.empty()) std::filesystem::remove_all(home);
    }

    // The game's own data folder: its profile and score files.
    std::filesystem::path dataFolder() const { return home / ".local" / "share" / "Korvala" / "Korvala Deluxe"; }
};

TEST_F(GameUnderX, WindowIsFixedAtTheGameSizeAndClosingItEndsTheGame) {
    const support::WindowSeen w = session->findWindow(30s);
    ASSERT_TRUE(w.found) << "no window captioned \"Korvala Deluxe 1.0\"";
    EXPECT_EQ(w.width, 687);
    EXPECT_EQ(w.height, 470);
    ASSERT_TRUE(w.hasMin && w.hasMax) << "no size limits: the window could be resized";
    EXPECT_EQ(w.minWidth, 687);
    EXPECT_EQ(w.minHeight, 470);
    EXPECT_EQ(w.maxWidth, w.minWidth);
    EXPECT_EQ(w.maxHeight, w.minHeight);

    // Close it as a window manager does.
    session->closeWindow();
    const auto end = session->waitEnd(20s);
    ASSERT_TRUE(end.has_value()) << "the game kept running after its window was closed";
    EXPECT_TRUE(end->exited);
    EXPECT_EQ(end->status, 0);
    game = -1;
}

// Closed the moment it appears, the game may still be decoding its five
// sounds on their own threads: it ends normally every time, its sound devices
// gone before the sound system they play through (a sanitizer build reports
// any touch of the system after it is gone, and the game then ends with
// another status).
TEST_F(GameUnderX, ClosedAsSoonAsItAppearsEndsNormallyEveryTime) {
    for (int run = 1; run <= 10; ++run) {
        if (run > 1) {
            ASSERT_NO_FATAL_FAILURE(startGame());
        }
        ASSERT_TRUE(session->findWindow(30s).found) << "run " << run << ": no window";
        session->closeWindow();
        const auto end = session->waitEnd(20s);
        ASSERT_TRUE(end.has_value()) << "run " << run << ": the game kept running after its window was closed";
        game = -1;
        std::ifstream log(home / "game.log");
        const std::string said((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(end->exited) << "run " << run << ": ended by signal " << end->signal << "; it said:\n" << said;
        EXPECT_EQ(end->status, 0) << "run " << run << "; it said:\n" << said;
        if (HasFailure()) break;
    }
}

// ---- A player's round trip ----------------------------------------------

// The game played as a player does: real pointer and key events through the
// X server's XTest extension, every step waiting for what the screen shows.
class PlayerRoundTrip : public GameUnderX {
protected:
    std::filesystem::path artefacts;
    Clock::time_point started = Clock::now();
    // The game's own score server: its folder in the game's data folder, and
    // the ports the game is built for.
    std::filesystem::path serverFolder;
    int ftpPort = 0, httpPort = 0;

    void SetUp() override {
        artefacts = std::filesystem::path(KORVALA_E2E_ARTIFACTS) /
                    ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::remove_all(artefacts);
        std::filesystem::create_directories(artefacts);
        std::printf("screenshots of every screen and the game's output: %s\n", artefacts.c_str());
        ASSERT_NO_FATAL_FAILURE(waitForFreePorts());
        if (IsSkipped()) return;
        started = Clock::now();
        logFolder = artefacts;
        GameUnderX::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        serverFolder = home / ".local" / "share" / "Korvala" / "score-server";
        if (!session->hasXTest()) GTEST_SKIP() << "the X server has no XTest";
    }

    void TearDown() override {
        // The game first; a score server it leaves behind (it goes by itself
        // within a moment of the game's end) is stopped before its folder goes.
        if (game > 0 && session && !session->waitEnd(0ms)) {
            session->killGame();
            session->waitEnd(10s);
        }
        game = -1;
        if (!serverFolder.empty() && !serversGone(Clock::now() + 5s))
            for (const pid_t left : support::scoreServersIn(serverFolder)) kill(left, SIGKILL);
        GameUnderX::TearDown();
    }

    // The game starts its score server only when nothing answers on its FTP
    // port, so the ports the game is built for must be free: another
    // program's server on them (a test run beside this one) is waited out
    // for a while.
    void waitForFreePorts() {
        ftpPort = support::loopbackPort(KORVALA_FTP_HOST, 21);
        httpPort = support::loopbackPort(KORVALA_SCORES_PAGE, 80);
        if (ftpPort == 0 || httpPort == 0)
            GTEST_SKIP() << "the game is built for a score server elsewhere: " << KORVALA_FTP_HOST << ", "
                         << KORVALA_SCORES_PAGE;
        if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/python3 for the game's score server";
        const auto giveUp = Clock::now() + 180s;
        for (bool waited = false; support::accepting(ftpPort) || support::accepting(httpPort); waited = true) {
            if (Clock::now() > giveUp)
                FAIL() << "something else keeps answering on the game's ports " << ftpPort << " and " << httpPort;
            if (!waited) std::printf("the score server's ports are taken; waiting for them\n");
            std::this_thread::sleep_for(2s);
        }
    }

    // The score server the running game started for itself, once it runs:
    // its process id, or -1 at the time limit.
    pid_t gamesServer(std::chrono::milliseconds limit) const {
        for (const auto deadline = Clock::now() + limit;; std::this_thread::sleep_for(50ms)) {
            for (const pid_t pid : support::scoreServersIn(serverFolder))
                if (support::parentOf(pid) == game) return pid;
            if (Clock::now() >= deadline) return -1;
        }
    }

    // Whether every score server of this test's game has ended by `deadline`.
    bool serversGone(Clock::time_point deadline) const {
        for (;; std::this_thread::sleep_for(20ms)) {
            if (support::scoreServersIn(serverFolder).empty()) return true;
            if (Clock::now() >= deadline) return false;
        }
    }

    double secondsSince(Clock::time_point t) const { return secondsBetween(t, Clock::now()); }

    // The game window of the current run, and where it sits on the screen.
    void findWindow() { ASSERT_TRUE(session->findWindow(60s).found) << "no window captioned \"Korvala Deluxe 1.0\""; }

    // The screen once `region` has settled, kept as NN-<name>.png among the artefacts.
    void keepSettled(const std::string& name, const std::string& region = "window",
                     std::chrono::milliseconds limit = 3s) {
        session->settled(name, region, limit);
        session->keep(name, name);
    }

    // The screen as it is, kept.
    void keepNow(const std::string& name) {
        session->capture(name);
        session->keep(name, name);
    }

    // Checks the score board's row numbers: `first`. to `first + 9`., and
    // nothing after them from row `blankFrom` on.
    void expectRowNumbers(int first, int blankFrom, const std::string& name, const std::string& what) {
        if (const auto read = session->rowNumbers(first, blankFrom, name, 10s)) {
            EXPECT_EQ(squeezed(*read), support::GameSession::rowNumbersText(first))
                << what << "; the rows' numbers read \"" << *read << "\"";
        }
    }

    // Checks the menu's entry by its lettering (yellow on the red bar).
    void expectEntry(const std::string& title, const std::string& name) {
        // The highlighted lettering's I may read as i.
        const auto lower = [](std::string text) {
            for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return squeezed(text);
        };
        if (const auto shown = session->text("entry-title", name, 5s, "green", 7, title, "lower")) {
            EXPECT_EQ(lower(*shown), lower(title)) << "the menu shows another entry than " << title;
        }
    }

    // Steps right `steps` times from the menu's current entry; the last
    // entry is kept as shot `name`.
    bool stepRight(int steps, const std::string& name) {
        bool stepped = true;
        for (int step = 0; step < steps && stepped; ++step) stepped = session->stepMenu(name, "right-arrow");
        return stepped;
    }
};

TEST_F(PlayerRoundTrip, PlaysAGameSendsTheScoreSeesItOnlineSavesANameAndFindsItOnTheNextBoard) {
    const auto tripStarted = Clock::now();
    // First run: the two splash screens, then the menu at about 10 s.
    ASSERT_NO_FATAL_FAILURE(findWindow());
    // The first splash: a logo on black.
    ASSERT_TRUE(session->waitFor("splash", "splash", 30s))
        << "no splash: the window stayed black or showed no dark screen";
    keepSettled("splash-logo");
    ASSERT_TRUE(session->waitForChange("second-splash", "splash", "window", 10.0, 30s))
        << "the first splash never gave way";
    const bool menuStraightAway = session->shows("second-splash", "menu");
    EXPECT_FALSE(menuStraightAway) << "the menu came straight after the first splash";
    if (!menuStraightAway) keepSettled("splash-second");

    ASSERT_TRUE(session->menuUp("menu", 40s)) << "no menu";
    session->keep("menu", "menu-mulai");
    std::printf("menu up %.1f s after the window appeared\n", secondsSince(started));
    expectEntry("Mulai", "menu-mulai");

    // One step right and back.
    ASSERT_TRUE(session->stepMenu("menu-second-entry", "right-arrow")) << "the right arrow did not change the entry";
    session->keep("menu-second-entry", "menu-nilai-online");
    expectEntry("Nilai Online", "menu-nilai-online");
    ASSERT_TRUE(session->stepMenu("menu-back", "left-arrow")) << "the left arrow did not change the entry";
    session->keep("menu-back", "menu-back-to-mulai");
    EXPECT_TRUE(session->sameEntry("menu-back", "menu")) << "left after right is not the first entry again";

    // Mulai: the empty board, then the first turn fills holes 2, 3 and 4.
    const auto gameStarted = session->click("menu-entry");
    ASSERT_TRUE(session->waitFor("board", "empty-board", 20s)) << "Mulai did not open the board";
    keepSettled("board-empty", "board-holes");
    ASSERT_TRUE(session->waitForChange("first-turn", "board-empty", "hole2", 10.0, 15s))
        << "no target came up in hole 2";
    const auto firstTurnSeen = Clock::now();
    session->settled("turn", "board-holes", 1s);
    EXPECT_GT(session->difference("board-empty", "turn", "hole4"), 10.0) << "hole 4 stayed empty on the first turn";
    EXPECT_LT(session->difference("board-empty", "turn", "hole1"), 2.0) << "hole 1 is not empty on the first turn";

    // The bot plays the whole game.
    const support::PlayedGame played = session->play(gameStarted, "board-empty", "turn", firstTurnSeen);
    std::printf("game over after %.1f s and %d turns: %d targets and %d clock carriers hit, %d clicks unsure, %s\n",
                played.seconds, played.turns, played.targetHits, played.clockHits, played.unsure,
                played.bombClicked ? "ended on a bomb carrier" : "ended by time");
    if (!played.result) keepNow("never-result-panel");
    ASSERT_TRUE(played.result) << "the game never showed its result panel";
    EXPECT_GT(played.targetHits, 0) << "the bot hit no target";
    EXPECT_EQ(played.misread, 0) << "the bot read turns otherwise than the turn pattern has them:\n" << played.log;
    if (!played.bombClicked) {
        // Timers never come early: the game lasts its 31 s and 5 s for each clock carrier hit.
        EXPECT_GE(played.seconds, 31 + 5 * played.clockHits - 0.5) << "the game ended before its time ran out";
    }
    keepSettled("result-panel");

    // The final score, read off the result panel; the bot's own count when it saw every hit.
    int score = played.targetHits;
    if (const auto hits =
            session->text("hits", "result-score", 5s, "brightest", 7, std::to_string(played.targetHits))) {
        const bool number = !hits->empty() && hits->size() < 6 &&
                            std::all_of(hits->begin(), hits->end(), [](char c) { return c >= '0' && c <= '9'; });
        if (played.unsure == 0) {
            EXPECT_EQ(*hits, std::to_string(played.targetHits)) << "the result panel does not count the targets hit";
        } else if (number) {
            score = std::stoi(*hits);
        }
    }
    // The profile of a first start: its name, e-mail address and country.
    const std::string playerName = "Korvala", email = "email", country = "indonesia";
    const std::string scoreString = std::to_string(score) + "(" + playerName + ")(" + email + ")(" + country + ")";
    std::printf("score string %s\n", scoreString.c_str());

    // Ya: the board panel; the score goes to the score server and the listing
    // fills the board. The listing may answer before the upload is done:
    // "Perbaharui" until the entry shows.
    session->click("yes");
    ASSERT_TRUE(session->waitFor("board-panel", "board-panel", 20s)) << "Ya did not open the board panel";
    keepSettled("board-panel");
    bool listed = false;
    int refreshes = 0;
    for (const auto deadline = Clock::now() + 120s; !listed && Clock::now() < deadline;) {
        listed = session->poll("listed", "board-lists", 5s);
        if (!listed) {
            session->click("board-refresh");
            ++refreshes;
        }
    }
    if (!listed) keepNow("never-board-entry");
    ASSERT_TRUE(listed) << "the score never showed on the board, after " << refreshes << " times Perbaharui";
    std::printf("the board showed the score after %d times Perbaharui\n", refreshes);
    session->settled("first-page", "row0");
    session->keep("first-page", "board-score-listed");
    // The server that took the score is the game's own, in the player's data folder.
    const pid_t server = gamesServer(5s);
    EXPECT_GT(server, 0) << "no score server started by the game runs for " << serverFolder;
    std::printf("the game's score server: process %d\n", static_cast<int>(server));
    EXPECT_TRUE(std::filesystem::is_regular_file(serverFolder / "ftp" / "Korvala" / scoreString))
        << "the score server's folder holds no file " << scoreString;
    EXPECT_TRUE(holdsText(dataFolder(), scoreString))
        << "no score file in the game's data folder holds " << scoreString;

    // The first page: the score string in row 1, rows 2 to 10 numbered and empty.
    const std::string entryRow = "1. " + scoreString;
    if (const auto row = session->text("row-text0", "board-entry", 10s, "against-line", 7, entryRow)) {
        EXPECT_EQ(squeezed(*row), squeezed(entryRow)) << "row 1 of the board does not show the score string";
        expectRowNumbers(1, 1, "board-page-1", "the first page does not number its rows 1 to 10");
    } else {
        std::printf("no tesseract: the board's rows were not read\n");
    }

    // ">>": rows 11 to 20, empty; "<<": rows 1 to 10 again.
    session->click("next-page");
    ASSERT_TRUE(session->waitForChange("board-page-2", "first-page", "row0", 3.0, 10s))
        << ">> did not change the board";
    keepSettled("board-page-2");
    expectRowNumbers(11, 0, "board-page-2", ">> does not show rows 11 to 20, empty");
    session->capture("second-page");
    session->click("previous-page");
    ASSERT_TRUE(session->waitForChange("board-page-1-again", "second-page", "row0", 3.0, 10s))
        << "<< did not change the board";
    keepSettled("board-page-1-again");
    expectRowNumbers(1, 1, "board-page-1-again", "<< does not show rows 1 to 10 again");
    if (const auto row = session->text("row-text0", "board-entry-again", 10s, "against-line", 7, entryRow)) {
        EXPECT_EQ(squeezed(*row), squeezed(entryRow)) << "<< does not show the score string in row 1 again";
    }

    // Kembali Ke Menu: the menu, still on Mulai.
    session->click("board-back");
    ASSERT_TRUE(session->menuUp("menu-after-board", 20s))
        << "Kembali Ke Menu did not lead back from the board to the menu";
    session->keep("menu-after-board", "menu-after-board");
    EXPECT_TRUE(session->sameEntry("menu-after-board", "menu")) << "the menu came back on another entry than Mulai";

    // Three steps right to Info Online: the scores page with the new score.
    ASSERT_TRUE(stepRight(3, "menu-step-to-info"));
    session->keep("menu-step-to-info", "menu-info-online");
    expectEntry("Info Online", "menu-info-online");
    session->click("menu-entry");
    ASSERT_TRUE(session->waitFor("info-panel", "info", 20s)) << "Info Online did not open the information panel";
    keepNow("info-panel");
    ASSERT_TRUE(session->waitFor("scores-page", "scores-page", 120s)) << "the web view never showed the scores page";
    keepSettled("info-scores-page", "web-view", 5s);
    // Its first row: rank 1, the score, the name and the country; never the e-mail address.
    const std::string pageRow = "1" + std::to_string(score) + playerName + country;
    const auto ranked = [&](const std::string& read) { return squeezed(read).find(pageRow) != std::string::npos; };
    if (const auto shown = session->text("scores-table", "scores-page", 20s, "grey", 6, pageRow, "contains")) {
        EXPECT_TRUE(ranked(*shown))
            << "the scores page does not rank the score first with its name and country; it reads \"" << *shown << "\"";
        EXPECT_EQ(squeezed(*shown).find(email), std::string::npos)
            << "the scores page shows the e-mail address; it reads \"" << *shown << "\"";
    }

    // Kembali Ke Menu: the menu, still on Info Online.
    session->click("info-back");
    ASSERT_TRUE(session->menuUp("menu-after-info", 20s))
        << "Kembali Ke Menu did not lead back from the information panel";
    session->keep("menu-after-info", "menu-after-info");
    EXPECT_TRUE(session->sameEntry("menu-after-info", "menu-step-to-info"))
        << "the menu came back on another entry than Info Online";

    // One step left to Konfigurasi, and open it.
    ASSERT_TRUE(session->stepMenu("menu-konfigurasi", "left-arrow"));
    session->keep("menu-konfigurasi", "menu-konfigurasi");
    expectEntry("Konfigurasi", "menu-konfigurasi");
    session->click("menu-entry");
    ASSERT_TRUE(session->waitFor("profile", "profile", 20s)) << "Konfigurasi did not open the profile";
    session->settled("profile-before", "name-field");
    session->keep("profile-before", "profile");

    // A name without blanks, over whatever the field held.
    session->click("name-field");
    session->chord("Control_L", "a");
    session->type("Budi");
    if (const auto shown = session->text("name-text", "profile-name", 10s, "brightest", 7, "Budi")) {
        EXPECT_EQ(*shown, "Budi") << "the name field does not show what was typed over the old name";
    } else {
        EXPECT_TRUE(session->waitForChange("typed-name", "profile-before", "name-text", 3.0, 10s))
            << "typing did not change the name field";
    }
    keepSettled("profile-name-typed", "name-field");
    session->click("profile-ok");
    ASSERT_TRUE(session->menuUp("menu-after-profile", 20s)) << "OK! did not lead back to the menu";
    session->keep("menu-after-profile", "menu-after-profile");
    EXPECT_TRUE(session->sameEntry("menu-after-profile", "menu-konfigurasi"))
        << "the menu came back on another entry than Konfigurasi";

    // Three steps right to Keluar; it ends the program.
    ASSERT_TRUE(stepRight(3, "menu-step-to-keluar"));
    session->keep("menu-step-to-keluar", "menu-keluar");
    expectEntry("Keluar", "menu-keluar");
    const auto clicked = session->click("menu-entry");
    const auto status =
        session->waitEnd(std::chrono::duration_cast<std::chrono::milliseconds>(clicked + 30s - Clock::now()));
    ASSERT_TRUE(status.has_value()) << "the game kept running after Keluar";
    const auto ended = status->at;
    const double exitSeconds = secondsBetween(clicked, ended);
    std::printf("Keluar: the process ended %.3f s after the button went down\n", exitSeconds);
    RecordProperty("keluar_exit_ms", static_cast<int>(exitSeconds * 1000));
    game = -1;
    EXPECT_TRUE(status->exited) << "ended by signal " << status->signal;
    if (status->exited) {
        EXPECT_EQ(status->status, 0);
    }
    EXPECT_LT(exitSeconds, 10.0) << "Keluar took long to end the program";
    // The game's score server goes with it.
    EXPECT_TRUE(serversGone(ended + 2s)) << "the game's score server still runs 2 s after Keluar ended the game";
    std::printf("the score server was gone %.3f s after the game ended\n", secondsSince(ended));
    EXPECT_TRUE(holdsText(dataFolder(), "Budi")) << "no file in the game's data folder holds the saved name";

    // Second run on the same home: the board shows the saved name.
    started = Clock::now();
    ASSERT_NO_FATAL_FAILURE(startGame());
    ASSERT_NO_FATAL_FAILURE(findWindow());
    ASSERT_TRUE(session->menuUp("second-run-menu", 60s)) << "no menu on the second run";
    session->keep("second-run-menu", "second-run-menu");
    EXPECT_TRUE(session->sameEntry("second-run-menu", "menu"))
        << "the second run's menu opened on another entry than Mulai";
    session->click("menu-entry");
    ASSERT_TRUE(session->waitFor("second-run-board", "empty-board", 20s)) << "Mulai did not open the board";
    keepSettled("second-run-board", "player-name");
    EXPECT_GT(session->difference("board-empty", "second-run-board", "player-name"), 3.0)
        << "the board shows the same name as before the profile was saved";

    // White bold letters on the dark panel.
    if (const auto shown = session->text("player-name", "board-name", 5s, "brightest", 7, "Budi")) {
        EXPECT_EQ(*shown, "Budi") << "the board does not show the saved name";
    } else {
        std::printf("no tesseract: the board's name was compared by its pixels only\n");
    }
    std::printf("round trip took %.1f s\n", secondsSince(tripStarted));
}

// Killed outright, the game cannot stop its score server: the server sees the
// game's end by itself (the pipe only the game held open closes) and goes.
TEST_F(PlayerRoundTrip, AGameKilledAfterStartingItsScoreServerLeavesNoServerBehind) {
    ASSERT_NO_FATAL_FAILURE(findWindow());
    ASSERT_TRUE(session->menuUp("menu", 40s)) << "no menu";
    // Nilai Online: the board's listing needs the score server, so the game starts it.
    ASSERT_TRUE(session->stepMenu("menu-nilai-online", "right-arrow")) << "the right arrow did not change the entry";
    session->keep("menu-nilai-online", "menu-nilai-online");
    expectEntry("Nilai Online", "menu-nilai-online");
    session->click("menu-entry");
    ASSERT_TRUE(session->waitFor("board-panel", "board-panel", 20s)) << "Nilai Online did not open the board panel";
    keepSettled("board-panel");
    const pid_t server = gamesServer(60s);
    ASSERT_GT(server, 0) << "the game started no score server for the board's listing";
    const auto serving = Clock::now() + 60s;
    while (!support::accepting(ftpPort) && Clock::now() < serving) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(support::accepting(ftpPort)) << "the game's score server never answered on port " << ftpPort;

    const auto killed = session->killGame();
    const auto status = session->waitEnd(10s);
    ASSERT_TRUE(status.has_value()) << "the game outlived SIGKILL";
    game = -1;
    EXPECT_TRUE(serversGone(killed + 2s))
        << "the game's score server (process " << server << ") still runs 2 s after the game was killed";
    std::printf("the score server was gone %.3f s after the game was killed\n", secondsSince(killed));
}

}  // namespace
