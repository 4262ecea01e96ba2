#include "system/score_server/loopback_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "system/log/log.h"

extern char** environ;

namespace korvala {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::string_view kReady = "score server ready";
// What the server says when its port is taken.
constexpr std::string_view kPortTaken = "port is taken";
// The server's exit status when pyftpdlib is missing: it can never run here.
constexpr int kCannotRun = 3;

int msUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

enum class Child { Running, Reaped, Zombie };

// Whether the child `pid` still runs. Reaped: it had ended and is collected
// now. Zombie: its main thread has ended but others are still on their way
// out, so it cannot be collected yet (reap() kills and collects it).
Child childState(pid_t pid) {
    if (::waitpid(pid, nullptr, WNOHANG) != 0) return Child::Reaped;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    std::FILE* f = std::fopen(path, "re");
    if (!f) return Child::Running;  // cannot tell: the next start reaps it anyway
    char line[512] = {};
    const std::size_t n = std::fread(line, 1, sizeof line - 1, f);
    std::fclose(f);
    const char* close = std::strrchr(line, ')');
    const bool zombie = n > 0 && close && close[1] == ' ' && (close[2] == 'Z' || close[2] == 'X');
    return zombie ? Child::Zombie : Child::Running;
}

// Passes the server's output to the log, a line at a time.
class LineRelay {
public:
    void add(std::string_view bytes) {
        for (char c : bytes) {
            if (c != '\n') {
                line_ += c;
                continue;
            }
            flush();
        }
    }
    void flush() {
        if (!line_.empty() && line_.back() == '\r') line_.pop_back();
        if (!line_.empty()) log::detail(log::Area::Online, line_);
        line_.clear();
    }

private:
    std::string line_;
};

// "127.0.0.1:2121", "[::1]:2121".
std::string hostPort(const LoopbackServerPlan& plan) {
    const bool v6 = plan.host.find(':') != std::string::npos;
    return (v6 ? "[" + plan.host + "]" : plan.host) + ":" + std::to_string(plan.ftpPort);
}

}  // namespace

// What ends one caller's waits early: stop() (the wake pipe, readable for
// good once stop() has written to it) or the caller's own stop token (an
// eventfd that the token's callback writes to).
class LoopbackScoreServer::WaitEnd {
public:
    WaitEnd(int wakeFd, std::stop_token token) : wakeFd_(wakeFd), token_(std::move(token)) {
        if (!token_.stop_possible()) return;
        fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd_ >= 0)
            callback_.emplace(token_, [fd = fd_] {
                const std::uint64_t one = 1;
                [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
            });
    }
    ~WaitEnd() {
        callback_.reset();  // no callback runs past this point
        if (fd_ >= 0) ::close(fd_);
    }
    WaitEnd(const WaitEnd&) = delete;
    WaitEnd& operator=(const WaitEnd&) = delete;

    bool interrupted() const { return token_.stop_requested(); }

