#pragma once
// Shared by the channels of one game, so that a listing asked for while an
// upload to the same server is still running or waiting starts once that
// upload has ended: the board after "Ya" then holds the score just sent.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace korvala {

class UploadGate {
public:
    using Clock = std::chrono::steady_clock;

    // An upload to `server` was asked for; `bound` is the longest it may
    // take once it has started, its cleanup included. It ends with
    // uploadEnded().
    void uploadAsked(const std::string& server, std::chrono::milliseconds bound);
    // An upload to `server` asked for earlier starts now.
    void uploadStarted(const std::string& server);
    void uploadEnded(const std::string& server);

    // Waits until no upload to `server` is running or waiting, or until
    // `withdrawn()` holds. Uploads waiting behind others are waited for too:
    // the wait ends early only when the uploads stop moving, that is when
    // none has been asked for, started or ended for the longest bound of
    // those asked.
    void waitForUploads(const std::string& server, const std::function<bool()>& withdrawn);

private:
    struct Pending {
        int count = 0;
        std::chrono::milliseconds longest{0};
        Clock::time_point until;  // the wait ends here unless an upload moves before
    };
    void moved(Pending& pending);

    std::mutex m_;
    std::condition_variable idle_;
    std::map<std::string, Pending> pending_;
};

}  // namespace korvala
