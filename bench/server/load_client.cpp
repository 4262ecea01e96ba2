// The players of the score server's load benchmark (load_bench.py), on
// libcurl as the game itself talks to the server: N players at once, each
// playing ROUNDS rounds of an upload, then a listing, with the options the
// game's transfer channel sets (src/system/transfer/curl_channel.cpp):
//
//   upload   STOR korvala-upload-<16 hex>.part into the home folder, then
//            RNFR <temporary> / RNTO Korvala/<score name> (postquote)
//   listing  NLST of Korvala/ (a name-only listing)
//
// both over explicit TLS required on the login and the data (AUTH, as
// libcurl asks it, then PROT P), the server's certificate checked against
// --cafile, EPSV, binary uploads, the game's time-outs, a new
// connection per request (QUIT sent). Each player keeps one easy handle per
// channel across its rounds, so that libcurl's TLS session cache offers the
// last session again, as the game's channel does.
//
// All players start at the same instant. Player k binds to 127.0.0.(2 + k /
// players-per-address), as load_bench.py's own players do.
//
// libcurl blocks inside its multi interface while an FTP request ends (the
// reply to the transfer, the postquote commands, QUIT), so the players are
// spread over --threads threads (by default one per player), each driving
// its own multi handle: a player's figures include the waits of the players
// sharing its thread.
//
// Output on stdout, tab-separated, one line per operation as it ends (so
// that the lines of the operations that ended survive a client cut short):
//   player round op start_s end_s ok|fail reason name
// start_s and end_s in seconds from the common start; end_s is the
// acknowledgement (the 2xx reply to RNTO, to NLST) for an operation that
// succeeded, the moment libcurl gave up for one that failed. Then one line
//   cpu <user+system s of this process> <wall s from the start to the last end>
//
//   korvala_load_client --port P[,P...] --cafile FILE [--host 127.0.0.1] [--players 50]
//       [--rounds 5] [--players-per-address 50] [--timeout 50] [--threads T]
//       [--user korvala] [--password 481526] [--trace]
//
// --trace: libcurl's account of every request on stderr, each line after
// its player's number (the commands, the replies, TLS session reuse), the
// password left out.
#include <curl/curl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The game's request time-out, and the stall after which it drops a silent
// connection sooner (the smaller of the two).
constexpr long kGameTimeoutSeconds = 50;
constexpr long kStallSeconds = 15;
// A score file as the game writes it: the score string as a one-paragraph
// RTF document (load_bench.py checks the bytes on disk against it).
constexpr const char* kScoreFile =
    "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1033{\\fonttbl{\\f0\\fnil\\fcharset0 MS Sans Serif;}}\r\n"
    "\\viewkind4\\uc1\\pard\\f0\\fs17 %s\\par\r\n}\r\n";

struct Config {
    std::string host = "127.0.0.1";
    std::vector<long> ports;  // the players are spread over them in turn
    std::string cafile;
    std::string user = "korvala";
    std::string password = "481526";
    long players = 50;
    long rounds = 5;
    long playersPerAddress = 50;
    long timeout = kGameTimeoutSeconds;
    long threads = 0;  // 0: one per player
    bool trace = false;
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr,
                 "korvala_load_client: %s\n"
                 "usage: korvala_load_client --port P[,P...] --cafile FILE [--host H] [--players N] [--rounds R]\n"
                 "       [--players-per-address A] [--timeout S] [--threads T] [--user U] [--password W]\n"
                 "       [--trace]\n",
                 why);
    std::exit(2);
}

long number(const char* option, const char* text, long least) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < least)
        usage((std::string(option) + " takes a whole number of at least " + std::to_string(least)).c_str());
    return value;
}