    // Waits up to `ms` for `events` on `fd` (-1: none, a pause): 1 when they
    // came, 0 at the end of the time, -1 when the wait was ended early.
    int wait(int fd, short events, int ms) const {
        for (;;) {
            pollfd p[3] = {{fd, events, 0}, {wakeFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
            const int n = ::poll(p, 3, ms);  // negative descriptors are skipped
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return -1;
            if (p[1].revents || p[2].revents || interrupted()) return -1;
            return n > 0 ? 1 : 0;
        }
    }

private:
    int wakeFd_;
    std::stop_token token_;
    int fd_ = -1;
    std::optional<std::stop_callback<std::function<void()>>> callback_;
};

std::filesystem::path loopbackServerFolder(const EnvLookupFn& env) {
    const char* data = env("XDG_DATA_HOME");
    std::filesystem::path base;
    if (data && *data && std::filesystem::path(data).is_absolute()) {
        base = data;
    } else {
        const char* home = env("HOME");
        base = std::filesystem::path(home && *home ? home : "/") / ".local" / "share";
    }
    return base / "Korvala" / "score-server";
}

std::filesystem::path loopbackServerCertificate(const EnvLookupFn& env) {
    return loopbackServerFolder(env) / "cert.pem";
}

LoopbackScoreServer::LoopbackScoreServer(LoopbackServerPlan plan) : plan_(std::move(plan)) {
    if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe_[0] = wakePipe_[1] = -1;
}

LoopbackScoreServer::~LoopbackScoreServer() {
    stop();
    {
        std::lock_guard lock(m_);
        if (child_ > 0) {
            // Asked to stop above; it goes within a moment.
            for (int i = 0; i < 40 && ::waitpid(child_, nullptr, WNOHANG) == 0; ++i) ::usleep(50'000);
            if (::waitpid(child_, nullptr, WNOHANG) == 0) {
                ::kill(child_, SIGKILL);
                ::waitpid(child_, nullptr, 0);
            }
            child_ = -1;
        }
    }
    if (drain_.joinable()) drain_.join();
    closeFd(wakePipe_[0]);
    closeFd(wakePipe_[1]);
}

bool LoopbackScoreServer::accepting(const std::string& host, int port, std::chrono::milliseconds limit) {
    return accepting(host, port, limit, nullptr);
}

bool LoopbackScoreServer::accepting(const std::string& host, int port, std::chrono::milliseconds limit,
                                    const WaitEnd* end) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return false;
    const auto deadline = Clock::now() + limit;
    bool ok = false;
    for (addrinfo* a = found; a && !ok; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            ok = true;
        } else if (errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            const int ready = end ? end->wait(fd, POLLOUT, msUntil(deadline)) : ::poll(&p, 1, msUntil(deadline));
            int error = 0;
            socklen_t size = sizeof error;
            if (ready == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) ok = true;
        }
        ::close(fd);
    }
    ::freeaddrinfo(found);
    return ok;
}

bool LoopbackScoreServer::ensureRunning(std::chrono::milliseconds limit, std::stop_token interrupt) {
    const auto deadline = Clock::now() + limit;
    const WaitEnd end(wakePipe_[0], std::move(interrupt));
    // One caller at a time; the others wait their turn, as interruptible as
    // the rest.
    std::unique_lock lock(m_, std::defer_lock);
    while (!lock.try_lock()) {
        if (stopped_ || end.interrupted() || Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto pause = [&end, deadline](std::chrono::milliseconds span) {
        return end.wait(-1, 0, std::min(msUntil(deadline), static_cast<int>(span.count()))) == 0;
    };
    if (stopped_ || end.interrupted()) return false;
    if (child_ > 0) {
        const Child state = childState(child_);
        if (state != Child::Running) {
            // The server this game started has ended (killed, say). Its port
            // closes only as its last thread goes: that is waited for, or a
            // request would be sent to a server on its way out.
            log::warning(log::Area::Online,
                         "the score server on " + hostPort(plan_) + " has ended by itself; it is started again");
            if (state == Child::Reaped) child_ = -1;
            reap();  // a zombie is killed and collected here
            const auto until = std::min(deadline, Clock::now() + std::chrono::seconds(2));
            while (Clock::now() < until && accepting(plan_.host, plan_.ftpPort, std::chrono::milliseconds(100), &end))
                if (!pause(std::chrono::milliseconds(50))) break;
        }
    }
    for (;;) {
        if (end.interrupted() || stopped_) return false;
        if (accepting(plan_.host, plan_.ftpPort, std::chrono::milliseconds(500), &end)) {
            if (child_ <= 0 && !toldInUse_) {
                toldInUse_ = true;
                log::detail(log::Area::Online,
                            "a score server already answers on " + hostPort(plan_) + ": the game uses it");
            }
            return true;
        }
        if (end.interrupted() || stopped_) return false;
        reap();
        const Start started = start(deadline, end);
        if (started == Start::Ready) return true;
        // Another game started its server on the port at the same moment,
        // or one on its way out still held it: look again.
        if (started != Start::PortTaken || Clock::now() >= deadline) return false;
        if (!pause(std::chrono::milliseconds(200))) return false;
    }
}

pid_t LoopbackScoreServer::startedServer() const {
    std::lock_guard lock(m_);
    return child_;
}

// Collects a server this object started that has ended, kills and collects
// one that runs but no longer answers (or has ended only in part), and
// forgets it.
void LoopbackScoreServer::reap() {
    if (child_ > 0) {
        if (::waitpid(child_, nullptr, WNOHANG) == 0) {
            ::kill(child_, SIGKILL);
            ::waitpid(child_, nullptr, 0);
        }
        child_ = -1;
    }
    closeFd(stdinPipe_);
    if (drain_.joinable()) drain_.join();
}

LoopbackScoreServer::Start LoopbackScoreServer::start(Clock::time_point deadline, const WaitEnd& end) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return Start::Failed;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return Start::Failed;
    }
    const std::vector<std::string> args = {plan_.python,   plan_.script.string(),
                                           "--folder",     plan_.folder.string(),
                                           "--host",       plan_.host,
                                           "--ftp-port",   std::to_string(plan_.ftpPort),
                                           "--http-port",  std::to_string(plan_.httpPort),
                                           "--watch-stdin"};
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    // The server's standard input is the pipe that only the game holds open;
    // its output and errors come back here. Every other descriptor is closed
    // in the server, whether or not the game opened it close-on-exec.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // Signals as a new program finds them: none blocked; a broken pipe, a
    // terminate and an interrupt end it, whatever the game does with them.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(in[0]);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(in[1]);
        ::close(out[0]);
        if (!toldFailure_) {
            toldFailure_ = true;
            log::warning(log::Area::Online,
                         "online scores are off: cannot run " + plan_.python + ": " + std::strerror(spawned));
        }
        return Start::Failed;
    }
    child_ = pid;
    stdinPipe_ = in[1];

