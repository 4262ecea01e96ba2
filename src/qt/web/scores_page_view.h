#pragma once
// The web browser port of the window: it takes addresses from the start, and
// its view is made at the browser's place when the information panel is
// first shown (the browser keeps the last address sent before then and
// loads it at that moment).
#include <functional>
#include <string>

#include "qt/web/qt_web_view.h"

namespace korvala {

class ScoresPageView final : public WebView {
public:
    // Runs `load` once the page's server can answer, on the window's thread;
    // set by the game when it starts that server itself.
    using BeforeLoad = std::function<void(std::function<void()> load)>;
    void setBeforeLoad(BeforeLoad beforeLoad) { beforeLoad_ = std::move(beforeLoad); }

    // The menu's selection reached Info Online: the engine's libraries start
    // loading behind the window's back, so that the click finds them in.
    void prepare() override { prefetchWebEngine(); }

    void navigate(const std::string& url) override {
        if (beforeLoad_) {
            beforeLoad_([this, url] { view_.navigate(url); });
            return;
        }
        view_.navigate(url);
    }
    // The browser's widget at `place` on `parent`; made once.
    QWidget* attach(QWidget* parent, const QRect& place) { return view_.place(parent, place); }

private:
    BeforeLoad beforeLoad_;
    QtWebView view_;
};

}  // namespace korvala
