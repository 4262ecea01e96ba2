#include "system/transfer/curl_channel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <limits>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>
#include <vector>

#include "system/log/log.h"
#include "system/net/server_address.h"
#include "system/transfer/curl_api.h"
#include "system/transfer/listing_lines.h"

namespace korvala {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kDefaultTimeoutSeconds = 60;
constexpr int kMaxTimeoutSeconds = 24 * 3600;
// A connection on which nothing arrives for this long (or the whole request
// timeout, when that is shorter) is dropped: no reply to a command, no byte
// of a transfer, no answer to the connection attempt.
constexpr int kStallSeconds = 15;
// Removing an upload's temporary file after a failure gets its own bound.
constexpr int kCleanupSeconds = 10;
// libcurl enforces the request timeout itself; past it by this much the
// worker gives up on its own (a server that never answers the closing QUIT).
constexpr auto kDeadlineGrace = std::chrono::seconds(2);

bool hasControl(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
}

// A single file or folder name the server can only take as itself.
bool isPlainName(std::string_view s) {
    return !s.empty() && s != "." && s != ".." && s.find('/') == std::string_view::npos &&
           s.find('\\') == std::string_view::npos && !hasControl(s);
}

int timeoutSeconds(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value <= 0) return kDefaultTimeoutSeconds;
    return static_cast<int>(std::min<long>(value, kMaxTimeoutSeconds));
}

// Percent-encodes one path component of a URL.
std::string escapeComponent(std::string_view s) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '-' || u == '.' ||
            u == '_' || u == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

// "Korvala/" -> {"Korvala"}; false when a level is not a plain name.
bool splitFolder(std::string_view folder, std::vector<std::string>& levels) {
    levels.clear();
    while (!folder.empty()) {
        std::size_t slash = folder.find('/');
        std::string_view level = folder.substr(0, slash);
        if (!isPlainName(level)) return false;
        levels.emplace_back(level);
        folder = slash == std::string_view::npos ? std::string_view() : folder.substr(slash + 1);
    }
    return !levels.empty();
}

