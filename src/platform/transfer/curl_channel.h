#pragma once
// The FTP transfer channel of the score service (Inet1 lists the scores,
// Inet3 uploads one), built on libcurl and one worker thread per channel.
//
// Requests run one at a time, in the order they were executed; a request
// that arrives while another runs waits its turn. Every request ends in
// exactly one report, delivered on the window's thread through
// `stateChanged`: kStateCompleted once the response can be read, kStateFailed
// when it failed (its response is then empty).
//
// The response the game reads with getChunk() is replaced at the moment a
// report is delivered, just before `stateChanged` is called: until then
// getChunk() goes on returning what is unread of the previous response, and
// from then on only the new one (an upload's response, and a failed
// request's, is empty).
//
// RequestTimeout (seconds; anything but a positive number counts as 60)
// bounds each request, a fall-back to plain FTP included; a connection on
// which nothing arrives for min(RequestTimeout, 15 s) is dropped sooner.
//
// Security: the login is sent over TLS (AUTH TLS, control connection only)
// wherever the server accepts it, and the server's certificate must be
// trusted (the given CA file, else the system's store). Only a server that
// refuses AUTH outright is spoken to in plain FTP; a certificate that is not
// trusted fails the request, the password is never sent in clear then.
//
// A failed upload's temporary file (in the account's home folder, never in
// the score folder) is deleted after its report, before the next request
// runs, within min(RequestTimeout, 10 s); one cut short by quitting stays.
//
// Destroying the channel aborts a running transfer and returns promptly;
// requests still waiting are dropped and no report is delivered after the
// destructor has begun. Destroy the channel on the window's thread; the
// function that hands callables to it must stay callable until then.
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "window/ports.h"

namespace korvala {

// Prepares libcurl for the whole program. Called once by main before any
// thread is started (and by every program that uses CurlChannel).
void initTransfers();

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
    // execute(). `caFile` is the certificate file to trust for TLS; empty
    // means the system's store.
    CurlChannel(WindowPost toWindowThread, LocalResolver resolveLocal, NameMapping remoteName,
                std::filesystem::path caFile, Limits limits);
    CurlChannel(WindowPost toWindowThread, LocalResolver resolveLocal, NameMapping remoteName,
                std::filesystem::path caFile)
        : CurlChannel(std::move(toWindowThread), std::move(resolveLocal), std::move(remoteName),
                      std::move(caFile), Limits{}) {}
    ~CurlChannel() override;

    CurlChannel(const CurlChannel&) = delete;
    CurlChannel& operator=(const CurlChannel&) = delete;

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
