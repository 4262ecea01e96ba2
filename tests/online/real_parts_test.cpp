// The game's real parts end cleanly: the scores page's wait for the loopback
// score server runs on a thread the parts own, and destroying the parts
// (as the game's end, the tests and the benchmarks do) ends that wait at
// once and joins it; no load is handed to the window after.
#include "app/real_parts.h"
#include "free_port.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

namespace korvala {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test_support::freePort;

// The threads of this process.
long threadCount() {
    std::error_code ec;
    return std::distance(fs::directory_iterator("/proc/self/task", ec), fs::directory_iterator());
}

class RealPartsEnd : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "korvala-parts-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }
    fs::path root_;
};

// The loopback server here answers only after a while (a stand-in that says
// it is ready `kReadyAfter` after its start). The parts go while the page
// waits for it: they go at once, and no wait is left to hand the page's load
// to a window that is gone (under AddressSanitizer such a hand-off is a use
// of freed memory).
TEST_F(RealPartsEnd, GoingWhileThePageWaitsForTheServerEndsTheWait) {
    constexpr auto kReadyAfter = 3s;
    const fs::path slow = root_ / "slow-server.sh";
    std::ofstream(slow) << "sleep 3\necho 'score server ready ftp=0 http=0'\nexec sleep 30\n";

    RealPartsPlan plan;
    plan.dataFolder = root_ / "data";
    plan.sound = false;
    LoopbackServerPlan server;
    server.python = "/bin/sh";
    server.script = slow;
    server.folder = root_ / "server";
    server.ftpPort = freePort();
    plan.loopback = server;
    const long threadsBefore = threadCount();
    auto parts = std::make_unique<RealParts>(plan);

    parts->scoresPage.navigate("http://127.0.0.1:" + std::to_string(freePort()) + "/");
    QTest::qWait(300);  // the wait has begun
    const auto begun = Clock::now();
    parts.reset();
    const auto took = Clock::now() - begun;
    EXPECT_LT(took, kReadyAfter - 1s) << "the parts waited for the server to answer";
    EXPECT_EQ(threadCount(), threadsBefore) << "a thread of the parts outlives them";

    // A wait left behind would hand the load on once the server answers:
    // give it the time to, with the window's events running.
    QTest::qWait(static_cast<int>(std::chrono::milliseconds(kReadyAfter + 1s).count()));
}

}  // namespace
}  // namespace korvala

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
