#pragma once
// Which certificates a channel trusts, decided per request by the server's
// host, and whether it may speak plain FTP.
#include <filesystem>
#include <utility>
#include <vector>

namespace korvala {

// The certificate the package's score service publishes, readable by every
// account of the machine.
inline constexpr const char* kScoreServiceCertificate = "/run/korvala-score-server/cert.pem";

struct Trust {
    Trust(std::filesystem::path caFile = {}, std::filesystem::path loopbackCaFile = {}, bool plainFtp = false,
          std::filesystem::path serviceCaFile = {})
        : caFile(std::move(caFile)),
          loopbackCaFile(std::move(loopbackCaFile)),
          plainFtp(plainFtp),
          serviceCaFile(std::move(serviceCaFile)) {}

    // Given by the player: trusted instead of any other, for every host.
    std::filesystem::path caFile;
    // The game's own loopback score server's certificate for this player:
    // trusted for a loopback host (localhost, 127.0.0.0/8, ::1) once it
    // exists.
    std::filesystem::path loopbackCaFile;
    // Plain FTP after a refused AUTH TLS, for any host, loopback included
    // (anyone on the way, or another program on this machine's port, could
    // refuse AUTH and read the password).
    bool plainFtp = false;
    // The score service's certificate (kScoreServiceCertificate for the
    // game): trusted for a loopback host too, once it exists.
    std::filesystem::path serviceCaFile;
};

// The certificate files to trust for a request to a host that is loopback
// or not: the player's file alone when given (whether or not it can be
// read: the request then fails saying so), else for a loopback host those of
// loopbackCaFile and serviceCaFile that exist. Empty: the system's store.
std::vector<std::filesystem::path> certificatesFor(const Trust& trust, bool loopbackHost);

}  // namespace korvala
