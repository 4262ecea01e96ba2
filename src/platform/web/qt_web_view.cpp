#include "platform/web/qt_web_view.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibrary>
#include <QPalette>
#include <QShowEvent>
#include <QUrl>
#include <QVBoxLayout>
#include <QWidget>
#include <unistd.h>

#include "platform/web/engine_module.h"

namespace korvala {

void prepareWebEngine() {
    // Set before any thread runs: the engine reads it when it starts.
    if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
}

QString webEngineModulePath() {
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/korvala_web_engine.so");
    if (QFileInfo::exists(beside)) return beside;
    const QString built = QStringLiteral(KORVALA_WEB_ENGINE_MODULE);
    if (QFileInfo::exists(built)) return built;
    return {};
}

namespace {

// Loads the engine module once per process; null when it cannot be loaded.
// The module is never unloaded: the engine does not survive being unloaded.
KorvalaWebEngineCreate engineFactory() {
    static const KorvalaWebEngineCreate create = [] {
        const QString path = webEngineModulePath();
        if (path.isEmpty()) {
            qWarning("web browser: korvala_web_engine.so is neither beside the game nor in %s",
                     KORVALA_WEB_ENGINE_MODULE);
            return KorvalaWebEngineCreate{};
        }
        // The engine checks, as its library loads, that OpenGL contexts are
        // to be shared; the module then makes the shared context itself.
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        QLibrary module(path);
        auto entry = reinterpret_cast<KorvalaWebEngineCreate>(module.resolve(KORVALA_WEB_ENGINE_ENTRY));
        if (!entry) qWarning("web browser: %s", qPrintable(module.errorString()));
        return entry;
    }();
    return create;
}

// Qt warns when Qt::AA_ShareOpenGLContexts is set once the application runs,
// as the browser does on purpose when it brings the engine in (and the engine
// once more when it makes the shared context). While one guard lives, that one
// message is dropped; every other goes on to the handler in place before.
class LateShareAttributeNotice {
public:
    LateShareAttributeNotice() { previous_ = qInstallMessageHandler(&filter); }
    ~LateShareAttributeNotice() { qInstallMessageHandler(previous_); }
    LateShareAttributeNotice(const LateShareAttributeNotice&) = delete;
    LateShareAttributeNotice& operator=(const LateShareAttributeNotice&) = delete;

private:
    static void filter(QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (type == QtWarningMsg && message.startsWith(QLatin1String("Attribute Qt::AA_ShareOpenGLContexts")))
            return;
        if (previous_) previous_(type, context, message);
    }
    static inline QtMessageHandler previous_ = nullptr;
};

}  // namespace

// The white placeholder. Its first show on screen (its own, or its panel's)
// brings in the engine view.
class QtWebView::Place : public QWidget {
public:
    Place(QtWebView& owner, QWidget* parent) : QWidget(parent), owner_(owner) {}

protected:
    void showEvent(QShowEvent* event) override {
        QWidget::showEvent(event);
        owner_.ensureEngine();
    }

private:
    QtWebView& owner_;
};

QtWebView::QtWebView(QWidget* parent, const QRect& rect) {
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
}

QtWebView::~QtWebView() {
    // The placeholder (and the engine view inside it) may already be gone
    // with its panel; otherwise it goes with this browser, so that its show
    // event never reaches a destroyed owner.
    delete place_.data();
}

QWidget* QtWebView::widget() const {
    return place_.data();
}

void QtWebView::setVisible(bool visible) {
    if (place_) place_->setVisible(visible);
}

bool QtWebView::ensureEngine() {
    if (engine_) return true;
    if (!place_ || engineFailed_) return false;
    QWidget* view = nullptr;
    {
        LateShareAttributeNotice quiet;
        const KorvalaWebEngineCreate create = engineFactory();
        view = create ? create(place_) : nullptr;
    }
    if (!view) {
        engineFailed_ = true;  // said once; the place stays white
        return false;
    }
    view->setObjectName(QStringLiteral("WBX.engine"));
    place_->layout()->addWidget(view);
    // Added to a placeholder that may already be on screen.
    view->show();
    engine_ = view;
    return true;
}

void QtWebView::navigate(const std::string& url) {
    if (!ensureEngine()) return;
    // QWebEngineView's "url" property loads the address each time it is set.
    engine_->setProperty("url", QUrl::fromUserInput(QString::fromStdString(url)));
}

}  // namespace korvala