// The URL of `path` (escaped, relative to the folder the base URL names,
// normally the account's home) on the server of `base`. Empty, with `why`
// set, when the base is not an ftp:// URL. `server`, when given, gets the
// host and port the URL names.
std::string serverUrl(const std::string& base, const std::string& path, std::string& why,
                      ServerAddress* server = nullptr) {
    std::unique_ptr<CURLU, decltype(curlApi().url_cleanup)> url(curlApi().url(), curlApi().url_cleanup);
    if (!url || curlApi().url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK) {
        why = "the URL is not valid";
        return {};
    }
    auto part = [&](CURLUPart which) {
        char* text = nullptr;
        std::string value;
        if (curlApi().url_get(url.get(), which, &text, 0) == CURLUE_OK && text) value = text;
        curlApi().free(text);
        return value;
    };
    std::string scheme = part(CURLUPART_SCHEME);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    if (scheme != "ftp") {
        why = "the URL is not an ftp:// URL";
        return {};
    }
    if (server) {
        server->host = part(CURLUPART_HOST);
        if (server->host.size() > 1 && server->host.front() == '[' && server->host.back() == ']')
            server->host = server->host.substr(1, server->host.size() - 2);
        char* port = nullptr;
        server->port = 21;
        if (curlApi().url_get(url.get(), CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK && port)
            server->port = std::atoi(port);
        curlApi().free(port);
    }
    std::string full = part(CURLUPART_PATH);
    if (full.empty() || full.back() != '/') full += '/';
    full += path;
    curlApi().url_set(url.get(), CURLUPART_PATH, full.c_str(), 0);
    curlApi().url_set(url.get(), CURLUPART_QUERY, nullptr, 0);
    curlApi().url_set(url.get(), CURLUPART_FRAGMENT, nullptr, 0);
    std::string result = part(CURLUPART_URL);
    if (result.empty()) why = "the URL is not valid";
    return result;
}

bool isFtpUrl(std::string_view url) {
    if (url.size() < 6) return false;
    std::string scheme(url.substr(0, 6));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    return scheme == "ftp://";
}

struct SList {
    curl_slist* list = nullptr;
    ~SList() { curlApi().slist_free_all(list); }
    bool add(const std::string& line) {
        curl_slist* grown = curlApi().slist_append(list, line.c_str());
        if (!grown) return false;
        list = grown;
        return true;
    }
};

// One request as the worker runs it, prepared on the window's thread.
struct Job {
    ChannelSettings settings;
    TransferRequest::Kind kind = TransferRequest::Kind::Listing;
    std::uint64_t listing = 0;        // Listing: its number on the channel, newest highest
    std::string server;               // "host:port" of the URL, the gate's key (empty: not valid)
    std::string where;                // the server for the log, "host:port", "[v6]:port" (empty: none to name)
    std::vector<std::string> folder;  // the remote folder, one name per level
    std::string remoteName;           // Upload: the mapped name
    std::filesystem::path localFile;  // Upload
    std::string refused;              // set: fails without connecting
};

struct Outcome {
    bool ok = false;
    std::string response;
    std::string reason;
    bool withdrawn = false;  // a newer listing took its place: no report
    bool plain = false;      // spoken in plain FTP after a refused AUTH TLS
};

const char* kindName(TransferRequest::Kind kind) {
    return kind == TransferRequest::Kind::Listing ? "listing" : "upload";
}

// "listing from 127.0.0.1:2121", "upload to [::1]:2121": what the log names
// a request by. Never the score's name, the account or its password.
std::string requestName(const Job& job) {
    std::string name = kindName(job.kind);
    if (!job.where.empty()) name += (job.kind == TransferRequest::Kind::Listing ? " from " : " to ") + job.where;
    return name;
}

// The log's line for a request that ended: a failure is a warning with its
// reason, anything else a detail.
void logOutcome(const Job& job, const Outcome& outcome) {
    const std::string name = requestName(job);
    if (outcome.withdrawn) {
        log::detail(log::Area::Online, name + " withdrawn: a newer listing took its place");
    } else if (!outcome.ok) {
        log::warning(log::Area::Online, name + " failed: " + outcome.reason);
    } else if (job.kind == TransferRequest::Kind::Listing) {
        const std::size_t names =
            static_cast<std::size_t>(std::count(outcome.response.begin(), outcome.response.end(), '\n'));
        log::detail(log::Area::Online, name + " done: " + std::to_string(names) + (names == 1 ? " name" : " names") +
                                           (outcome.plain ? ", in plain FTP" : ", over TLS"));
    } else {
        log::detail(log::Area::Online, name + " done" + (outcome.plain ? ", in plain FTP" : ", over TLS"));
    }
}

// An upload's temporary file left on the server by a failed upload.
struct Leftover {
    ChannelSettings settings;
    std::string name;
    bool tls = false;
    std::string where;  // the server, for the log
};

// A finished request's report on its way to the window's thread.
struct Report {
    bool ok = false;
    std::string response;
    std::string reason;
    std::uint64_t listing = 0;  // 0: not a listing
};

// What the posted reports share with the channel; outlives it. Used on the
// window's thread only, but for lastReason() and the destructor.
struct Core {
    std::mutex m;
    CurlChannel* owner = nullptr;  // null once the channel is being destroyed
    CurlChannel::WindowPost post;
    std::uint64_t newestListing = 0;  // the listing that may still report
    std::string response;
    std::size_t offset = 0;
    bool reading = false;        // getChunk() has begun this response and not yet returned empty
    std::optional<Report> held;  // arrived while a response was being read
    std::string reason;
};

// Runs on the window's thread.
void deliver(const std::shared_ptr<Core>& core, Report report) {
    std::function<void(int)> notify;
    {
        std::lock_guard lock(core->m);
        if (!core->owner) return;
        if (report.listing != 0 && report.listing != core->newestListing) return;  // withdrawn
        if (core->reading) {
            core->held = std::move(report);  // delivered once the read in progress is done
            return;
        }
        core->response = std::move(report.response);
        core->offset = 0;
        core->reason = std::move(report.reason);
        notify = core->owner->stateChanged;
    }
    if (notify) notify(report.ok ? CurlChannel::kStateCompleted : CurlChannel::kStateFailed);
}

}  // namespace

