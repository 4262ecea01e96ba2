// The game's own loopback score server: started when nothing answers on the
// FTP port, started again when it has gone (collected, even when it ended
// only in part), never a second one beside a server that answers, holding
// none of the game's descriptors but its three, its words in the game's log,
// a wait that its caller can end, and gone with the game however the game
// ends.
#include "system/score_server/loopback_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "doubles/log_recording.h"
#include "free_port.h"

namespace korvala {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test_support::freePort;

// True once `pid` has ended and closed what it held: our own child is
// reaped here; another process's (the killed game's server, handed to
// whoever adopts orphans) once it is gone or a zombie whose every thread has
// ended.
bool gone(pid_t pid, std::chrono::milliseconds within) {
    const auto deadline = Clock::now() + within;
    while (Clock::now() < deadline) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid || ::kill(pid, 0) != 0) return true;
        const fs::path proc = "/proc/" + std::to_string(pid);
        std::ifstream stat(proc / "stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        std::error_code ec;
        const auto threads = std::distance(fs::directory_iterator(proc / "task", ec), fs::directory_iterator());
        if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z' && threads <= 1)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// The state letter of a process in /proc ('Z' for a zombie), or 0 when it
// is gone.
char stateOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : 0;
}

// What the descriptors of `pid` lead to, one "<fd> -> <target>" a row.
std::vector<std::string> descriptorsOf(pid_t pid) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        out.push_back(e.path().filename().string() + " -> " + fs::read_symlink(e.path(), ec).string());
    return out;
}

class LoopbackServer : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "korvala-loopback-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
        plan.script = KORVALA_SCORE_SERVER;
        plan.folder = root / "server";
        plan.ftpPort = freePort();
        plan.httpPort = freePort();
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path root;
    LoopbackServerPlan plan;
};

TEST_F(LoopbackServer, StartsWhenNothingAnswersAndOnlyThen) {
    LoopbackScoreServer server(plan);
    ASSERT_FALSE(LoopbackScoreServer::accepting(plan.host, plan.ftpPort, 200ms));
    ASSERT_TRUE(server.ensureRunning());
    const pid_t first = server.startedServer();
    ASSERT_GT(first, 0);
    EXPECT_TRUE(LoopbackScoreServer::accepting(plan.host, plan.ftpPort, 1s));
    EXPECT_TRUE(LoopbackScoreServer::accepting(plan.host, plan.httpPort, 1s)) << "the page too";
    EXPECT_TRUE(fs::exists(plan.folder / "cert.pem")) << "the certificate the game trusts";

    ASSERT_TRUE(server.ensureRunning());
    EXPECT_EQ(server.startedServer(), first) << "one server, not one per request";

    // The server went away (the copy of the game that started it ended):
    // the next request starts it again.
    ::kill(first, SIGKILL);
    ASSERT_TRUE(gone(first, 2s));
    ASSERT_TRUE(server.ensureRunning());
    EXPECT_GT(server.startedServer(), 0);
    EXPECT_NE(server.startedServer(), first);

    const pid_t second = server.startedServer();
    server.stop();
    EXPECT_TRUE(gone(second, 2s)) << "stop() ends the server it started";
    EXPECT_FALSE(server.ensureRunning()) << "and starts none after";
}

// A server whose main thread has ended while another goes on is a zombie
// that cannot be collected yet: the game kills and collects it before it
// starts the next one, never leaving it behind.
TEST_F(LoopbackServer, AServerThatEndedOnlyInPartIsCollected) {
    plan.python = KORVALA_ZOMBIE_SERVER;
    log::Recording said;
    LoopbackScoreServer server(plan);
    ASSERT_TRUE(server.ensureRunning());
    const pid_t first = server.startedServer();
    ASSERT_GT(first, 0);
    const auto until = Clock::now() + 5s;
    while (stateOf(first) != 'Z' && Clock::now() < until) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(stateOf(first), 'Z') << "the stand-in's main thread did not end";

    ASSERT_TRUE(server.ensureRunning());  // sees it ended, and starts another
    EXPECT_NE(server.startedServer(), first);
    EXPECT_EQ(stateOf(first), 0) << "the first server is left a zombie, never collected";
    const auto warnings = said.messages(log::Level::Warning);
    ASSERT_EQ(warnings.size(), 1u) << said.text();
    EXPECT_NE(warnings[0].find("ended by itself"), std::string::npos) << warnings[0];
}

