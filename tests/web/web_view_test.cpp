// The information panel's browser with the real engine, offscreen: nothing
// heavy before the browser is first shown or sent somewhere, then the scores
// page of a real score server read back through the engine's page object,
// addresses sent before the view exists, and addresses that cannot be
// loaded.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPalette>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <memory>

#include "page_reading.h"
#include "qt/web/qt_web_view.h"

namespace korvala {
namespace {

using web_test::kHangMs;
using web_test::pageText;
using web_test::waitForPage;
using web_test::waitForText;

const QRect kPlace(24, 216, 641, 233);  // the browser's place on the information panel

// The engine views inside the panel (the browser names its view).
QList<QWidget*> engines(const QWidget& panel) { return panel.findChildren<QWidget*>(QStringLiteral("WBX.engine")); }

// A loopback port nobody listens on.
quint16 closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();  // closed again when `probe` goes
}

// The game's score server in a temporary folder with one score in it, on
// ports the system picks.
class ScoreServer {
public:
    explicit ScoreServer(const QString& scoreName) {
        QDir().mkpath(dir_.filePath("ftp/Korvala"));
        addScore(scoreName);
        process_.setProgram("/usr/bin/python3");
        process_.setArguments({KORVALA_SCORE_SERVER, "--folder", dir_.path(), "--ftp-port", "0", "--http-port", "0"});
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start();
        const bool answered = QTest::qWaitFor(
            [&] { return process_.canReadLine() || process_.state() == QProcess::NotRunning; }, kHangMs);
        if (!answered) return;
        const QString ready = QString::fromUtf8(process_.readLine());
        const auto m = QRegularExpression(R"(^score server ready ftp=\d+ http=(\d+)\n$)").match(ready);
        if (m.hasMatch()) url_ = QString("http://127.0.0.1:%1/").arg(m.captured(1));
    }
    ~ScoreServer() {
        process_.terminate();
        if (!process_.waitForFinished(10000)) process_.kill();
        process_.waitForFinished();
    }
    // Empty when the server did not come up.
    QString url() const { return url_; }
    // A score file as an upload leaves it in the score folder.
    void addScore(const QString& scoreName) {
        QFile score(dir_.filePath("ftp/Korvala/" + scoreName));
        score.open(QIODevice::WriteOnly);
        score.write("{\\rtf1 score}\n");
    }

private:
    QTemporaryDir dir_;
    QProcess process_;
    QString url_;
};

class WebViewTest : public ::testing::Test {
protected:
    // The information panel; hidden until a test shows it.
    std::unique_ptr<QWidget> panel = std::make_unique<QWidget>();
    void SetUp() override { panel->resize(687, 470); }
    void showPanel() {
        panel->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(panel.get()));
    }
};

TEST_F(WebViewTest, holdsItsPlaceWithALightWhiteWidgetUntilFirstShown) {
    QtWebView browser(panel.get(), kPlace);
    QWidget* place = browser.widget();
    ASSERT_NE(place, nullptr);
    EXPECT_EQ(place->parentWidget(), panel.get());
    EXPECT_EQ(place->geometry(), kPlace);
    EXPECT_TRUE(place->autoFillBackground());
    EXPECT_EQ(place->palette().color(QPalette::Window), QColor(Qt::white));

    // Shown and hidden while its panel is hidden: never on screen, no engine
    // (not even a few turns later).
    browser.setVisible(false);
    browser.setVisible(true);
    QTest::qWait(100);
    EXPECT_TRUE(engines(*panel).isEmpty());

    // Hidden by the game while the panel comes up: still no engine.
    browser.setVisible(false);
    showPanel();
    QTest::qWait(100);
    EXPECT_TRUE(engines(*panel).isEmpty());
    EXPECT_EQ(browser.page(), nullptr);

    // On screen: the engine view comes and fills the same widget.
    browser.setVisible(true);
    ASSERT_NE(waitForPage(browser), nullptr);
    ASSERT_EQ(engines(*panel).size(), 1);
    QWidget* engine = engines(*panel).first();
    EXPECT_EQ(engine->parentWidget(), place);
    EXPECT_EQ(browser.widget(), place);
    EXPECT_TRUE(QTest::qWaitFor([&] { return engine->geometry() == QRect(QPoint(), kPlace.size()); }, kHangMs))
        << "engine view at " << engine->x() << "," << engine->y() << " " << engine->width() << "x" << engine->height();
    EXPECT_TRUE(engine->isVisible());

    // Hidden and shown again: the same engine, never a second one.
    browser.setVisible(false);
    browser.setVisible(true);
    QTest::qWait(100);
    EXPECT_EQ(engines(*panel), QList<QWidget*>{engine});
}

