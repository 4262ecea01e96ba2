// korvala-test-game: the game as the player gets it, with hooks for tests,
// screenshots and benchmarks (never installed, never used by the game):
//   KORVALA_SHOT=<file.png>  render the window to a PNG once it is shown, then
//                            quit; with KORVALA_DEMO=board the shot waits until
//                            the holes show the first turn.
//   KORVALA_DEMO=board       hide every panel and start a game at once.
//   KORVALA_BENCH=1          print "first-frame <ms>" to stderr when the first
//                            frame has been painted, then quit.
//   KORVALA_BENCH=menu       print "first-frame <ms>" as above, then
//                            "menu <ms>" once the splash screens have given
//                            way to the menu, and quit a second later (the
//                            start-up benchmark's memory at the menu).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/game_app.h"
#include "game/game.h"
#include "window/form1.h"

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

}  // namespace

int main(int argc, char** argv) {
    QElapsedTimer sinceStart;
    sinceStart.start();
    const std::string shot = env("KORVALA_SHOT");
    const bool demo = env("KORVALA_DEMO") == "board";
    const bool bench = env("KORVALA_BENCH") == "1";
    const bool benchMenu = env("KORVALA_BENCH") == "menu";
    korvala::Form1* shown = nullptr;

    korvala::GameHooks hooks;
    hooks.afterLoad = [&](korvala::Form1& form) { shown = &form; };
    if (demo) {
        hooks.afterLoad = [](korvala::Form1& form) {
            form.Timer4.setInterval(0);
            for (korvala::Panel* p : form.panels()) p->setVisible(false);
            korvala::startGame(form);
        };
    }
    hooks.onFirstFrame = [&](QWidget& window) {
        if (benchMenu) {
            std::fprintf(stderr, "first-frame %lld\n", static_cast<long long>(sinceStart.elapsed()));
            std::fflush(stderr);
            auto* poll = new QTimer(&window);
            QObject::connect(poll, &QTimer::timeout, [&, poll] {
                if (!shown || shown->OPENS2.Visible() || shown->OPENS.Visible() || !shown->openi.Visible()) return;
                poll->stop();
                std::fprintf(stderr, "menu %lld\n", static_cast<long long>(sinceStart.elapsed()));
                std::fflush(stderr);
                QTimer::singleShot(1000, QCoreApplication::instance(), &QCoreApplication::quit);
            });
            poll->start(20);
        }
        if (bench) {
            std::fprintf(stderr, "first-frame %lld\n", static_cast<long long>(sinceStart.elapsed()));
            std::fflush(stderr);
            QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
        }
        if (!shot.empty()) {
            // In the demo the first turn reaches the holes after 1.1 s.
            QTimer::singleShot(demo ? 1500 : 0, &window, [&window, shot] {
                const bool saved = window.grab().save(QString::fromStdString(shot), "PNG");
                if (!saved) std::fprintf(stderr, "korvala: cannot write %s\n", shot.c_str());
                QCoreApplication::exit(saved ? 0 : 1);
            });
        }
    };
    return korvala::runGame(argc, argv, hooks);
}
