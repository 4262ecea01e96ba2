// The minimal program the game's first Info Online is held against: a window
// of the game's size that links Qt WebEngine directly and, on a click, shows
// a QWebEngineView at the browser's place and loads the page given. It does
// only what such a program needs: the engine starts with the application
// (Qt WebEngine Widgets sees to it), the view is made on the click.
//
//   korvala_web_anchor URL        (driven by first_open_bench.py)
#include <QApplication>
#include <QUrl>
#include <QWebEngineView>
#include <QWidget>

#include "opening_probe.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    QApplication app(argc, argv);
    QWidget window;
    const QUrl url(QString::fromLocal8Bit(argv[1]));
    QWebEngineView* view = nullptr;
    korvala::bench::OpeningProbe* probe = nullptr;
    korvala::bench::OpeningProbe opening(window, [&] {
        view = new QWebEngineView(&window);
        view->setGeometry(24, 216, 641, 233);
        QObject::connect(view, &QWebEngineView::loadFinished, [&](bool ok) { probe->loaded(ok); });
        view->setUrl(url);
        view->show();
    });
    probe = &opening;
    return korvala::bench::runProbe(app, window);
}
