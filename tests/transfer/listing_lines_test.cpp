// The listing text the game reads: CR LF lines, whatever the server sent.
#include "system/transfer/listing_lines.h"

#include <gtest/gtest.h>

#include <vector>

namespace korvala {
namespace {

struct Case {
    const char* what;
    std::vector<std::string> pieces;  // as received, in order
    std::string text;
};

TEST(ListingLines, EveryLineEndsInCrLf) {
    const std::vector<Case> cases = {
        {"CR LF", {"Anna\r\nBert\r\n"}, "Anna\r\nBert\r\n"},
        {"LF only", {"Anna\nBert\n"}, "Anna\r\nBert\r\n"},
        {"lone CR", {"Anna\rBert\r"}, "Anna\r\nBert\r\n"},
        {"last line open", {"Anna\r\nBert"}, "Anna\r\nBert\r\n"},
        {"blank lines dropped", {"\r\n\nAnna\n\n\r\nBert\r\n\r\n"}, "Anna\r\nBert\r\n"},
        {"CR LF split between pieces", {"Anna\r", "\nBert\r", "\n"}, "Anna\r\nBert\r\n"},
        {"name split between pieces", {"An", "na\r\nBe", "rt"}, "Anna\r\nBert\r\n"},
        {"blanks kept", {" GOOD TIME \r\n"}, " GOOD TIME \r\n"},
        {"empty", {}, ""},
        {"only line ends", {"\r\n\r\n"}, ""},
        {"folder and parent dropped", {".\r\n..\r\nAnna\r\n..\r\nBert"}, "Anna\r\nBert\r\n"},
        {"dot names split between pieces", {".", "\r\n.", ".\r", "\n"}, ""},
        {"last line a dot", {"Anna\n."}, "Anna\r\n"},
        {"names with dots kept", {"...\r\n. \r\n .\r\n.hidden\r\n"}, "...\r\n. \r\n .\r\n.hidden\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ListingLines lines(1 << 20);
        for (const std::string& p : c.pieces) ASSERT_TRUE(lines.add(p));
        EXPECT_EQ(lines.finish(), c.text);
    }
}

// The cap counts the finished text, the CR LF that closes an open last line
// included.
TEST(ListingLines, CapCountsTheFinishedText) {
    struct Cap {
        std::string input;
        std::size_t cap;
        bool held;
    };
    const std::vector<Cap> caps = {
        {"Anna\nBert\n", 12, true}, {"Anna\nBert\n", 11, false},   {"Anna\nBert", 12, true},
        {"Anna\nBert", 11, false},  {"Anna\r\n\r\n\r\n", 6, true},
    };
    for (const Cap& c : caps) {
        SCOPED_TRACE(c.input + " cap " + std::to_string(c.cap));
        ListingLines lines(c.cap);
        EXPECT_EQ(lines.add(c.input), c.held);
        EXPECT_FALSE(lines.add("more"));  // past the cap either way
        if (!c.held) {
            EXPECT_EQ(lines.finish(), "");
        }
    }
}

// A line longer than any file name is dropped whole, wherever the pieces
// split it; the lines around it stay, and each dropped line is counted.
TEST(ListingLines, LinesLongerThanANameAreDropped) {
    const std::size_t max = ListingLines::kMaxLineBytes;
    const std::string longest(max, 'x'), tooLong(max + 1, 'y');
    struct Long {
        const char* what;
        std::vector<std::string> pieces;
        std::string text;
        std::size_t dropped;
    };
    const std::vector<Long> cases = {
        {"the longest name kept", {"Anna\r\n" + longest + "\r\n"}, "Anna\r\n" + longest + "\r\n", 0},
        {"one byte more dropped", {"Anna\r\n" + tooLong + "\r\nBert\r\n"}, "Anna\r\nBert\r\n", 1},
        {"grown past it piece by piece", {"Anna\n", longest, "y", "yyy\nBert\n"}, "Anna\r\nBert\r\n", 1},
        {"split before its line end", {tooLong + "\r", "\nBert"}, "Bert\r\n", 1},
        {"the last line, not ended", {"Anna\n" + tooLong}, "Anna\r\n", 1},
        {"several", {tooLong + "\n" + tooLong + "\rAnna\n" + tooLong}, "Anna\r\n", 3},
    };
    for (const Long& c : cases) {
        SCOPED_TRACE(c.what);
        ListingLines lines(1 << 20);
        for (const std::string& p : c.pieces) ASSERT_TRUE(lines.add(p));
        EXPECT_EQ(lines.finish(), c.text);
        EXPECT_EQ(lines.droppedLines(), c.dropped);
    }
}

// Dropped lines take no room under the cap: a listing of long lines is
// held as its names.
TEST(ListingLines, DroppedLinesDoNotCountAgainstTheCap) {
    ListingLines lines(12);
    const std::string tooLong(ListingLines::kMaxLineBytes + 1, 'y');
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(lines.add(tooLong + "\n"));
    ASSERT_TRUE(lines.add("Anna\nBert\n"));
    EXPECT_EQ(lines.finish(), "Anna\r\nBert\r\n");
    EXPECT_EQ(lines.droppedLines(), 100u);
}

}  // namespace
}  // namespace korvala