struct CurlChannel::Impl {
    WindowPost post;
    LocalResolver resolveLocal;
    NameMapping remoteName;
    Trust trust;
    Limits limits;
    std::shared_ptr<UploadGate> gate;
    std::function<void()> beforeConnect;
    // The newest listing asked for; an older one still waiting or running is
    // withdrawn.
    std::atomic<std::uint64_t> newestListing{0};

    std::shared_ptr<Core> core = std::make_shared<Core>();

    std::mutex m;
    std::condition_variable wake;
    std::deque<Job> waiting;
    bool stopping = false;
    std::atomic<bool> abort{false};

    CURLM* multi = nullptr;
    std::thread worker;

    Job prepare(const ChannelSettings& settings, const TransferRequest& request) const;
    void report(const Job& job, Outcome outcome);
    void run();
    bool withdrawn(const Job& job) const {
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

    Outcome run(const Job& job, std::optional<Leftover>& leftover) {
        job_ = &job;
        Outcome outcome = attempt(job, leftover);
        if (ch_.withdrawn(job)) outcome.withdrawn = true;
        job_ = nullptr;
        return outcome;
    }

    // Best effort: a failed upload's temporary file is deleted.
    void removeLeftover(const Leftover& left) {
        Attempt a = begin(left.settings, "");
        a.tls = left.tls;
        int seconds = std::min(timeoutSeconds(left.settings.RequestTimeout), kCleanupSeconds);
        a.deadline = Clock::now() + std::chrono::seconds(seconds);
        SList quote;
        if (a.url.empty() || !quote.add("DELE " + left.name)) return;
        const CURLcode rc = perform(a, [&](CURL* h) {
            curlApi().easy_setopt(h, CURLOPT_NOBODY, 1L);
            curlApi().easy_setopt(h, CURLOPT_QUOTE, quote.list);
        });
        if (rc != CURLE_OK && !ch_.abort)
            log::detail(log::Area::Online,
                        "the failed upload's temporary file on " + left.where + " stays: " + reason(rc));
    }

private:
    Outcome attempt(const Job& job, std::optional<Leftover>& leftover) {
        if (!job.refused.empty()) return {false, {}, job.refused};
        if (!curlApi().loaded()) return {false, {}, curlApi().failure};
        if (!easy_ || !ch_.multi) return {false, {}, "the transfer library could not start"};
        if (job.kind == TransferRequest::Kind::Listing) {
            // The board should hold what the uploads asked before it send.
            if (ch_.gate) ch_.gate->waitForUploads(job.server, [&] { return stopped(); });
            if (stopped()) return {false, {}, "withdrawn"};
        }
        if (ch_.beforeConnect) ch_.beforeConnect();
        if (stopped()) return {false, {}, "withdrawn"};
        return job.kind == TransferRequest::Kind::Listing ? listing(job) : upload(job, leftover);
    }

    // The channel is going away, or the running listing was withdrawn.
    bool stopped() const { return ch_.abort || (job_ && ch_.withdrawn(*job_)); }

    struct Attempt {
        const ChannelSettings* settings = nullptr;
        std::string url;
        bool tls = true;
        bool plainAllowed = true;  // plain FTP after a refused AUTH TLS
        bool loopback = false;     // the server is this machine
        std::string caFile;        // empty: the system's certificates
        Clock::time_point deadline;
    };

    Outcome listing(const Job& job) {
        std::string path;
        for (const std::string& level : job.folder) path += escapeComponent(level) + '/';
        Attempt a = begin(job.settings, path);
        if (a.url.empty()) return {false, {}, why_};

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
        CURLcode rc = performSecured(a, [&](CURL* h) {
            sink.emplace(Sink{ListingLines(ch_.limits.maxResponseBytes)});
            curlApi().easy_setopt(h, CURLOPT_DIRLISTONLY, 1L);
            curlApi().easy_setopt(h, CURLOPT_WRITEFUNCTION, onData);
            curlApi().easy_setopt(h, CURLOPT_WRITEDATA, &*sink);
        });
        if (sink && sink->tooLarge) return {false, {}, "the listing is larger than the channel holds"};
        if (rc != CURLE_OK) return {false, {}, reason(rc)};
        return {true, sink->lines.finish(), {}, false, !a.tls};
    }

    Outcome upload(const Job& job, std::optional<Leftover>& leftover) {
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
        long size = std::ftell(file.get());
        if (size < 0) return {false, {}, "the local file cannot be read"};

        // Uploaded into the home folder under a name of its own, then moved
        // into the score folder in one step once complete: a listing never
        // shows a half-written score, and the temporary name is not hidden.
        char tmp[64];
        std::snprintf(tmp, sizeof tmp, "korvala-upload-%016llx.part", static_cast<unsigned long long>(rng_()));
        std::string target;
        for (const std::string& level : job.folder) target += level + '/';
        target += job.remoteName;

        Attempt a = begin(job.settings, escapeComponent(tmp));
        if (a.url.empty()) return {false, {}, why_};
        SList after;
        std::string rnfr = std::string("RNFR ") + tmp, rnto = "RNTO " + target;
        if (hasControl(rnfr) || hasControl(rnto)) return {false, {}, "unsafe remote name"};
        if (!after.add(rnfr) || !after.add(rnto)) return {false, {}, "out of memory"};

        bool storSent = false;
        auto onRead = +[](char* buffer, std::size_t item, std::size_t n, void* user) -> std::size_t {
            auto* f = static_cast<std::FILE*>(user);
            std::size_t got = std::fread(buffer, item, n, f);
            return got == 0 && std::ferror(f) ? CURL_READFUNC_ABORT : got;
        };
        auto onDebug = +[](CURL*, curl_infotype type, char* data, std::size_t n, void* user) -> int {
            if (type == CURLINFO_HEADER_OUT && std::string_view(data, n).substr(0, 5) == "STOR ")
                *static_cast<bool*>(user) = true;
            return 0;
        };
        CURLcode rc = performSecured(a, [&](CURL* h) {
            std::rewind(file.get());
            curlApi().easy_setopt(h, CURLOPT_UPLOAD, 1L);
            curlApi().easy_setopt(h, CURLOPT_READFUNCTION, onRead);
            curlApi().easy_setopt(h, CURLOPT_READDATA, file.get());
            curlApi().easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
            curlApi().easy_setopt(h, CURLOPT_POSTQUOTE, after.list);
            curlApi().easy_setopt(h, CURLOPT_DEBUGFUNCTION, onDebug);
            curlApi().easy_setopt(h, CURLOPT_DEBUGDATA, &storSent);
            curlApi().easy_setopt(h, CURLOPT_VERBOSE, 1L);
        });
        if (rc == CURLE_OK) return {true, {}, {}, false, !a.tls};
        if (storSent) leftover = Leftover{job.settings, tmp, a.tls, job.where};
        return {false, {}, reason(rc)};
    }

    Attempt begin(const ChannelSettings& settings, const std::string& path) {
        Attempt a;
        a.settings = &settings;
        a.deadline = Clock::now() + std::chrono::seconds(timeoutSeconds(settings.RequestTimeout));
        why_.clear();
        ServerAddress server;
        a.url = serverUrl(settings.URL, path, why_, &server);
        const bool loopback = isLoopbackHost(server.host);
        const Trust& trust = ch_.trust;
        if (!trust.caFile.empty()) {
            a.caFile = trust.caFile.string();
        } else if (loopback && !trust.loopbackCaFile.empty()) {
            std::error_code ec;
            if (std::filesystem::exists(trust.loopbackCaFile, ec)) a.caFile = trust.loopbackCaFile.string();
        }
        a.loopback = loopback;
        a.plainAllowed = loopback || trust.plainFtp;
        return a;
    }

    // TLS first, on the control and the data connections. Only a server
    // that refuses AUTH is asked again without it, and only where plain FTP
    // is allowed; every other failure (an untrusted certificate, a broken
    // handshake) stands, so the password is never sent in clear to a server
    // that claimed to speak TLS.
    template <typename Extra>
    CURLcode performSecured(Attempt& a, const Extra& extra) {
        a.tls = true;
        CURLcode rc = perform(a, extra);
        if (rc == CURLE_USE_SSL_FAILED && !stopped()) {
            if (!a.plainAllowed) {
                std::snprintf(error_, sizeof error_, "%s",
                              "the server refused TLS, and plain FTP is allowed only on loopback or with plain-ftp");
                return rc;
            }
            if (job_)
                log::detail(log::Area::Online, job_->where + " refused TLS (AUTH): the " + kindName(job_->kind) +
                                                   " goes on in plain FTP, " +
                                                   (a.loopback ? "allowed on this machine" : "allowed by plain-ftp"));
            a.tls = false;
            rc = perform(a, extra);
        }
        return rc;
    }

    template <typename Extra>
    CURLcode perform(const Attempt& a, const Extra& extra) {
        auto remaining = std::chrono::duration_cast<milliseconds>(a.deadline - Clock::now()).count();
        if (remaining <= 0) return CURLE_OPERATION_TIMEDOUT;
        long totalSeconds = timeoutSeconds(a.settings->RequestTimeout);
        long stall = std::min<long>(totalSeconds, kStallSeconds);

        CURL* h = easy_;
        curlApi().easy_reset(h);
        error_[0] = '\0';
        curlApi().easy_setopt(h, CURLOPT_ERRORBUFFER, error_);
        curlApi().easy_setopt(h, CURLOPT_URL, a.url.c_str());
        curlApi().easy_setopt(h, CURLOPT_PROTOCOLS_STR, "ftp");
        curlApi().easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curlApi().easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
        if (!a.settings->UserName.empty()) curlApi().easy_setopt(h, CURLOPT_USERNAME, a.settings->UserName.c_str());
        if (!a.settings->Password.empty()) curlApi().easy_setopt(h, CURLOPT_PASSWORD, a.settings->Password.c_str());
        curlApi().easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(remaining));
        curlApi().easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::min<long>(remaining, stall * 1000)));
        curlApi().easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT, stall);
        curlApi().easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curlApi().easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stall);
        curlApi().easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
        curlApi().easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Worker::onProgress);
        curlApi().easy_setopt(h, CURLOPT_XFERINFODATA, this);
        curlApi().easy_setopt(h, CURLOPT_USE_SSL, static_cast<long>(a.tls ? CURLUSESSL_ALL : CURLUSESSL_NONE));
        if (a.tls && !a.caFile.empty()) curlApi().easy_setopt(h, CURLOPT_CAINFO, a.caFile.c_str());
        extra(h);
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

    // libcurl's own words; for a TLS failure also what it means for the
    // request, on the same line.
    std::string reason(CURLcode rc) const {
        std::string why = error_[0] ? std::string(error_) : std::string(curlApi().easy_strerror(rc));
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
    std::string why_;
    Clock::time_point hardDeadline_;
    const Job* job_ = nullptr;  // the request being run
};

}  // namespace

