#include "qt/web/engine_loader.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QOpenGLContext>
#include <QTimer>
#include <algorithm>

#include "qt/web/engine_module.h"
#include "qt/web/engine_notices.h"
#include "qt/web/qt_web_view.h"
#include "system/log/log.h"
#include "system/module/module.h"

namespace korvala {

namespace {

std::function<bool()>& threadedOpenGLCheck() {
    static std::function<bool()> check;
    return check;
}

void webWarning(const QString& text) { log::warning(log::Area::Web, ("web browser: " + text).toStdString()); }

// A 1 ms timer rather than a zero one: Qt runs a zero-delay single shot as a
// posted call, and calls posted while posted calls run are run in the same
// round, so the steps would follow each other with no paint and no input in
// between.
void later(std::function<void()> step) { QTimer::singleShot(1, QCoreApplication::instance(), std::move(step)); }

}  // namespace

EngineLoader& EngineLoader::instance() {
    static EngineLoader loader;
    return loader;
}

EngineLoader::~EngineLoader() { join(); }

void EngineLoader::setThreadedOpenGLCheck(std::function<bool()> check) { threadedOpenGLCheck() = std::move(check); }

void EngineLoader::request(QObject* context, Ready ready) {
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

void EngineLoader::prefetch() {
    if (state_ == State::Idle) start();
}

void EngineLoader::start() {
    state_ = State::Loading;
    holdBackEngineAccount();
    {
        // The engine checks, as its library loads, that OpenGL contexts are
        // to be shared. Qt wants the attribute set before the application
        // object exists, but set there it makes Qt create an OpenGL context
        // at start-up, for a page most games never open; so it is set here,
        // late, on purpose, and Qt's warning about it is held back.
        EngineStartNotices quiet;
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    }
    // The engine refuses to run as root with its sandbox; prepareWebEngine()
    // turns the sandbox off then, and whoever looks after the game is told.
    if (::geteuid() == 0 && qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
        webWarning(QStringLiteral("the game runs as root, so the web engine runs without its sandbox"));
    // Asked here, on the window's thread, as Qt Quick asks it: the platform
    // may try a context of its own to answer.
    const bool threaded = threadedOpenGLCheck() ? threadedOpenGLCheck()() : QOpenGLContext::supportsThreadedOpenGL();
    log::detail(log::Area::Web,
                threaded ? "web browser: the OpenGL context the engine shares is made on a worker thread"
                         : "web browser: the platform does not support OpenGL off the window's thread, so the OpenGL "
                           "context the engine shares is made on the window's thread");
    if (!watchingApplication_) {
        watchingApplication_ = true;
        qAddPostRoutine(&EngineLoader::applicationEnds);
    }
    QObject* app = QCoreApplication::instance();
    worker_ = std::thread(
        [app, threaded, candidates = gameModuleCandidates(KORVALA_WEB_ENGINE_FILE, KORVALA_WEB_ENGINE_VARIABLE)] {
            Module module = Module::open(candidates);
            const auto entry = module.symbol<KorvalaWebEngineEntry>(KORVALA_WEB_ENGINE_ENTRY);
            const KorvalaWebEngine* engine = entry ? entry() : nullptr;
            if (engine && threaded) engine->prepareOnWorker();
            if (entry) module.keep();  // its code has run
            QString why;
            if (!engine)
                why = QStringLiteral("the engine module cannot be loaded: %1")
                          .arg(entry ? QString::fromLocal8Bit(module.path().c_str()) + QStringLiteral(" gave no engine")
                                     : QString::fromLocal8Bit(module.failure().c_str()));
            QMetaObject::invokeMethod(
                app, [engine, why] { instance().loaded(engine, why); }, Qt::QueuedConnection);
        });
}

void EngineLoader::loaded(const KorvalaWebEngine* engine, const QString& why) {
    join();  // it has said its last word
    if (!engine) {
        fail(why);
        return;
    }
    module_ = engine;
    state_ = State::Loaded;
    // Browsers gone meanwhile want nothing; the engine waits for the next.
    std::erase_if(waiting_, [](const auto& waiting) { return waiting.first.isNull(); });
    if (!waiting_.empty()) startEngine();
}

void EngineLoader::startEngine() {
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

void EngineLoader::fail(const QString& why) {
    webWarning(why + QStringLiteral("; the scores page stays blank"));
    state_ = State::Failed;
    deliver();
}

void EngineLoader::deliver() {
    for (auto& [context, ready] : std::exchange(waiting_, {})) {
        later([context = context, ready = std::move(ready), this] {
            if (context) ready(engine_);
        });
    }
}

void EngineLoader::join() {
    if (worker_.joinable()) worker_.join();
}

void EngineLoader::applicationEnds() {
    EngineLoader& loader = instance();
    loader.watchingApplication_ = false;
    loader.join();
    // Its word went with the application's pending events.
    if (loader.state_ == State::Loading) loader.state_ = State::Idle;
    loader.waiting_.clear();
}

}  // namespace korvala
