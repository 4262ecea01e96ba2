// The real window, drawn offscreen: what it shows, where the mouse goes, what
// it repaints and how its controls and the model keep each other's text.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "qt/view/game_window.h"
#include "window/form1.h"

namespace korvala {
namespace {

// Counts the paint events each widget receives.
class PaintCounter : public QObject {
public:
    PaintCounter() { qApp->installEventFilter(this); }
    ~PaintCounter() override { qApp->removeEventFilter(this); }
    int count(const QObject* o) const { return counts_.value(o); }
    int total() const {
        int n = 0;
        for (int c : counts_) n += c;
        return n;
    }
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++counts_[o];
        return false;
    }

private:
    QHash<const QObject*, int> counts_;
};

class GameWindowTest : public ::testing::Test {
protected:
    Form1 form;
    std::unique_ptr<GameWindow> window = std::make_unique<GameWindow>(form);
    std::vector<std::string> log;

    void show() {
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        settle();
    }
    // Lets every pending update and paint run.
    static void settle() {
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    }
    void showOnly(const char* panel) {
        for (Panel* p : form.panels()) p->setVisible(panel && p->name() == panel);
    }
    // Every click and pointer move the model receives, as "lobang(3).Click".
    void record() {
        for (Element* e : form.all())
            for (Event ev : {Event::Click, Event::MouseMove})
                form.events.on(*e, ev, [this, e, ev] {
                    log.push_back(e->fullName() + (ev == Event::Click ? ".Click" : ".MouseMove"));
                });
    }
    std::vector<std::string> only(const std::string& suffix) const {
        std::vector<std::string> out;
        for (const std::string& s : log)
            if (s.size() > suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0)
                out.push_back(s);
        return out;
    }
    QImage grab() const { return window->grab().toImage().convertToFormat(QImage::Format_RGB32); }
    static QRect px(const Element& e) {
        const Rect r = e.pixelRect();
        return {r.left, r.top, r.width, r.height};
    }
};

// Every pixel that differs between two grabs, bounded.
QRect differences(const QImage& a, const QImage& b, int* count) {
    QRect bounds;
    *count = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.pixel(x, y) != b.pixel(x, y)) {
                bounds |= QRect(x, y, 1, 1);
                ++*count;
            }
    return bounds;
}

TEST_F(GameWindowTest, IsAFixedWindowCaptionedWithTheGameAndItsVersion) {
    show();
    EXPECT_EQ(window->windowTitle(), "Korvala Deluxe 1.0");
    EXPECT_EQ(window->size(), QSize(687, 470));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowCloseButtonHint);
}

TEST_F(GameWindowTest, FirstSplashIsBlackAroundThePartnerLogo) {
    show();
    const QImage shot = grab();
    const QRect logo(192, 152, 340, 155);
    int drawn = 0, outside = 0;
    for (int y = 0; y < shot.height(); y += 7)
        for (int x = 0; x < shot.width(); x += 7) {
            const bool black =
                qRed(shot.pixel(x, y)) == 0 && qGreen(shot.pixel(x, y)) == 0 && qBlue(shot.pixel(x, y)) == 0;
            if (logo.contains(x, y)) {
                drawn += !black;
            } else {
                ++outside;
                EXPECT_TRUE(black) << "at " << x << "," << y;
            }
        }
    EXPECT_GT(outside, 3000);
    EXPECT_GT(drawn, 100) << "the logo's area is drawn";
}

TEST_F(GameWindowTest, FirstSplashDecodesOnlyThePartnerLogo) {
    // Start-up speed: the covered menu and board cost nothing until seen.
    show();
    EXPECT_EQ(window->pictures().decoded(), 1);
    showOnly("openi");
    settle();
    EXPECT_GT(window->pictures().decoded(), 1);
}

// Hiding one hole changes the board only inside that hole's rectangle, and
// does change it there: each hole is drawn where it belongs, at its size.
class HolePlace : public GameWindowTest, public ::testing::WithParamInterface<int> {};

