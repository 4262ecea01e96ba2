#pragma once
// The information panel's web browser: a Qt WebEngine view that stands at the
// browser's place in the game window.
//
// The engine is costly: its libraries alone add some 27 MiB to the game as
// soon as they are loaded, and a view with a page brings the game from about
// 22 to about 100 MiB (200 MiB with a software OpenGL) plus 100 to 180 MiB in
// the engine's own processes. Most games never open the scores page, so
// nothing of it is loaded before it is needed: the view lives in a separate
// module (korvala_web_engine.so, beside the game or in its build folder).
// The first time the browser's place is actually shown on screen, or the
// first navigate(), whichever comes first, the module is loaded on a worker
// thread (the window goes on drawing and taking input meanwhile; the game
// starts that earlier, when the menu's selection reaches Info Online, see
// prefetchWebEngine()), and then
// the engine is started, its profile made and the view made, each in an
// event-loop turn of its own on the window's thread. Until then a plain
// white widget holds the place; the engine view is then put inside it,
// filling it, as a native window of its own, so that the game window is never
// made anew. widget() is the same widget all along. An address sent before
// the view exists is loaded as soon as it does. This library itself links
// Qt Widgets only.
#include <QPointer>
#include <QRect>
#include <QString>
#include <QUrl>
#include <optional>
#include <string>

#include "window/ports.h"

class QObject;
class QWidget;
extern "C" struct KorvalaWebEngine;

namespace korvala {

// Call from main() before the QApplication is made (and before any thread
// starts): when the game runs as root, turns off the engine's sandbox, which
// refuses to start as root, unless QTWEBENGINE_DISABLE_SANDBOX is already set.
// A game that runs as root without the sandbox says so once in the web log,
// as a warning, when the engine is brought in.
// The program must not set Qt::AA_ShareOpenGLContexts itself: that makes an
// OpenGL context at start-up (some 58 MiB with a software OpenGL); the
// browser sets it, late, and makes the shared context on first use.
void prepareWebEngine();

// Where the engine module is looked for: the file named by
// KORVALA_WEB_ENGINE_MODULE when that is set (a packager's layout, or a test
// of a module that cannot load; taken as it is), else beside the executable,
// then where the build put it. Empty when neither of those exists.
QString webEngineModulePath();

// Starts loading the engine's libraries and the OpenGL driver on worker
// threads, once per process, if nothing has started them yet; nothing is made
// on the window's thread until a browser is first shown or navigated. For a
// hint that the page may soon be wanted: the libraries then stay in memory
// (some 27 MiB, more with a software OpenGL) whether or not it is.
void prefetchWebEngine();

class QtWebView : public WebView {
public:
    // `parent`: the information panel's widget; `rect`: the browser's place,
    // in pixels of the parent. Makes only the light placeholder.
    QtWebView(QWidget* parent, const QRect& rect);
    ~QtWebView() override;
    QtWebView(const QtWebView&) = delete;
    QtWebView& operator=(const QtWebView&) = delete;

    // Loads `url` (an address as the player or the game writes it; one
    // without a scheme is taken as http), anew even if it is already shown.
    // Returns at once; before the engine view exists, the last address sent
    // is loaded when it appears. A page that cannot be loaded shows the
    // engine's own error page.
    void navigate(const std::string& url) override;

    // The widget at the browser's place: the placeholder, holding the engine
    // view once it exists.
    QWidget* widget() const;
    void setVisible(bool visible);

    // The engine's page object once the view exists (null before, and for
    // good when the engine cannot be brought in): a QML WebEngineView with
    // the signals pageLoaded(bool) and textRead(QString) and the method
    // readText(), for tests and benchmarks to follow the page.
    QObject* page() const;

private:
    class Place;
    friend class Place;
    // Starts bringing the engine in, once; the view comes later, in
    // engineReady().
    void bringEngineIn();
    // On the window's thread, when the engine is ready (null: it cannot be
    // brought in, said in the web log; the place stays white).
    void engineReady(const KorvalaWebEngine* engine);

    QPointer<QWidget> place_;
    QPointer<QWidget> engine_;
    const KorvalaWebEngine* api_ = nullptr;
    bool requested_ = false;
    std::optional<QUrl> pending_;  // the address to load when the view appears
};

}  // namespace korvala
