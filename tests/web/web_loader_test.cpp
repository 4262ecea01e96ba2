// The loader that brings the engine in, with a stand-in engine module
// (waiting_engine_module.cpp) whose entry point waits on the loading thread
// until the test lets it go: browsers destroyed while the module loads, the
// application or the whole process ending meanwhile, and the thread the
// OpenGL context the engine shares is made on. The engine comes in once per
// process, so CTest runs each case in a process of its own, the stand-in
// named by KORVALA_WEB_ENGINE_MODULE. KORVALA_TEST_THREADED_OPENGL=yes|no
// stands in for the platform's answer on threaded OpenGL; the real engine
// without threaded OpenGL runs under a real X server, where it makes the
// context itself.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QOpenGLContext>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QWidget>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "opengl_driver.h"
#include "page_reading.h"
#include "qt/web/engine_loader.h"
#include "qt/web/qt_web_view.h"
#include "qt/web/scores_page_view.h"
#include "system/log/log.h"
#include "waiting_engine.h"

namespace korvala {
namespace {

const QRect kPlace(24, 216, 641, 233);
constexpr int kHangMs = 20000;

// The stand-in as the browser loaded it (null until then).
void* standIn() { return ::dlopen(qgetenv("KORVALA_WEB_ENGINE_MODULE").constData(), RTLD_NOW | RTLD_NOLOAD); }

WaitingEngineReport report() {
    void* module = standIn();
    if (!module) return {};
    const auto read = reinterpret_cast<WaitingEngineReportFn>(::dlsym(module, "waiting_engine_report"));
    const WaitingEngineReport r = read();
    ::dlclose(module);
    return r;
}

void release() {
    void* module = standIn();
    ASSERT_NE(module, nullptr);
    reinterpret_cast<WaitingEngineRelease>(::dlsym(module, "waiting_engine_release"))();
    ::dlclose(module);
}

bool waitUntilEntered() {
    return QTest::qWaitFor([] { return report().entered; }, kHangMs);
}

QList<QWidget*> views(const QWidget& panel) { return panel.findChildren<QWidget*>(QStringLiteral("WBX.engine")); }

TEST(EngineLoader, browsersDestroyedWhileTheModuleLoadsAreLeftOut) {
    QWidget panel;
    panel.resize(687, 470);
    panel.show();
    auto browser = std::make_unique<QtWebView>(&panel, kPlace);
    auto scoresPage = std::make_unique<ScoresPageView>();
    scoresPage->navigate("http://127.0.0.1:1/scores");
    scoresPage->attach(&panel, kPlace);
    browser->navigate("http://127.0.0.1:1/first");
    ASSERT_TRUE(waitUntilEntered()) << "the module was never loaded";

    // Both go while the loading thread waits inside the module.
    browser.reset();
    scoresPage.reset();
    release();

    // A browser made afterwards gets the engine; nothing was made for the
    // two that went.
    QtWebView after(&panel, kPlace);
    after.navigate("http://127.0.0.1:1/after");
    ASSERT_TRUE(QTest::qWaitFor([&] { return after.page() != nullptr; }, kHangMs));
    EXPECT_EQ(views(panel).size(), 1);
    EXPECT_EQ(after.page()->property("url").toString().toStdString(), "http://127.0.0.1:1/after");
}

// The platform's answer on threaded OpenGL, or the test's stand-in for it.
bool threadedOpenGL() {
    const QByteArray forced = qgetenv("KORVALA_TEST_THREADED_OPENGL");
    if (forced.isEmpty()) return QOpenGLContext::supportsThreadedOpenGL();
    const bool answer = forced == "yes";
    EngineLoader::setThreadedOpenGLCheck([answer] { return answer; });
    return answer;
}

TEST(EngineLoader, theSharedOpenGLContextIsMadeOnTheLoadingThreadOnlyWhereThePlatformAllowsIt) {
    const bool threaded = threadedOpenGL();
    QWidget panel;
    panel.resize(687, 470);
    panel.show();
    QtWebView browser(&panel, kPlace);
    browser.navigate("http://127.0.0.1:1/");
    ASSERT_TRUE(waitUntilEntered()) << "the module was never loaded";
    release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return browser.page() != nullptr; }, kHangMs));

    const WaitingEngineReport r = report();
    const std::thread::id window = std::this_thread::get_id();
    EXPECT_NE(r.entry, window) << "the module was loaded on the window's thread";
    EXPECT_EQ(r.initialize, window);
    if (threaded)
        EXPECT_EQ(r.prepareOnWorker, r.entry) << "threaded OpenGL is supported: the context is made while loading";
    else
        EXPECT_EQ(r.prepareOnWorker, std::thread::id())
            << "the platform does not support OpenGL off the window's thread, yet the context was made on the "
               "loading thread";
}