Config parse(int argc, char** argv) {
    Config c;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--trace") {
            c.trace = true;
            continue;
        }
        if (i + 1 >= argc) usage(("a value is missing after " + std::string(option)).c_str());
        const char* value = argv[++i];
        if (option == "--host") c.host = value;
        else if (option == "--port") {
            for (std::string_view rest = value; !rest.empty();) {
                const std::size_t comma = rest.find(',');
                const std::string one(rest.substr(0, comma));
                const long port = number(argv[i - 1], one.c_str(), 1);
                if (port > 65535) usage("--port takes ports from 1 to 65535");
                c.ports.push_back(port);
                rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            }
        }
        else if (option == "--cafile") c.cafile = value;
        else if (option == "--user") c.user = value;
        else if (option == "--password") c.password = value;
        else if (option == "--players") c.players = number(argv[i - 1], value, 1);
        else if (option == "--rounds") c.rounds = number(argv[i - 1], value, 1);
        else if (option == "--players-per-address") c.playersPerAddress = number(argv[i - 1], value, 1);
        else if (option == "--timeout") c.timeout = number(argv[i - 1], value, 1);
        else if (option == "--threads") c.threads = number(argv[i - 1], value, 0);
        else usage(("unknown option " + std::string(option)).c_str());
    }
    if (c.ports.empty()) usage("--port is required (1 to 65535, several comma-separated)");
    if (c.cafile.empty()) usage("--cafile is required");
    if (2 + (c.players - 1) / c.playersPerAddress > 254) usage("too many players for the 127.0.0.x addresses");
    if (c.threads == 0 || c.threads > c.players) c.threads = c.players;
    return c;
}

// A reason to group failures by: on one line, without the figures that
// differ from one failure to the next (ports, milliseconds, byte counts);
// reply codes and dotted addresses stay.
std::string groupable(std::string_view text) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            out += std::iscntrl(static_cast<unsigned char>(c)) ? ' ' : c;
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
        const std::string_view run = text.substr(i, end - i);
        const std::string_view after = text.substr(end);
        const bool dotted = (i > 0 && text[i - 1] == '.') || (end < text.size() && text[end] == '.');
        const bool measured = after.starts_with(" ms") || after.starts_with(" milli") ||
                              after.starts_with(" bytes") || after.starts_with(" out of");
        const bool port = out.ends_with("port ");
        out += dotted || (run.size() == 3 && !measured && !port) ? std::string(run) : std::string("N");
        i = end;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// libcurl's words for a failure, and for a TLS failure what it means for
// the request, as the game's log puts it.
std::string reason(CURLcode rc, const char* errorBuffer) {
    const std::string why = groupable(errorBuffer[0] ? errorBuffer : curl_easy_strerror(rc));
    switch (rc) {
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_ISSUER_ERROR:
            return "the server's certificate is not trusted (TLS): " + why;
        case CURLE_SSL_CACERT_BADFILE:
            return "the certificates to trust cannot be read (TLS): " + why;
        case CURLE_SSL_CONNECT_ERROR:
            return "the TLS handshake failed: " + why;
        default:
            return why;
    }
}

enum class Op { Upload, Listing };

struct Player {
    long k = 0;
    long round = 0;
    Op op = Op::Upload;
    std::string interface;  // "host!127.0.0.x"
    CURL* upload = nullptr;
    CURL* listing = nullptr;
    std::mt19937_64 rng;

    // The operation under way.
    std::string name;
    std::string content;
    std::size_t sent = 0;
    std::string url;
    curl_slist* postquote = nullptr;
    char error[CURL_ERROR_SIZE] = {};
    Clock::time_point began;
    Clock::time_point acknowledged;
    bool awaitingAck = false;  // the command whose 2xx reply ends the operation has been sent
    bool acked = false;
    bool trace = false;
};

// The source port is chosen at connect(), not at bind(): many connections
// bound to one address would otherwise run out of ports that bind() may hand out.
int onSocket(void*, curl_socket_t fd, curlsocktype) {
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    return CURL_SOCKOPT_OK;
}

std::size_t onRead(char* buffer, std::size_t item, std::size_t count, void* user) {
    auto* p = static_cast<Player*>(user);
    const std::size_t n = std::min(item * count, p->content.size() - p->sent);
    std::memcpy(buffer, p->content.data() + p->sent, n);
    p->sent += n;
    return n;
}

std::size_t onListing(char*, std::size_t item, std::size_t count, void*) { return item * count; }

