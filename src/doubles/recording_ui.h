#pragma once
// The message box, the program's exit and the web browser as records: each
// message box is answered with OK at once, the exit only remembers that it
// was asked for, and the browser remembers the addresses it was sent to.
#include <string>
#include <utility>
#include <vector>

#include "window/ports.h"

namespace korvala {

// What the program sent out, in order: each request on a transfer channel
// ("request", "Inet1", "DIR Korvala/") and each page navigation ("navigate",
// "WBX", address).
struct Action {
    std::string verb, element, value;
};
class ActionLog {
public:
    void add(Action a) { actions_.push_back(std::move(a)); }
    std::vector<Action> take() { return std::exchange(actions_, {}); }

private:
    std::vector<Action> actions_;
};

struct ShownMessage {
    std::string title, prompt;
};

class RecordingMessageBox : public MessageBox {
public:
    void critical(const std::string& title, const std::string& prompt) override { shown.push_back({title, prompt}); }
    std::vector<ShownMessage> take() { return std::exchange(shown, {}); }
    std::vector<ShownMessage> shown;
};

class RecordingExit : public ProgramExit {
public:
    void quit() override { ++quits; }
    int quits = 0;
};

class RecordingWebView : public WebView {
public:
    RecordingWebView(std::string element, ActionLog& log) : element_(std::move(element)), log_(log) {}
    void navigate(const std::string& url) override {
        pages.push_back(url);
        log_.add({"navigate", element_, url});
    }
    // A hint only: counted, not logged among the requests.
    void prepare() override { ++prepared; }
    std::vector<std::string> pages;
    int prepared = 0;

private:
    std::string element_;
    ActionLog& log_;
};

}  // namespace korvala
