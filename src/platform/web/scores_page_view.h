#pragma once
// The web browser port of the window: it takes addresses from the start, and
// its view is made at the browser's place when the information panel is
// first shown (an address sent before then is loaded at that moment).
#include <memory>
#include <string>

#include "platform/web/qt_web_view.h"

namespace korvala {

class ScoresPageView final : public WebView {
public:
    void navigate(const std::string& url) override {
        if (view_) {
            view_->navigate(url);
            return;
        }
        pending_ = url;
    }
    // The browser's widget at `place` on `parent`; made once.
    QWidget* attach(QWidget* parent, const QRect& place) {
        if (!view_) {
            view_ = std::make_unique<QtWebView>(parent, place);
            if (!pending_.empty()) view_->navigate(pending_);
        }
        return view_->widget();
    }

private:
    std::unique_ptr<QtWebView> view_;
    std::string pending_;
};

}  // namespace korvala
