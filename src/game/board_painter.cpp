#include "game/game.h"
#include "window/form1.h"

namespace korvala {

void boardPainterTick(Form1& f) {
    // Five fresh comparisons per hole: an unknown code leaves the picture.
    // Assigning the picture a hole already shows is free (nothing repaints).
    for (int i = 1; i <= 5; ++i) {
        Image& hole = *f.lobang[i];
        const TextBox& code = *f.TX[i];
        if (code.Text() == kEmpty) hole.setPicture(f.img.picture("Kosong"));
        if (code.Text() == kTarget) hole.setPicture(f.img.picture("kena"));
        if (code.Text() == kClockCarrier) hole.setPicture(f.img.picture("jam"));
        if (code.Text() == kBombCarrier) hole.setPicture(f.img.picture("bom"));
        if (code.Text() == kKnockedOut) hole.setPicture(f.img.picture("Teler"));
    }
}

}  // namespace korvala
