// The engine half of the browser, in its own module so that the game loads
// the engine's libraries only when the browser is first used.
//
// The page is a QML WebEngineView in a QQuickView of its own, put into the
// game window through a window container. The game window draws without
// OpenGL; a view made as a plain child widget would make Qt destroy it and
// create it anew as an OpenGL window (a new native window, a black flash).
// The container is a native window of its own inside the game window, so the
// game window stays as it is, and the page in it takes the keyboard when it
// is clicked.
#include "qt/web/engine_module.h"

#include <QByteArray>
#include <QColor>
#include <QCoreApplication>
#include <QOpenGLContext>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QQuickWebEngineProfile>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QUrl>
#include <QVariant>
#include <QWidget>
#include <cstring>

namespace QtWebEngineCore {
// Exported by Qt WebEngine Core; QtWebEngineQuick::initialize() calls it too.
// Made for use after the application exists: it creates the OpenGL context
// that the engine shares with its views, unless the application made one.
void initialize();
}  // namespace QtWebEngineCore

QT_BEGIN_NAMESPACE
// Qt's global share context, which QtWebEngineCore::initialize() makes when
// there is none; exported by Qt GUI for Qt's own modules.
Q_GUI_EXPORT QOpenGLContext* qt_gl_global_share_context();
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext* context);
QT_END_NAMESPACE

namespace {

// The page: the engine's view filling its window, white until a page shows,
// taking the keyboard focus of its window. pageLoaded and textRead let a
// test or a benchmark follow it without the engine's private classes.
constexpr char kPageQml[] = R"(
import QtQuick
import QtWebEngine

WebEngineView {
    objectName: "WBX.page"
    focus: true
    backgroundColor: "white"
    signal pageLoaded(bool ok)
    signal textRead(string text)
    onLoadingChanged: function(info) {
        if (info.status !== WebEngineView.LoadStartedStatus)
            pageLoaded(info.status === WebEngineView.LoadSucceededStatus)
    }
    function readText() {
        runJavaScript("document.body ? document.body.innerText : ''",
                      function(text) { textRead(text === undefined ? "" : String(text)) })
    }
}
)";

constexpr char kPageProperty[] = "korvala.page";

void prepareOnWorker() {
    // Made as QtWebEngineCore::initialize() would make it (Qt's default
    // format, shared with nothing), but here, off the window's thread; the
    // loader calls this only where the platform supports OpenGL on other
    // threads, as Qt Quick asks before it renders on one. The context is only
    // created, never made current here, then handed to the window's thread,
    // where it lives from then on, as the one the engine made would.
    if (!QCoreApplication::testAttribute(Qt::AA_ShareOpenGLContexts) || qt_gl_global_share_context()) return;
    auto* context = new QOpenGLContext;
    if (!context->create()) {
        delete context;  // no OpenGL here: the engine and Qt Quick draw in software
        return;
    }
    context->moveToThread(QCoreApplication::instance()->thread());
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [context] {
            if (qt_gl_global_share_context()) {
                delete context;
                return;
            }
            qt_gl_set_global_share_context(context);
        },
        Qt::QueuedConnection);
}

void initialize() {
    QtWebEngineCore::initialize();
    // The page's window draws with OpenGL, sharing the engine's context; with
    // no OpenGL at all (the offscreen platform) Qt Quick and the engine draw
    // in software instead.
    QQuickWindow::setGraphicsApi(qt_gl_global_share_context() ? QSGRendererInterface::OpenGL
                                                              : QSGRendererInterface::Software);
}

void prepareProfile() { QQuickWebEngineProfile::defaultProfile(); }

void say(char* why, std::size_t whySize, const QString& text) {
    if (!why || whySize == 0) return;
    const QByteArray utf8 = text.toUtf8();
    const std::size_t n = std::min(whySize - 1, static_cast<std::size_t>(utf8.size()));
    std::memcpy(why, utf8.constData(), n);
    why[n] = '\0';
}

QWidget* createView(QWidget* parent, char* why, std::size_t whySize) {
    auto* window = new QQuickView();
    window->setColor(Qt::white);
    window->setResizeMode(QQuickView::SizeRootObjectToView);
    const QUrl source(QStringLiteral("qrc:/korvala/scores_page.qml"));  // names the page in QML's messages
    auto* component = new QQmlComponent(window->engine(), window);
    component->setData(QByteArray(kPageQml), source);
    QObject* page = component->isReady() ? component->create() : nullptr;
    if (!page) {
        // Most often the QML modules of the engine or of Qt Quick are not
        // installed.
        say(why, whySize, component->errorString().trimmed());
        delete window;
        return nullptr;
    }
    window->setContent(source, component, page);
    QWidget* container = QWidget::createWindowContainer(window, parent);
    // Only the container gets a native window: the placeholder and the
    // panels above it stay drawn by the game window.
    container->setAttribute(Qt::WA_DontCreateNativeAncestors);
    container->setFocusPolicy(Qt::StrongFocus);
    container->setProperty(kPageProperty, QVariant::fromValue<QObject*>(page));
    return container;
}

QObject* page(QWidget* view) { return view ? view->property(kPageProperty).value<QObject*>() : nullptr; }

void navigate(QWidget* view, const char* url) {
    if (QObject* p = page(view)) p->setProperty("url", QUrl(QString::fromUtf8(url)));
}

constexpr KorvalaWebEngine kEngine{&prepareOnWorker, &initialize, &prepareProfile, &createView, &navigate, &page};

}  // namespace

extern "C" Q_DECL_EXPORT const KorvalaWebEngine* korvala_web_engine() { return &kEngine; }
