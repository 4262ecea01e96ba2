#pragma once
// A transfer channel that sends nothing: it records each request and answers
// only when told to, under the virtual clock.
#include <algorithm>
#include <string>
#include <vector>

#include "doubles/recording_ui.h"
#include "window/ports.h"

namespace korvala {

class RecordingChannel : public TransferChannel {
public:
    RecordingChannel(std::string element, ActionLog& log) : element_(std::move(element)), log_(log) {}

    // A new request discards whatever of an earlier response is still unread.
    void execute(const ChannelSettings& settings, const TransferRequest& request) override {
        lastSettings = settings;
        requests.push_back(request);
        response_.clear();
        read_ = 0;
        log_.add({"request", element_, request.operation});
    }
    std::string getChunk(std::size_t size) override {
        const std::size_t n = std::min(size, response_.size() - read_);
        std::string chunk = response_.substr(read_, n);
        read_ += n;
        return chunk;
    }

    // The response becomes `text` and the channel reports once, now.
    void answer(std::string text) {
        response_ = std::move(text);
        read_ = 0;
        report();
    }
    // The request failed: nothing to read, one report now.
    void fail() { answer({}); }
    // One more report; it can read whatever is still unread.
    void report() {
        if (stateChanged) stateChanged(12);  // the "response completed" state
    }

    std::vector<TransferRequest> requests;
    ChannelSettings lastSettings;

private:
    std::string element_;
    ActionLog& log_;
    std::string response_;
    std::size_t read_ = 0;
};

}  // namespace korvala
