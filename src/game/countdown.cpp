#include "game/game.h"
#include "window/form1.h"
#include "window/number_text.h"

namespace korvala {

void countdownTick(Form1& f) {
    const long long left = numberOf(f.TOX.Caption());
    if (left > 0) {
        f.TOX.setCaption(numberText(left - 1));
        return;
    }
    endGame(f);
}

}  // namespace korvala
