#pragma once
// A transfer channel that sends nothing: it records each request and answers
// only when told to, under the virtual clock.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "doubles/recording_ui.h"
#include "window/ports.h"

namespace korvala {

class RecordingChannel : public TransferChannel {
public:
    RecordingChannel(std::string element, ActionLog& log) : element_(std::move(element)), log_(log) {}

    // A new request discards whatever of an earlier response is still
    // unread, unless that response is being read: as with the real channel,
    // a read in progress goes on with its own bytes.
    void execute(const ChannelSettings& settings, const TransferRequest& request) override {
        lastSettings = settings;
        requests.push_back(request);
        if (!reading_) {
            response_.clear();
            read_ = 0;
        }
        log_.add({"request", element_, request.operation});
    }
    std::string getChunk(std::size_t size) override {
        const std::size_t n = std::min(size, response_.size() - read_);
        std::string chunk = response_.substr(read_, n);
        read_ += n;
        reading_ = !chunk.empty();
        if (!reading_ && held_) {
            // The read is over: the report that waited for it comes now (the
            // window runs it once the handler reading has finished).
            Held next = std::move(*held_);
            held_.reset();
            if (next.response) {
                response_ = std::move(*next.response);
                read_ = 0;
            }
            report();
        }
        return chunk;
    }

    // The response becomes `text` and the channel reports once, now; while
    // a response is being read, once that read is over.
    void answer(std::string text) {
        if (reading_) {
            held_ = Held{std::move(text)};
            return;
        }
        response_ = std::move(text);
        read_ = 0;
        report();
    }
    // The request failed: nothing to read, one report now.
    void fail() { answer({}); }
    // One more report; it can read whatever is still unread.
    void report() {
        if (reading_) {
            if (!held_) held_ = Held{};
            return;
        }
        if (stateChanged) stateChanged(12);  // the "response completed" state
    }

    std::vector<TransferRequest> requests;
    ChannelSettings lastSettings;

private:
    struct Held {
        std::optional<std::string> response;  // none: the report reads what is left
    };

    std::string element_;
    ActionLog& log_;
    std::string response_;
    std::size_t read_ = 0;
    bool reading_ = false;      // getChunk() has begun a response and not yet returned empty
    std::optional<Held> held_;  // a report that arrived during a read
};

}  // namespace korvala
