#include "harness_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifndef KORVALA_HARNESS
#error "KORVALA_HARNESS must name tests/support/korvala_harness.py"
#endif

namespace korvala::testing {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

const char* harnessScript() { return KORVALA_HARNESS; }

HarnessProcess::HarnessProcess(std::vector<std::string> args) : args_(std::move(args)) {}

HarnessProcess::~HarnessProcess() { finish(); }

bool HarnessProcess::start(std::string& why) {
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
        why = std::string("no pipe: ") + std::strerror(errno);
        return false;
    }
    std::vector<std::string> all = {"/usr/bin/python3", harnessScript()};
    all.insert(all.end(), args_.begin(), args_.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        why = std::string("cannot fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        // Only what is safe between fork and exec in a threaded program.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(toChild[0], STDIN_FILENO);
        dup2(fromChild[1], STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
    pid_ = pid;
    signal(SIGPIPE, SIG_IGN);  // a harness that has ended makes a write fail, not this process end
    return true;
}

std::optional<std::string> HarnessProcess::readLine(std::chrono::milliseconds limit,
                                                    const std::function<void()>& idle) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (const auto end = buffer_.find('\n'); end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        if (out_ < 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        const int wait = idle ? 0 : msLeft(deadline);
        const int ready = poll(&p, 1, wait);
        if (ready > 0) {
            char chunk[4096];
            const ssize_t n = read(out_, chunk, sizeof chunk);
            if (n > 0) {
                buffer_.append(chunk, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            close(out_);  // it has ended
            out_ = -1;
            continue;
        }
        if (msLeft(deadline) == 0) return std::nullopt;
        if (idle) idle();
    }
}

bool HarnessProcess::writeLine(const std::string& line) {
    if (in_ < 0) return false;
    const std::string data = line + "\n";
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(in_, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

int HarnessProcess::finish(std::chrono::milliseconds limit) {
    if (in_ >= 0) close(in_);
    in_ = -1;
    if (pid_ <= 0) return -1;
    const auto deadline = Clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) break;
        if (done < 0 && errno != EINTR) break;
        if (msLeft(deadline) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        usleep(10000);
    }
    pid_ = -1;
    if (out_ >= 0) close(out_);
    out_ = -1;
    return status;
}

}  // namespace korvala::testing
