#pragma once
// What the first-opening benchmark measures inside each program it compares
// (the game's browser and the minimal program it is held against), the same
// way in both: a game-sized window; a click on it (a real X click sent by
// first_open_bench.py) opens the browser; a timer ticking every 2 ms on the
// window's thread finds the longest time the thread was held up from the
// click until a second after the page loaded; then the memory, its own and
// that of the engine's helper processes, and the window's native id.
//
// The program talks on standard output, one line each:
//   ready winid=<id> t=<ms>        the window is up and settled; click now
//   click t=<ms>                   the click arrived
//   loaded ok=<0|1> t=<ms>         the page has loaded
//   report winid=<id> block_ms=<ms> ...   the figures; the program then ends
// Times are CLOCK_MONOTONIC in ms (Python's time.monotonic()).
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace korvala::bench {

double monotonicMs();

// A window of the game's size whose first click calls `open`; the page that
// `open` brings up reports loadFinished through loaded().
class OpeningProbe : public QObject {
    Q_OBJECT
public:
    // `open` runs on the click; `hint`, when given, on the first key press
    // before it: the menu's selection reaching Info Online, which the game
    // takes as a hint that the page may soon be wanted.
    OpeningProbe(QWidget& window, std::function<void()> open, std::function<void()> hint = {});

public slots:
    // Call when the page has loaded (once; later calls are ignored).
    void loaded(bool ok);

private:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void tick();
    void report();

    QWidget& window_;
    std::function<void()> open_;
    std::function<void()> hint_;
    QTimer ticker_;
    QElapsedTimer sinceTick_;
    qint64 longestMs_ = 0;
    bool measuring_ = false;
    bool clicked_ = false;
    bool hinted_ = false;
    bool loaded_ = false;
};

// Runs a probe program: shows `window`, says ready once it settled, runs
// the event loop until the report is out or `limitMs` passed (exit 1).
int runProbe(QApplication& app, QWidget& window, int limitMs = 120000);

}  // namespace korvala::bench
