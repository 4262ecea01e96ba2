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

#include "platform/log/log.h"
#include "platform/web/engine_module.h"

namespace korvala {

namespace {
constexpr char kNoSandbox[] = "QTWEBENGINE_DISABLE_SANDBOX";
}  // namespace

void prepareWebEngine() {
    // Set before any thread runs: the engine reads it when it starts. Said
    // in the log when the engine is brought in (no log is set up yet here).
    if (::geteuid() == 0 && !qEnvironmentVariableIsSet(kNoSandbox)) qputenv(kNoSandbox, "1");
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
        // to be shared; the module then makes the shared context itself. Qt
        // wants the attribute set before the application object exists, but
        // set there it makes Qt create an OpenGL context at start-up (some
        // 58 MiB with a software OpenGL, for a page most games never open),
        // so it is set here, late, on purpose; see LateShareAttributeNotice
        // for what becomes of Qt's warning about it.
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        // The engine refuses to run as root with its sandbox; prepareWebEngine()
        // turns the sandbox off then, and whoever looks after the game is told.
        if (::geteuid() == 0 && qEnvironmentVariableIsSet(kNoSandbox))
            log::warning(log::Area::Web,
                         "web browser: the game runs as root, so the web engine runs without its sandbox");
        QLibrary module(path);
        auto entry = reinterpret_cast<KorvalaWebEngineCreate>(module.resolve(KORVALA_WEB_ENGINE_ENTRY));
        if (!entry) qWarning("web browser: %s", qPrintable(module.errorString()));
        return entry;
    }();
    return create;
}

// Qt warns that Qt::AA_ShareOpenGLContexts must be set before the
// application object exists when it is set later, as the browser does on
// purpose when it brings the engine in (and the engine once more when it
// makes the shared context). The warning would tell the player to do what the
// game deliberately does not, on every first use of the browser, so it is
// filtered, narrowly: only while a guard lives (around bringing the engine
// in), only a warning whose text is exactly Qt's sentence about this one
// attribute, and not silently: once the guard ends, the first time any was
// dropped, a detail line of the web log says why
// (QT_LOGGING_RULES="korvala.web.debug=true" shows it). Every other message
// goes on to the handler in place before.
class LateShareAttributeNotice {
public:
    LateShareAttributeNotice() { previous_ = qInstallMessageHandler(&filter); }
    ~LateShareAttributeNotice() {
        qInstallMessageHandler(previous_);
        if (dropped_ && !told_) {
            told_ = true;
            log::detail(log::Area::Web,
                        "web browser: Qt::AA_ShareOpenGLContexts is set as the engine is brought in, not before "
                        "the application starts, so that the game makes no OpenGL context until the browser is "
                        "used; Qt's warning about it is not shown");
        }
    }
    LateShareAttributeNotice(const LateShareAttributeNotice&) = delete;
    LateShareAttributeNotice& operator=(const LateShareAttributeNotice&) = delete;

private:
    static void filter(QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (type == QtWarningMsg && message == QLatin1String(kLateShareWarning)) {
            dropped_ = true;
            return;
        }
        if (previous_) previous_(type, context, message);
    }
    static constexpr char kLateShareWarning[] =
        "Attribute Qt::AA_ShareOpenGLContexts must be set before QCoreApplication is created.";
    static inline QtMessageHandler previous_ = nullptr;
    static inline bool dropped_ = false;
    static inline bool told_ = false;
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
