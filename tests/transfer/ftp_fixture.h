#pragma once
// What the transfer tests and the benchmark share: a real FTP server on a
// free loopback port (tests/transfer/ftp_server.py), temporary folders, the
// "window thread" that the channel hands its reports to, and the test's
// file-name mapping.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "system/transfer/curl_channel.h"

namespace korvala::transfer_test {

// A fresh folder under the system's temporary folder, removed with all it
// holds.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

struct ServerOptions {
    std::string mode = "plain";  // plain, tls, stall, silent
    std::string user = "korvala";
    std::string password = "secret";
    std::filesystem::path cert{};  // tls: certificate and key (PEM)
    std::filesystem::path log{};   // every command received, one per line
};

// One server process; terminated when this object goes.
class FtpServer {
public:
    FtpServer(const std::filesystem::path& home, ServerOptions options);
    ~FtpServer();
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    int port() const { return port_; }
    // As the game writes it: "ftp://korvala@127.0.0.1:<port>".
    std::string url() const;
    // The command log: "<tls|plain> <COMMAND> <argument as a Python literal>".
    std::vector<std::string> log() const;

    // Writes a self-signed certificate and key for 127.0.0.1.
    static void makeCert(const std::filesystem::path& file);

private:
    ServerOptions options_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// A loopback port that nothing listens on.
int closedPort();

// The window's thread of the tests: posted callables wait until the test's
// own thread runs them.
class WindowThread {
public:
    CurlChannel::WindowPost poster();
    // Runs posted callables until `done()` holds or `limit` has passed;
    // returns done().
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
    void runFor(std::chrono::milliseconds span) {
        runUntil([] { return false; }, span);
    }

private:
    struct Queue {
        std::mutex m;
        std::condition_variable cv;
        std::deque<std::function<void()>> items;
    };
    std::shared_ptr<Queue> queue_ = std::make_shared<Queue>();
};

// The tests' stand-in for the game's file-name mapping: percent-encodes
// '%', '/', '\', control characters and a leading '.', keeps everything else
// (blanks too).
std::string percentName(std::string_view name);

// Reads the whole response in chunks of `chunk` bytes.
std::string readAll(TransferChannel& channel, std::size_t chunk = 4096);

// Splits a listing into its lines; false when a line is not ended by CR LF.
bool splitCrLf(const std::string& text, std::vector<std::string>& lines);

}  // namespace korvala::transfer_test
