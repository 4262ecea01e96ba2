// The menu carousel: two arrows move the selection (kept as the caption of
// `menux`, 0 to 5), the entry picture shows it and opens it.
#include <string>

#include "game/game.h"
#include "online/online.h"
#include "shell/shell.h"
#include "window/cues.h"
#include "window/form1.h"
#include "window/number_text.h"

namespace korvala {

namespace {

constexpr long long kLastEntry = 5;
constexpr long long kInfoOnline = 3;

long long selected(const Form1& f) { return numberOf(f.menux.Caption()); }

std::string entryPicture(Form1& f, long long k, bool highlighted) {
    return f.img.picture("MNU", static_cast<int>(2 * k + (highlighted ? 1 : 0)));
}

// The selection moved to `k`. On Info Online the scores page's browser is
// told that it may soon be wanted: its engine is slow to come in, and the
// player's look at the entry before clicking it hides most of that.
void selectEntry(Form1& f, long long k) {
    f.menux.setCaption(numberText(k));
    if (k == kInfoOnline) f.WBX.Prepare();
}

}  // namespace

void leftArrowClick(Form1& f) {
    const long long k = selected(f);
    if (k <= 0) return;
    selectEntry(f, k - 1);
    f.Timer3.setInterval(1);
    playCue(f.mc2);
}

void rightArrowClick(Form1& f) {
    const long long k = selected(f);
    if (k >= kLastEntry) return;
    selectEntry(f, k + 1);
    f.Timer3.setInterval(1);
    playCue(f.mc2);
}

// The new entry shows at the first tick after the click, then the refresher stops.
void menuRefresherTick(Form1& f) {
    f.Image3.setPicture(entryPicture(f, selected(f), false));
    f.Timer3.setInterval(0);
}

void leftArrowMove(Form1& f) {
    const long long k = selected(f);
    if (k <= 0) return;
    f.Image1.setPicture(f.img.picture("Ki", 1));
    f.Image3.setPicture(entryPicture(f, k, false));
}

void rightArrowMove(Form1& f) {
    const long long k = selected(f);
    if (k >= kLastEntry) return;
    f.Image2.setPicture(f.img.picture("Ka", 1));
    f.Image3.setPicture(entryPicture(f, k, false));
}

void entryMove(Form1& f) { f.Image3.setPicture(entryPicture(f, selected(f), true)); }

// The margin around the arrows: an arrow with no entry beyond it turns red.
void frameMove(Form1& f) {
    const long long k = selected(f);
    f.Image1.setPicture(f.img.picture("Ki", k == 0 ? 0 : 2));
    f.Image2.setPicture(f.img.picture("Ka", k == kLastEntry ? 0 : 2));
}

// Every step runs with errors passed over, so the screen change always happens.
void entryClick(Form1& f) {
    playCue(f.DK);
    switch (selected(f)) {
        case 0:
            f.openi.setVisible(false);
            startGame(f);
            break;
        case 1:
            f.openi.setVisible(false);
            f.papan.setVisible(true);
            f.konfig.setVisible(false);
            requestScoreListing(f);
            break;
        case 2:
            f.openi.setVisible(false);
            f.konfig.setVisible(true);
            break;
        case 3:
            f.Infox.setVisible(true);
            f.openi.setVisible(false);
            showScoresPage(f);
            break;
        case 4:
            f.ABT.setVisible(true);
            f.openi.setVisible(false);
            playCue(f.Music);
            break;
        case 5:
            endProgram(f);
            break;
        default:
            break;
    }
}

}  // namespace korvala
