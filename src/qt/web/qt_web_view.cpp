#include "qt/web/qt_web_view.h"

#include <dlfcn.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QPalette>
#include <QShowEvent>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QWidget>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "qt/web/engine_module.h"
#include "system/log/log.h"

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
    // Named: taken as it is, so that a wrong name is told with the
    // system's reason when it fails to load.
    constexpr char kNamed[] = "KORVALA_WEB_ENGINE_MODULE";
    if (qEnvironmentVariableIsSet(kNamed)) return qEnvironmentVariable(kNamed);
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/korvala_web_engine.so");
    if (QFileInfo::exists(beside)) return beside;
    const QString built = QStringLiteral(KORVALA_WEB_ENGINE_MODULE);
    if (QFileInfo::exists(built)) return built;
    return {};
}

namespace {

// Two kinds of Qt warning come with bringing the engine in on every first
// use of the browser, and neither is for the player or whoever looks after
// the game:
// - Qt warns that Qt::AA_ShareOpenGLContexts must be set before the
//   application object exists when it is set later, as the browser does on
//   purpose (and the engine once more when it starts); the warning would
//   tell them to do what the game deliberately does not.
// - Qt's QML warns, as the engine's QML module is imported, that a few of
//   the engine's own value classes ("QWebEngineLoadingInfo is neither a
//   QObject, nor default- and copy-constructible. ...") should not be QML
//   types: a remark on the engine's code, not on the game's.
// They are filtered, narrowly: only while a guard lives (around the steps
// that bring the engine in, on the window's thread), only warnings whose
// text is exactly Qt's sentence, and not silently: once the guard ends, the
// first time any of a kind was dropped, a detail line of the web log says
// why (QT_LOGGING_RULES="korvala.web.debug=true" shows it). Every other
// message goes on to the handler in place before.
class EngineStartNotices {
public:
    EngineStartNotices() { previous_ = qInstallMessageHandler(&filter); }
    ~EngineStartNotices() {
        qInstallMessageHandler(previous_);
        if (droppedShare_ && !toldShare_) {
            toldShare_ = true;
            log::detail(log::Area::Web,
                        "web browser: Qt::AA_ShareOpenGLContexts is set as the engine is brought in, not before "
                        "the application starts, so that the game makes no OpenGL context until the browser is "
                        "used; Qt's warning about it is not shown");
        }
        if (droppedQmlType_ && !toldQmlType_) {
            toldQmlType_ = true;
            log::detail(log::Area::Web,
                        "web browser: Qt's warnings that some of the web engine's own classes should not be QML "
                        "types, given as the engine's QML module is imported, are not shown");
        }
    }
    EngineStartNotices(const EngineStartNotices&) = delete;
    EngineStartNotices& operator=(const EngineStartNotices&) = delete;

private:
    static void filter(QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (type == QtWarningMsg && message == QLatin1String(kLateShareWarning)) {
            droppedShare_ = true;
            return;
        }
        if (type == QtWarningMsg && message.startsWith(QLatin1String("QWebEngine")) &&
            message.endsWith(QLatin1String(kQmlTypeWarningTail)) &&
            !message.chopped(qsizetype(sizeof kQmlTypeWarningTail) - 1).contains(QLatin1Char(' '))) {
            droppedQmlType_ = true;
            return;
        }
        if (previous_) previous_(type, context, message);
    }
    static constexpr char kLateShareWarning[] =
        "Attribute Qt::AA_ShareOpenGLContexts must be set before QCoreApplication is created.";
    // After the class's name.
    static constexpr char kQmlTypeWarningTail[] =
        " is neither a QObject, nor default- and copy-constructible. You should not use it as a QML type.";
    static inline QtMessageHandler previous_ = nullptr;
    static inline bool droppedShare_ = false;
    static inline bool toldShare_ = false;
    static inline bool droppedQmlType_ = false;
    static inline bool toldQmlType_ = false;
};

void webWarning(const QString& text) { log::warning(log::Area::Web, ("web browser: " + text).toStdString()); }

// Brings the engine in, once per process, for every browser that asks. The
// module is loaded on a worker thread: the engine's libraries are large and
// loading them (reading them in, binding their symbols) would hold the window
// up for a good part of a second. What must run on the window's thread runs
// there afterwards, one step an event-loop turn, so that the window draws
// and takes input between them: the shared OpenGL context, the default
// profile, then each waiting browser's view. The module is never unloaded:
// the engine does not survive being unloaded.
class EngineLoader {
public:
    // `ready` runs on the window's thread in a later event-loop turn, with
    // the engine, or with null when it cannot be brought in; not at all when
    // `context` is gone by then.
    using Ready = std::function<void(const KorvalaWebEngine*)>;

    static EngineLoader& instance() {
        static EngineLoader loader;
        return loader;
    }
    ~EngineLoader() {
        if (worker_.joinable()) worker_.detach();  // a process that ends without ending its application
    }

    void request(QObject* context, Ready ready) {
        waiting_.emplace_back(context, std::move(ready));
        switch (state_) {
            case State::Idle:
                start();
                break;
            case State::Loaded:
                startEngine();
                break;
            case State::Loading:
            case State::Starting:
                break;
            case State::Ready:
            case State::Failed:
                deliver();
                break;
        }
    }

