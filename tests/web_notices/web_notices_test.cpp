// When the browser brings the engine in, whoever looks after the game hears
// of what it does on purpose and a reader could take for a fault: a game run
// as root runs the engine without its sandbox (said once, as a warning), and
// the OpenGL attribute Qt wants before start-up is set late (Qt's own warning
// about it is held back and replaced by one detail line of the web log), and
// Qt's remarks on the engine's own classes as its QML module is imported are
// held back the same way. The engine's own account of how it started
// (Qt's category qt.webenginecontext) is not printed unless a logging rule
// asks for it (QT_LOGGING_RULES="qt.webenginecontext.info=true").
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QSignalSpy>
#include <QStringList>
#include <QTest>
#include <QWidget>
#include <mutex>
#include <string>
#include <vector>

#include "qt/web/qt_web_view.h"
#include "system/log/log.h"

namespace korvala {
namespace {

struct Heard {
    std::mutex m;
    std::vector<std::pair<log::Level, std::string>> web;  // the web area's lines
    QStringList qt;                                       // what reached Qt's output
    QStringList engineContext;                            // of it, the engine's account of its start
};
Heard& heard() {
    static Heard h;
    return h;
}

void hearQt(QtMsgType, const QMessageLogContext& context, const QString& message) {
    std::lock_guard lock(heard().m);
    heard().qt << message;
    if (context.category && QLatin1String(context.category) == QLatin1String("qt.webenginecontext"))
        heard().engineContext << message;
}

std::vector<std::string> webLines(log::Level level) {
    std::lock_guard lock(heard().m);
    std::vector<std::string> out;
    for (const auto& [l, text] : heard().web)
        if (l == level) out.push_back(text);
    return out;
}

int countContaining(const std::vector<std::string>& lines, const std::string& needle) {
    int n = 0;
    for (const std::string& line : lines) n += line.find(needle) != std::string::npos;
    return n;
}

TEST(WebNotices, BringingTheEngineInTellsOnceWhatItDoesOnPurpose) {
    ASSERT_FALSE(webEngineModulePath().isEmpty()) << "the engine module was not built";
    const QtMessageHandler before = qInstallMessageHandler(&hearQt);
    log::setSink([](log::Area area, log::Level level, const std::string& message) {
        if (area != log::Area::Web) return;
        std::lock_guard lock(heard().m);
        heard().web.emplace_back(level, message);
    });

    QWidget panel;
    panel.resize(687, 470);
    QtWebView first(&panel, QRect(24, 216, 641, 233));
    first.navigate("about:blank");
    ASSERT_TRUE(QTest::qWaitFor([&] { return first.page() != nullptr; }, 60000)) << "the engine was not brought in";
    QSignalSpy loaded(first.page(), SIGNAL(pageLoaded(bool)));
    ASSERT_TRUE(loaded.wait(60000)) << "the first page did not load";
    QtWebView second(&panel, QRect(24, 216, 641, 233));  // a second browser: nothing said again
    second.navigate("about:blank");
    ASSERT_TRUE(QTest::qWaitFor([&] { return second.page() != nullptr; }, 60000));
    QTest::qWait(200);

    log::setSink({});
    qInstallMessageHandler(before);

    const std::vector<std::string> warnings = webLines(log::Level::Warning);
    if (::geteuid() == 0)
        EXPECT_EQ(countContaining(warnings, "without its sandbox"), 1) << "warnings: " << warnings.size();
    else
        EXPECT_EQ(countContaining(warnings, "sandbox"), 0);

    const std::vector<std::string> details = webLines(log::Level::Detail);
    EXPECT_EQ(countContaining(details, "AA_ShareOpenGLContexts"), 1) << "details: " << details.size();
    EXPECT_EQ(countContaining(details, "QML types"), 1) << "details: " << details.size();
    std::lock_guard lock(heard().m);
    if (qEnvironmentVariable("QT_LOGGING_RULES").contains(QLatin1String("qt.webenginecontext")))
        EXPECT_FALSE(heard().engineContext.isEmpty()) << "the engine's account of its start was asked for";
    else
        EXPECT_TRUE(heard().engineContext.isEmpty())
            << heard().engineContext.size()
            << " messages of qt.webenginecontext, the first: " << heard().engineContext.value(0).toStdString();
    for (const QString& message : heard().qt) {
        EXPECT_FALSE(message.contains(QLatin1String("AA_ShareOpenGLContexts"))) << message.toStdString();
        EXPECT_FALSE(message.contains(QLatin1String("You should not use it as a QML type"))) << message.toStdString();
    }
}

}  // namespace
}  // namespace korvala

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    korvala::prepareWebEngine();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
