#include "system/transfer/curl_channel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "system/log/log.h"
#include "system/transfer/curl_api.h"
#include "system/transfer/listing_lines.h"
#include "system/transfer/report_handoff.h"
#include "system/transfer/request_log.h"

namespace korvala {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A connection on which nothing arrives for this long (or the whole request
// timeout, when that is shorter) is dropped: no reply to a command, no byte
// of a transfer, no answer to the connection attempt.
constexpr int kStallSeconds = 15;
// Removing an upload's temporary file after a failure gets its own bound.
constexpr int kCleanupSeconds = 10;
// libcurl enforces the request timeout itself; past it by this much the
// worker gives up on its own (a server that never answers the closing QUIT).
constexpr auto kDeadlineGrace = std::chrono::seconds(2);

int cleanupSeconds(const ChannelSettings& settings) {
    return std::min(timeoutSeconds(settings.RequestTimeout), kCleanupSeconds);
}

// The longest an upload holds the gate once it has started: its time-out,
// the worker's grace past it and the cleanup after a failure.
milliseconds uploadBound(const ChannelSettings& settings) {
    return std::chrono::seconds(timeoutSeconds(settings.RequestTimeout) + cleanupSeconds(settings)) + kDeadlineGrace;
}

struct SList {
    curl_slist* list = nullptr;
    SList() = default;
    SList(const SList&) = delete;
    SList& operator=(const SList&) = delete;
    ~SList() { curlApi().slist_free_all(list); }
    bool add(const std::string& line) {
        curl_slist* grown = curlApi().slist_append(list, line.c_str());
        if (!grown) return false;
        list = grown;
        return true;
    }
};

// A request's options, each checked as it is set: the first one libcurl
// refuses is kept, with libcurl's reason, and the rest are not set.
class Options {
public:
    explicit Options(CURL* handle) : h_(handle) {}
    template <typename Value>
    void set(CURLoption option, const char* name, Value value) {
        if (!refused_.empty()) return;
        const CURLcode rc = curlApi().easy_setopt(h_, option, value);
        if (rc != CURLE_OK) {
            code_ = rc;
            refused_ = std::string("libcurl refused the option ") + name + ": " + curlApi().easy_strerror(rc);
        }
    }
    bool ok() const { return refused_.empty(); }
    CURLcode code() const { return code_; }
    const std::string& refused() const { return refused_; }

private:
    CURL* h_;
    CURLcode code_ = CURLE_OK;
    std::string refused_;
};

// The option's own name goes into the reason of a refusal.
#define KORVALA_SET(options, option, value) (options).set(option, #option, value)

// An upload's temporary file left on the server by a failed upload.
struct Leftover {
    FtpLocation at;
    ChannelSettings settings;
    std::string name;
    bool tls = false;
    std::string where;  // the server, for the log
};

// A file read whole; nullopt when it cannot be read.
std::optional<std::string> readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return text;
}

}  // namespace

struct CurlChannel::Impl {
    Impl(CurlChannel& owner, WindowPost toWindow) : reports(owner, std::move(toWindow)) {}

    LocalResolver resolveLocal;
    NameMapping remoteName;
    Trust trust;
    Limits limits;
    std::shared_ptr<UploadGate> gate;
    BeforeConnect beforeConnect;
    // The newest listing asked for; an older one still waiting or running is
    // withdrawn.
    std::atomic<std::uint64_t> newestListing{0};

    ReportHandOff reports;

    std::mutex m;
    std::condition_variable wake;
    std::deque<TransferJob> waiting;
    bool stopping = false;
    std::atomic<bool> abort{false};
    // Stopped with `abort`: ends a wait before connecting.
    std::stop_source stop;

    CURLM* multi = nullptr;
    std::thread worker;

    void report(const TransferJob& job, TransferOutcome outcome);
    void endUpload(const TransferJob& job);
    void run();
    bool withdrawn(const TransferJob& job) const {
        return job.kind == TransferRequest::Kind::Listing && job.listing != newestListing.load();
    }
};

