#include "game/game.h"
#include "window/cues.h"
#include "window/form1.h"
#include "window/number_text.h"

namespace korvala {

void holeClick(Form1& f, int i) {
    TextBox& code = *f.TX[i];
    if (code.Text() == kTarget) {
        f.Nilai.setCaption(numberText(numberOf(f.Nilai.Caption()) + 1));
        code.setText(kKnockedOut);
        playCue(f.mc1);
    }
    if (code.Text() == kClockCarrier) {
        f.TOX.setCaption(numberText(numberOf(f.TOX.Caption()) + 5));
        code.setText(kKnockedOut);
        playCue(f.mc1);
    }
    if (code.Text() == kBombCarrier) {
        // The game ends before the code changes, so the painter (stopped by
        // the end) leaves the bomb carrier on view under the result panel.
        endGame(f);
        code.setText(kKnockedOut);
        playCue(f.mc3);
    }
}

}  // namespace korvala
