#include "score_server_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace korvala::testing {

namespace {

// The number after "key=" among the words of a line, or 0.
int numberAfter(const std::string& line, const std::string& key) {
    const std::string word = " " + key + "=";
    const auto at = (" " + line).find(word);
    return at == std::string::npos ? 0 : std::atoi(line.c_str() + at + word.size() - 1);
}

}  // namespace

ScoreServerProcess::ScoreServerProcess(ScoreServerOptions options) : options_(std::move(options)) {}

ScoreServerProcess::~ScoreServerProcess() { stop(); }

bool ScoreServerProcess::start(std::string& why, std::chrono::milliseconds limit) {
    std::vector<std::string> args = {"serve", options_.faultMode.empty() ? "score-server" : "fault-server", "--folder",
                                     options_.folder.string()};
    if (!options_.tls) args.push_back("--no-tls");
    if (!options_.faultMode.empty()) {
        args.push_back("--mode");
        args.push_back(options_.faultMode);
    }
    if (options_.ftpPort > 0) {
        args.push_back("--ftp-port");
        args.push_back(std::to_string(options_.ftpPort));
    }
    lines.clear();
    skipped_ = false;
    harness_ = std::make_unique<HarnessProcess>(args);
    if (!harness_->start(why)) return false;
    for (;;) {
        const auto line = harness_->readLine(limit);
        if (!line) {
            why = "the harness said nothing of the score server within the limit";
            break;
        }
        if (line->rfind("ready ", 0) == 0) {
            ftpPort_ = numberAfter(*line, "ftp");
            httpPort_ = numberAfter(*line, "http");
            harness_->readLine(std::chrono::seconds(5));  // the server's own ready line
            return true;
        }
        if (line->rfind("skip ", 0) == 0 || line->rfind("failed ", 0) == 0) {
            skipped_ = line->rfind("skip ", 0) == 0;
            why = line->substr(line->find(' ') + 1);
            break;
        }
    }
    harness_->finish();
    harness_.reset();
    return false;
}

std::string ScoreServerProcess::waitForLine(const std::string& prefix, std::chrono::milliseconds limit,
                                            const std::function<void()>& idle) {
    if (!harness_) return {};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        const auto line = harness_->readLine(left, idle);
        if (!line || *line == "stopped") return {};
        lines.push_back(*line);
        if (line->rfind(prefix, 0) == 0) return *line;
    }
}

void ScoreServerProcess::kill() {
    if (!harness_) return;
    harness_->writeLine("kill");
    harness_->finish();
    harness_.reset();
}

void ScoreServerProcess::stop() {
    if (!harness_) return;
    harness_->finish();
    harness_.reset();
}

bool accepting(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

int loopbackPort(std::string address, int otherwise) {
    if (const auto scheme = address.find("://"); scheme != std::string::npos) address.erase(0, scheme + 3);
    address = address.substr(0, address.find('/'));
    int port = otherwise;
    if (const auto colon = address.rfind(':'); colon != std::string::npos) {
        port = std::atoi(address.c_str() + colon + 1);
        address.erase(colon);
    }
    return address == "127.0.0.1" || address == "localhost" ? port : 0;
}

std::vector<pid_t> scoreServersIn(const std::filesystem::path& folder) {
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string id = entry.path().filename().string();
        if (id.empty() || !std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        const std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bool script = false, inFolder = false;
        for (std::size_t at = 0; at < line.size();) {
            const std::size_t end = std::min(line.find('\0', at), line.size());
            const std::string arg = line.substr(at, end - at);
            script = script || arg.ends_with("score_server.py");
            inFolder = inFolder || arg == folder.string();
            at = end + 1;
        }
        if (script && inFolder) found.push_back(static_cast<pid_t>(std::stol(id)));
    }
    return found;
}

pid_t parentOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // "pid (name) state ppid ...": the name may hold anything, up to the last ')'.
    const auto nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) return -1;
    char state = 0;
    long parent = -1;
    if (std::sscanf(stat.c_str() + nameEnd + 1, " %c %ld", &state, &parent) != 2) return -1;
    return static_cast<pid_t>(parent);
}

}  // namespace korvala::testing
