// The yardstick for the game's start-up: a bare Qt window of the game's size
// with one label. Prints "first-frame <ms>" to stderr once its first frame is
// painted, then quits.
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>

namespace {

class BareWindow : public QWidget {
public:
    explicit BareWindow(const QElapsedTimer& since) : since_(since) {}

protected:
    void paintEvent(QPaintEvent* event) override {
        QWidget::paintEvent(event);
        if (reported_) return;
        reported_ = true;
        QTimer::singleShot(0, this, [this] {
            std::fprintf(stderr, "first-frame %lld\n", static_cast<long long>(since_.elapsed()));
            std::fflush(stderr);
            QCoreApplication::quit();
        });
    }

private:
    const QElapsedTimer& since_;
    bool reported_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    QElapsedTimer since;
    since.start();
    QApplication app(argc, argv);
    BareWindow window(since);
    window.setWindowTitle("Bare window");
    window.setFixedSize(687, 470);
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel("Hello"));
    window.show();
    return app.exec();
}
