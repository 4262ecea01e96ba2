// The game's timers on real Qt timers: a positive interval arms and restarts
// the count, 0 stops it, a handler may stop its own timer (a one-shot).
// These check that timers fire and stop, not how punctually.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTest>
#include <map>

#include "qt/view/qt_scheduler.h"
#include "window/element.h"

namespace korvala {
namespace {

class QtSchedulerTest : public ::testing::Test {
protected:
    QtScheduler scheduler;
    Timer a{"a"}, b{"b"};
    std::map<const Timer*, int> fired;
    void SetUp() override {
        scheduler.fire = [this](Timer& t) { ++fired[&t]; };
    }
};

TEST_F(QtSchedulerTest, PositiveIntervalFiresRepeatedly) {
    scheduler.intervalSet(a, 5);
    EXPECT_TRUE(scheduler.armed(a));
    QTRY_VERIFY_WITH_TIMEOUT(fired[&a] >= 3, 10000);
}

TEST_F(QtSchedulerTest, ZeroStopsTheTimer) {
    scheduler.intervalSet(a, 5);
    scheduler.intervalSet(a, 0);
    EXPECT_FALSE(scheduler.armed(a));
    scheduler.intervalSet(b, 5);  // a witness that time went by
    QTRY_VERIFY_WITH_TIMEOUT(fired[&b] >= 5, 10000);
    EXPECT_EQ(fired[&a], 0);
}

TEST_F(QtSchedulerTest, NewIntervalRestartsTheCount) {
    scheduler.intervalSet(a, 60 * 60 * 1000);  // an hour
    scheduler.intervalSet(a, 5);               // replaced at once
    QTRY_VERIFY_WITH_TIMEOUT(fired[&a] >= 1, 10000);
}

TEST_F(QtSchedulerTest, HandlerThatStopsItsOwnTimerFiresOnce) {
    scheduler.fire = [this](Timer& t) {
        ++fired[&t];
        if (&t == &a) scheduler.intervalSet(a, 0);
    };
    scheduler.intervalSet(a, 5);
    scheduler.intervalSet(b, 5);
    QTRY_VERIFY_WITH_TIMEOUT(fired[&b] >= 5, 10000);
    EXPECT_EQ(fired[&a], 1);
}

TEST_F(QtSchedulerTest, ProcessEventsLetsDueTimersRunInsideAHandler) {
    // A handler that never returns to the event loop, as the listing loop
    // between response chunks, still sees other timers fire.
    scheduler.intervalSet(a, 1);
    QElapsedTimer waited;
    waited.start();
    while (fired[&a] == 0 && waited.elapsed() < 10000) scheduler.processEvents();
    EXPECT_GE(fired[&a], 1);
}

}  // namespace
}  // namespace korvala
