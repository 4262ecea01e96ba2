// Under a real X server (run through korvala_harness.py xserver): the first
// opening of the browser leaves the game window's own native window as it
// is (never destroyed and made anew: the window would vanish and come back
// black), and the page then takes the player's real input, sent through the
// X server as a mouse and a keyboard would: a click into a text field and
// keys typed into it (not into the game's own text box that had the focus),
// a click on a link, the mouse wheel.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QWidget>
#include <string>

// After Qt's headers: Xlib defines Status, Bool and more as macros.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include "opengl_driver.h"
#include "page_reading.h"
#include "qt/web/qt_web_view.h"

namespace korvala {
namespace {

using web_test::kHangMs;
using web_test::waitForText;

const QRect kPlace(24, 216, 641, 233);  // the browser's place on the information panel

// A page with a text field, a link and more height than the view, each
// writing what happened to it into the page's text.
constexpr char kPage[] = R"page(<!DOCTYPE html><html><head><meta charset="utf-8"><style>
body { margin: 0; font: 16px sans-serif; }
#field { position: absolute; left: 10px; top: 10px; width: 200px; height: 30px; }
#link { position: absolute; left: 10px; top: 60px; }
#said { position: fixed; left: 300px; top: 10px; }
#tall { height: 3000px; }
</style></head><body>
<input id="field" oninput="say()">
<a id="link" href="#" onclick="clicked = true; say(); return false;">Tautan</a>
<div id="said">siap</div><div id="tall"></div>
<script>
var clicked = false;
function say() {
  document.getElementById('said').textContent = 'ketik:' + document.getElementById('field').value +
      ' klik:' + (clicked ? 'ya' : 'tidak') + ' gulir:' + (window.scrollY > 0 ? 'ya' : 'tidak');
}
window.addEventListener('scroll', say);
</script></body></html>)page";

int ignoreXErrors(Display*, XErrorEvent*) {
    return 0;  // a window asked about after it is gone is an answer, not a fault
}

// A connection of its own to the X server: real input through XTest, and
// word of the game window being unmapped or destroyed.
class XClient {
public:
    XClient() : display_(XOpenDisplay(nullptr)) { XSetErrorHandler(&ignoreXErrors); }
    ~XClient() {
        if (display_) XCloseDisplay(display_);
    }
    XClient(const XClient&) = delete;
    XClient& operator=(const XClient&) = delete;

    bool usable() const {
        int event = 0, error = 0, major = 0, minor = 0;
        return display_ && XTestQueryExtension(display_, &event, &error, &major, &minor);
    }
    void watch(Window window) {
        XSelectInput(display_, window, StructureNotifyMask);
        XSync(display_, False);
    }
    // How many times `window` was unmapped or destroyed since watch().
    int ends(Window window) {
        XSync(display_, False);
        int count = 0;
        while (XPending(display_)) {
            XEvent event;
            XNextEvent(display_, &event);
            if ((event.type == DestroyNotify && event.xdestroywindow.window == window) ||
                (event.type == UnmapNotify && event.xunmap.window == window))
                ++count;
        }
        return count;
    }
    bool viewable(Window window) {
        XWindowAttributes attributes;
        return XGetWindowAttributes(display_, window, &attributes) && attributes.map_state == IsViewable;
    }
    void button(QPoint screen, unsigned button) {
        XTestFakeMotionEvent(display_, -1, screen.x(), screen.y(), 0);
        XTestFakeButtonEvent(display_, button, True, 0);
        XTestFakeButtonEvent(display_, button, False, 0);
        XSync(display_, False);
    }
    void type(const std::string& letters) {
        for (char c : letters) {
            const KeyCode code = XKeysymToKeycode(display_, XStringToKeysym(std::string(1, c).c_str()));
            XTestFakeKeyEvent(display_, code, True, 0);
            XTestFakeKeyEvent(display_, code, False, 0);
        }
        XSync(display_, False);
    }

private:
    Display* display_;
};

TEST(WebWindow, firstOpeningKeepsTheGameWindowAndThePageTakesRealInput) {
    XClient x;
    if (!x.usable()) GTEST_SKIP() << "no X server with XTest (run under korvala_harness.py xserver)";
    QTemporaryDir dir;
    QFile file(dir.filePath("input.html"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(kPage);
    file.close();

    // The game window: its own text box holds the keyboard, the information
    // panel with the browser is not shown yet.
    QWidget window;
    window.setWindowTitle(QStringLiteral("Korvala Deluxe 1.0"));
    window.setFixedSize(687, 470);
    auto* nameBox = new QLineEdit(&window);
    nameBox->setGeometry(10, 10, 200, 24);
    auto* panel = new QWidget(&window);
    panel->setGeometry(0, 0, 687, 470);
    panel->hide();
    QtWebView browser(panel, kPlace);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    nameBox->setFocus();
    const WId before = window.winId();
    x.watch(before);

    // The first opening: the panel comes up and the browser is sent to the page.
    panel->show();
    browser.navigate(QUrl::fromLocalFile(file.fileName()).toString().toStdString());
    QObject* page = web_test::waitForPage(browser);
    ASSERT_NE(page, nullptr);
    waitForText(page, "siap");

    EXPECT_EQ(window.winId(), before) << "the game window was made anew";
    EXPECT_EQ(x.ends(before), 0) << "the game window's native window was unmapped or destroyed";
    EXPECT_TRUE(x.viewable(before));

    // The player's input, through the X server.
    const QPoint page0 = window.mapToGlobal(kPlace.topLeft());
    struct Step {
        const char* what;
        QPoint at;          // in the page
        unsigned button;    // 1: a click, 5: the wheel turned down
        std::string keys;   // typed after the button
        const char* shows;  // what the page then says
    };
    const Step steps[] = {
        {"a click into the text field, then keys", {60, 25}, 1, "korvala", "ketik:korvala"},
        {"a click on the link", {25, 70}, 1, "", "klik:ya"},
        {"the mouse wheel", {320, 150}, 5, "", "gulir:ya"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        x.button(page0 + step.at, step.button);
        if (!step.keys.empty()) {
            QTest::qWait(200);  // the click's focus change first
            x.type(step.keys);
        }
        waitForText(page, step.shows);
    }
    EXPECT_TRUE(nameBox->text().isEmpty()) << "the keys went to the game's text box: " << nameBox->text().toStdString();

    // Still the same window at the end.
    EXPECT_EQ(window.winId(), before);
    EXPECT_EQ(x.ends(before), 0);
    EXPECT_TRUE(x.viewable(before));
}

}  // namespace
}  // namespace korvala

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "xcb");
    korvala::prepareWebEngine();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    korvala::web_test::keepOpenGLDriverLoaded();
    return status;
}
