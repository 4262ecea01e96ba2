// What the information panel's browser costs: the memory of a game-sized
// window before the browser is first shown, and after it has been shown and
// has loaded a page. Prints figures, judges nothing.
//
//   korvala_web_bench [URL]
//
// Without a URL it loads a scores page of 50 rows written to a temporary
// file. Run offscreen (QT_QPA_PLATFORM=offscreen) or under X; as root the
// program turns the engine's sandbox off by itself. Like the game, this
// program does not link the engine: the browser loads it on first use.
//
// It waits in a plain event loop (QEventLoop, ended by a signal or a timer):
// QTest::qWaitFor wakes every few milliseconds to poll and slows the
// engine's own work on the window's thread about thirteen times.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <QWindow>
#include <cstdio>
#include <functional>
#include <string>

#include "process_memory.h"
#include "qt/web/qt_web_view.h"

namespace {

bool engineLoaded() {
    QFile maps("/proc/self/maps");
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libQt6WebEngineCore");
}

void report(const char* when) {
    const korvala::bench::HelperMemory h = korvala::bench::helperMemory();
    std::printf(
        "%-7s self: VmRSS %7.1f MiB, VmHWM (peak) %7.1f MiB, engine libraries %s | engine helpers: "
        "%d process(es), RSS %7.1f MiB, PSS %7.1f MiB\n",
        when, korvala::bench::procField("/proc/self/status", "VmRSS") / 1024.0,
        korvala::bench::procField("/proc/self/status", "VmHWM") / 1024.0, engineLoaded() ? "loaded" : "not loaded",
        h.count, h.rssKib / 1024.0, h.pssKib / 1024.0);
    std::fflush(stdout);
}

// Runs the event loop for `ms`.
void settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until `done` holds (checked every 50 ms); false when
// it still does not after `limitMs`.
bool runUntil(const std::function<bool()>& done, int limitMs) {
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done()) loop.quit();
    });
    check.start(50);
    bool timedOut = false;
    QTimer::singleShot(limitMs, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    if (!done()) loop.exec();
    return !timedOut || done();
}

// Catches the page's pageLoaded(bool) signal, a QML signal known by name only.
class LoadWatch : public QObject {
    Q_OBJECT
public:
    bool finished = false;
    bool ok = false;
    QEventLoop* loop = nullptr;
public slots:
    void pageLoaded(bool success) {
        if (finished) return;
        finished = true;
        ok = success;
        if (loop) loop->quit();
    }
};

QString samplePage(const QTemporaryDir& dir) {
    QString rows;
    for (int i = 0; i < 50; ++i)
        rows += QString("<tr><td>%1</td><td>%2</td><td>(Pemain %1)(pemain%1@example.com)(Indonesia)</td></tr>\n")
                    .arg(i + 1)
                    .arg(5000 - 97 * i);
    const QString path = dir.filePath("scores.html");
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(QString("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Korvala Deluxe 1.0 - Nilai "
                    "Online</title></head><body><h1>Korvala Deluxe 1.0 - Nilai Online</h1><table>%1</table>"
                    "</body></html>")
                .arg(rows)
                .toUtf8());
    return QUrl::fromLocalFile(path).toString();
}

}  // namespace

int main(int argc, char** argv) {
    korvala::prepareWebEngine();
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString url = argc > 1 ? QString::fromLocal8Bit(argv[1]) : samplePage(dir);

    QWidget window;
    window.setWindowTitle("Korvala Deluxe 1.0");
    window.resize(687, 470);
    auto* panel = new QWidget(&window);  // the information panel, hidden like in the game
    panel->setGeometry(0, 0, 687, 470);
    panel->hide();
    korvala::QtWebView browser(panel, QRect(24, 216, 641, 233));

    window.show();
    if (!runUntil([&] { return window.windowHandle() && window.windowHandle()->isExposed(); }, 5000))
        std::fprintf(stderr, "warning: the window was never exposed\n");
    settle(500);
    report("before");

    QElapsedTimer clock;
    clock.start();
    panel->show();                          // the panel comes up: the browser is shown for the first time
    const qint64 showMs = clock.elapsed();  // the click's own turn; the engine comes in after it
    browser.navigate(url.toStdString());
    // The view (and its page object) appears a few event-loop turns later.
    if (!runUntil([&] { return browser.page() != nullptr; }, 120000)) {
        std::fprintf(stderr, "error: no engine view within 120 s of the panel's show\n");
        return 1;
    }
    const qint64 viewMs = clock.elapsed();
    LoadWatch watch;
    QObject::connect(browser.page(), SIGNAL(pageLoaded(bool)), &watch, SLOT(pageLoaded(bool)));
    {
        QEventLoop loop;
        watch.loop = &loop;
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        if (!watch.finished) loop.exec();
        watch.loop = nullptr;
    }
    if (!watch.finished) {
        std::fprintf(stderr, "error: the page did not load within 120 s\n");
        return 1;
    }
    const qint64 loadMs = clock.elapsed();
    settle(1000);
    report("after");
    std::printf(
        "page %s: %s; the panel's show took %lld ms, the view was there after %lld ms and the page had "
        "loaded %lld ms after the show began\n",
        qPrintable(url), watch.ok ? "loaded" : "failed", static_cast<long long>(showMs), static_cast<long long>(viewMs),
        static_cast<long long>(loadMs));
    return 0;
}

#include "web_bench.moc"
