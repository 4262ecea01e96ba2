// The menu carousel tells the scores page's browser that it may soon be
// wanted when, and only when, an arrow brings the selection to Info Online,
// from either side; the hint shows nothing and asks for no page.
#include <gtest/gtest.h>

#include <string>

#include "doubles/recording_ui.h"
#include "program/wiring.h"
#include "window/form1.h"

namespace korvala {
namespace {

struct Carousel : ::testing::Test {
    Form1 f;
    ActionLog actions;
    RecordingWebView browser{"WBX", actions};
    Program program{f, [this] {
                        PlatformParts parts;
                        parts.WBX = &browser;
                        return parts;
                    }()};
};

TEST_F(Carousel, ReachingInfoOnlineFromEitherSideTellsTheBrowserOnly) {
    struct Step {
        const char* from;  // the selection before the click
        bool right;        // the right arrow (else the left one)
        const char* to;    // the selection after it
        int hints;         // hints the browser has had so far
    };
    const Step steps[] = {
        {"0", true, "1", 0},  {"1", true, "2", 0},  {"2", true, "3", 1},  // Konfigurasi -> Info Online
        {"3", true, "4", 1},  {"4", true, "5", 1},  {"5", true, "5", 1},  // past the last entry: no move
        {"5", false, "4", 1}, {"4", false, "3", 2},                       // Pembuat -> Info Online
        {"3", false, "2", 2}, {"2", false, "1", 2}, {"1", false, "0", 2}, {"0", false, "0", 2},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.from) + (step.right ? " right" : " left"));
        ASSERT_EQ(f.menux.Caption(), step.from);
        f.raise(step.right ? static_cast<Element&>(f.Image2) : static_cast<Element&>(f.Image1), Event::Click);
        EXPECT_EQ(f.menux.Caption(), step.to);
        EXPECT_EQ(browser.prepared, step.hints);
    }
    EXPECT_TRUE(browser.pages.empty()) << "a hint asks for no page";
    EXPECT_FALSE(f.Infox.Visible()) << "a hint shows nothing";
}

}  // namespace
}  // namespace korvala
