// Server addresses: host and port, URL servers, loopback hosts.
#include "system/net/server_address.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using korvala::ServerAddress;

struct AddressCase {
    std::string text;
    std::optional<ServerAddress> expected;  // nullopt: rejected
};

std::string shown(const std::optional<ServerAddress>& a) {
    return a ? "{" + a->host + ", " + std::to_string(a->port) + "}" : "rejected";
}

void expectAddresses(const std::vector<AddressCase>& cases, std::optional<ServerAddress> (*parse)(const std::string&)) {
    for (const AddressCase& c : cases) {
        const std::optional<ServerAddress> got = parse(c.text);
        EXPECT_EQ(shown(got), shown(c.expected)) << "text: \"" << c.text << "\"";
    }
}

TEST(ParseHostPort, NamesPortsAndIpv6Literals) {
    expectAddresses(
        {
            {"127.0.0.1:2121", ServerAddress{"127.0.0.1", 2121}},
            {"ftp.example.org", ServerAddress{"ftp.example.org", 21}},
            {"ftp.example.org:21", ServerAddress{"ftp.example.org", 21}},
            {"host:1", ServerAddress{"host", 1}},
            {"host:65535", ServerAddress{"host", 65535}},
            {"host:00021", ServerAddress{"host", 21}},
            {"example.org.", ServerAddress{"example.org.", 21}},
            {"[::1]", ServerAddress{"::1", 21}},
            {"[::1]:2121", ServerAddress{"::1", 2121}},
            {"[2001:db8::7]:990", ServerAddress{"2001:db8::7", 990}},
            {"[::ffff:192.0.2.1]:21", ServerAddress{"::ffff:192.0.2.1", 21}},
            {"::1", ServerAddress{"::1", 21}},
            {"fe80::1:2121", ServerAddress{"fe80::1:2121", 21}},  // a bare literal has no port
            {"1:2:3:4:5:6:7:8", ServerAddress{"1:2:3:4:5:6:7:8", 21}},
        },
        [](const std::string& t) { return korvala::parseHostPort(t, 21); });
}

TEST(ParseHostPort, RejectsHostileAndMalformedText) {
    expectAddresses(
        {
            {"", std::nullopt},
            {":21", std::nullopt},
            {"127.0.0.1:0", std::nullopt},
            {"host:65536", std::nullopt},
            {"host:99999999999999999999", std::nullopt},
            {"host:12a", std::nullopt},
            {"host:-1", std::nullopt},
            {"host:+21", std::nullopt},
            {"host:", std::nullopt},
            {"host: 21", std::nullopt},
            {"a b", std::nullopt},
            {" host", std::nullopt},
            {"host\t", std::nullopt},
            {"ho\nst", std::nullopt},
            {"ho\x7Fst", std::nullopt},
            {"host/path", std::nullopt},
            {"user@host", std::nullopt},
            {"evil.org\\@127.0.0.1", std::nullopt},
            {"host?x", std::nullopt},
            {"host#x", std::nullopt},
            {"ho%73t", std::nullopt},
            {"[::1", std::nullopt},
            {"[::1]x", std::nullopt},
            {"[::1]:", std::nullopt},
            {"[::1]:0", std::nullopt},
            {"[]", std::nullopt},
            {"[]:21", std::nullopt},
            {"[example.org]:21", std::nullopt},
            {"[127.0.0.1]", std::nullopt},
            {"[::1%eth0]", std::nullopt},
            {"host]:21", std::nullopt},
            {"a:b:c", std::nullopt},
            {"::1::", std::nullopt},
            {":::1", std::nullopt},
            {"1:2:3:4:5:6:7:8:9", std::nullopt},
            {"1:2:3:4:5:6:7::8", std::nullopt},  // "::" must stand for one group at least
            {"12345::1", std::nullopt},
            {"::g", std::nullopt},
            {"::1.2.3.256", std::nullopt},
            {std::string("[::1\0]:21", 9), std::nullopt},  // an address ends at no NUL
        },
        [](const std::string& t) { return korvala::parseHostPort(t, 21); });
}

TEST(ParseHostPort, TheReasonNamesWhatIsWrong) {
    struct Case {
        std::string text;
        std::string reasonPart;
    };
    const std::vector<Case> cases = {
        {"example.org:70000", "1 to 65535"},
        {"example.org:0", "1 to 65535"},
        {"host:12a", "digits"},
        {"host:", "missing"},
        {":21", "empty"},
        {"a b", "blanks"},
        {"[::1", "']'"},
        {"[nope]", "IPv6"},
        {"a:b:c", "IPv6"},
    };
    for (const Case& c : cases) {
        EXPECT_NE(korvala::hostPortProblem(c.text).find(c.reasonPart), std::string::npos)
            << c.text << " -> " << korvala::hostPortProblem(c.text);
    }
    EXPECT_EQ(korvala::hostPortProblem("[::1]:2121"), "");
}

