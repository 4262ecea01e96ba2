// The browser keeps the engine out of the game until it is first used: a
// program that links the browser but not the engine (as the game does) has
// none of the engine's libraries loaded before the browser is shown.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QTest>
#include <QWidget>

#include "platform/web/qt_web_view.h"

namespace korvala {
namespace {

bool engineLoaded() {
    QFile maps("/proc/self/maps");
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libQt6WebEngine");
}

TEST(WebViewLoading, engineLibrariesComeInWithTheFirstShowOnly) {
    ASSERT_FALSE(webEngineModulePath().isEmpty()) << "the engine module was not built";
    QWidget panel;
    panel.resize(687, 470);
    QtWebView browser(&panel, QRect(24, 216, 641, 233));
    browser.setVisible(false);
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    QCoreApplication::processEvents();
    EXPECT_FALSE(engineLoaded());
    EXPECT_EQ(panel.findChild<QWidget*>("WBX.engine"), nullptr);

    browser.setVisible(true);
    QWidget* engine = panel.findChild<QWidget*>("WBX.engine");
    ASSERT_NE(engine, nullptr);
    EXPECT_TRUE(engine->inherits("QWebEngineView"));
    EXPECT_TRUE(engineLoaded());
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