// The server gets its standard input, output and error from the game, and
// none of the game's other descriptors, close-on-exec or not.
TEST_F(LoopbackServer, HoldsNoneOfTheGamesDescriptorsButItsThree) {
    const fs::path marker = root / "game-only";
    std::ofstream(marker) << "x";
    const int inherited = ::open(marker.c_str(), O_RDONLY);  // not close-on-exec
    ASSERT_GE(inherited, 0);
    LoopbackScoreServer server(plan);
    const bool started = server.ensureRunning();
    ::close(inherited);
    ASSERT_TRUE(started);
    const std::vector<std::string> held = descriptorsOf(server.startedServer());
    ASSERT_FALSE(held.empty());
    std::string all;
    for (const std::string& row : held) all += row + "\n";
    EXPECT_EQ(all.find(marker.string()), std::string::npos) << "the server holds the game's file:\n" << all;
    for (const char* fd : {"0 -> pipe:", "1 -> pipe:", "2 -> pipe:"})
        EXPECT_NE(all.find(fd), std::string::npos) << fd << "\n" << all;
}

// What the server itself says once it is ready (its folder, say) goes to
// the game's log in the online area, as details, a line each.
TEST_F(LoopbackServer, ItsOwnWordsGoToTheLogAsDetails) {
    log::Recording said;
    LoopbackScoreServer server(plan);
    ASSERT_TRUE(server.ensureRunning());
    const auto until = Clock::now() + 10s;
    const auto folderLine = [&]() -> std::optional<log::Line> {
        for (const log::Line& line : said.lines())
            if (line.message.find("folder " + plan.folder.string()) != std::string::npos &&
                line.message.find("started on") == std::string::npos)
                return line;
        return std::nullopt;
    };
    while (!folderLine() && Clock::now() < until) std::this_thread::sleep_for(20ms);
    const auto line = folderLine();
    ASSERT_TRUE(line) << "the server's folder line never reached the log:\n" << said.text();
    EXPECT_EQ(line->area, log::Area::Online);
    EXPECT_EQ(line->level, log::Level::Detail);
    EXPECT_EQ(line->message.find('\n'), std::string::npos);
}

// A caller that waits for a server still starting can end its own wait:
// ensureRunning() returns false at once, says nothing, and the next caller
// starts the server afresh.
TEST_F(LoopbackServer, ACallerCanEndItsOwnWait) {
    const fs::path slow = root / "slow-server.sh";
    std::ofstream(slow) << "sleep 30\n";
    plan.python = "/bin/sh";
    plan.script = slow;
    log::Recording said;
    LoopbackScoreServer server(plan);
    std::stop_source stop;
    bool result = true;
    const auto begun = Clock::now();
    std::thread caller([&] { result = server.ensureRunning(20s, stop.get_token()); });
    std::this_thread::sleep_for(300ms);
    stop.request_stop();
    caller.join();
    EXPECT_FALSE(result);
    EXPECT_LT(Clock::now() - begun, 10s) << "the wait went on after its caller ended it";
    EXPECT_EQ(server.startedServer(), -1) << "the half-started server is not left running";
    EXPECT_TRUE(said.messages(log::Level::Warning).empty()) << said.text();
}

TEST_F(LoopbackServer, UsesAServerThatAlreadyAnswers) {
    LoopbackScoreServer other(plan);
    ASSERT_TRUE(other.ensureRunning());
    LoopbackScoreServer mine(plan);
    ASSERT_TRUE(mine.ensureRunning());
    EXPECT_EQ(mine.startedServer(), -1) << "another game's server serves this one too";
}

// However the game ends, killed included, its server follows within 2 s.
TEST_F(LoopbackServer, EndsWhenTheGameIsKilled) {
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t game = ::fork();
    ASSERT_GE(game, 0);
    if (game == 0) {
        ::close(report[0]);
        LoopbackScoreServer server(plan);
        pid_t pid = server.ensureRunning() ? server.startedServer() : -1;
        if (::write(report[1], &pid, sizeof pid) != sizeof pid) ::_exit(1);
        for (;;) ::pause();
    }
    ::close(report[1]);
    pid_t started = -1;
    ASSERT_EQ(::read(report[0], &started, sizeof started), static_cast<ssize_t>(sizeof started));
    ::close(report[0]);
    ASSERT_GT(started, 0);
    ASSERT_TRUE(LoopbackScoreServer::accepting(plan.host, plan.ftpPort, 1s));

    ::kill(game, SIGKILL);
    ::waitpid(game, nullptr, 0);
    EXPECT_TRUE(gone(started, 2s)) << "the server outlived the game that started it";
    EXPECT_FALSE(LoopbackScoreServer::accepting(plan.host, plan.ftpPort, 200ms));
}

