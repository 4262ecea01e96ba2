#include "qt/web/qt_web_view.h"

#include <unistd.h>

#include <QFileInfo>
#include <QPalette>
#include <QShowEvent>
#include <QUrl>
#include <QVBoxLayout>
#include <QWidget>
#include <utility>

#include "qt/web/engine_loader.h"
#include "qt/web/engine_module.h"
#include "qt/web/engine_notices.h"
#include "system/log/log.h"
#include "system/module/module.h"

namespace korvala {

void prepareWebEngine() {
    // Set before any thread runs: the engine reads it when it starts. Said
    // in the log when the engine is brought in (no log is set up yet here).
    constexpr char kNoSandbox[] = "QTWEBENGINE_DISABLE_SANDBOX";
    if (::geteuid() == 0 && !qEnvironmentVariableIsSet(kNoSandbox)) qputenv(kNoSandbox, "1");
}

QString webEngineModulePath() {
    for (const std::string& candidate : gameModuleCandidates(KORVALA_WEB_ENGINE_FILE, KORVALA_WEB_ENGINE_VARIABLE)) {
        const QString path = QString::fromLocal8Bit(candidate.c_str());
        if (QFileInfo::exists(path)) return path;
    }
    return {};
}

void prefetchWebEngine() { EngineLoader::instance().prefetch(); }

// The white placeholder. Its first show on screen (its own, or its panel's)
// brings in the engine view.
class QtWebView::Place : public QWidget {
public:
    Place(QtWebView& owner, QWidget* parent) : QWidget(parent), owner_(owner) {}

protected:
    void showEvent(QShowEvent* event) override {
        QWidget::showEvent(event);
        owner_.bringEngineIn();
    }

private:
    QtWebView& owner_;
};

QtWebView::QtWebView() = default;

QtWebView::QtWebView(QWidget* parent, const QRect& rect) { place(parent, rect); }

QtWebView::~QtWebView() {
    // The placeholder (and the engine view inside it) may already be gone
    // with its panel; otherwise it goes with this browser, so that its show
    // event never reaches a destroyed owner.
    delete place_.data();
}

QWidget* QtWebView::place(QWidget* parent, const QRect& rect) {
    if (std::exchange(placed_, true)) return place_.data();
    auto* place = new Place(*this, parent);
    place->setObjectName(QStringLiteral("WBX"));
    place->setGeometry(rect);
    place->setAutoFillBackground(true);
    QPalette palette = place->palette();
    palette.setColor(QPalette::Window, Qt::white);
    place->setPalette(palette);
    auto* layout = new QVBoxLayout(place);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    place_ = place;
    // A child made after its parent is on screen stays hidden until shown;
    // the browser is visible from the start.
    if (parent && parent->isVisible()) place->show();
    // An address sent before the browser had a place is loaded now.
    if (pending_) bringEngineIn();
    return place;
}

QWidget* QtWebView::widget() const { return place_.data(); }

void QtWebView::setVisible(bool visible) {
    if (place_) place_->setVisible(visible);
}

QObject* QtWebView::page() const { return engine_ && api_ ? api_->page(engine_) : nullptr; }

void QtWebView::bringEngineIn() {
    if (requested_ || !place_) return;
    requested_ = true;
    EngineLoader::instance().request(place_, [this](const KorvalaWebEngine* engine) { engineReady(engine); });
}

void QtWebView::engineReady(const KorvalaWebEngine* engine) {
    if (!engine) return;  // said once by the loader; the place stays white
    char why[1024] = "";
    QWidget* view = nullptr;
    {
        EngineStartNotices quiet;
        view = engine->createView(place_, why, sizeof why);
    }
    if (!view) {
        // Most often a QML module of the engine or of Qt Quick that is not
        // installed: the same for every browser, so said once.
        static bool said = false;
        if (!std::exchange(said, true))
            log::warning(log::Area::Web, "web browser: the engine's view cannot be made: " + std::string(why) +
                                             "; the scores page stays blank");
        return;
    }
    view->setObjectName(QStringLiteral("WBX.engine"));
    place_->layout()->addWidget(view);
    // Added to a placeholder that may already be on screen.
    view->show();
    engine_ = view;
    api_ = engine;
    if (pending_) {
        const QByteArray url = std::exchange(pending_, std::nullopt)->toString().toUtf8();
        api_->navigate(engine_, url.constData());
    }
}

void QtWebView::navigate(const std::string& url) {
    const QUrl address = QUrl::fromUserInput(QString::fromStdString(url));
    if (engine_ && api_) {
        api_->navigate(engine_, address.toString().toUtf8().constData());
        return;
    }
    pending_ = address;
    bringEngineIn();
}

}  // namespace korvala
