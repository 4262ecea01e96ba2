// The game executable under a real X server: its window appears with the
// game's caption, a 687 x 470 client area that cannot be resized, and closing
// it ends the program; and a player's whole round trip, driven by real X
// mouse and keyboard events, through the menu, a game, the profile and Keluar,
// then a second start that shows the saved name on the board. Needs Xvfb;
// skipped where there is none.
// KORVALA_E2E_VERBOSE=1 lets the game's own output through.
// GoogleTest and Qt before Xlib: Xlib's macros (None, Bool, Status) clash with them.
#include <gtest/gtest.h>

#include <QImage>
#include <QRect>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#if KORVALA_E2E_XTEST
#include <X11/extensions/XTest.h>
#endif
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifndef KORVALA_GAME
#error "KORVALA_GAME must name the game executable"
#endif
#ifndef KORVALA_LSAN_SUPPRESSIONS
#define KORVALA_LSAN_SUPPRESSIONS ""
#endif
#ifndef KORVALA_E2E_ARTIFACTS
#define KORVALA_E2E_ARTIFACTS "e2e-artifacts"
#endif

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, int keepFd = -1) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    if (keepFd < 0 && !std::getenv("KORVALA_E2E_VERBOSE")) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
    }
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

// Waits for a child to end; its wait status, or nullopt at the deadline.
std::optional<int> waitEnd(pid_t pid, Clock::time_point deadline) {
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, msLeft(deadline));
        close(fd);
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    return std::nullopt;
}

std::string windowName(Display* d, Window w) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    for (Atom prop : {XInternAtom(d, "_NET_WM_NAME", False), XA_WM_NAME}) {
        if (XGetWindowProperty(d, w, prop, 0, 256, False, prop == XA_WM_NAME ? AnyPropertyType : utf8, &type,
                               &format, &count, &after, &data) == Success && data) {
            std::string name(reinterpret_cast<char*>(data), count);
            XFree(data);
            if (!name.empty()) return name;
        }
    }
    return {};
}

class GameUnderX : public ::testing::Test {
protected:
    pid_t xvfb = -1, game = -1;
    Display* display = nullptr;
    std::string displayName;
    std::filesystem::path home;

    void SetUp() override {
        const std::string server = "/usr/bin/Xvfb";
        if (access(server.c_str(), X_OK) != 0) GTEST_SKIP() << "no Xvfb";
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        // -displayfd: the server picks a free display and writes its number.
        xvfb = spawn({server, "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                     {}, fds[1]);
        close(fds[1]);
        std::string number;
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        pollfd p{fds[0], POLLIN, 0};
        char c;
        while (poll(&p, 1, msLeft(deadline)) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        ASSERT_FALSE(number.empty()) << "Xvfb did not start";
        const std::string name = ":" + number;
        display = XOpenDisplay(name.c_str());
        ASSERT_NE(display, nullptr);
        XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
        XSync(display, False);

        char pattern[] = "/tmp/korvala-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        home = pattern;
        displayName = name;
        startGame();
    }

    // Starts the game on this server with this fixture's home; a second start
    // after the first has ended finds the profile the first one saved.
    void startGame() {
        game = spawn({KORVALA_GAME},
                     {"DISPLAY=" + displayName, "QT_QPA_PLATFORM=xcb", "HOME=" + home.string(),
                      "XDG_DATA_HOME=" + (home / "data").string(), "XDG_CONFIG_HOME=" + (home / "config").string(),
                      "XDG_RUNTIME_DIR=" + home.string(),
                      // Sanitizer builds: leaks of system libraries are not the game's.
                      std::string("LSAN_OPTIONS=suppressions=") + KORVALA_LSAN_SUPPRESSIONS});
    }

    void TearDown() override {
        if (game > 0 && waitpid(game, nullptr, WNOHANG) == 0) {
            kill(game, SIGKILL);
            waitpid(game, nullptr, 0);
        }
        if (display) XCloseDisplay(display);
        if (xvfb > 0) {
            kill(xvfb, SIGTERM);
            waitpid(xvfb, nullptr, 0);
        }
        if (!home.empty()) std::filesystem::remove_all(home);
    }

    // The first top-level window mapped with the given name.
    Window waitForWindow(const std::string& wanted, Clock::time_point deadline) {
        pollfd p{ConnectionNumber(display), POLLIN, 0};
        while (msLeft(deadline) > 0) {
            while (XPending(display)) {
                XEvent e;
                XNextEvent(display, &e);
                if (e.type == MapNotify && windowName(display, e.xmap.window) == wanted) return e.xmap.window;
            }
            poll(&p, 1, msLeft(deadline));
        }
        return None;
    }
};

TEST_F(GameUnderX, WindowIsFixedAtTheGameSizeAndClosingItEndsTheGame) {
    const Window w = waitForWindow("Korvala Deluxe 1.0", Clock::now() + std::chrono::seconds(30));
    ASSERT_NE(w, None) << "no window captioned \"Korvala Deluxe 1.0\"";

    XWindowAttributes attrs;
    ASSERT_TRUE(XGetWindowAttributes(display, w, &attrs));
    EXPECT_EQ(attrs.width, 687);
    EXPECT_EQ(attrs.height, 470);

    XSizeHints hints{};
    long supplied = 0;
    ASSERT_TRUE(XGetWMNormalHints(display, w, &hints, &supplied));
    ASSERT_TRUE((hints.flags & PMinSize) && (hints.flags & PMaxSize)) << "no size limits: the window could be resized";
    EXPECT_EQ(hints.min_width, 687);
    EXPECT_EQ(hints.min_height, 470);
    EXPECT_EQ(hints.max_width, hints.min_width);
    EXPECT_EQ(hints.max_height, hints.min_height);

    // Close it as a window manager does.
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XEvent close{};
    close.xclient.type = ClientMessage;
    close.xclient.window = w;
    close.xclient.message_type = protocols;
    close.xclient.format = 32;
    close.xclient.data.l[0] = static_cast<long>(deleteWindow);
    close.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, w, False, NoEventMask, &close);
    XFlush(display);

    const auto status = waitEnd(game, Clock::now() + std::chrono::seconds(20));
    ASSERT_TRUE(status.has_value()) << "the game kept running after its window was closed";
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    game = -1;
}

}  // namespace