Job CurlChannel::Impl::prepare(const ChannelSettings& settings, const TransferRequest& request) const {
    Job job;
    job.settings = settings;
    job.kind = request.kind;
    // The log names the server of any address it can read, one refused
    // below included (an http:// one, a password with control characters).
    if (!hasControl(settings.URL)) {
        if (auto named = urlServer(settings.URL)) job.where = authority(*named);
    }
    if (hasControl(settings.URL) || hasControl(settings.UserName) || hasControl(settings.Password)) {
        job.refused = "control characters in the connection settings";
        return job;
    }
    // The gate's key, read here on the window's thread without libcurl
    // (which only the worker loads); the worker checks the address itself.
    if (isFtpUrl(settings.URL)) {
        if (auto server = urlServer(settings.URL)) job.server = authority(*server);
    }
    if (job.where.empty()) job.where = job.server;
    if (request.kind == TransferRequest::Kind::Listing) {
        if (!splitFolder(request.folder, job.folder)) job.refused = "the remote folder is not valid";
        return job;
    }
    // "Korvala/<name>": the folder up to the first '/', the rest is the
    // score's name, whatever it holds.
    const std::string& remote = request.remotePath;
    std::size_t slash = remote.find('/');
    if (slash == std::string::npos || slash + 1 >= remote.size() ||
        !splitFolder(std::string_view(remote).substr(0, slash), job.folder)) {
        job.refused = "the remote path is not valid";
        return job;
    }
    try {
        std::string_view name = std::string_view(remote).substr(slash + 1);
        job.remoteName = remoteName ? remoteName(name) : std::string(name);
        if (!isPlainName(job.remoteName)) {
            job.refused = "unsafe remote name";
            return job;
        }
        std::optional<std::filesystem::path> local;
        if (resolveLocal) local = resolveLocal(request.localPath);
        if (!local) {
            job.refused = "the local file is missing";
            return job;
        }
        job.localFile = std::move(*local);
    } catch (const std::exception& e) {
        job.refused = e.what();
    }
    return job;
}

