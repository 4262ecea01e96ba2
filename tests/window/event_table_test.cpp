// The event table runs each event's handler once per raise, and a handler may
// change the table while it runs: binding new entries from inside a handler
// must neither disturb the handler that is running nor lose its state.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "window/element.h"
#include "window/events.h"

namespace korvala {
namespace {

// A handler that binds entries as the program's wiring does: it captures only
// the fixture, so the callable is small enough to live inside the table's own
// storage, and it reads its capture again after binding.
class BindingHandler : public ::testing::Test {
protected:
    void bindMany(int count) {
        for (int k = 0; k < count; ++k) {
            others.push_back(std::make_unique<Label>("other", k));
            table.on(*others.back(), Event::Click, [this, k] { trace.push_back("other " + std::to_string(k)); });
        }
    }

    EventTable table;
    Label trigger{"trigger"};
    std::vector<std::unique_ptr<Label>> others;
    std::vector<std::string> trace;
    int runs = 0, depth = 0, deepest = 0;  // handlings, and how deep they nest
};

TEST_F(BindingHandler, RunsToItsEndAfterBindingEntriesThatMoveTheTable) {
    table.on(trigger, Event::Click, [this] {
        trace.push_back("before");
        bindMany(64);              // enough to move the table's storage several times
        trace.push_back("after");  // reads `this` from the running callable again
    });

    EXPECT_TRUE(table.raise(trigger, Event::Click));
    EXPECT_EQ(trace, (std::vector<std::string>{"before", "after"}));

    // The entries bound during the run are in the table and run on their own.
    trace.clear();
    EXPECT_TRUE(table.raise(*others[0], Event::Click));
    EXPECT_TRUE(table.raise(*others[63], Event::Click));
    EXPECT_EQ(trace, (std::vector<std::string>{"other 0", "other 63"}));
}

TEST_F(BindingHandler, AnEventRaisedAgainDuringItsHandlingWaitsForItsEnd) {
    table.on(trigger, Event::Timer, [this] {
        ++runs;
        deepest = std::max(deepest, ++depth);
        bindMany(16);
        if (runs == 1) {
            // Raised twice from inside: both wait and run after this handling.
            EXPECT_TRUE(table.raise(trigger, Event::Timer));
            EXPECT_TRUE(table.raise(trigger, Event::Timer));
            EXPECT_EQ(runs, 1);
        }
        --depth;
    });

    EXPECT_TRUE(table.raise(trigger, Event::Timer));
    EXPECT_EQ(runs, 3);
    EXPECT_EQ(deepest, 1);
    EXPECT_EQ(others.size(), 48u);

    // The handling is over: the next raise runs at once again.
    EXPECT_TRUE(table.raise(trigger, Event::Timer));
    EXPECT_EQ(runs, 4);
}

TEST(EventTable, AnEventWithNoHandlerIsIgnored) {
    EventTable table;
    Label bound{"bound"}, unbound{"unbound"};
    table.on(bound, Event::Click, [] {});
    EXPECT_TRUE(table.handles(bound, Event::Click));
    EXPECT_FALSE(table.handles(bound, Event::MouseMove));
    EXPECT_FALSE(table.handles(unbound, Event::Click));
    EXPECT_FALSE(table.raise(unbound, Event::Click));
    EXPECT_FALSE(table.raise(bound, Event::MouseMove));
}

}  // namespace
}  // namespace korvala
