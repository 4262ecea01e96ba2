#pragma once
// Brings the engine in, once per process, for every browser that asks.
//
// The module is loaded on a worker thread: the engine's libraries are large,
// and reading them in and binding their symbols would hold the window up.
// What must run on the window's thread runs there afterwards, one step an
// event-loop turn, so that the window draws and takes input between them:
// the engine with the OpenGL context it shares, its default profile, then
// each waiting browser's view. The shared context is made on the worker
// while the module loads where the platform supports OpenGL off the
// window's thread (QOpenGLContext::supportsThreadedOpenGL()), else by the
// engine as it starts on the window's thread. The module is never unloaded:
// the engine does not survive it.
//
// The worker is the loader's own: it is waited for when its result comes,
// when the application ends (its result then goes nowhere and the next
// application starts over) and when the loader itself goes with the process;
// never left to run on its own.
#include <QPointer>
#include <QString>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

class QObject;
extern "C" struct KorvalaWebEngine;

namespace korvala {

class EngineLoader {
public:
    // On the window's thread, later, with the engine, or with null when it
    // cannot be brought in (said once in the web log).
    using Ready = std::function<void(const KorvalaWebEngine*)>;

    static EngineLoader& instance();
    ~EngineLoader();
    EngineLoader(const EngineLoader&) = delete;
    EngineLoader& operator=(const EngineLoader&) = delete;

    // Brings the engine in if nothing has yet, and runs `ready` once it is
    // in; not at all when `context` is gone by then. On the window's thread.
    void request(QObject* context, Ready ready);

    // Starts only the worker's part, if nothing has started it; the steps on
    // the window's thread wait for the first request.
    void prefetch();

    // For tests: what tells whether the shared OpenGL context may be made on
    // the worker; QOpenGLContext::supportsThreadedOpenGL() when empty.
    static void setThreadedOpenGLCheck(std::function<bool()> check);

private:
    // Idle -> Loading (the worker) -> Loaded (waits for a browser) ->
    // Starting (the steps on the window's thread) -> Ready; or Failed.
    enum class State { Idle, Loading, Loaded, Starting, Ready, Failed };

    EngineLoader() = default;
    void start();
    void loaded(const KorvalaWebEngine* engine, const QString& why);
    void startEngine();
    void fail(const QString& why);
    void deliver();
    void join();
    // The application is ending: the worker is waited for and what it was
    // doing is forgotten.
    static void applicationEnds();

    State state_ = State::Idle;
    std::thread worker_;
    bool watchingApplication_ = false;
    const KorvalaWebEngine* module_ = nullptr;  // loaded, not started yet
    const KorvalaWebEngine* engine_ = nullptr;  // ready
    std::vector<std::pair<QPointer<QObject>, Ready>> waiting_;
};

}  // namespace korvala
