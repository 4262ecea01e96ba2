#include "system/transfer/upload_gate.h"

#include <algorithm>

namespace korvala {

void UploadGate::moved(Pending& pending) { pending.until = std::max(pending.until, Clock::now() + pending.longest); }

void UploadGate::uploadAsked(const std::string& server, std::chrono::milliseconds bound) {
    std::lock_guard lock(m_);
    Pending& p = pending_[server];
    ++p.count;
    p.longest = std::max(p.longest, bound);
    moved(p);
}

void UploadGate::uploadStarted(const std::string& server) {
    std::lock_guard lock(m_);
    if (auto it = pending_.find(server); it != pending_.end()) moved(it->second);
}

void UploadGate::uploadEnded(const std::string& server) {
    {
        std::lock_guard lock(m_);
        auto it = pending_.find(server);
        if (it == pending_.end()) return;
        if (--it->second.count <= 0) {
            pending_.erase(it);
        } else {
            moved(it->second);  // the next one starts once this one's cleanup is done
        }
    }
    idle_.notify_all();
}

void UploadGate::waitForUploads(const std::string& server, const std::function<bool()>& withdrawn) {
    std::unique_lock lock(m_);
    // In short steps, so that a withdrawn listing or a closing channel
    // stops waiting at once; the deadline is read afresh at each step.
    for (;;) {
        auto it = pending_.find(server);
        if (it == pending_.end() || Clock::now() >= it->second.until || withdrawn()) return;
        idle_.wait_for(lock, std::chrono::milliseconds(50));
    }
}

}  // namespace korvala
