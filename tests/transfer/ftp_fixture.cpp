#include "ftp_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "system/text/ascii.h"

extern char** environ;

namespace korvala::transfer_test {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPython = "/usr/bin/python3";

pid_t spawnProcess(std::vector<std::string> args, int stdoutFd) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
    return pid;
}

}  // namespace

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "korvala-transfer-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

FtpServer::FtpServer(const fs::path& home, ServerOptions options) : options_(std::move(options)) {
    std::vector<std::string> args = {
        kPython,      KORVALA_FTP_SERVER_SCRIPT, "--mode", options_.mode, "--user", options_.user,
        "--password", options_.password};
    if (!home.empty()) args.insert(args.end(), {"--home", home.string()});
    if (!options_.cert.empty()) args.insert(args.end(), {"--cert", options_.cert.string()});
    if (!options_.log.empty()) args.insert(args.end(), {"--log", options_.log.string()});

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    try {
        pid_ = spawnProcess(args, out[1]);
    } catch (...) {
        close(out[0]);
        close(out[1]);
        throw;
    }
    close(out[1]);

    // Wait for "PORT <n>\n".
    std::string line;
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < limit) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buf[128];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        line.append(buf, static_cast<std::size_t>(n));
    }
    close(out[0]);
    if (line.rfind("PORT ", 0) == 0) port_ = std::atoi(line.c_str() + 5);
    if (port_ <= 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        throw std::runtime_error("the FTP server did not start: " + line);
    }
}

FtpServer::~FtpServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 40; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

std::string FtpServer::url() const { return "ftp://" + options_.user + "@127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> FtpServer::log() const {
    std::vector<std::string> lines;
    std::ifstream in(options_.log);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void FtpServer::makeCert(const fs::path& file) {
    pid_t pid = spawnProcess({kPython, KORVALA_FTP_SERVER_SCRIPT, "--make-cert", file.string()}, -1);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("cannot make a certificate");
}

int closedPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(s);
        throw std::runtime_error("no free port");
    }
    close(s);  // never listened on: a connection is refused
    return ntohs(addr.sin_port);
}

CurlChannel::WindowPost WindowThread::poster() {
    return [queue = queue_](std::function<void()> event) {
        std::lock_guard lock(queue->m);
        queue->items.push_back(std::move(event));
        queue->cv.notify_all();
    };
}

bool WindowThread::runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        std::function<void()> event;
        {
            std::unique_lock lock(queue_->m);
            if (!queue_->cv.wait_until(lock, end, [&] { return !queue_->items.empty(); })) return done();
            event = std::move(queue_->items.front());
            queue_->items.pop_front();
        }
        event();
    }
    return true;
}

std::string percentName(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        bool escape = c < 0x20 || c == 0x7f || c == '%' || c == '/' || c == '\\' || (i == 0 && c == '.');
        if (escape) {
            ascii::appendPercentByte(out, c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string readAll(TransferChannel& channel, std::size_t chunk) {
    std::string all;
    for (std::string part = channel.getChunk(chunk); !part.empty(); part = channel.getChunk(chunk)) {
        if (part.size() > chunk) throw std::runtime_error("a chunk larger than asked for");
        all += part;
    }
    return all;
}

bool splitCrLf(const std::string& text, std::vector<std::string>& lines) {
    lines.clear();
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) return false;
        std::string line = text.substr(pos, end - pos);
        if (line.find_first_of("\r\n") != std::string::npos) return false;
        lines.push_back(std::move(line));
        pos = end + 2;
    }
    return true;
}

}  // namespace korvala::transfer_test
