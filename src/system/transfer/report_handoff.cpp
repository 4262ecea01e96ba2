#include "system/transfer/report_handoff.h"

#include <algorithm>
#include <mutex>
#include <optional>

namespace korvala {

// Shared with the reports on their way, so it outlives the channel.
struct ReportHandOff::State {
    mutable std::mutex m;
    TransferChannel* owner = nullptr;  // null once closed
    WindowPost post;
    std::uint64_t newestListing = 0;  // the listing that may still report
    std::string response;
    std::size_t offset = 0;
    bool reading = false;        // chunk() has begun this response and not yet returned empty
    std::optional<Report> held;  // arrived while a response was being read
    std::string reason;
};

ReportHandOff::ReportHandOff(TransferChannel& owner, WindowPost post) : state_(std::make_shared<State>()) {
    state_->owner = &owner;
    state_->post = std::move(post);
}

void ReportHandOff::send(Report report) {
    if (!state_->post) return;
    auto carried = std::make_shared<Report>(std::move(report));
    state_->post([state = state_, carried] { deliver(state, std::move(*carried)); });
}

void ReportHandOff::deliver(const std::shared_ptr<State>& state, Report report) {
    std::function<void(int)> notify;
    {
        std::lock_guard lock(state->m);
        if (!state->owner) return;
        if (report.listing != 0 && report.listing != state->newestListing) return;  // withdrawn
        if (state->reading) {
            state->held = std::move(report);  // delivered once the read in progress is done
            return;
        }
        state->response = std::move(report.response);
        state->offset = 0;
        state->reason = std::move(report.reason);
        notify = state->owner->stateChanged;
    }
    if (notify) notify(report.state);
}

void ReportHandOff::newestListing(std::uint64_t listing) {
    std::lock_guard lock(state_->m);
    state_->newestListing = listing;
}

std::string ReportHandOff::chunk(std::size_t size) {
    std::optional<Report> held;
    std::string chunk;
    {
        std::lock_guard lock(state_->m);
        const std::size_t n = std::min(size, state_->response.size() - state_->offset);
        chunk = state_->response.substr(state_->offset, n);
        state_->offset += n;
        if (state_->offset == state_->response.size()) {
            std::string().swap(state_->response);  // all read: let the memory go
            state_->offset = 0;
        }
        if (!chunk.empty()) {
            state_->reading = true;
        } else {
            // The read is over: a report that waited for it comes next.
            state_->reading = false;
            held = std::move(state_->held);
            state_->held.reset();
        }
    }
    if (held) send(std::move(*held));
    return chunk;
}

std::string ReportHandOff::reason() const {
    std::lock_guard lock(state_->m);
    return state_->reason;
}

void ReportHandOff::close() {
    std::lock_guard lock(state_->m);
    state_->owner = nullptr;
    state_->held.reset();
}

}  // namespace korvala
