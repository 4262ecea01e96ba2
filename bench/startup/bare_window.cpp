// The yardstick for the game's start-up: a bare Qt window of the game's size
// with one label. Prints "first-frame <ms>" to stderr once its first frame is
// painted, then quits; with an argument, stays open that many milliseconds
// from its launch first (as long as the game takes to reach its menu).
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>
#include <cstdio>

namespace {

class BareWindow : public QWidget {
public:
    BareWindow(const QElapsedTimer& since, qint64 stayMs) : since_(since), stayMs_(stayMs) {}

protected:
    void paintEvent(QPaintEvent* event) override {
        QWidget::paintEvent(event);
        if (reported_) return;
        reported_ = true;
        QTimer::singleShot(0, this, [this] {
            std::fprintf(stderr, "first-frame %lld\n", static_cast<long long>(since_.elapsed()));
            std::fflush(stderr);
            QTimer::singleShot(std::max<qint64>(0, stayMs_ - since_.elapsed()), QCoreApplication::instance(),
                               &QCoreApplication::quit);
        });
    }

private:
    const QElapsedTimer& since_;
    const qint64 stayMs_;
    bool reported_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    QElapsedTimer since;
    since.start();
    QApplication app(argc, argv);
    const qint64 stayMs = argc > 1 ? QString(argv[1]).toLongLong() : 0;
    BareWindow window(since, stayMs);
    window.setWindowTitle("Bare window");
    window.setFixedSize(687, 470);
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel("Hello"));
    window.show();
    return app.exec();
}
