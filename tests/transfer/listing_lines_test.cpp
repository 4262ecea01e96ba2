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

}  // namespace
}  // namespace korvala
