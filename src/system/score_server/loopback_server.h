#pragma once
// The loopback score server the game starts for itself: when the FTP host in
// force is this machine and nothing accepts connections on its port at the
// moment the game needs it (a listing, an upload, the scores page), the game
// starts scripts/score_server.py (installed beside the game) and waits for it
// on the thread that asked, never on the window's thread. A server that has
// gone away (the copy of the game that started it has ended) is started
// again the same way.
//
// The server holds three of the game's descriptors and no other: its
// standard input, a pipe that only this process holds open (the server stops
// when it closes: when the game ends, however it ends, killed included), and
// its standard output and error, a pipe back to the game. stop() also asks
// it to stop at once.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace korvala {

using EnvLookupFn = std::function<const char*(const char*)>;

// The loopback server's folder for this player, shared by the game (which
// trusts the certificate kept there) and the server: $XDG_DATA_HOME or
// ~/.local/share, then Korvala/score-server.
std::filesystem::path loopbackServerFolder(const EnvLookupFn& env);
// The certificate the loopback server keeps in that folder.
std::filesystem::path loopbackServerCertificate(const EnvLookupFn& env);

struct LoopbackServerPlan {
    std::string python = "/usr/bin/python3";
    std::filesystem::path script;    // score_server.py
    std::filesystem::path folder;    // its scores and certificate
    std::string host = "127.0.0.1";  // where both services listen
    int ftpPort = 2121;
    int httpPort = 0;  // the scores page's port; 0: any free one
};

class LoopbackScoreServer {
public:
    explicit LoopbackScoreServer(LoopbackServerPlan plan);
    // Stops the server this object started.
    ~LoopbackScoreServer();
    LoopbackScoreServer(const LoopbackScoreServer&) = delete;
    LoopbackScoreServer& operator=(const LoopbackScoreServer&) = delete;

    // Returns once something accepts connections on the FTP port, starting
    // the server when nothing does; false when it could not be started (the
    // first such failure is logged as a warning with the server's own words),
    // stop() was called, or `interrupt` was asked to stop (this caller's wait
    // ends at once then, silently). Thread-safe; blocks for at most `limit`.
    // The server's start and stop are logged (log::info); its later output
    // goes to the log line by line (log::detail), so it can be told apart
    // and turned on by area.
    bool ensureRunning(std::chrono::milliseconds limit = std::chrono::seconds(20), std::stop_token interrupt = {});
    // Stops the server this object started, if any, without waiting for it;
    // a call of ensureRunning() that waits returns false.
    void stop();

    // The process id of the server this object started and that still runs
    // (for tests), or -1.
    pid_t startedServer() const;

    // True when something accepts a TCP connection on host:port within
    // `limit`.
    static bool accepting(const std::string& host, int port, std::chrono::milliseconds limit);

private:
    class WaitEnd;
    enum class Start { Ready, PortTaken, Failed, Interrupted };
    Start start(std::chrono::steady_clock::time_point deadline, const WaitEnd& end);
    void reap();
    static bool accepting(const std::string& host, int port, std::chrono::milliseconds limit, const WaitEnd* end);

    LoopbackServerPlan plan_;
    mutable std::mutex m_;
    pid_t child_ = -1;
    int stdinPipe_ = -1;          // the write end; the server stops when it closes
    int wakePipe_[2] = {-1, -1};  // stop() wakes a waiting start()
    std::atomic<bool> stopped_{false};
    bool toldFailure_ = false;
    bool toldInUse_ = false;  // another's server answers: said once
    std::thread drain_;       // passes the server's later output on to the log
};

}  // namespace korvala
