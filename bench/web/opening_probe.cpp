#include "opening_probe.h"

#include <QApplication>
#include <QMouseEvent>
#include <cstdio>
#include <ctime>

#include "process_memory.h"

namespace korvala::bench {

namespace {

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
    const HelperMemory m = helperMemory();
    const long selfPss = procField("/proc/self/smaps_rollup", "Pss");
    const long selfPeak = procField("/proc/self/status", "VmHWM");
    say("report winid=" + QByteArray::number(static_cast<qulonglong>(window_.winId())) +
        " block_ms=" + QByteArray::number(longestMs_) + " self_pss_kib=" + QByteArray::number(selfPss) +
        " self_peak_kib=" + QByteArray::number(selfPeak) + " helpers=" + QByteArray::number(m.count) +
        " helpers_pss_kib=" + QByteArray::number(m.pssKib) + " helpers_peak_kib=" + QByteArray::number(m.peakKib));
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
