// Game rules that a scenario cannot reach cheaply: the turn period over many
// stages, the order of the end of a game against the bomb cue, and the
// painter's economy.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "doubles/recording_sound.h"
#include "doubles/virtual_clock.h"
#include "game/game.h"
#include "window/characters.h"
#include "window/form1.h"
#include "window/limits.h"
#include "window/number_text.h"

namespace korvala {
namespace {

struct StageCase {
    const char* level;
    const char* turn;
    const char* levelAfter;
    const char* turnAfter;
    const char* gradeAfter;
};

void PrintTo(const StageCase& c, std::ostream* os) { *os << "Level " << c.level << ", turn " << c.turn; }

class StageEnd : public ::testing::TestWithParam<StageCase> {};

TEST_P(StageEnd, TheTickAfterTurn25LowersThePeriodAndWrapsAt100) {
    Form1 f;
    const StageCase& c = GetParam();
    f.Level.setCaption(c.level);
    f.giliran.setCaption(c.turn);
    f.Lshow.setCaption("7");
    turnClockTick(f);
    EXPECT_EQ(f.timex.Interval(), numberOf(c.level)) << "re-armed with the period before the change";
    EXPECT_EQ(f.Level.Caption(), c.levelAfter);
    EXPECT_EQ(f.giliran.Caption(), c.turnAfter);
    EXPECT_EQ(f.Lshow.Caption(), c.gradeAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Periods, StageEnd,
    ::testing::Values(StageCase{"2500", "24", "2500", "25", "7"}, StageCase{"2500", "25", "2450", "1", "8"},
                      StageCase{"150", "25", "100", "1", "8"}, StageCase{"100", "25", "2500", "1", "8"},  // never 50
                      StageCase{"2500", "0", "2500", "1", "7"}),  // the first tick after the window opens ends no stage
    [](const ::testing::TestParamInfo<StageCase>& info) {
        return std::string("level_") + info.param.level + "_turn_" + info.param.turn;
    });

TEST(TurnClock, PeriodsRepeatEvery49StagesAndTheGradeNeverWraps) {
    Form1 f;
    VirtualClock clock;
    f.setPorts({.scheduler = &clock});
    startGame(f);
    std::vector<int> stagePeriods;  // the period of turn 2 of each stage
    for (int tick = 0; tick < 25 * 52; ++tick) {
        turnClockTick(f);
        if (f.giliran.Caption() == "3") stagePeriods.push_back(f.timex.Interval());
    }
    ASSERT_GE(stagePeriods.size(), 51u);
    for (int k = 1; k <= 49; ++k) EXPECT_EQ(stagePeriods[k - 1], 2500 - 50 * (k - 1)) << "stage " << k;
    EXPECT_EQ(stagePeriods[49], 2500);
    EXPECT_EQ(stagePeriods[50], 2450);
    EXPECT_EQ(f.Lshow.Caption(), "52");  // 1300 turns: 52 stages, the first tick finishing none
}

// Remembers whether the result panel was already up when a sound started.
struct ResultWatcher : SoundBackend {
    Form1& f;
    std::vector<std::string> log;
    explicit ResultWatcher(Form1& form) : f(form) {}
    void setFileName(const std::string&) override {}
    void command(std::string_view cmd) override {
        log.push_back(std::string(cmd) + (f.Hasil.Visible() ? " over result" : " over board"));
    }
};

TEST(Shooting, TheBombCueComesAfterTheResultPanelAndTheHoleIsKnockedOutLast) {
    Form1 f;
    VirtualClock clock;
    ResultWatcher bomb(f), hit(f);
    Ports ports{.scheduler = &clock};
    ports.sounds[f.mc3.slot] = &bomb;
    ports.sounds[f.mc1.slot] = &hit;
    f.setPorts(ports);
    f.TX[4]->setText("3");
    holeClick(f, 4);
    EXPECT_EQ(bomb.log, (std::vector<std::string>{"prev over result", "play over result"}));
    EXPECT_TRUE(hit.log.empty());
    EXPECT_EQ(f.TX[4]->Text(), "4");
}

struct CountingObserver : ChangeObserver {
    std::vector<std::string> changes;
    void changed(const Element& e) override { changes.push_back(e.fullName()); }
};

TEST(BoardPainter, UnchangedCodesCauseNoRepaintAndAChangedOneExactlyOne) {
    Form1 f;
    CountingObserver seen;
    f.setObserver(&seen);
    boardPainterTick(f);
    EXPECT_TRUE(seen.changes.empty()) << "every hole already shows Kosong";
    f.TX[2]->setText("1");
    seen.changes.clear();
    boardPainterTick(f);
    boardPainterTick(f);
    EXPECT_EQ(seen.changes, std::vector<std::string>{"lobang(2)"});
    EXPECT_TRUE(f.img.created()) << "the store is created at its first read";
}

TEST(ScoreString, OnlyLeadingBlanksGoAndOtherWhiteSpaceStays) {
    EXPECT_EQ(scoreString("12", "Korvala", "email", "Indonesia"), "12(Korvala)(email)(Indonesia)");
    EXPECT_EQ(scoreString("7", "", "   ", "Indonesia"), "7()()(Indonesia)");
    EXPECT_EQ(scoreString("3", "  a b ", "\tx", "Papua Nugini\r\n"), "3(a b )(\tx)(Papua Nugini\r\n)");
}

// A game ended with every profile field full: the score box holds the whole
// score string, the country and its closing bracket included.
TEST(EndOfGame, TheScoreBoxHoldsTheScoreStringOfFullProfileFields) {
    struct Case {
        const char* name;
        std::string character;    // fills the fields
        const char* scoreBefore;  // the score before the last target
        const char* score;
    };
    const std::vector<Case> cases = {
        {"ASCII letters", "x", "0", "1"},
        {"two-byte letters", "\xC3\xA9", "41", "42"},
        {"emoji, four bytes each", "\xF0\x9F\x98\x80", "0", "1"},
        // The highest the count climbs: past it, reading the score drops a digit.
        {"the longest score", "x", "9223372036854775719", "9223372036854775720"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Form1 f;
        VirtualClock clock;
        f.setPorts({.scheduler = &clock});
        const auto full = [&](const TextElement& box, const std::string& end = {}) {
            std::string text;
            for (std::size_t k = characterCount(end); k < box.maxLength; ++k) text += c.character;
            return text + end;
        };
        const std::string name = full(f.konfignama);
        const std::string email = full(f.Konfigemail);
        const std::string country = full(f.KonfigNegara, "Papua Nugini");
        f.konfignama.setText(name);
        f.Konfigemail.setText(email);
        f.KonfigNegara.setText(country);
        ASSERT_TRUE(f.KonfigNegara.Text() == country) << "the field holds its text whole";

        startGame(f);
        f.Nilai.setCaption(c.scoreBefore);
        f.TX[2]->setText(kTarget);
        holeClick(f, 2);
        f.TX[4]->setText(kBombCarrier);
        holeClick(f, 4);  // the game ends

        ASSERT_TRUE(f.Hasil.Visible());
        const std::string& box = f.siapol.Text();
        EXPECT_TRUE(box.ends_with(")(" + country + ")")) << "the country is cut";
        EXPECT_TRUE(box == std::string(c.score) + "(" + name + ")(" + email + ")(" + country + ")")
            << characterCount(box) << " characters kept";
        EXPECT_LE(characterCount(box), kMaxScoreStringChars);
    }
}

TEST(NumberText, ReadsTheLeadingWholeNumberAndNeverOverflows) {
    const std::pair<const char*, long long> cases[] = {
        {"30", 30},
        {"", 0},
        {" 12", 12},
        {"abc", 0},
        {"12abc", 12},
        {"-4", -4},
        {"+5", 5},
        {"2500", 2500},
        {"0", 0},
        // Too long to hold: the digits that might not fit are dropped, the
        // leading ones kept.
        {"99999999999999999999999999", 999999999999999999},
        {"-99999999999999999999", -999999999999999999},
        {"9223372036854775719", 9223372036854775719},  // the largest that is read whole
        {"9223372036854775807", 922337203685477580},   // the largest value there is: its last digit dropped
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(numberOf(text), value) << '"' << text << '"';
    EXPECT_EQ(numberText(34), "34");
}

}  // namespace
}  // namespace korvala
