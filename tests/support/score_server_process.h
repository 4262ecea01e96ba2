#pragma once
// The score server of the tests and benchmarks (scripts/score_server.py, or
// tests/faults/fault_server.py with a fault switched on), started, waited
// for and stopped by the harness (korvala_harness.py serve): the fixture
// learns its ports from the harness's "ready" line and sees every line the
// server says after it. And a look at the score servers that run on this
// machine, for tests of the server the game starts for itself.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "harness_process.h"

namespace korvala::testing {

struct ScoreServerOptions {
    std::filesystem::path folder;  // its scores (ftp/Korvala/) and certificate (cert.pem)
    bool tls = true;               // false: it refuses AUTH, as a server without TLS
    // Empty: the score server itself; otherwise the fault server in this
    // mode ("normal", "stall-upload", "stall-listing", "silent").
    std::string faultMode;
    int ftpPort = 0;  // 0: the port the game is built for
};

class ScoreServerProcess {
public:
    explicit ScoreServerProcess(ScoreServerOptions options);
    ~ScoreServerProcess();  // stops it
    ScoreServerProcess(const ScoreServerProcess&) = delete;
    ScoreServerProcess& operator=(const ScoreServerProcess&) = delete;

    // Starts it and waits until it answers; false with `why` when it does
    // not come up (is its port taken?), and skipped() when it cannot run
    // here at all (no pyftpdlib, no /usr/bin/python3).
    bool start(std::string& why, std::chrono::milliseconds limit = std::chrono::seconds(60));
    bool skipped() const { return skipped_; }

    // Waits for a line of the server's output after its ready line that
    // starts with `prefix`: the line, or empty at the limit or once it has
    // ended. `idle` runs between looks (e.g. the window's events).
    std::string waitForLine(const std::string& prefix, std::chrono::milliseconds limit,
                            const std::function<void()>& idle = {});
    // Killed at once, as a crash or a pulled plug would end it; returns once
    // it is gone and its port free.
    void kill();
    // Ended as a test ends it; returns once it is gone.
    void stop();

    int ftpPort() const { return ftpPort_; }
    int httpPort() const { return httpPort_; }
    const std::filesystem::path& folder() const { return options_.folder; }
    std::filesystem::path certificate() const { return options_.folder / "cert.pem"; }
    std::filesystem::path scoreFolder() const { return options_.folder / "ftp" / "Korvala"; }

    // Every line the server said after its ready line, so far.
    std::vector<std::string> lines;

private:
    ScoreServerOptions options_;
    std::unique_ptr<HarnessProcess> harness_;
    bool skipped_ = false;
    int ftpPort_ = 0, httpPort_ = 0;
};

// Whether something on this machine accepts TCP connections on `port` of 127.0.0.1.
bool accepting(int port);

// The port of "host:port" (the scheme and path of an address left off;
// `otherwise` when it names none), or 0 when the host is not this machine's
// loopback.
int loopbackPort(std::string address, int otherwise);

// The score servers running with `folder`: processes whose command line
// names score_server.py and that folder. A server that has ended but is not
// yet reaped has no command line.
std::vector<pid_t> scoreServersIn(const std::filesystem::path& folder);

// The parent of a process, or -1 when it has gone.
pid_t parentOf(pid_t pid);

}  // namespace korvala::testing
