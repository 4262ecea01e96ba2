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
// bounds each request from the moment it starts (after the uploads a
// listing waits for, see UploadGate), the wait for the loopback score server
// (setBeforeConnect) and a fall-back to plain FTP included; a connection on
// which nothing arrives for min(RequestTimeout, 15 s) is dropped sooner.
//
// Security: the login, the files and the listings go over TLS (AUTH TLS,
// then PROT P on the data connections), and the server's certificate must
// be trusted (see Trust) before anything else is sent: a server whose
// certificate is not trusted gets no login, not even the user name. Only a
// server that refuses AUTH outright is spoken to in plain FTP, and only
// when the player allowed it (Trust::plainFtp), on loopback too. A loopback
// server that gets no login for either reason is named once in the log, as
// a warning, with what the player can do.
//
// Every libcurl option of a request is checked as it is set: a request
// whose options libcurl refuses fails before connecting, with the option in
// its reason.
//
// A failed upload's temporary file (in the account's home folder, never in
// the score folder) is deleted after its report, before the next request
// runs, within min(RequestTimeout, 10 s); one cut short by quitting stays.
// The local file is opened without following a link.
//
// Destroying the channel returns promptly: it aborts a running transfer,
// stops the wait for the loopback server, drops the requests still waiting,
// and delivers no report after the destructor has begun. Destroy the channel
// on the window's thread; the function that hands callables to it must stay
// callable until then.
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "system/transfer/transfer_job.h"
#include "system/transfer/trust.h"
#include "system/transfer/upload_gate.h"
#include "window/ports.h"

namespace korvala {

class CurlChannel : public TransferChannel {
public:
    // Hands a callable to the window's thread; called from the worker thread.
    using WindowPost = std::function<void(std::function<void()>)>;
    // Maps the game's path of a local file ("C:/<name>") to the file on disk.
    using LocalResolver = korvala::LocalResolver;
    // Maps a score's name to a name safe to send to the server (no control
    // characters, no folder separators, never "." or ".."; the channel
    // refuses any other).
    using NameMapping = korvala::NameMapping;
    // Runs on the worker thread before a request connects (the game makes
    // sure its loopback score server runs there), with the time left of the
    // request's time-out and a token stopped when the channel is destroyed.
    // It may block, but must return within `limit` and soon after a stop.
    using BeforeConnect = std::function<void(std::chrono::milliseconds limit, std::stop_token stop)>;

    static constexpr int kStateFailed = 11;
    static constexpr int kStateCompleted = 12;

    struct Limits {
        // The largest listing held, as the game reads it; a larger one is a
        // failed listing. Lines too long for a name are dropped and not
        // counted (see ListingLines).
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
    // Before the first execute(): see BeforeConnect.
    void setBeforeConnect(BeforeConnect prepare);

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
