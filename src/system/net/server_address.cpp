// Server addresses: host and port, URLs, loopback hosts.
#include "system/net/server_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

#include "system/text/ascii.h"

namespace korvala {
namespace {

constexpr int kMaxPort = 65535;

// What a parse gives: the address, or why there is none.
struct Parsed {
    std::optional<ServerAddress> address;
    std::string problem;
};

Parsed fail(std::string problem) { return {std::nullopt, std::move(problem)}; }

using ascii::equalsIgnoringCase;
using ascii::isDigit;

bool isBlankOrControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7F;
}

// The system's reading of an address in text, for `family` AF_INET (dotted
// decimal only: four parts of 0..255 without leading zeros, which some
// readers take for octal) or AF_INET6 (any of its text forms, no zone).
template <typename Address>
std::optional<Address> parseAddress(int family, std::string_view text) {
    // inet_pton reads up to a NUL: text holding one is not an address.
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN || text.find('\0') != std::string_view::npos)
        return std::nullopt;
    Address address{};
    if (::inet_pton(family, std::string(text).c_str(), &address) != 1) return std::nullopt;
    return address;
}

std::optional<in_addr> parseIpv4(std::string_view text) { return parseAddress<in_addr>(AF_INET, text); }

std::optional<in6_addr> parseIpv6(std::string_view text) { return parseAddress<in6_addr>(AF_INET6, text); }

// ::1, or 127.0.0.0/8 mapped into IPv6 (::ffff:127.x.y.z).
bool isIpv6Loopback(const in6_addr& a) {
    return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
}

constexpr std::string_view kHostCharsProblem =
    "the host must not hold blanks, control characters or any of / @ \\ ? # % [ ]";

// A name or IPv4 address as it may stand in a URL's authority.
std::string nameProblem(std::string_view host) {
    if (host.empty()) return "the host is empty";
    for (char c : host) {
        if (isBlankOrControl(c)) return std::string(kHostCharsProblem);
        switch (c) {
            case '/':
            case '@':
            case '\\':
            case '?':
            case '#':
            case '%':
            case '[':
            case ']':
                return std::string(kHostCharsProblem);
            default:
                break;
        }
    }
    return {};
}

std::optional<int> parsePort(std::string_view digits, std::string& problem) {
    if (digits.empty()) {
        problem = "the port is missing after ':'";
        return std::nullopt;
    }
    long long value = 0;
    for (char c : digits) {
        if (!isDigit(c)) {
            problem = "the port must be a number (digits only)";
            return std::nullopt;
        }
        value = std::min<long long>(value * 10 + (c - '0'), kMaxPort + 1);
    }
    if (value < 1 || value > kMaxPort) {
        problem = "the port must be 1 to 65535";
        return std::nullopt;
    }
    return static_cast<int>(value);
}

Parsed parseHostPortDetailed(std::string_view text, int defaultPort) {
    if (text.empty()) return fail("the host is empty");

    if (text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) return fail("the IPv6 address has no closing ']'");
        const std::string_view host = text.substr(1, close - 1);
        if (host.empty()) return fail("the host is empty");
        if (!parseIpv6(host)) return fail("the part in brackets must be an IPv6 address");
        const std::string_view rest = text.substr(close + 1);
        if (rest.empty()) return {ServerAddress{std::string(host), defaultPort}, {}};
        if (rest.front() != ':') return fail("only ':' and a port may follow ']'");
        std::string problem;
        const auto port = parsePort(rest.substr(1), problem);
        if (!port) return fail(problem);
        return {ServerAddress{std::string(host), *port}, {}};
    }

    const std::size_t colons = static_cast<std::size_t>(std::count(text.begin(), text.end(), ':'));
    if (colons > 1) {
        // A bare IPv6 literal; it cannot carry a port.
        if (!parseIpv6(text)) {
            return fail("a host with more than one ':' must be an IPv6 address (with a port: [::1]:2121)");
        }
        return {ServerAddress{std::string(text), defaultPort}, {}};
    }

    const std::size_t colon = text.find(':');
    const std::string_view host = text.substr(0, colon);
    if (std::string problem = nameProblem(host); !problem.empty()) return fail(problem);
    if (colon == std::string_view::npos) return {ServerAddress{std::string(host), defaultPort}, {}};
    std::string problem;
    const auto port = parsePort(text.substr(colon + 1), problem);
    if (!port) return fail(problem);
    return {ServerAddress{std::string(host), *port}, {}};
}

std::optional<int> schemePort(std::string_view scheme) {
    if (equalsIgnoringCase(scheme, "ftp")) return 21;
    if (equalsIgnoringCase(scheme, "http")) return 80;
    if (equalsIgnoringCase(scheme, "https")) return 443;
    return std::nullopt;
}

Parsed urlServerDetailed(std::string_view url) {
    const std::size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos) return fail("the address must start with ftp://, http:// or https://");
    const auto defaultPort = schemePort(url.substr(0, schemeEnd));
    if (!defaultPort) return fail("the address must start with ftp://, http:// or https://");
    if (std::any_of(url.begin(), url.end(), isBlankOrControl)) {
        return fail("the address must not hold blanks or control characters");
    }
    std::string_view server = url.substr(schemeEnd + 3);
    server = server.substr(0, server.find_first_of("/?#"));
    // Browsers read '\\' as '/', so the host they would see is not the one
    // after the last '@'.
    if (server.find('\\') != std::string_view::npos) return fail("the address must not hold '\\' before its path");
    if (const std::size_t at = server.rfind('@'); at != std::string_view::npos) server.remove_prefix(at + 1);
    if (server.empty()) return fail("the address has no host");
    if (server.front() != '[' && std::count(server.begin(), server.end(), ':') > 1) {
        return fail("an IPv6 address must be in brackets, as http://[::1]:2180/");
    }
    return parseHostPortDetailed(server, *defaultPort);
}

}  // namespace

std::optional<ServerAddress> parseHostPort(std::string_view text, int defaultPort) {
    return parseHostPortDetailed(text, defaultPort).address;
}

std::string hostPortProblem(std::string_view text) { return parseHostPortDetailed(text, 1).problem; }

std::string authority(const ServerAddress& a) {
    const std::string port = std::to_string(a.port);
    if (a.host.find(':') != std::string::npos) return "[" + a.host + "]:" + port;
    return a.host + ":" + port;
}

bool isLoopbackHost(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        const auto v6 = parseIpv6(host.substr(1, host.size() - 2));
        return v6 && isIpv6Loopback(*v6);
    }
    if (host.find(':') != std::string_view::npos) {
        const auto v6 = parseIpv6(host);
        return v6 && isIpv6Loopback(*v6);
    }
    if (equalsIgnoringCase(host, "localhost") || equalsIgnoringCase(host, "localhost.")) return true;
    const auto v4 = parseIpv4(host);
    return v4 && (ntohl(v4->s_addr) >> 24) == 127;
}

std::optional<ServerAddress> urlServer(std::string_view url) { return urlServerDetailed(url).address; }

std::string urlServerProblem(std::string_view url) { return urlServerDetailed(url).problem; }

}  // namespace korvala
