// An engine that cannot be brought in (its module missing, or a file that is
// no module) is said once in the web log with the system's reason, and the
// browser's place stays white and empty: no crash, no hang, the window goes
// on. CTest runs this once per case, naming the module in
// KORVALA_WEB_ENGINE_MODULE and the words of the reason in
// KORVALA_EXPECT_REASON.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPalette>
#include <QTest>
#include <QWidget>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log/log.h"
#include "platform/web/qt_web_view.h"

namespace korvala {
namespace {

struct Heard {
    std::mutex m;
    std::vector<std::string> warnings;  // the web area's
};

TEST(WebEngineFailure, isSaidWithItsReasonAndThePlaceStaysWhite) {
    const std::string reason = qEnvironmentVariable("KORVALA_EXPECT_REASON").toStdString();
    if (!qEnvironmentVariableIsSet("KORVALA_WEB_ENGINE_MODULE") || reason.empty())
        GTEST_SKIP() << "run by CTest, which names the module and its reason";
    Heard heard;
    log::setSink([&heard](log::Area area, log::Level level, const std::string& message) {
        if (area != log::Area::Web || level != log::Level::Warning) return;
        std::lock_guard lock(heard.m);
        heard.warnings.push_back(message);
    });
    const auto failures = [&heard] {
        std::lock_guard lock(heard.m);
        int n = 0;
        for (const std::string& w : heard.warnings) n += w.find("cannot be loaded") != std::string::npos;
        return n;
    };

    QWidget panel;
    panel.resize(687, 470);
    QtWebView first(&panel, QRect(24, 216, 641, 233));
    QtWebView second(&panel, QRect(24, 216, 641, 233));  // a second browser: nothing said again
    panel.show();
    first.navigate("http://127.0.0.1:1/");
    second.navigate("http://127.0.0.1:1/");
    ASSERT_TRUE(QTest::qWaitFor([&] { return failures() > 0; }, 60000)) << "no word of the failure";
    QTest::qWait(300);  // time for anything more to be said, or to go wrong
    log::setSink({});

    EXPECT_EQ(failures(), 1);
    {
        std::lock_guard lock(heard.m);
        ASSERT_FALSE(heard.warnings.empty());
        const std::string& said = heard.warnings.back();
        EXPECT_NE(said.find(reason), std::string::npos) << said;
        EXPECT_NE(said.find(qEnvironmentVariable("KORVALA_WEB_ENGINE_MODULE").toStdString()), std::string::npos)
            << said;
    }
    for (const QtWebView* browser : {&first, &second}) {
        EXPECT_EQ(browser->page(), nullptr);
        EXPECT_TRUE(browser->widget()->isVisible());
        EXPECT_EQ(browser->widget()->palette().color(QPalette::Window), QColor(Qt::white));
        EXPECT_TRUE(browser->widget()->findChildren<QWidget*>().isEmpty());
    }
    // Later uses ask nothing more of the engine and say nothing more.
    first.navigate("http://127.0.0.1:1/again");
    QTest::qWait(100);
    EXPECT_EQ(first.page(), nullptr);
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