void CurlChannel::Impl::report(const Job& job, Outcome outcome) {
    if (!post || outcome.withdrawn) return;
    auto report = std::make_shared<Report>();
    report->ok = outcome.ok;
    report->response = std::move(outcome.response);
    report->reason = std::move(outcome.reason);
    report->listing = job.kind == TransferRequest::Kind::Listing ? job.listing : 0;
    post([core = core, report] { deliver(core, std::move(*report)); });
}

// An upload holds the gate from the moment it is asked for until it has
// ended, so that a listing asked for right after it waits for it.
static void endUpload(CurlChannel::Impl& ch, const Job& job) {
    if (ch.gate && job.kind == TransferRequest::Kind::Upload && !job.server.empty()) ch.gate->uploadEnded(job.server);
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
        Job job;
        {
            std::unique_lock lock(m);
            wake.wait(lock, [&] { return stopping || !waiting.empty(); });
            if (stopping) return;
            job = std::move(waiting.front());
            waiting.pop_front();
        }
        std::optional<Leftover> leftover;
        Outcome outcome = worker.run(job, leftover);
        if (abort) {
            endUpload(*this, job);
            return;
        }
        logOutcome(job, outcome);
        report(job, std::move(outcome));
        // The gate opens only once the upload's report is on its way, so a
        // listing it held back reports after it, never before.
        endUpload(*this, job);
        // After the report, before the next request: the game is not kept
        // waiting for the cleanup of a failed upload.
        if (leftover) worker.removeLeftover(*leftover);
    }
}

