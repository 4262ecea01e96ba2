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
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QEventLoop>
#include <QTimer>
#include <QWindow>
#include <QUrl>
#include <QWidget>
#include <cstdio>
#include <string>

#include "platform/web/qt_web_view.h"

namespace {

// One "Name:   1234 kB" field of /proc/<pid>/status or smaps_rollup, in KiB.
long procField(const QString& file, const QByteArray& name) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(name + ':')) return line.mid(name.size() + 1).trimmed().split(' ').first().toLong();
    }
    return -1;
}

struct Helpers {
    int count = 0;
    long rssKib = 0;
    long pssKib = 0;
};

// The engine's helper processes (zygote, renderer): every descendant of this
// process. RSS counts shared pages once per process; PSS shares them out.
Helpers helperProcesses() {
    QMap<long, long> parentOf;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool isPid = false;
        const long pid = entry.toLong(&isPid);
        if (!isPid) continue;
        QFile stat("/proc/" + entry + "/stat");
        if (!stat.open(QIODevice::ReadOnly)) continue;
        const QByteArray s = stat.readAll();
        // "pid (comm) state ppid ...": the command may hold blanks and parentheses.
        const QList<QByteArray> rest = s.mid(s.lastIndexOf(')') + 2).split(' ');
        if (rest.size() > 1) parentOf[pid] = rest[1].toLong();
    }
    Helpers h;
    const long self = QCoreApplication::applicationPid();
    for (auto it = parentOf.cbegin(); it != parentOf.cend(); ++it) {
        long p = it.value();
        while (p > 1 && p != self) p = parentOf.value(p, 0);
        if (p != self) continue;
        const QString dir = "/proc/" + QString::number(it.key());
        ++h.count;
        h.rssKib += qMax(0L, procField(dir + "/status", "VmRSS"));
        h.pssKib += qMax(0L, procField(dir + "/smaps_rollup", "Pss"));
    }
    return h;
}

bool engineLoaded() {
    QFile maps("/proc/self/maps");
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libQt6WebEngineCore");
}

void report(const char* when) {
    const Helpers h = helperProcesses();
    std::printf("%-7s self: VmRSS %7.1f MiB, VmHWM (peak) %7.1f MiB, engine libraries %s | engine helpers: "
                "%d process(es), RSS %7.1f MiB, PSS %7.1f MiB\n",
                when, procField("/proc/self/status", "VmRSS") / 1024.0,
                procField("/proc/self/status", "VmHWM") / 1024.0, engineLoaded() ? "loaded" : "not loaded",
                h.count, h.rssKib / 1024.0, h.pssKib / 1024.0);
    std::fflush(stdout);
}

// Runs the event loop for `ms`: pending events, paints, and a quiet moment.
// A plain event loop, as the game runs: a test helper's waiting loop slows
// the engine's own work many times over.
void settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until `done` holds (checked every 5 ms) or `limitMs`
// has passed; returns done().
template <typename Done>
bool runUntil(Done done, int limitMs) {
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer waited;
    waited.start();
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || waited.elapsed() >= limitMs) loop.quit();
    });
    poll.start(5);
    if (!done()) loop.exec();
    return done();
}

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
    panel->show();  // the panel comes up: the browser is shown for the first time
    const qint64 showMs = clock.elapsed();  // the engine is loaded and its view made in here
    QWidget* engine = panel->findChild<QWidget*>("WBX.engine");
    if (!engine) {
        std::fprintf(stderr, "error: no engine view after the panel was shown\n");
        return 1;
    }
    QSignalSpy finished(engine, SIGNAL(loadFinished(bool)));
    {
        // Woken by the signal itself, not by polling.
        QEventLoop loop;
        QObject::connect(engine, SIGNAL(loadFinished(bool)), &loop, SLOT(quit()));
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        browser.navigate(url.toStdString());
        if (finished.isEmpty()) loop.exec();
    }
    if (finished.isEmpty()) {
        std::fprintf(stderr, "error: the page did not load within 120 s\n");
        return 1;
    }
    const qint64 loadMs = clock.elapsed();
    settle(1000);
    report("after");
    std::printf("page %s: %s; the first show took %lld ms, and the page had loaded %lld ms after it began\n",
                qPrintable(url), finished.first().first().toBool() ? "loaded" : "failed",
                static_cast<long long>(showMs), static_cast<long long>(loadMs));
    return 0;
}
