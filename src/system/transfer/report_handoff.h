#pragma once
// A channel's finished requests on their way to the window's thread. Each
// report is delivered there: its response takes the place of the previous
// one, then the channel's stateChanged is called. A report is not delivered
// when it belongs to a listing older than the newest one, or once the
// channel has closed the hand-off; and never while a response is being
// read: a report that arrives after getChunk() has given the first bytes of
// a response is held until getChunk() has returned empty for it, then
// delivered as a new window event (a newer held report replaces an older
// one). So one response is never spliced with another.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "window/ports.h"

namespace korvala {

class ReportHandOff {
public:
    // Hands a callable to the window's thread; may be called from any thread.
    using WindowPost = std::function<void(std::function<void()>)>;

    struct Report {
        int state = 0;  // what stateChanged is called with
        std::string response;
        std::string reason;         // why the request ended as it did, "" when it succeeded
        std::uint64_t listing = 0;  // a listing's number on the channel; 0: not a listing
    };

    ReportHandOff(TransferChannel& owner, WindowPost post);
    ReportHandOff(const ReportHandOff&) = delete;
    ReportHandOff& operator=(const ReportHandOff&) = delete;

    // From any thread.
    void send(Report report);

    // The rest are for the window's thread.
    // Listings numbered below `listing` deliver no report from now on.
    void newestListing(std::uint64_t listing);
    // The next at most `size` bytes of the delivered response; empty once
    // it has all been read.
    std::string chunk(std::size_t size);
    // The reason of the last delivered report.
    std::string reason() const;
    // No report is delivered from now on; a held one is dropped.
    void close();

private:
    struct State;
    static void deliver(const std::shared_ptr<State>& state, Report report);
    std::shared_ptr<State> state_;
};

}  // namespace korvala