CurlChannel::CurlChannel(WindowPost toWindowThread, LocalResolver resolveLocal, NameMapping remoteName, Trust trust,
                         Limits limits)
    : impl_(std::make_unique<Impl>()) {
    impl_->post = std::move(toWindowThread);
    impl_->resolveLocal = std::move(resolveLocal);
    impl_->remoteName = std::move(remoteName);
    impl_->trust = std::move(trust);
    impl_->limits = limits;
    impl_->core->owner = this;
    impl_->core->post = impl_->post;
    // The worker starts with the first request (see execute()).
}

CurlChannel::~CurlChannel() {
    {
        std::lock_guard lock(impl_->core->m);
        impl_->core->owner = nullptr;
        impl_->core->held.reset();
    }
    std::deque<Job> dropped;
    {
        std::lock_guard lock(impl_->m);
        impl_->stopping = true;
        dropped.swap(impl_->waiting);
        impl_->abort = true;
        // A transfer under way sits in libcurl's wait: wake it. Under the
        // lock, so the worker cannot be making or ending the handle meanwhile.
        if (impl_->multi) curlApi().multi_wakeup(impl_->multi);
    }
    for (const Job& job : dropped) endUpload(*impl_, job);
    impl_->wake.notify_all();
    if (impl_->worker.joinable()) impl_->worker.join();
}