TEST_P(HolePlace, HoleIsDrawnInsideItsRectangle) {
    const int i = GetParam();
    showOnly(nullptr);
    show();
    const QImage with = grab();
    form.lobang[i]->setVisible(false);
    const QImage without = grab();
    int count = 0;
    const QRect diff = differences(with, without, &count);
    EXPECT_GT(count, 500);
    EXPECT_TRUE(px(*form.lobang[i]).contains(diff)) << "differences spill out of lobang(" << i << ")";
}

INSTANTIATE_TEST_SUITE_P(Board, HolePlace, ::testing::Range(1, 6));

// A label's text is drawn from its place and never beyond its rectangle,
// however long the caption.
struct LabelCase {
    const char* panel;  // nullptr: the game board
    const char* label;
    int index;
};

class LabelClip : public GameWindowTest, public ::testing::WithParamInterface<LabelCase> {};

TEST_P(LabelClip, LongCaptionIsClippedToTheLabel) {
    const LabelCase& c = GetParam();
    showOnly(c.panel);
    show();
    auto* label = dynamic_cast<Label*>(form.find(c.label, c.index));
    ASSERT_NE(label, nullptr);
    const QImage before = grab();
    label->setCaption("8888888888888888888888888888888888888888");
    const QImage after = grab();
    int count = 0;
    const QRect diff = differences(before, after, &count);
    EXPECT_GT(count, 20);
    EXPECT_TRUE(px(*label).contains(diff)) << label->fullName();
}

INSTANTIATE_TEST_SUITE_P(Labels, LabelClip,
                         ::testing::Values(LabelCase{nullptr, "Nilai", -1},   // score, 18 pt bold
                                           LabelCase{nullptr, "NAMAX", -1},   // the player's name beside "Nama:"
                                           LabelCase{"Hasil", "NN", -1},      // the final score, 36 pt
                                           LabelCase{"Hasil", "Label9", -1},  // "Ya", centred
                                           LabelCase{"papan", "Nama", 9}));   // the bottom row of the score board