// Notes the moment of the acknowledgement: the final 2xx reply to RNTO (an
// upload) or to NLST (a listing), before libcurl's closing QUIT.
int onDebug(CURL*, curl_infotype type, char* data, std::size_t size, void* user) {
    auto* p = static_cast<Player*>(user);
    const std::string_view line(data, size);
    if (p->trace && (type == CURLINFO_TEXT || type == CURLINFO_HEADER_IN || type == CURLINFO_HEADER_OUT)) {
        const char* mark = type == CURLINFO_TEXT ? "*" : type == CURLINFO_HEADER_IN ? "<" : ">";
        const std::string_view shown = line.starts_with("PASS ") ? std::string_view("PASS (left out)\n") : line;
        std::fprintf(stderr, "%ld %s %.*s", p->k, mark, static_cast<int>(shown.size()), shown.data());
    }
    if (type == CURLINFO_HEADER_OUT) {
        p->awaitingAck = p->op == Op::Upload ? line.starts_with("RNTO ") : line.starts_with("NLST");
    } else if (type == CURLINFO_HEADER_IN && p->awaitingAck && line.size() >= 4 && line[3] == ' ' &&
               std::isdigit(static_cast<unsigned char>(line[0]))) {
        if (line[0] == '2') {
            p->acknowledged = Clock::now();
            p->acked = true;
        }
        if (line[0] != '1') p->awaitingAck = false;
    }
    return 0;
}

// One whole line to stdout in one write: lines of several threads never
// mix, and what was written stays if the process dies.
void emit(std::string_view line) {
    while (!line.empty()) {
        const ssize_t n = ::write(STDOUT_FILENO, line.data(), line.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        line.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string scoreName(long k, long round) {
    char name[128];
    std::snprintf(name, sizeof name, "%ld(Pemain %04ld)(p%04ld@sekolah.example)(Indonesia %ld)",
                  (k * 7919 + round) % 100000, k, k, round);
    return name;
}

std::string scoreFile(const std::string& name) {
    const int n = std::snprintf(nullptr, 0, kScoreFile, name.c_str());
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), kScoreFile, name.c_str());
    text.pop_back();
    return text;
}

class Worker {
public:
    Worker(const Config& config, std::vector<Player*> players, Clock::time_point& start)
        : c_(config), players_(std::move(players)), start_(start) {}

    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    ~Worker() {
        if (multi_) curl_multi_cleanup(multi_);
    }

    bool prepare() {
        multi_ = curl_multi_init();
        return multi_ != nullptr;
    }

    void run() {
        std::this_thread::sleep_until(start_);
        int active = 0;
        for (Player* p : players_) active += begin(*p);
        while (active > 0) {
            int running = 0;
            curl_multi_perform(multi_, &running);
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
                if (msg->msg != CURLMSG_DONE) continue;
                void* owner = nullptr;
                curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &owner);
                Player* p = static_cast<Player*>(owner);
                const CURLcode rc = msg->data.result;
                curl_multi_remove_handle(multi_, msg->easy_handle);
                end(*p, rc == CURLE_OK && p->acked, rc);
                active -= 1;
                active += advance(*p);
            }
            if (active > 0) curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
        }
    }

    Clock::time_point lastEnd() const { return lastEnd_; }

