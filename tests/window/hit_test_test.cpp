// The element that takes the mouse is the topmost visible one on the screen:
// panels cover the board, windowed elements lie over windowless ones, and the
// first listed element of each kind lies on top.
#include <gtest/gtest.h>

#include "window/form1.h"

namespace korvala {
namespace {

std::string hit(const Form1& f, int x, int y) {
    const Element* e = f.hitTest(x, y);
    return e ? e->fullName() : "(nothing)";
}

void showOnly(Form1& f, Panel* shown) {
    for (Panel* p : f.panels()) p->setVisible(p == shown);
}

TEST(Screen, FirstSplashCoversTheMenuWhenTheWindowOpens) {
    Form1 f;
    EXPECT_EQ(f.screenName(), "OPENS");
    EXPECT_TRUE(f.openi.Visible());
    EXPECT_EQ(hit(f, 300, 320), "OPENS");   // over the menu's entry picture, but the splash is on top
    EXPECT_EQ(hit(f, 250, 200), "Image6");  // the partner logo
}

TEST(Screen, BoardIsTheScreenWhenEveryPanelIsHidden) {
    Form1 f;
    showOnly(f, nullptr);
    EXPECT_EQ(f.screenName(), "Form1");
}

struct HitCase {
    const char* panel;  // nullptr: the game board
    int x, y;
    const char* expected;
};

void PrintTo(const HitCase& c, std::ostream* os) {
    *os << (c.panel ? c.panel : "board") << " at " << c.x << "," << c.y << " -> " << c.expected;
}

class HitTest : public ::testing::TestWithParam<HitCase> {};

TEST_P(HitTest, ReachesTheTopmostVisibleElement) {
    Form1 f;
    const HitCase& c = GetParam();
    showOnly(f, c.panel ? static_cast<Panel*>(f.find(c.panel)) : nullptr);
    EXPECT_EQ(hit(f, c.x, c.y), c.expected) << "at " << c.x << "," << c.y;
}

std::string caseName(const ::testing::TestParamInfo<HitCase>& info) {
    const HitCase& c = info.param;
    return "at_" + std::to_string(c.x < 0 ? 0 : c.x) + (c.x < 0 ? "minus" : "") + "_" + std::to_string(c.y);
}

INSTANTIATE_TEST_SUITE_P(
    Board, HitTest,
    ::testing::Values(HitCase{nullptr, 275, 200, "lobang(3)"},  // the strip where holes 1 and 3 overlap
                      HitCase{nullptr, 271, 200, "lobang(1)"},  // just left of it
                      HitCase{nullptr, 279, 200, "lobang(3)"},  // last column of the strip
                      HitCase{nullptr, 280, 196, "lobang(3)"},
                      HitCase{nullptr, 275, 225, "lobang(3)"},  // below hole 1: only hole 3
                      HitCase{nullptr, 112, 256, "lobang(4)"},  // first pixel of hole 4
                      HitCase{nullptr, 262, 384, "lobang(4)"},  // last pixel of hole 4
                      HitCase{nullptr, 263, 384, "Form1"}, HitCase{nullptr, 574, 376, "lobang(5)"},
                      HitCase{nullptr, 150, 30, "Nilai"},
                      HitCase{nullptr, 20, 140, "Form1"},       // the hidden turn label takes no click
                      HitCase{nullptr, 686, 469, "Form1"},      // last pixel of the client area
                      HitCase{nullptr, 687, 100, "(nothing)"},  // the panel's extra column is clipped away
                      HitCase{nullptr, 100, 470, "(nothing)"},  // the sound devices lie below the client area
                      HitCase{nullptr, -1, 10, "(nothing)"}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    Menu, HitTest,
    ::testing::Values(HitCase{"openi", 204, 284, "Image4"},  // frame margin left of the left arrow
                      HitCase{"openi", 208, 288, "Image1"}, HitCase{"openi", 255, 300, "Image1"},
                      HitCase{"openi", 256, 300, "Image3"},
                      HitCase{"openi", 464, 300,
                              "Image2"},  // the right arrow lies over the entry picture's last column
                      HitCase{"openi", 463, 300, "Image3"},
                      HitCase{"openi", 300, 290, "Image4"},  // above the entry picture, inside the frame
                      HitCase{"openi", 336, 363, "openi"},   // the hidden selection label takes nothing
                      HitCase{"openi", 520, 352, "Image4"}, HitCase{"openi", 521, 352, "openi"}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    Panels, HitTest,
    ::testing::Values(HitCase{"Hasil", 410, 330, "Label9"}, HitCase{"Hasil", 470, 330, "Label10"},
                      HitCase{"Hasil", 200, 210, "kena"}, HitCase{"ABT", 300, 300, "ABT"},
                      HitCase{"konfig", 300, 215, "konfignama"},
                      HitCase{"konfig", 110, 420, "konfig"},  // the hidden country store takes nothing
                      HitCase{"papan", 20, 388, "Image5"}, HitCase{"papan", 60, 100, "Nama(0)"},
                      HitCase{"papan", 60, 380, "Nama(9)"},
                      HitCase{"papan", 100, 440, "papan"},  // the hidden page counter button takes nothing
                      HitCase{"Infox", 100, 300, "WBX"}),
    caseName);

TEST(HitTest, AHiddenPanelLetsTheClickThroughToTheScreenBeneath) {
    Form1 f;
    showOnly(f, &f.Hasil);
    f.papan.setVisible(true);
    EXPECT_EQ(hit(f, 410, 330), "Label9");
    f.Hasil.setVisible(false);
    EXPECT_EQ(hit(f, 60, 100), "Nama(0)");
}

TEST(Elements, HiddenStorageKeepsItsTextAndHolesHaveNoIndexZero) {
    Form1 f;
    EXPECT_EQ(f.find("lobang", 0), nullptr);
    EXPECT_NE(f.find("lobang", 5), nullptr);
    EXPECT_EQ(f.find("Nama", 10), nullptr);
    f.giliran.setCaption("17");
    f.TX[2]->setText("3");
    EXPECT_FALSE(f.giliran.Visible());
    EXPECT_EQ(f.giliran.Caption(), "17");
    EXPECT_EQ(f.TX[2]->Text(), "3");
}

}  // namespace
}  // namespace korvala
