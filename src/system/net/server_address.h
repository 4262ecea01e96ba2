#pragma once
// Server addresses as the game's settings give them: the score folder's FTP
// host ("host" or "host:port"), the scores page's URL, and whether a host is
// this machine (where plain FTP may be spoken).
#include <optional>
#include <string>
#include <string_view>

namespace korvala {

struct ServerAddress {
    std::string host;  // without brackets: "127.0.0.1", "::1", "ftp.example.org"
    int port = 0;
};

// "host", "host:port", "[v6]", "[v6]:port", or a bare IPv6 literal "::1"
// (no port then); `defaultPort` when the text names none.
// nullopt when the host is empty or holds blanks, control characters, '/',
// '@' (nor may it hold '\\', '?', '#', '%', '[' or ']', which would change
// the meaning of the URL it is put in), when the text in brackets, or a host
// with more than one ':', is not an IPv6 address, or the port is not
// 1..65535 / not all digits.
std::optional<ServerAddress> parseHostPort(std::string_view text, int defaultPort);

// Why parseHostPort rejects `text`, in a few words for the player ("the port
// must be 1 to 65535"); empty when it accepts it.
std::string hostPortProblem(std::string_view text);

// The address as a URL's authority carries it: "h:port", "[v6]:port".
std::string authority(const ServerAddress& a);

// localhost (any case, with or without a trailing dot), 127.0.0.0/8 in
// dotted decimal, ::1 (any spelling of it, e.g. 0:0:0:0:0:0:0:1, or as
// ::ffff:127.0.0.1), [::1]. Spellings that only some resolvers read as
// loopback ("127.1", "0177.0.0.1", "127.0.0.01") are not: a host counts as
// this machine only where that is certain.
bool isLoopbackHost(std::string_view host);

// The server of an ftp://, http:// or https:// address (scheme
// case-insensitive; user info "user@" skipped; default ports 21, 80, 443);
// nullopt for any other scheme or a malformed address: no host, a bad port,
// an IPv6 address without brackets, a '\\' before the path, or a blank or
// control character anywhere.
std::optional<ServerAddress> urlServer(std::string_view url);

// Why urlServer rejects `url`, in a few words; empty when it accepts it.
std::string urlServerProblem(std::string_view url);

}  // namespace korvala