// WCAG's relative luminance of a colour and the contrast of two of them.
double luminance(QRgb c) {
    auto channel = [](int v) {
        const double s = v / 255.0;
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
}
double contrast(QRgb a, QRgb b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// Every row of the score board reads: its text, in the row's own colour,
// stands out from the bar behind it by at least 4.5:1 (the bar's median
// colour where the text is drawn, measured on the rendered panel).
TEST_F(GameWindowTest, ScoreBoardRowsHaveReadableContrast) {
    showOnly("papan");
    for (Label* row : form.Nama) row->setCaption("");
    show();
    const QImage bars = grab();
    for (Label* row : form.Nama) row->setCaption("8888 Pemain Baru indonesia");
    const QImage rows = grab();
    for (int k = 0; k < 10; ++k) {
        const Label& row = *form.Nama[k];
        const QRect place = px(row);
        QRect text;  // where the caption changed pixels
        for (int y = place.top(); y <= place.bottom(); ++y)
            for (int x = place.left(); x <= place.right(); ++x)
                if (bars.pixel(x, y) != rows.pixel(x, y)) text |= QRect(x, y, 1, 1);
        ASSERT_FALSE(text.isEmpty()) << "row " << k + 1 << " drew no text";
        std::vector<int> r, g, b;
        for (int y = text.top(); y <= text.bottom(); ++y)
            for (int x = text.left(); x <= text.right(); ++x) {
                const QRgb c = bars.pixel(x, y);
                r.push_back(qRed(c));
                g.push_back(qGreen(c));
                b.push_back(qBlue(c));
            }
        auto median = [](std::vector<int>& v) {
            std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
            return v[v.size() / 2];
        };
        const QRgb bar = qRgb(median(r), median(g), median(b));
        const Rgb fore = row.look.foreColor;
        const QRgb ink = qRgb((fore >> 16) & 0xFF, (fore >> 8) & 0xFF, fore & 0xFF);
        EXPECT_GE(contrast(ink, bar), 4.5) << "row " << k + 1 << ": text " << std::hex << ink << " on bar " << bar;
    }
}

// A row of the score board reads left to right whatever a name in it holds:
// a direction control in one name (they draw nothing themselves) leaves the
// row drawn exactly as the same row without it, the rest of the row included.
struct DirectionCase {
    const char* what;
    const char* row;    // as the listing gave it
    const char* plain;  // the same row without the control
};

class RowDirection : public GameWindowTest, public ::testing::WithParamInterface<DirectionCase> {};

TEST_P(RowDirection, ControlInANameLeavesTheRowLeftToRight) {
    const DirectionCase& c = GetParam();
    showOnly("papan");
    show();
    Label& row = *form.Nama[0];
    row.setCaption(c.plain);
    const QImage plain = grab();
    row.setCaption(c.row);
    const QImage marked = grab();
    EXPECT_EQ(row.Caption(), c.row) << "the row's own text stays as the listing gave it";
    int count = 0;
    const QRect diff = differences(plain, marked, &count);
    EXPECT_EQ(count, 0) << c.what << ": " << count << " pixels differ in " << diff.x() << "," << diff.y() << " "
                        << diff.width() << "x" << diff.height();
}

INSTANTIATE_TEST_SUITE_P(
    ScoreBoard, RowDirection,
    ::testing::Values(DirectionCase{"right-to-left override", "1. 93(Ali\u202EBaba)(ali@mail.id)(indonesia)",
                                    "1. 93(AliBaba)(ali@mail.id)(indonesia)"},
                      DirectionCase{"override ended in the name", "1. 93(\u202EAliBaba\u202C)(ali@mail.id)(indonesia)",
                                    "1. 93(AliBaba)(ali@mail.id)(indonesia)"},
                      DirectionCase{"right-to-left embedding", "1. 93(Ali\u202BBaba)(ali@mail.id)(indonesia)",
                                    "1. 93(AliBaba)(ali@mail.id)(indonesia)"}),
    [](const auto& info) {
        std::string n = info.param.what;
        for (char& ch : n)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

// Mouse input reaches the element the model's stacking says, through the
// real window: a click is a press and a release on the same element.
struct MouseCase {
    const char* name;
    const char* panel;  // the one visible panel, nullptr for the board
    QPoint at;
    const char* expected;  // the last Click or MouseMove the model received
    bool click;
};

class MouseRouting : public GameWindowTest, public ::testing::WithParamInterface<MouseCase> {};

TEST_P(MouseRouting, ReachesTheTopmostElementOfTheModel) {
    const MouseCase& c = GetParam();
    record();
    showOnly(c.panel);
    show();
    QWindow* handle = window->windowHandle();
    if (c.click) {
        QTest::mouseClick(handle, Qt::LeftButton, {}, c.at);
    } else {
        QTest::mouseMove(handle, c.at);
    }
    settle();
    const auto got = only(c.click ? ".Click" : ".MouseMove");
    ASSERT_FALSE(got.empty()) << c.name;
    EXPECT_EQ(got.back(), c.expected) << c.name;
    if (c.click) {
        EXPECT_EQ(got.size(), 1u) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Window, MouseRouting,
    ::testing::Values(
        MouseCase{"overlap strip of holes 1 and 3", nullptr, {275, 200}, "lobang(3).Click", true},
        MouseCase{"hole 1 outside the strip", nullptr, {170, 140}, "lobang(1).Click", true},
        MouseCase{"transparent corner of hole 4", nullptr, {113, 257}, "lobang(4).Click", true},
        MouseCase{"bare board", nullptr, {20, 440}, "Form1.Click", true},
        MouseCase{"hidden menu: the board beneath", nullptr, {232, 314}, "lobang(4).Click", true},
        MouseCase{"menu: left arrow", "openi", {232, 314}, "Image1.Click", true},
        MouseCase{"menu: right arrow over the entry's edge", "openi", {464, 310}, "Image2.Click", true},
        MouseCase{"about panel: anywhere", "ABT", {600, 50}, "ABT.Click", true},
        MouseCase{
            "score board: the real back button", "papan", {5 + 4920 / 15 + 40, 6480 / 15 + 12}, "Command7.Click", true},
        MouseCase{"result panel: Ya", "Hasil", {420, 330}, "Label9.Click", true},
        MouseCase{"menu frame margin", "openi", {205, 285}, "Image4.MouseMove", false},
        MouseCase{"menu: over an arrow", "openi", {230, 310}, "Image1.MouseMove", false},
        MouseCase{"menu: over the entry", "openi", {350, 310}, "Image3.MouseMove", false}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& ch : n)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

TEST_F(GameWindowTest, PressAndReleaseOnDifferentElementsIsNoClick) {
    record();
    showOnly(nullptr);
    show();
    QTest::mousePress(window->windowHandle(), Qt::LeftButton, {}, QPoint(300, 230));    // lobang(3)
    QTest::mouseRelease(window->windowHandle(), Qt::LeftButton, {}, QPoint(460, 160));  // lobang(2)
    settle();
    EXPECT_TRUE(only(".Click").empty());
    // The same input path does deliver a click that starts and ends on one element.
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, QPoint(460, 160));
    settle();
    EXPECT_EQ(only(".Click"), std::vector<std::string>{"lobang(2).Click"});
}

TEST_F(GameWindowTest, RightButtonMakesNoClick) {
    record();
    showOnly(nullptr);
    show();
    QTest::mouseClick(window->windowHandle(), Qt::RightButton, {}, QPoint(300, 230));
    settle();
    EXPECT_TRUE(only(".Click").empty());
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, QPoint(300, 230));
    settle();
    EXPECT_EQ(only(".Click"), std::vector<std::string>{"lobang(3).Click"})
        << "the left button at the same place clicks";
}

// The board painter writes every hole's picture ten times a second; only a
// real change may cost a paint.
TEST_F(GameWindowTest, OnlyARealChangeRepaints) {
    showOnly(nullptr);
    show();
    PaintCounter paints;
    for (int n = 0; n < 20; ++n) {
        for (int i = 1; i <= 5; ++i) form.lobang[i]->setPicture("Kosong");
        form.Nilai.setCaption("0");
        settle();
    }
    EXPECT_EQ(paints.total(), 0);

    form.lobang[2]->setPicture("kena");
    QTRY_COMPARE_WITH_TIMEOUT(paints.count(window.get()), 1, 5000);
    settle();
    EXPECT_EQ(paints.total(), 1);
}

TEST_F(GameWindowTest, ChangesOutOfSightRepaintNothing) {
    show();  // the first splash is the screen
    PaintCounter paints;
    form.lobang[1]->setPicture("bom");  // on the covered board
    form.Nilai.setCaption("12");
    form.Image3.setPicture("MNU(3)");                 // on the menu beneath the splash
    form.Nama[0]->setCaption("7(Budi)(b@x)(Japan)");  // on a hidden panel
    settle();
    EXPECT_EQ(paints.total(), 0);

    showOnly(nullptr);  // uncovering the board shows what changed meanwhile
    QTRY_VERIFY_WITH_TIMEOUT(paints.count(window.get()) >= 1, 5000);
}

TEST_F(GameWindowTest, PanelVisibilityFollowsTheModel) {
    // Hidden controls may not have a widget yet; a shown one must be visible.
    auto shown = [this](const Element& e) {
        QWidget* w = window->widgetFor(e);
        return w && w->isVisible();
    };
    show();
    EXPECT_TRUE(shown(form.OPENS));
    EXPECT_FALSE(shown(form.papan));
    showOnly("papan");
    EXPECT_FALSE(shown(form.OPENS));
    EXPECT_TRUE(shown(form.papan));
    EXPECT_TRUE(shown(form.Command7));
    EXPECT_FALSE(shown(form.siapol));  // hidden score box
    EXPECT_FALSE(shown(form.Command1));
    form.siapol.setVisible(true);
    form.Command1.setVisible(true);
    EXPECT_TRUE(shown(form.siapol));
    EXPECT_TRUE(shown(form.Command1));
    form.Command1.setVisible(false);
    EXPECT_FALSE(shown(form.Command1));
    for (int i = 1; i <= 5; ++i) EXPECT_FALSE(shown(*form.TX[i]));
    EXPECT_EQ(window->widgetFor(form.mc1), nullptr);  // sound devices are never drawn
}

TEST_F(GameWindowTest, ModelTextReachesTheControls) {
    showOnly("konfig");
    show();
    auto* name = qobject_cast<QLineEdit*>(window->widgetFor(form.konfignama));
    auto* country = qobject_cast<QComboBox*>(window->widgetFor(form.KonfigNegara));
    ASSERT_TRUE(name && country);
    EXPECT_EQ(name->text(), "Korvala");
    EXPECT_EQ(country->currentText(), "Indonesia");
    form.konfignama.setText("Budi");
    form.KonfigNegara.setText("Atlantis");
    EXPECT_EQ(name->text(), "Budi");
    EXPECT_EQ(country->currentText(), "Atlantis");
}

TEST_F(GameWindowTest, APanelShownForTheFirstTimeShowsWhatTheModelHoldsNow) {
    // Hidden panels get their controls when first shown; what the model
    // wrote meanwhile must be there, and later writes must still arrive.
    show();
    form.Command7.setCaption("Kembali");
    form.siapol.setText("7(a)(b)(c)");
    showOnly("papan");
    form.siapol.setVisible(true);
    auto* back = qobject_cast<QPushButton*>(window->widgetFor(form.Command7));
    auto* score = qobject_cast<QLineEdit*>(window->widgetFor(form.siapol));
    ASSERT_TRUE(back && score);
    EXPECT_EQ(back->text(), "Kembali");
    EXPECT_EQ(score->text(), "7(a)(b)(c)");
    EXPECT_TRUE(score->isVisible());
    form.Command7.setCaption("Kembali Ke Menu");
    EXPECT_EQ(back->text(), "Kembali Ke Menu");
}

TEST_F(GameWindowTest, PlayerTypingReachesTheModel) {
    showOnly("konfig");
    show();
    auto* name = qobject_cast<QLineEdit*>(window->widgetFor(form.konfignama));
    auto* country = qobject_cast<QComboBox*>(window->widgetFor(form.KonfigNegara));
    ASSERT_TRUE(name && country);
    name->selectAll();
    QTest::keyClicks(name, "Siti");
    EXPECT_EQ(form.konfignama.Text(), "Siti");
    QTest::keyClick(name, Qt::Key_Backspace);
    EXPECT_EQ(form.konfignama.Text(), "Sit");

    country->lineEdit()->selectAll();
    QTest::keyClicks(country->lineEdit(), "Jap");
    EXPECT_EQ(form.KonfigNegara.Text(), "Jap") << "no completion from the list";
}

TEST_F(GameWindowTest, NameAndEmailFieldsRefuseLineBreaks) {
    showOnly("konfig");
    show();
    for (RichTextBox* box : {&form.konfignama, &form.Konfigemail}) {
        auto* edit = qobject_cast<QLineEdit*>(window->widgetFor(*box));
        ASSERT_NE(edit, nullptr);
        edit->selectAll();
        QGuiApplication::clipboard()->setText("Ali\r\nBaba\n");
        edit->paste();
        EXPECT_EQ(box->Text(), "AliBaba") << box->name();
        EXPECT_EQ(edit->text(), "AliBaba") << box->name();
    }
}

TEST_F(GameWindowTest, CountryListKeepsItsOrderAndPicksInto) {
    showOnly("konfig");
    show();
    auto* country = qobject_cast<QComboBox*>(window->widgetFor(form.KonfigNegara));
    ASSERT_NE(country, nullptr);
    EXPECT_TRUE(country->isEditable());
    EXPECT_EQ(country->insertPolicy(), QComboBox::NoInsert);
    ASSERT_EQ(country->count(), 24);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(country->itemText(i).toStdString(), form.KonfigNegara.List()[i]);
    // Stepping through the list with the arrow keys picks entries; both
    // "USA" entries, 8th and 11th, give the same text.
    for (int before : {6, 9, 22}) {
        country->setCurrentIndex(before);
        QTest::keyClick(country, Qt::Key_Down);
        EXPECT_EQ(form.KonfigNegara.Text(), form.KonfigNegara.List()[before + 1]);
    }
    EXPECT_EQ(form.KonfigNegara.Text(), "Italia");
}

}  // namespace
}  // namespace korvala
