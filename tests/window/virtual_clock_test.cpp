// The virtual clock fires timers deterministically: due order first, then the
// order in which their current counts started, then the order of arming.
#include "doubles/virtual_clock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "window/form1.h"

namespace korvala {
namespace {

struct ClockFixture : ::testing::Test {
    Form1 f;
    VirtualClock clock;
    std::vector<std::string> fired;
    void SetUp() override {
        clock.fire = [this](Timer& t) {
            fired.push_back(std::to_string(clock.now()) + " " + t.name());
            if (onFire) onFire(t);
        };
        f.setPorts({.scheduler = &clock});
    }
    std::function<void(Timer&)> onFire;
};

TEST_F(ClockFixture, OnlyTheFirstSplashTimerCountsFromTheWindowsCreation) {
    clock.runUntil(4999);
    EXPECT_TRUE(fired.empty());
    clock.runUntil(10000);
    EXPECT_EQ(fired, (std::vector<std::string>{"5000 Timer4", "10000 Timer4"}));
}

TEST_F(ClockFixture, TimersDueTogetherRunInTheOrderTheirCountsStarted) {
    f.Timer4.setInterval(0);
    f.timex.setInterval(1000);
    f.Timer1.setInterval(100);
    f.tix.setInterval(1000);
    clock.runUntil(1000);
    // At 1000 the turn clock and the countdown (counting since 0) come before
    // the painter, whose count restarted at 900; of the two, the one armed first.
    ASSERT_GE(fired.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(fired.end() - 3, fired.end()),
              (std::vector<std::string>{"1000 timex", "1000 tix", "1000 Timer1"}));
}

TEST_F(ClockFixture, ArmingAgainRestartsTheCountAndZeroStops) {
    f.Timer4.setInterval(0);
    f.timex.setInterval(1000);
    clock.runUntil(600);
    f.timex.setInterval(1000);  // restarts: next firing at 1600, not 1000
    clock.runUntil(1599);
    EXPECT_TRUE(fired.empty());
    clock.runUntil(1600);
    f.timex.setInterval(0);
    clock.runUntil(9000);
    EXPECT_EQ(fired, std::vector<std::string>{"1600 timex"});
}

TEST_F(ClockFixture, AHandlerThatStopsItsOwnTimerMakesAOneShotAndCanReArm) {
    f.Timer4.setInterval(0);
    onFire = [this](Timer& t) {
        if (&t == &f.Timer3) t.setInterval(0);
        if (&t == &f.timex) t.setInterval(300);
    };
    f.Timer3.setInterval(1);
    f.timex.setInterval(1000);
    clock.runUntil(1700);
    EXPECT_EQ(fired, (std::vector<std::string>{"1 Timer3", "1000 timex", "1300 timex", "1600 timex"}));
}

TEST_F(ClockFixture, TimersFireWhetherOrNotTheirPanelIsVisible) {
    f.OPENS.setVisible(false);
    clock.runUntil(5000);
    EXPECT_EQ(fired, std::vector<std::string>{"5000 Timer4"});
}

TEST_F(ClockFixture, ProcessEventsRunsWhatIsDueButDoesNotMoveTime) {
    f.Timer4.setInterval(0);
    f.Timer3.setInterval(5);
    clock.runUntil(3);
    bool posted = false;
    clock.post(0, [&] { posted = true; });
    clock.processEvents();
    EXPECT_TRUE(posted) << "an event due now runs";
    EXPECT_TRUE(fired.empty()) << "a timer due later does not";
    EXPECT_EQ(clock.now(), 3);
}

TEST_F(ClockFixture, PostedEventsTakeTheirTurnAmongTheTimers) {
    f.Timer4.setInterval(0);
    f.Timer3.setInterval(10);
    clock.post(10, [&] { fired.push_back(std::to_string(clock.now()) + " posted"); });
    clock.post(4, [&] { fired.push_back(std::to_string(clock.now()) + " early"); });
    clock.runUntil(20);
    EXPECT_EQ(fired, (std::vector<std::string>{"4 early", "10 Timer3", "10 posted", "20 Timer3"}));
}

}  // namespace
}  // namespace korvala