void CurlChannel::setUploadGate(std::shared_ptr<UploadGate> gate) { impl_->gate = std::move(gate); }

void CurlChannel::setBeforeConnect(std::function<void()> prepare) { impl_->beforeConnect = std::move(prepare); }

void CurlChannel::execute(const ChannelSettings& settings, const TransferRequest& request) {
    Job job = impl_->prepare(settings, request);
    if (job.kind == TransferRequest::Kind::Listing) {
        // This listing withdraws every older one: those waiting are dropped
        // here, a running one stops at its next step, and a report of one
        // that is already on its way is not delivered.
        job.listing = impl_->newestListing.load() + 1;
        impl_->newestListing = job.listing;
        std::lock_guard lock(impl_->core->m);
        impl_->core->newestListing = job.listing;
    }
    bool full = false;
    {
        std::lock_guard lock(impl_->m);
        if (job.kind == TransferRequest::Kind::Listing) {
            std::erase_if(impl_->waiting, [](const Job& j) { return j.kind == TransferRequest::Kind::Listing; });
        }
        if (impl_->waiting.size() >= impl_->limits.maxWaiting) {
            full = true;
        } else {
            if (impl_->gate && job.kind == TransferRequest::Kind::Upload && !job.server.empty())
                impl_->gate->uploadAsked(job.server, std::chrono::seconds(timeoutSeconds(job.settings.RequestTimeout)));
            impl_->waiting.push_back(std::move(job));
            if (!impl_->worker.joinable()) impl_->worker = std::thread([impl = impl_.get()] { impl->run(); });
        }
    }
    if (full) {
        Job refused;
        refused.kind = request.kind;
        refused.listing = job.listing;
        refused.where = job.where;
        Outcome outcome{false, {}, "too many requests waiting"};
        logOutcome(refused, outcome);
        impl_->report(refused, std::move(outcome));
    } else {
        impl_->wake.notify_one();
    }
}

std::string CurlChannel::getChunk(std::size_t size) {
    const std::shared_ptr<Core>& core = impl_->core;
    std::optional<Report> held;
    std::string chunk;
    {
        std::lock_guard lock(core->m);
        std::size_t left = core->response.size() - core->offset;
        std::size_t n = std::min(size, left);
        chunk = core->response.substr(core->offset, n);
        core->offset += n;
        if (core->offset == core->response.size()) {
            std::string().swap(core->response);  // all read: let the memory go
            core->offset = 0;
        }
        if (!chunk.empty()) {
            core->reading = true;
        } else {
            // The read is over: a report that waited for it comes next.
            core->reading = false;
            held = std::move(core->held);
            core->held.reset();
        }
    }
    if (held && core->post) {
        auto report = std::make_shared<Report>(std::move(*held));
        core->post([core, report] { deliver(core, std::move(*report)); });
    }
    return chunk;
}

// ------------------------------------------------------------ upload gate

void UploadGate::uploadAsked(const std::string& server, std::chrono::seconds timeout) {
    std::lock_guard lock(m_);
    Pending& p = pending_[server];
    ++p.count;
    p.longest = std::max(p.longest, timeout);
}

void UploadGate::uploadEnded(const std::string& server) {
    {
        std::lock_guard lock(m_);
        auto it = pending_.find(server);
        if (it == pending_.end()) return;
        if (--it->second.count <= 0) pending_.erase(it);
    }
    idle_.notify_all();
}

void UploadGate::waitForUploads(const std::string& server, const std::function<bool()>& withdrawn) {
    std::unique_lock lock(m_);
    auto it = pending_.find(server);
    if (it == pending_.end()) return;
    const auto deadline = Clock::now() + it->second.longest;
    // In short steps, so that a withdrawn listing or a closing channel
    // stops waiting at once.
    while (pending_.count(server) && Clock::now() < deadline && !withdrawn())
        idle_.wait_for(lock, std::chrono::milliseconds(50));
}

std::string CurlChannel::lastReason() const {
    std::lock_guard lock(impl_->core->m);
    return impl_->core->reason;
}

}  // namespace korvala