private:
    // Starts the player's operation of the moment; 1 when it runs, 0 when it
    // failed at once (its line is written).
    int begin(Player& p) {
        CURL* h = p.op == Op::Upload ? p.upload : p.listing;
        curl_easy_reset(h);
        p.error[0] = '\0';
        p.acked = p.awaitingAck = false;
        p.began = Clock::now();
        if (p.op == Op::Upload) {
            p.name = scoreName(p.k, p.round);
            p.content = scoreFile(p.name);
            p.sent = 0;
            char tmp[64];
            std::snprintf(tmp, sizeof tmp, "korvala-upload-%016llx.part", static_cast<unsigned long long>(p.rng()));
            p.url = base(p) + tmp;
            curl_slist_free_all(p.postquote);
            p.postquote = nullptr;
            for (const std::string& line : {std::string("RNFR ") + tmp, "RNTO Korvala/" + p.name}) {
                curl_slist* grown = curl_slist_append(p.postquote, line.c_str());
                if (!grown) return failNow(p, "out of memory");
                p.postquote = grown;
            }
        } else {
            p.url = base(p) + "Korvala/";
        }

        const long stall = std::min(c_.timeout, kStallSeconds);
        CURLcode rc = CURLE_OK;
        const char* refused = nullptr;
        auto set = [&](CURLoption option, const char* name, auto value) {
            if (rc != CURLE_OK) return;
            rc = curl_easy_setopt(h, option, value);
            if (rc != CURLE_OK) refused = name;
        };
#define SET(option, value) set(option, #option, value)
        SET(CURLOPT_PRIVATE, static_cast<void*>(&p));
        SET(CURLOPT_ERRORBUFFER, p.error);
        SET(CURLOPT_URL, p.url.c_str());
        SET(CURLOPT_PROTOCOLS_STR, "ftp");
        SET(CURLOPT_NOSIGNAL, 1L);
        SET(CURLOPT_FORBID_REUSE, 1L);
        SET(CURLOPT_USERNAME, c_.user.c_str());
        SET(CURLOPT_PASSWORD, c_.password.c_str());
        SET(CURLOPT_TIMEOUT_MS, c_.timeout * 1000L);
        SET(CURLOPT_CONNECTTIMEOUT_MS, stall * 1000L);
        SET(CURLOPT_SERVER_RESPONSE_TIMEOUT, stall);
        SET(CURLOPT_LOW_SPEED_LIMIT, 1L);
        SET(CURLOPT_LOW_SPEED_TIME, stall);
        SET(CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
        SET(CURLOPT_SSL_VERIFYPEER, 1L);
        SET(CURLOPT_SSL_VERIFYHOST, 2L);
        SET(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
        SET(CURLOPT_CAINFO, c_.cafile.c_str());
        SET(CURLOPT_FTP_USE_EPSV, 1L);
        SET(CURLOPT_TRANSFERTEXT, 0L);
        SET(CURLOPT_INTERFACE, p.interface.c_str());
        SET(CURLOPT_SOCKOPTFUNCTION, &onSocket);
        SET(CURLOPT_DEBUGFUNCTION, &onDebug);
        SET(CURLOPT_DEBUGDATA, static_cast<void*>(&p));
        SET(CURLOPT_VERBOSE, 1L);
        if (p.op == Op::Upload) {
            SET(CURLOPT_UPLOAD, 1L);
            SET(CURLOPT_READFUNCTION, &onRead);
            SET(CURLOPT_READDATA, static_cast<void*>(&p));
            SET(CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(p.content.size()));
            SET(CURLOPT_POSTQUOTE, p.postquote);
        } else {
            SET(CURLOPT_DIRLISTONLY, 1L);
            SET(CURLOPT_WRITEFUNCTION, &onListing);
        }
#undef SET
        if (rc != CURLE_OK) return failNow(p, std::string("libcurl refused the option ") + refused);
        if (curl_multi_add_handle(multi_, h) != CURLM_OK) return failNow(p, "libcurl refused the request");
        return 1;
    }

    int failNow(Player& p, const std::string& why) {
        std::snprintf(p.error, sizeof p.error, "%s", why.c_str());
        end(p, false, CURLE_FAILED_INIT);
        return advance(p);
    }

    // The next operation of the player, if any; 1 when it runs.
    int advance(Player& p) {
        if (p.op == Op::Upload) {
            p.op = Op::Listing;
        } else {
            p.op = Op::Upload;
            if (++p.round >= c_.rounds) return 0;
        }
        return begin(p);
    }

    void end(Player& p, bool ok, CURLcode rc) {
        const Clock::time_point ended = ok ? p.acknowledged : Clock::now();
        lastEnd_ = std::max(lastEnd_, ended);
        std::string why;
        if (!ok && rc == CURLE_OK) why = "libcurl ended the request without the acknowledgement";
        else if (!ok) why = reason(rc, p.error);
        char head[160];
        std::snprintf(head, sizeof head, "%ld\t%ld\t%s\t%.6f\t%.6f\t%s\t", p.k, p.round,
                      p.op == Op::Upload ? "upload" : "listing", seconds(p.began), seconds(ended), ok ? "ok" : "fail");
        emit(head + why + '\t' + (p.op == Op::Upload ? p.name : std::string()) + '\n');
    }

    double seconds(Clock::time_point t) const { return std::chrono::duration<double>(t - start_).count(); }

    std::string base(const Player& p) const {
        const long port = c_.ports[static_cast<std::size_t>(p.k) % c_.ports.size()];
        return "ftp://" + c_.user + "@" + c_.host + ":" + std::to_string(port) + "/";
    }

    const Config& c_;
    std::vector<Player*> players_;
    const Clock::time_point& start_;
    CURLM* multi_ = nullptr;
    Clock::time_point lastEnd_{};
};

// Room for two connections per player at once, and the wake-up pair of
// each thread's multi handle.
void raiseOpenFiles(const Config& c) {
    const rlim_t wanted = static_cast<rlim_t>(4 * c.players + 4 * c.threads + 64);
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= wanted) return;
    lim.rlim_cur = lim.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, lim.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur < wanted)
        std::fprintf(stderr, "korvala_load_client: only %llu files may be open; some connections may fail\n",
                     static_cast<unsigned long long>(lim.rlim_cur));
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Thread {
    Worker* worker;
    std::latch* ready;
    std::latch* go;
    bool prepared = false;
};