namespace {

// The worker's side: one easy handle, used only on the worker thread.
class Worker {
public:
    explicit Worker(CurlChannel::Impl& channel)
        : ch_(channel), easy_(curlApi().loaded() ? curlApi().easy_init() : nullptr) {
        std::random_device seed;
        rng_.seed((std::uint64_t{seed()} << 32) ^ seed());
    }
    ~Worker() {
        if (easy_) curlApi().easy_cleanup(easy_);
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    TransferOutcome run(const TransferJob& job, std::optional<Leftover>& leftover) {
        job_ = &job;
        TransferOutcome outcome = attempt(job, leftover);
        if (ch_.withdrawn(job)) outcome.withdrawn = true;
        job_ = nullptr;
        return outcome;
    }

    // Best effort: a failed upload's temporary file is deleted.
    void removeLeftover(const Leftover& left) {
        Attempt a =
            begin(left.at, left.settings, "", Clock::now() + std::chrono::seconds(cleanupSeconds(left.settings)));
        a.tls = left.tls;
        SList quote;
        if (a.url.empty() || !quote.add("DELE " + left.name)) return;
        const CURLcode rc = perform(a, [&](Options& o) {
            KORVALA_SET(o, CURLOPT_NOBODY, 1L);
            KORVALA_SET(o, CURLOPT_QUOTE, quote.list);
        });
        if (rc != CURLE_OK && !ch_.abort)
            log::detail(log::Area::Online,
                        "the failed upload's temporary file on " + left.where + " stays: " + reason(rc));
    }

private:
    TransferOutcome attempt(const TransferJob& job, std::optional<Leftover>& leftover) {
        if (!job.refused.empty() || !job.at) return {false, {}, job.refused};
        if (!curlApi().loaded()) return {false, {}, curlApi().failure};
        if (!easy_ || !ch_.multi) return {false, {}, "the transfer library could not start"};
        if (job.kind == TransferRequest::Kind::Listing) {
            // The board should hold what the uploads asked before it send.
            if (ch_.gate) ch_.gate->waitForUploads(job.server, [&] { return stopped(); });
            if (stopped()) return {false, {}, "withdrawn"};
        } else if (ch_.gate) {
            ch_.gate->uploadStarted(job.server);
        }
        // The request's time-out counts from here, the wait for the server
        // included.
        const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds(job.settings.RequestTimeout));
        if (ch_.beforeConnect) ch_.beforeConnect(timeLeft(deadline), ch_.stop.get_token());
        if (stopped()) return {false, {}, "withdrawn"};
        return job.kind == TransferRequest::Kind::Listing ? listing(job, deadline) : upload(job, deadline, leftover);
    }

    static milliseconds timeLeft(Clock::time_point deadline) {
        return std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
    }

    // The channel is going away, or the running listing was withdrawn.
    bool stopped() const { return ch_.abort || (job_ && ch_.withdrawn(*job_)); }

    struct Attempt {
        const ChannelSettings* settings = nullptr;
        std::string url;
        std::string where;  // the server, for the log
        bool tls = true;
        bool loopback = false;                            // the server is this machine
        std::vector<std::filesystem::path> certificates;  // empty: the system's store
        Clock::time_point deadline;
    };

    // One level of a path on the server, percent-encoded by libcurl
    // (nullopt: out of memory).
    std::optional<std::string> escaped(const std::string& level) {
        char* text = curlApi().easy_escape(easy_, level.c_str(), static_cast<int>(level.size()));
        if (!text) return std::nullopt;
        std::string out(text);
        curlApi().free(text);
        return out;
    }

    TransferOutcome listing(const TransferJob& job, Clock::time_point deadline) {
        std::string path;
        for (const std::string& level : job.folder) {
            const auto part = escaped(level);
            if (!part) return {false, {}, "out of memory"};
            path += *part + '/';
        }
        Attempt a = begin(*job.at, job.settings, path, deadline);

        struct Sink {
            ListingLines lines;
            bool tooLarge = false;
        };
        std::optional<Sink> sink;
        auto onData = +[](char* data, std::size_t, std::size_t n, void* user) -> std::size_t {
            auto* s = static_cast<Sink*>(user);
            try {
                if (s->lines.add(std::string_view(data, n))) return n;
            } catch (...) {
            }
            s->tooLarge = true;
            return 0;  // ends the transfer with a write error
        };
        const CURLcode rc = performSecured(a, [&](Options& o) {
            sink.emplace(Sink{ListingLines(ch_.limits.maxResponseBytes)});
            KORVALA_SET(o, CURLOPT_DIRLISTONLY, 1L);
            KORVALA_SET(o, CURLOPT_WRITEFUNCTION, onData);
            KORVALA_SET(o, CURLOPT_WRITEDATA, &*sink);
        });
        if (sink && sink->tooLarge) return {false, {}, "the listing is larger than the channel holds"};
        if (rc != CURLE_OK) return {false, {}, reason(rc)};
        if (const std::size_t dropped = sink->lines.droppedLines(); dropped > 0) {
            log::warning(log::Area::Online, requestName(job) + ": " + std::to_string(dropped) +
                                                (dropped == 1 ? " line" : " lines") + " longer than " +
                                                std::to_string(ListingLines::kMaxLineBytes) +
                                                " bytes dropped (no file name is that long)");
        }
        return {true, sink->lines.finish(), {}, false, !a.tls};
    }

