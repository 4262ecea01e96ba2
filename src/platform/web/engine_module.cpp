// The engine half of the browser, in its own module so that the game loads
// the engine's libraries only when the browser is first used.
#include "platform/web/engine_module.h"

#include <QWebEngineView>

namespace QtWebEngineCore {
// Exported by Qt WebEngine Core; QtWebEngineQuick::initialize() calls it too.
// Made for use after the application exists: it creates the OpenGL context
// that the engine shares with its views, unless the application made one.
void initialize();
}  // namespace QtWebEngineCore

extern "C" Q_DECL_EXPORT QWidget* korvala_web_engine_create(QWidget* parent) {
    // The shared context is made here, on first use, rather than by the
    // application at start-up: with a software OpenGL (Mesa) a context costs
    // the game some 58 MiB, most of it for nothing when the browser is never
    // opened. The game's own windows draw without OpenGL.
    static const bool initialized = [] {
        QtWebEngineCore::initialize();
        return true;
    }();
    (void)initialized;
    return new QWebEngineView(parent);
}
