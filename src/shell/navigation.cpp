// Every way back to the menu, and the board's hidden hotspot.
#include "shell/shell.h"
#include "window/cues.h"
#include "window/form1.h"

namespace korvala {

void aboutClick(Form1& f) {
    f.ABT.setVisible(false);
    f.openi.setVisible(true);
}

void infoBackClick(Form1& f) {
    f.Infox.setVisible(false);
    f.openi.setVisible(true);
}

void boardBackClick(Form1& f) {
    f.papan.setVisible(false);
    f.openi.setVisible(true);
    playCue(f.mc2);
}

// "Batal": nothing saved, nothing restored.
void cancelProfileClick(Form1& f) {
    f.konfig.setVisible(false);
    f.openi.setVisible(true);
    playCue(f.mc2);
}

void answerNoClick(Form1& f) {
    f.Hasil.setVisible(false);
    f.openi.setVisible(true);
}

// Once shown, nothing hides them again.
void hotspotClick(Form1& f) {
    f.siapol.setVisible(true);
    f.Command1.setVisible(true);
}

}  // namespace korvala
