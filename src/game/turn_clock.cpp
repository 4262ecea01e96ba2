#include "game/game.h"
#include "game/turn_pattern.h"
#include "window/form1.h"
#include "window/number_text.h"

namespace korvala {

namespace {
constexpr int kFirstTurnDelay = 1000;
constexpr long long kStartPeriod = 2500, kPeriodStep = 50, kShortestPeriod = 100;
}  // namespace

void startGame(Form1& f) {
    f.timex.setInterval(kFirstTurnDelay);
    f.Timer1.setInterval(100);
    f.tix.setInterval(1000);
    f.Level.setCaption(numberText(kStartPeriod));
    f.Nilai.setCaption("0");
    f.TOX.setCaption("30");
    f.NAMAX.setCaption(f.konfignama.Text());
    f.negara.setCaption(f.KonfigNegara.Text());
    f.email.setCaption(f.Konfigemail.Text());
}

void turnClockTick(Form1& f) {
    // Re-arm first: a stage's shorter period takes effect one turn late.
    f.timex.setInterval(static_cast<int>(numberOf(f.Level.Caption())));
    long long turn = numberOf(f.giliran.Caption()) + 1;
    f.giliran.setCaption(numberText(turn));
    if (turn > kTurnsPerStage) {
        turn = 1;
        f.giliran.setCaption("1");
        long long level = numberOf(f.Level.Caption()) - kPeriodStep;
        f.Level.setCaption(numberText(level));
        f.Lshow.setCaption(numberText(numberOf(f.Lshow.Caption()) + 1));
        if (level < kShortestPeriod) f.Level.setCaption(numberText(kStartPeriod));
    }
    const char* row = kTurnPattern[static_cast<std::size_t>(turn - 1)];
    for (int i = 1; i <= 5; ++i) f.TX[i]->setText(std::string(1, row[i - 1]));
}

}  // namespace korvala
