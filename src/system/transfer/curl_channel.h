#pragma once
// The FTP transfer channel of the score service (Inet1 lists the scores,
// Inet3 uploads one), built on libcurl and one worker thread per channel.
//
// Requests run one at a time, in the order they were executed; a request
// that arrives while another runs waits its turn. Every request ends in
// exactly one report, delivered on the window's thread through
// `stateChanged`: kStateCompleted once the response can be read, kStateFailed
// when it failed (its response is then empty). The one exception is a
// listing: a newer listing on the same channel withdraws every older one,
// waiting or running, and a withdrawn listing gives no report, so a burst of
// listing requests gives one report, holding the newest listing. Uploads all
// run, in order.
//
// The response the game reads with getChunk() is the one delivered with the
// report being handled. A report is delivered (its response taking the place
// of the previous one, just before `stateChanged` is called) only while no
// response is being read: once getChunk() has given the first bytes of a
// response, a report that arrives is held back until getChunk() has returned
// empty for it, then delivered as a new window event (a newer held report
// replaces an older one). So one response is never spliced with another.
//
// RequestTimeout (seconds; anything but a positive number counts as 60)
// bounds each request, a fall-back to plain FTP included; a connection on
// which nothing arrives for min(RequestTimeout, 15 s) is dropped sooner. A
// listing that waits for uploads (UploadGate) waits at most as long as those
// uploads' own time-out, and its own time-out counts from its start.
//
// Security: the login, the files and the listings all go over TLS (AUTH TLS,
// then PROT P on the data connections) wherever the server accepts it, and
// the server's certificate must be trusted (see Trust). A server that
// refuses AUTH outright is spoken to in plain FTP only on loopback, or
// elsewhere when the player allowed it; a certificate that is not trusted
// fails the request, the password is never sent in clear then.
//
// A failed upload's temporary file (in the account's home folder, never in
// the score folder) is deleted after its report, before the next request
// runs, within min(RequestTimeout, 10 s); one cut short by quitting stays.
// The local file is opened without following a link.
//
// Destroying the channel aborts a running transfer and returns promptly;
// requests still waiting are dropped and no report is delivered after the
// destructor has begun. Destroy the channel on the window's thread; the
// function that hands callables to it must stay callable until then.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "window/ports.h"

namespace korvala {

// Which certificates a channel trusts, decided per request by the server's
// host.
struct Trust {
    // Given by the player: trusted instead of any other, for every host.
    std::filesystem::path caFile;
    // The loopback score server's own certificate for this player: trusted
    // for a loopback host (localhost, 127.0.0.0/8, ::1) once it exists. Any
    // other host is checked against the system's certificates.
    std::filesystem::path loopbackCaFile;
    // Plain FTP after a refused AUTH TLS for a host that is not loopback
    // (anyone on the way could refuse AUTH and read the password).
    bool plainFtp = false;
};

// Shared by the channels of one game, so that a listing asked for while an
// upload to the same server is still running or waiting starts once that
// upload has ended: the board after "Ya" then holds the score just sent.
class UploadGate {
public:
    using Clock = std::chrono::steady_clock;
    // An upload to `server` was asked for; it ends with uploadEnded().
    void uploadAsked(const std::string& server, std::chrono::seconds timeout);
    void uploadEnded(const std::string& server);
    // Waits until no upload to `server` is running or waiting, for at most
    // the longest time-out of those uploads, or until `withdrawn()` holds.
    void waitForUploads(const std::string& server, const std::function<bool()>& withdrawn);

private:
    struct Pending {
        int count = 0;
        std::chrono::seconds longest{0};
    };
    std::mutex m_;
    std::condition_variable idle_;
    std::map<std::string, Pending> pending_;
};

class CurlChannel : public TransferChannel {
public:
    // Hands a callable to the window's thread; called from the worker thread.
    using WindowPost = std::function<void(std::function<void()>)>;
    // Maps the game's path of a local file ("C:/<name>") to the file on disk.
    using LocalResolver = std::function<std::optional<std::filesystem::path>(const std::string& gamePath)>;
    // Maps a score's name to a name safe to send to the server (no control
    // characters, no folder separators, never "." or "..").
    using NameMapping = std::function<std::string(std::string_view name)>;

    static constexpr int kStateFailed = 11;
    static constexpr int kStateCompleted = 12;

    struct Limits {
        // The largest listing held; a larger one is a failed listing.
        std::size_t maxResponseBytes = std::size_t{64} << 20;
        // Requests that may wait behind the running one; one more fails at
        // once, with its own report.
        std::size_t maxWaiting = 16;
    };

    // The resolver and the mapping are called on the window's thread, from
    // execute().
    CurlChannel(WindowPost toWindowThread, LocalResolver resolveLocal, NameMapping remoteName, Trust trust,
                Limits limits);
    // `caFile`: the certificate file to trust for every host; empty means the
    // system's store.
    CurlChannel(WindowPost toWindowThread, LocalResolver resolveLocal, NameMapping remoteName,
                std::filesystem::path caFile, Limits limits)
        : CurlChannel(std::move(toWindowThread), std::move(resolveLocal), std::move(remoteName),
                      Trust{std::move(caFile), {}, false}, limits) {}
    CurlChannel(WindowPost toWindowThread, LocalResolver resolveLocal, NameMapping remoteName,
                std::filesystem::path caFile)
        : CurlChannel(std::move(toWindowThread), std::move(resolveLocal), std::move(remoteName),
                      Trust{std::move(caFile), {}, false}, Limits{}) {}
    ~CurlChannel() override;

    CurlChannel(const CurlChannel&) = delete;
    CurlChannel& operator=(const CurlChannel&) = delete;

    // Before the first execute(): the gate this channel's uploads and
    // listings share with the game's other channel.
    void setUploadGate(std::shared_ptr<UploadGate> gate);
    // Before the first execute(): called on the worker thread before each
    // request connects (the game starts its loopback score server there);
    // it may block, within the request's time-out.
    void setBeforeConnect(std::function<void()> prepare);

    void execute(const ChannelSettings& settings, const TransferRequest& request) override;
    std::string getChunk(std::size_t size) override;

    // Why the request of the last delivered report ended as it did ("" when
    // it succeeded), for the game's log and for tests.
    std::string lastReason() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace korvala
