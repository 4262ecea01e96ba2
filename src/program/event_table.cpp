#include "program/event_table.h"

#include "game/game.h"
#include "online/online.h"
#include "profile/profile.h"
#include "shell/shell.h"
#include "window/form1.h"

namespace korvala {

void bindEvents(Form1& f) {
    EventTable& t = f.events;
    auto on = [&t, &f](const Element& e, Event ev, void (*handler)(Form1&)) {
        t.on(e, ev, [&f, handler] { handler(f); });
    };
    // Start-up and the splash screens.
    on(f, Event::Load, formLoad);
    on(f.Timer4, Event::Timer, firstSplashTick);
    on(f.Timer5, Event::Timer, secondSplashTick);
    // The menu.
    on(f.Image1, Event::Click, leftArrowClick);
    on(f.Image2, Event::Click, rightArrowClick);
    on(f.Image3, Event::Click, entryClick);
    on(f.Image1, Event::MouseMove, leftArrowMove);
    on(f.Image2, Event::MouseMove, rightArrowMove);
    on(f.Image3, Event::MouseMove, entryMove);
    on(f.Image4, Event::MouseMove, frameMove);
    on(f.Timer3, Event::Timer, menuRefresherTick);
    // Back to the menu.
    on(f.ABT, Event::Click, aboutClick);
    on(f.Command8, Event::Click, infoBackClick);
    on(f.Command7, Event::Click, boardBackClick);
    on(f.Label6, Event::Click, cancelProfileClick);
    on(f.Label10, Event::Click, answerNoClick);
    on(f.Image5, Event::Click, hotspotClick);
    // The game.
    on(f.timex, Event::Timer, turnClockTick);
    on(f.Timer1, Event::Timer, boardPainterTick);
    on(f.tix, Event::Timer, countdownTick);
    for (int i = 1; i <= 5; ++i) t.on(*f.lobang[i], Event::Click, [&f, i] { holeClick(f, i); });
    // The profile.
    on(f.Label7, Event::Click, profileOkClick);
    // Online scores.
    on(f.Label9, Event::Click, answerYes);
    on(f.Command1, Event::Click, saveMySore);
    on(f.Command2, Event::Click, refreshClick);
    on(f.Command5, Event::Click, nextPageClick);
    on(f.Command6, Event::Click, prevPageClick);
    on(f.Inet1, Event::StateChanged, listingReport);
    on(f.Perbaharui, Event::Click, showScoresPage);
}

}  // namespace korvala
