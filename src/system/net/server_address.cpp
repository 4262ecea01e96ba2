// Server addresses: host and port, URLs, loopback hosts.
#include "system/net/server_address.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace korvala {
namespace {

constexpr int kMaxPort = 65535;

// What a parse gives: the address, or why there is none.
struct Parsed {
    std::optional<ServerAddress> address;
    std::string problem;
};

Parsed fail(std::string problem) { return {std::nullopt, std::move(problem)}; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

bool isBlankOrControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7F;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

// Dotted decimal only: four parts of 0..255 without leading zeros (which
// some readers take for octal).
std::optional<std::array<std::uint8_t, 4>> parseIpv4(std::string_view text) {
    const std::vector<std::string_view> parts = split(text, '.');
    if (parts.size() != 4) return std::nullopt;
    std::array<std::uint8_t, 4> bytes{};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::string_view part = parts[i];
        if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return std::nullopt;
        int value = 0;
        for (char c : part) {
            if (!isDigit(c)) return std::nullopt;
            value = value * 10 + (c - '0');
        }
        if (value > 255) return std::nullopt;
        bytes[i] = static_cast<std::uint8_t>(value);
    }
    return bytes;
}

// Groups of one to four hex digits separated by ':'; the last group of the
// whole address may be a dotted IPv4 address standing for two groups.
bool appendIpv6Groups(std::string_view text, bool holdsLast, std::vector<std::uint16_t>& groups) {
    if (text.empty()) return true;
    const std::vector<std::string_view> parts = split(text, ':');
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string_view part = parts[i];
        if (holdsLast && i + 1 == parts.size() && part.find('.') != std::string_view::npos) {
            const auto v4 = parseIpv4(part);
            if (!v4) return false;
            groups.push_back(static_cast<std::uint16_t>(((*v4)[0] << 8) | (*v4)[1]));
            groups.push_back(static_cast<std::uint16_t>(((*v4)[2] << 8) | (*v4)[3]));
            continue;
        }
        if (part.empty() || part.size() > 4) return false;
        unsigned value = 0;
        for (char c : part) {
            const int digit = hexValue(c);
            if (digit < 0) return false;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        groups.push_back(static_cast<std::uint16_t>(value));
    }
    return true;
}

// An IPv6 address in any of its text forms (no zone): its eight groups.
std::optional<std::array<std::uint16_t, 8>> parseIpv6(std::string_view text) {
    std::vector<std::uint16_t> head;
    std::vector<std::uint16_t> tail;
    const std::size_t gap = text.find("::");
    if (gap == std::string_view::npos) {
        if (!appendIpv6Groups(text, true, head) || head.size() != 8) return std::nullopt;
    } else {
        const std::string_view before = text.substr(0, gap);
        const std::string_view after = text.substr(gap + 2);
        if (after.find("::") != std::string_view::npos) return std::nullopt;
        if (!appendIpv6Groups(before, after.empty(), head)) return std::nullopt;
        if (!appendIpv6Groups(after, true, tail)) return std::nullopt;
        if (head.size() + tail.size() > 7) return std::nullopt;  // "::" stands for one group at least
    }
    std::array<std::uint16_t, 8> groups{};
    std::copy(head.begin(), head.end(), groups.begin());
    std::copy(tail.begin(), tail.end(), groups.end() - static_cast<std::ptrdiff_t>(tail.size()));
    return groups;
}

bool isIpv6Loopback(const std::array<std::uint16_t, 8>& g) {
    const bool zeroPrefix = std::all_of(g.begin(), g.begin() + 5, [](std::uint16_t v) { return v == 0; });
    if (!zeroPrefix) return false;
    if (g[5] == 0 && g[6] == 0 && g[7] == 1) return true;  // ::1
    return g[5] == 0xFFFF && (g[6] >> 8) == 127;           // ::ffff:127.x.y.z
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
    return v4 && (*v4)[0] == 127;
}

std::optional<ServerAddress> urlServer(std::string_view url) { return urlServerDetailed(url).address; }

std::string urlServerProblem(std::string_view url) { return urlServerDetailed(url).problem; }

}  // namespace korvala
