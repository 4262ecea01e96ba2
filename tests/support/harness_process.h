#pragma once
// tests/support/korvala_harness.py run as a co-process of a C++ test or
// benchmark: the one place that starts, waits for and stops the X server,
// the sound server, the score server and the game. The fixtures here talk to
// it line by line through its standard input and output; it ends what it
// started when its input closes, and dies with this process however that
// ends.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvala::testing {

// The harness module, in the source tree.
const char* harnessScript();

class HarnessProcess {
public:
    // `args` follow the module's name on its command line ("serve", ...).
    explicit HarnessProcess(std::vector<std::string> args);
    // Closes its input and waits for it to end.
    ~HarnessProcess();
    HarnessProcess(const HarnessProcess&) = delete;
    HarnessProcess& operator=(const HarnessProcess&) = delete;

    // Starts it; false (with `why`) when it cannot be started at all.
    bool start(std::string& why);
    // The next line it says within `limit`, without its line end; nullopt
    // at the limit or once it has ended. `idle` (when given) runs between
    // looks at its output, e.g. to keep a Qt event loop going.
    std::optional<std::string> readLine(std::chrono::milliseconds limit, const std::function<void()>& idle = {});
    bool writeLine(const std::string& line);
    // Closes its input and waits up to `limit` for it to end (then kills
    // it); its wait status, or -1 when it never ran.
    int finish(std::chrono::milliseconds limit = std::chrono::seconds(30));
    bool running() const { return pid_ > 0; }

private:
    std::vector<std::string> args_;
    pid_t pid_ = -1;
    int in_ = -1;   // its standard input, our end
    int out_ = -1;  // its standard output, our end
    std::string buffer_;
};

}  // namespace korvala::testing