    TransferOutcome upload(const TransferJob& job, Clock::time_point deadline, std::optional<Leftover>& leftover) {
        // The score file as the game wrote it: never a link, never anything
        // but a regular file (opening a FIFO must not block).
        const int fd = ::open(job.localFile.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return {false, {}, errno == ENOENT ? "the local file is missing" : "the local file cannot be read"};
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return {false, {}, "the local file is not a regular file"};
        }
        std::unique_ptr<std::FILE, decltype(&std::fclose)> file(::fdopen(fd, "rb"), &std::fclose);
        if (!file) ::close(fd);
        if (!file || std::fseek(file.get(), 0, SEEK_END) != 0) return {false, {}, "the local file cannot be read"};
        const long size = std::ftell(file.get());
        if (size < 0) return {false, {}, "the local file cannot be read"};

        // Uploaded into the home folder under a name of its own, then moved
        // into the score folder in one step once complete: a listing never
        // shows a half-written score, and the temporary name is not hidden.
        char tmp[64];
        std::snprintf(tmp, sizeof tmp, "korvala-upload-%016llx.part", static_cast<unsigned long long>(rng_()));
        std::string target;
        for (const std::string& level : job.folder) target += level + '/';
        target += job.remoteName;

        const auto tmpPath = escaped(tmp);
        if (!tmpPath) return {false, {}, "out of memory"};
        Attempt a = begin(*job.at, job.settings, *tmpPath, deadline);
        SList after;
        const std::string rnfr = std::string("RNFR ") + tmp, rnto = "RNTO " + target;
        if (hasControl(rnfr) || hasControl(rnto)) return {false, {}, "unsafe remote name"};
        if (!after.add(rnfr) || !after.add(rnto)) return {false, {}, "out of memory"};

        bool storSent = false;
        auto onRead = +[](char* buffer, std::size_t item, std::size_t n, void* user) -> std::size_t {
            auto* f = static_cast<std::FILE*>(user);
            const std::size_t got = std::fread(buffer, item, n, f);
            return got == 0 && std::ferror(f) ? CURL_READFUNC_ABORT : got;
        };
        auto onDebug = +[](CURL*, curl_infotype type, char* data, std::size_t n, void* user) -> int {
            if (type == CURLINFO_HEADER_OUT && std::string_view(data, n).substr(0, 5) == "STOR ")
                *static_cast<bool*>(user) = true;
            return 0;
        };
        const CURLcode rc = performSecured(a, [&](Options& o) {
            std::rewind(file.get());
            KORVALA_SET(o, CURLOPT_UPLOAD, 1L);
            KORVALA_SET(o, CURLOPT_READFUNCTION, onRead);
            KORVALA_SET(o, CURLOPT_READDATA, file.get());
            KORVALA_SET(o, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
            KORVALA_SET(o, CURLOPT_POSTQUOTE, after.list);
            KORVALA_SET(o, CURLOPT_DEBUGFUNCTION, onDebug);
            KORVALA_SET(o, CURLOPT_DEBUGDATA, &storSent);
            KORVALA_SET(o, CURLOPT_VERBOSE, 1L);
        });
        if (rc == CURLE_OK) return {true, {}, {}, false, !a.tls};
        if (storSent) leftover = Leftover{*job.at, job.settings, tmp, a.tls, job.where};
        return {false, {}, reason(rc)};
    }

    Attempt begin(const FtpLocation& at, const ChannelSettings& settings, const std::string& path,
                  Clock::time_point deadline) {
        Attempt a;
        a.settings = &settings;
        a.deadline = deadline;
        a.url = ftpUrl(at, path);
        a.where = authority(at.server);
        a.loopback = isLoopbackHost(at.server.host);
        a.certificates = certificatesFor(ch_.trust, a.loopback);
        return a;
    }

    // TLS first, on the control and the data connections. Only a server
    // that refuses AUTH is asked again without it, and only where the player
    // allowed plain FTP; every other failure (an untrusted certificate, a
    // broken handshake) stands, so the password is never sent in clear to a
    // server that claimed to speak TLS.
    template <typename Extra>
    CURLcode performSecured(Attempt& a, const Extra& extra) {
        a.tls = true;
        CURLcode rc = perform(a, extra);
        if (rc == CURLE_USE_SSL_FAILED && !stopped()) {
            if (!ch_.trust.plainFtp) {
                std::snprintf(error_, sizeof error_, "%s",
                              "the server refused TLS, and plain FTP is allowed only with plain-ftp");
                if (a.loopback) tellDistrustedLoopback(a.where, Distrust::RefusesTls);
                return rc;
            }
            if (job_)
                log::detail(log::Area::Online, a.where + " refused TLS (AUTH): the " + kindName(job_->kind) +
                                                   " goes on in plain FTP, allowed by plain-ftp");
            a.tls = false;
            rc = perform(a, extra);
        }
        if (a.loopback && untrusted(rc)) tellDistrustedLoopback(a.where, Distrust::UntrustedCertificate);
        return rc;
    }

    static bool untrusted(CURLcode rc) {
        return rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_ISSUER_ERROR ||
               rc == CURLE_SSL_PINNEDPUBKEYNOTMATCH;
    }

    // The certificates of `a` as libcurl takes them: one file by its name,
    // several as one block of text; only those, never the system's store.
    static void trustCertificates(Options& o, const Attempt& a) {
        if (a.certificates.empty()) return;
        KORVALA_SET(o, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
        if (a.certificates.size() == 1) {
            KORVALA_SET(o, CURLOPT_CAINFO, a.certificates.front().c_str());
            return;
        }
        std::string all;
        for (const std::filesystem::path& file : a.certificates) {
            if (auto text = readFile(file)) all += *text + "\n";
        }
        curl_blob blob{all.data(), all.size(), CURL_BLOB_COPY};
        KORVALA_SET(o, CURLOPT_CAINFO, static_cast<const char*>(nullptr));
        KORVALA_SET(o, CURLOPT_CAINFO_BLOB, &blob);
    }

    template <typename Extra>
    CURLcode perform(const Attempt& a, const Extra& extra) {
        const auto remaining = std::chrono::duration_cast<milliseconds>(a.deadline - Clock::now()).count();
        if (remaining <= 0) return CURLE_OPERATION_TIMEDOUT;
        const long totalSeconds = timeoutSeconds(a.settings->RequestTimeout);
        const long stall = std::min<long>(totalSeconds, kStallSeconds);

        CURL* h = easy_;
        curlApi().easy_reset(h);
        error_[0] = '\0';
        Options o(h);
        KORVALA_SET(o, CURLOPT_ERRORBUFFER, error_);
        KORVALA_SET(o, CURLOPT_URL, a.url.c_str());
        KORVALA_SET(o, CURLOPT_PROTOCOLS_STR, "ftp");
        KORVALA_SET(o, CURLOPT_NOSIGNAL, 1L);
        KORVALA_SET(o, CURLOPT_FORBID_REUSE, 1L);
        if (!a.settings->UserName.empty()) KORVALA_SET(o, CURLOPT_USERNAME, a.settings->UserName.c_str());
        if (!a.settings->Password.empty()) KORVALA_SET(o, CURLOPT_PASSWORD, a.settings->Password.c_str());
        KORVALA_SET(o, CURLOPT_TIMEOUT_MS, static_cast<long>(remaining));
        KORVALA_SET(o, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::min<long>(remaining, stall * 1000)));
        KORVALA_SET(o, CURLOPT_SERVER_RESPONSE_TIMEOUT, stall);
        KORVALA_SET(o, CURLOPT_LOW_SPEED_LIMIT, 1L);
        KORVALA_SET(o, CURLOPT_LOW_SPEED_TIME, stall);
        KORVALA_SET(o, CURLOPT_NOPROGRESS, 0L);
        KORVALA_SET(o, CURLOPT_XFERINFOFUNCTION, &Worker::onProgress);
        KORVALA_SET(o, CURLOPT_XFERINFODATA, this);
        KORVALA_SET(o, CURLOPT_USE_SSL, static_cast<long>(a.tls ? CURLUSESSL_ALL : CURLUSESSL_NONE));
        if (a.tls) {
            KORVALA_SET(o, CURLOPT_SSL_VERIFYPEER, 1L);
            KORVALA_SET(o, CURLOPT_SSL_VERIFYHOST, 2L);
            trustCertificates(o, a);
        }
        extra(o);
        if (!o.ok()) {
            // Nothing is sent: a request without all its options could go
            // out without TLS, its protocol restriction or its password.
            std::snprintf(error_, sizeof error_, "%s", o.refused().c_str());
            return o.code();
        }
        hardDeadline_ = a.deadline + kDeadlineGrace;
        return drive();
    }

    // Runs the transfer on the multi handle, so that the channel's
    // destructor can wake the worker at once (curl_multi_wakeup) instead of
    // waiting for the next progress call.
    CURLcode drive() {
        if (curlApi().multi_add_handle(ch_.multi, easy_) != CURLM_OK) return CURLE_FAILED_INIT;
        CURLcode result = CURLE_OK;
        for (;;) {
            if (stopped()) {
                result = CURLE_ABORTED_BY_CALLBACK;
                break;
            }
            if (Clock::now() > hardDeadline_) {
                result = CURLE_OPERATION_TIMEDOUT;
                break;
            }
            int running = 0;
            if (curlApi().multi_perform(ch_.multi, &running) != CURLM_OK) {
                result = CURLE_FAILED_INIT;
                break;
            }
            bool done = false;
            int left = 0;
            while (CURLMsg* msg = curlApi().multi_info_read(ch_.multi, &left)) {
                if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy_) {
                    result = msg->data.result;
                    done = true;
                }
            }
            if (done) break;
            curlApi().multi_poll(ch_.multi, nullptr, 0, 1000, nullptr);
        }
        curlApi().multi_remove_handle(ch_.multi, easy_);
        return result;
    }

