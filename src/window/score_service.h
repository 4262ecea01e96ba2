#pragma once
// Where the online scores live and whom the game trusts there: one value,
// made once as the game starts, from its command line, its settings files
// and its built-in defaults (system/settings), then handed to what needs it:
// the window (the online handlers read it) and the real platform parts (the
// loopback score server, the channels' trust).
#include <string>

namespace korvala {

struct ScoreService {
    struct Server {
        std::string host;  // a name or an address; an IPv6 address without brackets
        int port = 0;
    };
    Server ftp;              // the FTP server of the score folder
    std::string ftpUser;     // its account
    std::string scoresPage;  // the scores page: an http:// or https:// address
    Server page;             // the scores page's server, as its address names it
    // A certificate trusted instead of any other, for every host; empty: the
    // host decides.
    std::string caFile;
    // Plain FTP after a refused AUTH TLS also for a host that is not this
    // machine.
    bool plainFtp = false;
};

// A server as an address carries it: "host:port", "[v6]:port".
inline std::string authorityOf(const ScoreService::Server& server) {
    const bool v6 = server.host.find(':') != std::string::npos;
    return (v6 ? "[" + server.host + "]" : server.host) + ":" + std::to_string(server.port);
}

}  // namespace korvala