TEST(Authority, BracketsIpv6AndAlwaysCarriesThePort) {
    EXPECT_EQ(korvala::authority({"127.0.0.1", 2121}), "127.0.0.1:2121");
    EXPECT_EQ(korvala::authority({"ftp.example.org", 21}), "ftp.example.org:21");
    EXPECT_EQ(korvala::authority({"::1", 2121}), "[::1]:2121");
    EXPECT_EQ(korvala::authority({"2001:db8::7", 21}), "[2001:db8::7]:21");
    // What parseHostPort reads from it is the address itself.
    for (const std::string text : {"[::1]:2121", "127.0.0.1:2121", "ftp.example.org:990"}) {
        const auto parsed = korvala::parseHostPort(text, 21);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(korvala::authority(*parsed), text);
    }
}

TEST(IsLoopbackHost, OnlyHostsThatAreCertainlyThisMachine) {
    struct Case {
        std::string host;
        bool loopback;
    };
    const std::vector<Case> cases = {
        {"localhost", true},
        {"LocalHost", true},
        {"localhost.", true},
        {"LOCALHOST.", true},
        {"127.0.0.1", true},
        {"127.1.2.3", true},
        {"127.255.255.255", true},
        {"::1", true},
        {"[::1]", true},
        {"0:0::1", true},
        {"0:0:0:0:0:0:0:1", true},
        {"0000:0000:0000:0000:0000:0000:0000:0001", true},
        {"::0:1", true},
        {"::ffff:127.0.0.1", true},
        {"[::ffff:7f00:1]", true},

        {"", false},
        {"127.0.0.1.evil.org", false},
        {"localhost.evil.org", false},
        {"evil-localhost", false},
        {"localhost..", false},
        {"128.0.0.1", false},
        {"126.255.255.255", false},
        {"0.0.0.0", false},
        {"127.1", false},       // short forms: not every resolver reads them so
        {"127.0.0.01", false},  // a leading zero may mean octal
        {"0177.0.0.1", false},
        {"127.0.0.256", false},
        {"127.0.0.1:21", false},  // a host, not an address with a port
        {"[127.0.0.1]", false},
        {"::2", false},
        {"::", false},
        {"1::1", false},
        {"::1:1", false},
        {"[::1", false},
        {"::ffff:128.0.0.1", false},
        {"::127.0.0.1", false},  // IPv4-compatible form: not loopback
        {std::string("127.0.0.1\0.evil.org", 19), false},
        {std::string("::1\0:2", 6), false},
    };
    for (const Case& c : cases) EXPECT_EQ(korvala::isLoopbackHost(c.host), c.loopback) << c.host;
}

TEST(UrlServer, ReadsTheServerOfFtpAndWebAddresses) {
    expectAddresses(
        {
            {"ftp://127.0.0.1:2121", ServerAddress{"127.0.0.1", 2121}},
            {"ftp://korvala@127.0.0.1:2121/Korvala/", ServerAddress{"127.0.0.1", 2121}},
            {"ftp://user:pw@ftp.example.org/", ServerAddress{"ftp.example.org", 21}},
            {"http://127.0.0.1:2180/", ServerAddress{"127.0.0.1", 2180}},
            {"http://example.org", ServerAddress{"example.org", 80}},
            {"https://example.org/scores/?a=b#top", ServerAddress{"example.org", 443}},
            {"https://example.org?x", ServerAddress{"example.org", 443}},
            {"HTTPS://Example.org:8443/", ServerAddress{"Example.org", 8443}},
            {"Ftp://h", ServerAddress{"h", 21}},
            {"http://[::1]:2180/", ServerAddress{"::1", 2180}},
            {"http://[::1]/", ServerAddress{"::1", 80}},
            {"http://a@b@example.org/", ServerAddress{"example.org", 80}},
            {"http://example.org/a@b", ServerAddress{"example.org", 80}},  // '@' in the path
        },
        [](const std::string& t) { return korvala::urlServer(t); });
}

TEST(UrlServer, RejectsOtherSchemesAndMalformedAddresses) {
    expectAddresses(
        {
            {"", std::nullopt},
            {"example.org", std::nullopt},
            {"//example.org/", std::nullopt},
            {"file:///etc/passwd", std::nullopt},
            {"javascript://example.org/", std::nullopt},
            {"ftps://example.org/", std::nullopt},
            {"http:/example.org/", std::nullopt},
            {"http://", std::nullopt},
            {"http:///path", std::nullopt},
            {"http://user@/", std::nullopt},
            {"http://:80/", std::nullopt},
            {"http://example.org:/", std::nullopt},
            {"http://example.org:0/", std::nullopt},
            {"http://example.org:65536/", std::nullopt},
            {"http://example.org:8o/", std::nullopt},
            {"http://::1/", std::nullopt},
            {"http://[::1/", std::nullopt},
            {"http://exa mple.org/", std::nullopt},
            {"http://example.org/a b", std::nullopt},
            {" http://example.org/", std::nullopt},
            {"http://example.org/\n", std::nullopt},
            {"http://evil.org\\@127.0.0.1/", std::nullopt},
            {"http://%31%32%37.0.0.1/", std::nullopt},
        },
        [](const std::string& t) { return korvala::urlServer(t); });
    EXPECT_NE(korvala::urlServerProblem("gopher://x/"), "");
    EXPECT_EQ(korvala::urlServerProblem("https://example.org/"), "");
}

}  // namespace
