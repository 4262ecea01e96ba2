#include "opening_probe.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QMouseEvent>
#include <cstdio>
#include <ctime>

namespace korvala::bench {

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

struct Memory {
    int helpers = 0;       // the engine's helper processes (zygote, renderer, ...)
    long helperPss = 0;    // KiB
    long helperPeak = 0;   // KiB, the sum of their VmHWM
};

// Every descendant of this process.
Memory helperMemory() {
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
    Memory m;
    const long self = QCoreApplication::applicationPid();
    for (auto it = parentOf.cbegin(); it != parentOf.cend(); ++it) {
        long p = it.value();
        while (p > 1 && p != self) p = parentOf.value(p, 0);
        if (p != self) continue;
        const QString dir = "/proc/" + QString::number(it.key());
        ++m.helpers;
        m.helperPss += qMax(0L, procField(dir + "/smaps_rollup", "Pss"));
        m.helperPeak += qMax(0L, procField(dir + "/status", "VmHWM"));
    }
    return m;
}

void say(const QByteArray& line) {
    std::printf("%s\n", line.constData());
    std::fflush(stdout);
}

}  // namespace

double monotonicMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

OpeningProbe::OpeningProbe(QWidget& window, std::function<void()> open, std::function<void()> hint)
    : window_(window), open_(std::move(open)), hint_(std::move(hint)) {
    window_.installEventFilter(this);
    ticker_.setTimerType(Qt::PreciseTimer);
    ticker_.setInterval(2);
    connect(&ticker_, &QTimer::timeout, this, [this] { tick(); });
    sinceTick_.start();
    ticker_.start();
}

void OpeningProbe::tick() {
    const qint64 gap = sinceTick_.restart();
    if (measuring_) longestMs_ = qMax(longestMs_, gap);
}

bool OpeningProbe::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &window_ && event->type() == QEvent::KeyPress && hint_ && !hinted_ && !clicked_) {
        hinted_ = true;
        say("hint t=" + QByteArray::number(monotonicMs(), 'f', 1));
        // The window's thread is watched from the hint on: what the hint
        // starts must not hold the menu up either.
        sinceTick_.restart();
        measuring_ = true;
        hint_();
        return true;
    }
    if (watched == &window_ && event->type() == QEvent::MouseButtonPress && !clicked_) {
        clicked_ = true;
        say("click t=" + QByteArray::number(monotonicMs(), 'f', 1));
        // The click's own turn counts: it is where the opening starts.
        if (!measuring_) sinceTick_.restart();
        measuring_ = true;
        open_();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void OpeningProbe::loaded(bool ok) {
    if (loaded_) return;
    loaded_ = true;
    say("loaded ok=" + QByteArray::number(ok ? 1 : 0) + " t=" + QByteArray::number(monotonicMs(), 'f', 1));
    // A second more: the page's first frames and whatever the engine still
    // does on the window's thread after the load.
    QTimer::singleShot(1000, this, [this] {
        measuring_ = false;
        report();
    });
}

void OpeningProbe::report() {
    const Memory m = helperMemory();
    const long selfPss = procField("/proc/self/smaps_rollup", "Pss");
    const long selfPeak = procField("/proc/self/status", "VmHWM");
    say("report winid=" + QByteArray::number(static_cast<qulonglong>(window_.winId())) +
        " block_ms=" + QByteArray::number(longestMs_) + " self_pss_kib=" + QByteArray::number(selfPss) +
        " self_peak_kib=" + QByteArray::number(selfPeak) + " helpers=" + QByteArray::number(m.helpers) +
        " helpers_pss_kib=" + QByteArray::number(m.helperPss) +
        " helpers_peak_kib=" + QByteArray::number(m.helperPeak));
    QCoreApplication::exit(0);
}

int runProbe(QApplication& app, QWidget& window, int limitMs) {
    window.setWindowTitle(QStringLiteral("Korvala Deluxe 1.0"));
    window.setFixedSize(687, 470);
    window.show();
    // Settled: the window mapped and painted, the start-up work done.
    QTimer::singleShot(1500, &window, [&window] {
        say("ready winid=" + QByteArray::number(static_cast<qulonglong>(window.winId())) +
            " t=" + QByteArray::number(monotonicMs(), 'f', 1) +
            " pss_kib=" + QByteArray::number(procField("/proc/self/smaps_rollup", "Pss")) +
            " peak_kib=" + QByteArray::number(procField("/proc/self/status", "VmHWM")));
    });
    QTimer::singleShot(limitMs, &app, [] {
        std::fprintf(stderr, "error: no page within the time limit\n");
        QCoreApplication::exit(1);
    });
    return app.exec();
}

}  // namespace korvala::bench