void* threadMain(void* arg) {
    auto* t = static_cast<Thread*>(arg);
    t->prepared = t->worker->prepare();
    t->ready->count_down();
    t->go->wait();
    if (t->prepared) t->worker->run();
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const Config c = parse(argc, argv);
    raiseOpenFiles(c);
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
        std::fprintf(stderr, "korvala_load_client: libcurl cannot start\n");
        return 1;
    }

    std::vector<std::unique_ptr<Player>> players;
    std::random_device seed;
    for (long k = 0; k < c.players; ++k) {
        auto p = std::make_unique<Player>();
        p->k = k;
        p->trace = c.trace;
        p->interface = "host!127.0.0." + std::to_string(2 + k / c.playersPerAddress);
        p->rng.seed((std::uint64_t{seed()} << 32) ^ seed());
        p->upload = curl_easy_init();
        p->listing = curl_easy_init();
        if (!p->upload || !p->listing) {
            std::fprintf(stderr, "korvala_load_client: libcurl cannot make the handles of player %ld\n", k);
            return 1;
        }
        players.push_back(std::move(p));
    }

    Clock::time_point start;
    std::vector<std::unique_ptr<Worker>> workers;
    for (long t = 0; t < c.threads; ++t) {
        std::vector<Player*> mine;
        for (long k = t; k < c.players; k += c.threads) mine.push_back(players[static_cast<std::size_t>(k)].get());
        workers.push_back(std::make_unique<Worker>(c, std::move(mine), start));
    }

    // Small stacks: a thread only waits for its players' sockets.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, std::size_t{512} << 10);
    std::latch ready(c.threads), go(1);
    std::vector<Thread> threads(static_cast<std::size_t>(c.threads));
    std::vector<pthread_t> ids(threads.size());
    for (std::size_t t = 0; t < threads.size(); ++t) {
        threads[t] = Thread{workers[t].get(), &ready, &go};
        if (pthread_create(&ids[t], &attr, &threadMain, &threads[t]) != 0) {
            std::fprintf(stderr, "korvala_load_client: cannot start thread %zu of %zu\n", t + 1, threads.size());
            std::_Exit(1);
        }
    }
    pthread_attr_destroy(&attr);
    ready.wait();
    emit("# player\tround\top\tstart_s\tend_s\tok|fail\treason\tname\n");
    start = Clock::now() + std::chrono::milliseconds(100);
    go.count_down();
    for (pthread_t id : ids) pthread_join(id, nullptr);

    bool allPrepared = true;
    Clock::time_point last = start;
    for (std::size_t t = 0; t < threads.size(); ++t) {
        allPrepared = allPrepared && threads[t].prepared;
        last = std::max(last, workers[t]->lastEnd());
    }
    char cpu[128];
    std::snprintf(cpu, sizeof cpu, "cpu\t%.3f\t%.3f\n", cpuSeconds(),
                  std::chrono::duration<double>(last - start).count());
    emit(cpu);

    for (auto& p : players) {
        curl_easy_cleanup(p->upload);
        curl_easy_cleanup(p->listing);
        curl_slist_free_all(p->postquote);
    }
    workers.clear();
    curl_global_cleanup();
    if (!allPrepared) {
        std::fprintf(stderr, "korvala_load_client: libcurl could not make a multi handle; players were left out\n");
        return 1;
    }
    return 0;
}