// The start and the stop of the server the game started are logged where a
// player sees them by default (infos, not details), with the address and the
// folder; a normal start and stop is no warning.
TEST_F(LoopbackServer, SaysWhereItStartedAndThatItStopped) {
    log::Recording said;
    const std::string where = "127.0.0.1:" + std::to_string(plan.ftpPort);
    {
        LoopbackScoreServer server(plan);
        ASSERT_TRUE(server.ensureRunning());
        ASSERT_TRUE(server.ensureRunning());
        const std::vector<std::string> started = said.messages(log::Level::Info);
        ASSERT_EQ(started.size(), 1u) << said.text();
        EXPECT_NE(started[0].find("started"), std::string::npos) << started[0];
        EXPECT_NE(started[0].find(where), std::string::npos) << started[0];
        EXPECT_NE(started[0].find(plan.folder.string()), std::string::npos) << started[0];
        server.stop();
    }  // the destructor stops it again: said once
    const std::vector<std::string> infos = said.messages(log::Level::Info);
    ASSERT_EQ(infos.size(), 2u) << said.text();
    EXPECT_NE(infos[1].find("stopped"), std::string::npos) << infos[1];
    EXPECT_NE(infos[1].find(where), std::string::npos) << infos[1];
    EXPECT_TRUE(said.messages(log::Level::Warning).empty()) << said.text();
}

// Writes the game's log to standard error, one line each, as the game's own
// sink does.
class LogToStandardError {
public:
    LogToStandardError() {
        log::setSink([](log::Area area, log::Level level, const std::string& message) {
            std::fprintf(stderr, "%s %s: %s\n", log::levelName(level), log::areaName(area), message.c_str());
        });
    }
    ~LogToStandardError() { log::setSink({}); }
};

// Without pyftpdlib the server cannot run: the game says why once, and each
// later request fails the same way without a word.
TEST_F(LoopbackServer, SaysOnceWhyItCannotStart) {
    const fs::path python = root / "python-without-modules";
    std::ofstream(python) << "#!/bin/sh\nexec /usr/bin/python3 -S \"$@\"\n";
    fs::permissions(python, fs::perms::owner_all);
    plan.python = python.string();
    const fs::path said = root / "stderr.txt";

    LogToStandardError sink;
    LoopbackScoreServer server(plan);
    const int saved = ::dup(2);
    const int file = ::open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(file, 2);
    const bool first = server.ensureRunning();
    const bool second = server.ensureRunning();
    ::dup2(saved, 2);
    ::close(file);
    ::close(saved);
    EXPECT_FALSE(first);
    EXPECT_FALSE(second);

    std::ifstream in(said);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    std::size_t lines = 0;
    for (char c : text) lines += c == '\n';
    EXPECT_EQ(lines, 1u) << text;
    EXPECT_EQ(text.rfind("warning online: ", 0), 0u) << text;
    EXPECT_NE(text.find("cannot run here"), std::string::npos) << text;
    EXPECT_NE(text.find("pyftpdlib"), std::string::npos) << text;
}

TEST(LoopbackServerFolder, FollowsTheDataFolderRule) {
    struct Case {
        const char* data;
        const char* home;
        const char* folder;
    };
    const Case cases[] = {
        {"/x/data", "/home/p", "/x/data/Korvala/score-server"},
        {nullptr, "/home/p", "/home/p/.local/share/Korvala/score-server"},
        {"", "/home/p", "/home/p/.local/share/Korvala/score-server"},
        {"relative", "/home/p", "/home/p/.local/share/Korvala/score-server"},
    };
    for (const Case& c : cases) {
        const auto env = [&](const char* name) -> const char* {
            return std::string(name) == "XDG_DATA_HOME" ? c.data : std::string(name) == "HOME" ? c.home : nullptr;
        };
        EXPECT_EQ(loopbackServerFolder(env), fs::path(c.folder)) << (c.data ? c.data : "(unset)");
        EXPECT_EQ(loopbackServerCertificate(env), fs::path(c.folder) / "cert.pem");
    }
}

}  // namespace
}  // namespace korvala