    // Also called inside libcurl's own waits (the closing QUIT), so an abort
    // or the deadline ends those too.
    static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        auto* self = static_cast<Worker*>(user);
        return self->stopped() || Clock::now() > self->hardDeadline_ ? 1 : 0;
    }

    // libcurl's own words, without a quoted command's argument; for a TLS
    // failure also what it means for the request, on the same line.
    std::string reason(CURLcode rc) const {
        const std::string why =
            withoutCommandArguments(error_[0] ? std::string_view(error_) : curlApi().easy_strerror(rc));
        switch (rc) {
            case CURLE_PEER_FAILED_VERIFICATION:
            case CURLE_SSL_ISSUER_ERROR:
            case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
                return "the server's certificate is not trusted (TLS): " + why;
            case CURLE_SSL_CACERT_BADFILE:
            case CURLE_SSL_CRL_BADFILE:
                return "the certificates to trust cannot be read (TLS): " + why;
            case CURLE_SSL_CONNECT_ERROR:
            case CURLE_SSL_CERTPROBLEM:
            case CURLE_SSL_CIPHER:
            case CURLE_SSL_ENGINE_NOTFOUND:
            case CURLE_SSL_ENGINE_SETFAILED:
            case CURLE_SSL_ENGINE_INITFAILED:
            case CURLE_SSL_SHUTDOWN_FAILED:
                return "the TLS handshake failed: " + why;
            default:
                return why;
        }
    }