TEST(EngineLoader, theRealEngineWithoutThreadedOpenGLMakesItsContextOnTheWindowsThread) {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs OpenGL: run under korvala_harness.py xserver";
    EngineLoader::setThreadedOpenGLCheck([] { return false; });
    std::vector<std::string> details;
    log::setSink([&details](log::Area area, log::Level level, const std::string& message) {
        if (area == log::Area::Web && level == log::Level::Detail) details.push_back(message);
    });
    QWidget panel;
    panel.resize(687, 470);
    panel.show();
    QtWebView browser(&panel, kPlace);
    browser.navigate("data:text/html,<p>siap</p>");
    QObject* page = web_test::waitForPage(browser);
    ASSERT_NE(page, nullptr);
    web_test::waitForText(page, QStringLiteral("siap"));
    log::setSink({});

    QOpenGLContext* shared = QOpenGLContext::globalShareContext();
    ASSERT_NE(shared, nullptr) << "the engine runs without the OpenGL context it shares";
    EXPECT_EQ(shared->thread(), QThread::currentThread());
    int said = 0;
    for (const std::string& line : details) said += line.find("made on the window's thread") != std::string::npos;
    EXPECT_EQ(said, 1);
}

// The process this test starts again: it brings the engine in and ends while
// the stand-in's entry point waits, in one of two ways.
constexpr char kEndWhileLoading[] = "--end-while-loading=";

int endWhileLoading(int argc, char** argv, const std::string& how) {
    auto* app = new QApplication(argc, argv);
    auto* panel = new QWidget;
    panel->resize(687, 470);
    panel->show();
    auto* browser = new QtWebView(panel, kPlace);
    browser->navigate("http://127.0.0.1:1/");
    if (!waitUntilEntered()) return 3;
    if (how == "exit") std::exit(0);  // the application still there, as a program that calls exit() leaves it
    delete browser;
    delete panel;
    delete app;
    return 0;
}

TEST(EngineLoader, endingWhileTheModuleLoadsWaitsForTheLoadingThread) {
    for (const char* how : {"application", "exit"}) {
        SCOPED_TRACE(how);
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KORVALA_TEST_ENGINE_HOLD_MS"), QStringLiteral("500"));
        // A program that calls exit() leaves its application to the system.
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":detect_leaks=0"));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(kEndWhileLoading) + how});
        ASSERT_TRUE(child.waitForFinished(kHangMs));
        const QByteArray said = child.readAllStandardError();
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << said.toStdString();
        EXPECT_EQ(child.exitCode(), 0) << said.toStdString();
        EXPECT_TRUE(said.contains("waiting engine: entry returned"))
            << "the loading thread was cut off as the process ended:\n"
            << said.toStdString();
    }
}

}  // namespace
}  // namespace korvala

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    korvala::prepareWebEngine();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind(korvala::kEndWhileLoading, 0) == 0)
            return korvala::endWhileLoading(argc, argv, arg.substr(sizeof korvala::kEndWhileLoading - 1));
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    korvala::web_test::keepOpenGLDriverLoaded();
    return status;
}