TEST_F(WebViewTest, appearsWithItsPanelAndMadeOnAVisiblePanelIsShownAtOnce) {
    {
        QtWebView browser(panel.get(), kPlace);
        EXPECT_TRUE(engines(*panel).isEmpty());
        showPanel();
        waitForPage(browser);
        EXPECT_EQ(engines(*panel).size(), 1);
    }
    EXPECT_TRUE(engines(*panel).isEmpty()) << "the browser takes its engine view with it";

    QtWebView late(panel.get(), kPlace);
    EXPECT_TRUE(late.widget()->isVisible());
    waitForPage(late);
    EXPECT_EQ(engines(*panel).size(), 1);

    // A browser gone before its engine view came: nothing is made for it,
    // nothing goes wrong.
    auto gone = std::make_unique<QtWebView>(panel.get(), kPlace);
    gone.reset();
    QtWebView after(panel.get(), kPlace);
    waitForPage(after);
    EXPECT_EQ(engines(*panel).size(), 2);
}

TEST_F(WebViewTest, showsTheScoresPageOfTheScoreServer) {
    ScoreServer server("1250(Korvala)(email)(indonesia)");
    ASSERT_FALSE(server.url().isEmpty()) << "the score server did not start";

    QtWebView browser(panel.get(), kPlace);
    // The game shows the panel, then sends the browser to the page; a
    // navigate() on a hidden panel brings the engine in just the same. Of
    // the addresses sent before the view exists, the last one is loaded.
    browser.navigate("http://127.0.0.1:" + std::to_string(closedPort()) + "/");
    browser.navigate(server.url().toStdString());
    QObject* engine = waitForPage(browser);
    ASSERT_NE(engine, nullptr);
    ASSERT_EQ(engines(*panel).size(), 1);
    showPanel();

    const QString text = waitForText(engine, "1250");
    EXPECT_TRUE(text.contains("Korvala Deluxe 1.0 - Nilai Online")) << text.toStdString();
    EXPECT_TRUE(text.contains("Korvala")) << text.toStdString();
    EXPECT_TRUE(text.contains("indonesia")) << text.toStdString();
    EXPECT_FALSE(text.contains("email")) << "the page shows no e-mail address: " << text.toStdString();
    EXPECT_EQ(engine->property("title").toString(), "Korvala Deluxe 1.0 - Nilai Online");

    // Each navigate loads anew, the same address too: a score uploaded since
    // shows up.
    server.addScore("3000(Dewi)(dewi@example.com)(Indonesia)");
    browser.navigate(server.url().toStdString());
    const QString reloaded = waitForText(engine, "Dewi");
    EXPECT_LT(reloaded.indexOf("3000"), reloaded.indexOf("1250")) << reloaded.toStdString();

    // A page of another server replaces it.
    ScoreServer other("7(Budi)(budi@example.com)(Malaysia)");
    ASSERT_FALSE(other.url().isEmpty());
    browser.navigate(other.url().toStdString());
    const QString second = waitForText(engine, "Budi");
    EXPECT_FALSE(second.contains("1250")) << second.toStdString();
}

TEST_F(WebViewTest, anAddressThatCannotBeLoadedLeavesTheViewWorking) {
    ScoreServer server("99(Siti)(siti@example.com)(Brunei)");
    ASSERT_FALSE(server.url().isEmpty());
    showPanel();
    QtWebView browser(panel.get(), kPlace);
    QObject* engine = waitForPage(browser);
    ASSERT_NE(engine, nullptr);

    // A server that hangs up on every connection without a word.
    QTcpServer hangsUp;
    ASSERT_TRUE(hangsUp.listen(QHostAddress::LocalHost, 0));
    QObject::connect(&hangsUp, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* s = hangsUp.nextPendingConnection()) {
            s->abort();
            s->deleteLater();
        }
    });

    const std::string unreachable[] = {
        "http://127.0.0.1:" + std::to_string(closedPort()) + "/",          // nobody listens
        "http://127.0.0.1:" + std::to_string(hangsUp.serverPort()) + "/",  // no answer
        "",                                                                // nothing at all
    };
    for (const std::string& url : unreachable) {
        SCOPED_TRACE(url);
        QSignalSpy finished(engine, SIGNAL(pageLoaded(bool)));
        browser.navigate(url);
        if (!url.empty()) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return !finished.isEmpty(); }, kHangMs));
            EXPECT_FALSE(finished.first().first().toBool());
        }
    }

    // The same view still loads a real page afterwards.
    browser.navigate(server.url().toStdString());
    const QString text = waitForText(engine, "Siti");
    EXPECT_TRUE(text.contains("99")) << text.toStdString();
}

}  // namespace
}  // namespace korvala

int main(int argc, char** argv) {
    // CTest sets these; the same when run by hand.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    korvala::prepareWebEngine();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