    CurlChannel::Impl& ch_;
    CURL* easy_;
    std::mt19937_64 rng_;
    char error_[CURL_ERROR_SIZE] = {};
    Clock::time_point hardDeadline_;
    const TransferJob* job_ = nullptr;  // the request being run
};

}  // namespace

void CurlChannel::Impl::report(const TransferJob& job, TransferOutcome outcome) {
    if (outcome.withdrawn) return;
    ReportHandOff::Report r;
    r.state = outcome.ok ? kStateCompleted : kStateFailed;
    r.response = std::move(outcome.response);
    r.reason = std::move(outcome.reason);
    r.listing = job.kind == TransferRequest::Kind::Listing ? job.listing : 0;
    reports.send(std::move(r));
}

// An upload holds the gate from the moment it is asked for until it has
// ended, so that a listing asked for right after it waits for it.
void CurlChannel::Impl::endUpload(const TransferJob& job) {
    if (gate && job.kind == TransferRequest::Kind::Upload && !job.server.empty()) gate->uploadEnded(job.server);
}

void CurlChannel::Impl::run() {
    // libcurl comes in with the channel's first request, here on the
    // worker; until then the game has neither it nor its TLS libraries.
    const CurlApi& api = curlApi();
    if (!api.loaded()) log::warning(log::Area::Online, "online scores are off: " + api.failure);
    CURLM* made = api.loaded() ? api.multi_init() : nullptr;
    {
        std::lock_guard lock(m);
        multi = made;
    }
    // The handle goes when the worker ends, taken from the channel under
    // the lock first: the channel's destructor may be waking it.
    struct MultiCleanup {
        Impl& ch;
        ~MultiCleanup() {
            CURLM* last = nullptr;
            {
                std::lock_guard lock(ch.m);
                std::swap(last, ch.multi);
            }
            if (last) curlApi().multi_cleanup(last);
        }
    } cleanup{*this};
    Worker worker(*this);
    for (;;) {
        TransferJob job;
        {
            std::unique_lock lock(m);
            wake.wait(lock, [&] { return stopping || !waiting.empty(); });
            if (stopping) return;
            job = std::move(waiting.front());
            waiting.pop_front();
        }
        std::optional<Leftover> leftover;
        TransferOutcome outcome = worker.run(job, leftover);
        if (abort) {
            endUpload(job);
            return;
        }
        logOutcome(job, outcome);
        report(job, std::move(outcome));
        // The gate opens only once the upload's report is on its way, so a
        // listing it held back reports after it, never before.
        endUpload(job);
        // After the report, before the next request: the game is not kept
        // waiting for the cleanup of a failed upload.
        if (leftover) worker.removeLeftover(*leftover);
    }
}

