// The browser keeps the engine out of the game until it is first used: a
// program that links the browser but not the engine (as the game does) has
// none of the engine's libraries loaded before the browser is shown, and
// none of Qt Quick's or QML's either (the engine's view is a QML view).
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QTest>
#include <QWidget>

#include "qt/web/qt_web_view.h"

namespace korvala {
namespace {

QByteArray maps() {
    QFile file("/proc/self/maps");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool engineLoaded() { return maps().contains("libQt6WebEngine"); }

bool quickLoaded() {
    const QByteArray m = maps();
    return m.contains("libQt6Quick") || m.contains("libQt6Qml");
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
    EXPECT_FALSE(quickLoaded());
    EXPECT_EQ(panel.findChild<QWidget*>("WBX.engine"), nullptr);

    // The engine comes in behind the window's back: the view appears a few
    // event-loop turns later.
    browser.setVisible(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel.findChild<QWidget*>("WBX.engine") != nullptr; }, 60000));
    ASSERT_NE(browser.page(), nullptr);
    EXPECT_TRUE(browser.page()->inherits("QQuickWebEngineView")) << browser.page()->metaObject()->className();
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
