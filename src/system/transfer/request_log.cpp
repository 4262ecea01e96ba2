#include "system/transfer/request_log.h"

#include <algorithm>
#include <mutex>
#include <set>

#include "system/log/log.h"

namespace korvala {

const char* kindName(TransferRequest::Kind kind) {
    return kind == TransferRequest::Kind::Listing ? "listing" : "upload";
}

std::string requestName(const TransferJob& job) {
    std::string name = kindName(job.kind);
    if (!job.where.empty()) name += (job.kind == TransferRequest::Kind::Listing ? " from " : " to ") + job.where;
    return name;
}

std::string withoutCommandArguments(std::string_view words) {
    // libcurl quotes a refused command (QUOTE, POSTQUOTE) whole.
    static constexpr std::string_view kQuoted = "QUOT string not accepted: ";
    const std::size_t at = words.find(kQuoted);
    if (at == std::string_view::npos) return std::string(words);
    const std::size_t command = at + kQuoted.size();
    const std::size_t end = std::min(words.find(' ', command), words.size());
    return std::string(words.substr(0, end));
}

void logOutcome(const TransferJob& job, const TransferOutcome& outcome) {
    const std::string name = requestName(job);
    if (outcome.withdrawn) {
        log::detail(log::Area::Online, name + " withdrawn: a newer listing took its place");
    } else if (!outcome.ok) {
        log::warning(log::Area::Online, name + " failed: " + outcome.reason);
    } else if (job.kind == TransferRequest::Kind::Listing) {
        const auto names = static_cast<std::size_t>(std::count(outcome.response.begin(), outcome.response.end(), '\n'));
        log::detail(log::Area::Online, name + " done: " + std::to_string(names) + (names == 1 ? " name" : " names") +
                                           (outcome.plain ? ", in plain FTP" : ", over TLS"));
    } else {
        log::detail(log::Area::Online, name + " done" + (outcome.plain ? ", in plain FTP" : ", over TLS"));
    }
}

void tellDistrustedLoopback(const std::string& where, Distrust why) {
    static std::mutex m;
    static std::set<std::string> told;
    {
        std::lock_guard lock(m);
        if (!told.insert(where).second) return;
    }
    if (why == Distrust::RefusesTls) {
        log::warning(log::Area::Online,
                     where +
                         " is held by a server that refuses TLS, as the game's own score server never does: "
                         "it gets no login. Stop the program that holds that port, set ftp-host to another "
                         "port, or set plain-ftp = true to log in to it in plain FTP");
    } else {
        log::warning(log::Area::Online,
                     where +
                         " is held by a score server whose certificate the game does not trust (another "
                         "account's or another program's): it gets no login. Stop the program that holds "
                         "that port, set ftp-host to another port, or set ca-file to that server's "
                         "certificate");
    }
}

}  // namespace korvala