CurlChannel::CurlChannel(WindowPost toWindowThread, LocalResolver resolveLocal, NameMapping remoteName, Trust trust,
                         Limits limits)
    : impl_(std::make_unique<Impl>(*this, std::move(toWindowThread))) {
    impl_->resolveLocal = std::move(resolveLocal);
    impl_->remoteName = std::move(remoteName);
    impl_->trust = std::move(trust);
    impl_->limits = limits;
    // The worker starts with the first request (see execute()).
}

CurlChannel::~CurlChannel() {
    impl_->reports.close();
    std::deque<TransferJob> dropped;
    {
        std::lock_guard lock(impl_->m);
        impl_->stopping = true;
        dropped.swap(impl_->waiting);
        impl_->abort = true;
        impl_->stop.request_stop();
        // A transfer under way sits in libcurl's wait: wake it. Under the
        // lock, so the worker cannot be making or ending the handle meanwhile.
        if (impl_->multi) curlApi().multi_wakeup(impl_->multi);
    }
    for (const TransferJob& job : dropped) impl_->endUpload(job);
    impl_->wake.notify_all();
    if (impl_->worker.joinable()) impl_->worker.join();
}

void CurlChannel::setUploadGate(std::shared_ptr<UploadGate> gate) { impl_->gate = std::move(gate); }

void CurlChannel::setBeforeConnect(BeforeConnect prepare) { impl_->beforeConnect = std::move(prepare); }

void CurlChannel::execute(const ChannelSettings& settings, const TransferRequest& request) {
    TransferJob job = prepareJob(settings, request, impl_->resolveLocal, impl_->remoteName);
    if (job.kind == TransferRequest::Kind::Listing) {
        // This listing withdraws every older one: those waiting are dropped
        // here, a running one stops at its next step, and a report of one
        // that is already on its way is not delivered.
        job.listing = impl_->newestListing.load() + 1;
        impl_->newestListing = job.listing;
        impl_->reports.newestListing(job.listing);
    }
    bool full = false;
    {
        std::lock_guard lock(impl_->m);
        if (job.kind == TransferRequest::Kind::Listing) {
            std::erase_if(impl_->waiting,
                          [](const TransferJob& j) { return j.kind == TransferRequest::Kind::Listing; });
        }
        if (impl_->waiting.size() >= impl_->limits.maxWaiting) {
            full = true;
        } else {
            if (impl_->gate && job.kind == TransferRequest::Kind::Upload && !job.server.empty())
                impl_->gate->uploadAsked(job.server, uploadBound(job.settings));
            impl_->waiting.push_back(std::move(job));
            if (!impl_->worker.joinable()) impl_->worker = std::thread([impl = impl_.get()] { impl->run(); });
        }
    }
    if (full) {
        TransferJob refused;
        refused.kind = request.kind;
        refused.listing = job.listing;
        refused.where = job.where;
        TransferOutcome outcome{false, {}, "too many requests waiting"};
        logOutcome(refused, outcome);
        impl_->report(refused, std::move(outcome));
    } else {
        impl_->wake.notify_one();
    }
}

std::string CurlChannel::getChunk(std::size_t size) { return impl_->reports.chunk(size); }

std::string CurlChannel::lastReason() const { return impl_->reports.reason(); }

#undef KORVALA_SET

}  // namespace korvala
