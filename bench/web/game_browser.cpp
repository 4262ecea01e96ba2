// The game's browser as the game brings it in, for the first-opening
// benchmark: a game-sized window holding the hidden information panel with
// the real browser (QtWebView, which loads the engine module on first use)
// at its place. A click shows the panel and sends the browser to the page,
// as Info Online does; a key pressed before it stands for the menu's
// selection reaching Info Online, which starts the engine's libraries loading
// (prefetchWebEngine), as in the game. Like the game, this program does not
// link the engine.
//
//   korvala_web_game_browser URL  (driven by first_open_bench.py)
#include <QApplication>
#include <QTimer>
#include <QWidget>

#include "opening_probe.h"
#include "qt/web/qt_web_view.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    korvala::prepareWebEngine();
    QApplication app(argc, argv);
    QWidget window;
    auto* panel = new QWidget(&window);  // the information panel
    panel->setGeometry(0, 0, 687, 470);
    panel->hide();
    korvala::QtWebView browser(panel, QRect(24, 216, 641, 233));
    const std::string url = argv[1];
    korvala::bench::OpeningProbe* probe = nullptr;
    QTimer waitForPage;
    korvala::bench::OpeningProbe opening(
        window,
        [&] {
            panel->show();
            browser.navigate(url);
            // The page object appears with the view, a few turns later.
            QObject::connect(&waitForPage, &QTimer::timeout, [&] {
                QObject* page = browser.page();
                if (!page) return;
                waitForPage.stop();
                QObject::connect(page, SIGNAL(pageLoaded(bool)), probe, SLOT(loaded(bool)));
            });
            waitForPage.start(5);
        },
        [] { korvala::prefetchWebEngine(); });
    probe = &opening;
    return korvala::bench::runProbe(app, window);
}
