#pragma once
// The information panel's web browser: a Qt WebEngine view that stands at the
// browser's place in the game window.
//
// The engine is costly in memory and in start-up time, and most games never
// open the scores page, so nothing of it is loaded before it is needed: the
// view lives in a module of its own (korvala_web_engine.so, beside the game),
// which EngineLoader brings in the first time the browser's place is shown on
// screen, or at the first navigate(), whichever comes first (the game starts
// the loading earlier, when the menu's selection reaches Info Online: see
// prefetchWebEngine()). Until then a plain white widget holds the place; the
// engine view is then put inside it, filling it, as a native window of its
// own, so that the game window is never made anew. widget() is the same
// widget all along. This library itself links Qt Widgets only.
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
// OpenGL context at start-up; the browser sets it, late, on first use.
void prepareWebEngine();

// The file the engine module is loaded from: the one KORVALA_WEB_ENGINE_MODULE
// names when that is set (a packager's layout, or a test's module; taken as
// it is), else korvala_web_engine.so beside the executable. Empty when that
// file does not exist.
QString webEngineModulePath();

// Starts loading the engine's libraries on a worker thread, once per
// process, if nothing has started them yet; nothing is made on the window's
// thread until a browser is first shown or navigated. For a hint that the
// page may soon be wanted: the libraries then stay in memory whether or not
// it is.
void prefetchWebEngine();

class QtWebView : public WebView {
public:
    // A browser without a place yet: it takes addresses, and brings nothing
    // in before place().
    QtWebView();
    // `parent`: the information panel's widget; `rect`: the browser's place,
    // in pixels of the parent. Makes only the light placeholder.
    QtWebView(QWidget* parent, const QRect& rect);
    ~QtWebView() override;
    QtWebView(const QtWebView&) = delete;
    QtWebView& operator=(const QtWebView&) = delete;

    // Makes the placeholder at `rect` on `parent`, once; returns it (later
    // calls return the same widget, or null once it went with its panel).
    QWidget* place(QWidget* parent, const QRect& rect);

    // Loads `url` (an address as the player or the game writes it; one
    // without a scheme is taken as http), anew even if it is already shown.
    // Returns at once; before the engine view exists, the last address sent
    // is kept here, the only place that holds it, and loaded when the view
    // appears. A page that cannot be loaded shows the engine's own error
    // page.
    void navigate(const std::string& url) override;

    // The widget at the browser's place: the placeholder, holding the engine
    // view once it exists; null before place().
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
    // Asks the loader for the engine, once, when placed; the view comes
    // later, in engineReady().
    void bringEngineIn();
    // On the window's thread, when the engine is ready (null: it cannot be
    // brought in, said in the web log; the place stays white).
    void engineReady(const KorvalaWebEngine* engine);

    bool placed_ = false;
    QPointer<QWidget> place_;
    QPointer<QWidget> engine_;
    const KorvalaWebEngine* api_ = nullptr;
    bool requested_ = false;
    std::optional<QUrl> pending_;  // the address to load when the view appears
};

}  // namespace korvala