    // Waits for the "ready" line, the server's end, stop(), the caller's
    // interruption or the deadline.
    std::string said, line, after;
    bool ready = false, ended = false;
    while (!ready && !ended && !stopped_) {
        if (end.wait(out[0], POLLIN, msUntil(deadline)) != 1) break;  // the deadline, stop() or interrupted
        char buffer[512];
        const ssize_t got = ::read(out[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ended = true;
            break;
        }
        for (ssize_t i = 0; i < got && !ready; ++i) {
            if (buffer[i] != '\n') {
                line += buffer[i];
                continue;
            }
            if (std::string_view(line).substr(0, kReady.size()) == kReady) {
                ready = true;
                // Whatever followed in this read goes on to standard error,
                // after the start is logged.
                if (i + 1 < got) after.assign(buffer + i + 1, static_cast<std::size_t>(got - i - 1));
            } else {
                said += line + "\n";
            }
            line.clear();
        }
    }

    if (ready) {
        log::info(log::Area::Online,
                  "the score server started on " + hostPort(plan_) + " (folder " + plan_.folder.string() + ")");
        // The server's later words (its own log) go to the game's log, a
        // line at a time, until it ends or stop() is called; the pipe is
        // never left to fill up.
        const int fd = out[0];
        const int wake = wakePipe_[0];
        drain_ = std::thread([fd, wake, after = std::move(after)] {
            LineRelay relay;
            relay.add(after);
            char buffer[4096];
            for (;;) {
                pollfd p[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
                const int n = ::poll(p, wake >= 0 ? 2 : 1, -1);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                if (p[0].revents) {
                    const ssize_t got = ::read(fd, buffer, sizeof buffer);
                    if (got < 0 && errno == EINTR) continue;
                    if (got <= 0) break;
                    relay.add(std::string_view(buffer, static_cast<std::size_t>(got)));
                } else if (p[1].revents) {
                    break;
                }
            }
            relay.flush();
            ::close(fd);
        });
        return Start::Ready;
    }

    ::close(out[0]);
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) {  // still running, but not ready in time
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    child_ = -1;
    closeFd(stdinPipe_);
    said += line;
    if (end.interrupted()) return Start::Interrupted;  // this caller gave up: nothing to say
    if (ended && said.find(kPortTaken) != std::string::npos) {
        log::detail(log::Area::Online, "the score server's port " + hostPort(plan_) + " is taken: looking again");
        return Start::PortTaken;
    }
    if (!stopped_ && !toldFailure_) {
        // Told once: each later request fails the same way, silently.
        toldFailure_ = true;
        while (!said.empty() && (said.back() == '\n' || said.back() == ' ')) said.pop_back();
        // One line: the server's own words joined.
        std::replace(said.begin(), said.end(), '\n', ' ');
        const bool cannotRun = ended && WIFEXITED(status) && WEXITSTATUS(status) == kCannotRun;
        log::warning(log::Area::Online, "online scores are off: the score server on " + hostPort(plan_) + " " +
                                            (cannotRun ? "cannot run here"
                                             : ended   ? "did not start"
                                                       : "was not ready in time") +
                                            (said.empty() ? "" : ": ") + said);
    }
    return Start::Failed;
}

void LoopbackScoreServer::stop() {
    stopped_ = true;
    if (wakePipe_[1] >= 0) writeAll(wakePipe_[1], "x");
    std::lock_guard lock(m_);
    if (child_ > 0) {
        ::kill(child_, SIGTERM);
        // Told once: the first stop() closes the pipe, a later one finds it closed.
        if (stdinPipe_ >= 0) log::info(log::Area::Online, "the score server on " + hostPort(plan_) + " stopped");
    }
    closeFd(stdinPipe_);
}

}  // namespace korvala
