#include "program/event_table.h"

#include "game/game.h"
#include "shell/startup.h"
#include "window/form1.h"

namespace korvala {

void bindEvents(Form1& f) {
    EventTable& t = f.events;
    t.on(f, Event::Load, [&f] { formLoad(f); });
    // The game.
    t.on(f.timex, Event::Timer, [&f] { turnClockTick(f); });
    t.on(f.Timer1, Event::Timer, [&f] { boardPainterTick(f); });
    t.on(f.tix, Event::Timer, [&f] { countdownTick(f); });
    for (int i = 1; i <= 5; ++i) t.on(*f.lobang[i], Event::Click, [&f, i] { holeClick(f, i); });
}

}  // namespace korvala