    // Only the worker's part; the rest waits for the first request.
    void prefetch() {
        if (state_ == State::Idle) start();
    }

private:
    // Idle -> Loading (the worker) -> Loaded (waits for a browser) ->
    // Starting (the steps on the window's thread) -> Ready; or Failed.
    enum class State { Idle, Loading, Loaded, Starting, Ready, Failed };

    void start() {
        state_ = State::Loading;
        const QString path = webEngineModulePath();
        if (path.isEmpty()) {
            fail(QStringLiteral("korvala_web_engine.so is neither beside the game nor in %1")
                     .arg(QStringLiteral(KORVALA_WEB_ENGINE_MODULE)));
            return;
        }
        {
            // The engine checks, as its library loads, that OpenGL contexts
            // are to be shared; the module then makes the shared context
            // itself. Qt wants the attribute set before the application
            // object exists, but set there it makes Qt create an OpenGL
            // context at start-up (some 58 MiB with a software OpenGL, for a
            // page most games never open), so it is set here, late, on
            // purpose; see EngineStartNotices for what becomes of Qt's
            // warning about it.
            EngineStartNotices quiet;
            QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        }
        // The engine refuses to run as root with its sandbox; prepareWebEngine()
        // turns the sandbox off then, and whoever looks after the game is told.
        if (::geteuid() == 0 && qEnvironmentVariableIsSet(kNoSandbox))
            webWarning(QStringLiteral("the game runs as root, so the web engine runs without its sandbox"));
        QObject* app = QCoreApplication::instance();
        worker_ = std::thread([app, file = path.toLocal8Bit()] {
            // RTLD_NOW: every symbol of the engine is bound here, not on
            // the window's thread when first called.
            void* module = ::dlopen(file.constData(), RTLD_NOW | RTLD_LOCAL);
            QString why;
            const KorvalaWebEngine* engine = nullptr;
            if (!module) {
                why = QStringLiteral("the engine module cannot be loaded: %1").arg(QString::fromLocal8Bit(::dlerror()));
            } else if (const auto entry =
                           reinterpret_cast<KorvalaWebEngineEntry>(::dlsym(module, KORVALA_WEB_ENGINE_ENTRY))) {
                engine = entry();
                engine->prepareOnWorker();
            } else {
                why = QStringLiteral("the engine module has no %1").arg(QLatin1String(KORVALA_WEB_ENGINE_ENTRY));
            }
            QMetaObject::invokeMethod(
                app, [engine, why] { instance().loaded(engine, why); }, Qt::QueuedConnection);
        });
        // An application that ends while the module loads waits for it
        // (the game itself leaves with _Exit and waits for nothing); its
        // word then goes with the application's pending events.
        qAddPostRoutine([] {
            if (instance().worker_.joinable()) instance().worker_.join();
        });
    }

    // The module is in, and what could be done off the window's thread is
    // done (or it could not be loaded); the steps on the window's thread
    // follow when a browser wants the engine.
    void loaded(const KorvalaWebEngine* engine, const QString& why) {
        if (worker_.joinable()) worker_.join();  // it has said its last word
        if (!engine) {
            fail(why);
            return;
        }
        module_ = engine;
        state_ = State::Loaded;
        if (!waiting_.empty()) startEngine();
    }

    // The steps on the window's thread, one a turn.
    void startEngine() {
        state_ = State::Starting;
        const KorvalaWebEngine* engine = module_;
        later([this, engine] {
            {
                EngineStartNotices quiet;
                engine->initialize();
            }
            later([this, engine] {
                engine->prepareProfile();
                engine_ = engine;
                state_ = State::Ready;
                deliver();
            });
        });
    }

    void fail(const QString& why) {
        webWarning(why + QStringLiteral("; the scores page stays blank"));
        state_ = State::Failed;
        deliver();
    }

    // Each waiting browser gets the engine in an event-loop turn of its own.
    void deliver() {
        for (auto& [context, ready] : std::exchange(waiting_, {})) {
            later([context = context, ready = std::move(ready), this] {
                if (context) ready(engine_);
            });
        }
    }

    // A 1 ms timer rather than a zero one: Qt runs a zero-delay single shot
    // as a posted call, and calls posted while posted calls run are run in
    // the same round, so the steps would follow each other with no paint
    // and no input in between.
    static void later(std::function<void()> step) {
        QTimer::singleShot(1, QCoreApplication::instance(), std::move(step));
    }

    State state_ = State::Idle;
    std::thread worker_;
    const KorvalaWebEngine* module_ = nullptr;  // loaded, not started yet
    const KorvalaWebEngine* engine_ = nullptr;  // ready
    std::vector<std::pair<QPointer<QObject>, Ready>> waiting_;
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
        owner_.bringEngineIn();
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

QWidget* QtWebView::widget() const { return place_.data(); }

void QtWebView::setVisible(bool visible) {
    if (place_) place_->setVisible(visible);
}

void prefetchWebEngine() { EngineLoader::instance().prefetch(); }

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
            webWarning(QStringLiteral("the engine's view cannot be made: %1; the scores page stays blank")
                           .arg(QString::fromUtf8(why)));
        return;
    }
    view->setObjectName(QStringLiteral("WBX.engine"));
    place_->layout()->addWidget(view);
    // Added to a placeholder that may already be on screen.
    view->show();
    engine_ = view;
    api_ = engine;
    if (pending_) {
        const QByteArray url = pending_->toString().toUtf8();
        pending_.reset();
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
