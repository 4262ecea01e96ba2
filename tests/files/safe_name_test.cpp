// The file names score strings are kept under, locally and on the server.
#include "system/files/safe_name.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "system/rtf/utf8.h"

namespace {

using korvala::kMaxPlainFileNameBytes;
using korvala::safeFileName;
using namespace std::string_literals;

// A name is safe when it is one path component that stays in its folder and
// fits on one FTP command line: valid UTF-8 without '/', '\\' or any control
// character, not a name the folder gives a meaning, not too long.
std::string whyUnsafe(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return "a folder's own name";
    if (name.size() > kMaxPlainFileNameBytes) return "too long";
    for (std::size_t i = 0; i < name.size();) {
        const std::optional<char32_t> cp = korvala::nextCodePoint(name, i);
        if (!cp) return "not UTF-8";
        if (*cp < 0x20 || (*cp >= 0x7F && *cp <= 0x9F)) return "a control character";
        if (*cp == U'/' || *cp == U'\\') return "a folder separator";
    }
    return {};
}

// Reads every "%HH" back as its byte: the inverse of the mapping for every
// name that is not shortened.
std::optional<std::string> decode(const std::string& name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '%') {
            out += name[i];
            continue;
        }
        if (i + 2 >= name.size()) return std::nullopt;
        const auto hex = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        const int high = hex(name[i + 1]), low = hex(name[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

TEST(SafeFileName, PlainScoreStringsAndProfileNamesStayAsTheyAre) {
    const std::vector<std::string> plain = {
        "7(Budi)(b@x.example)(Papua Nugini)",
        "konfignama.tamzosystem",
        "konfigemail.tamzosystem",
        " 12 (GOOD TIME) ",  // leading and trailing blanks
        "   ",
        "...",  // ".." inside a longer name
        "..a",
        "a..",
        "a..b",
        "-_@.()",
        "a:b",
        "12 (Zw\xC3\xB6lf \xF0\x9F\x98\x80)",  // non-ASCII letters, an emoji
        "\xC3\x91"
        "and\xC3\xBA \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
        "\xC2\xA0\xE2\x82\xAC\xEF\xBF\xBD",        // NBSP, euro sign, U+FFFD itself
        std::string(kMaxPlainFileNameBytes, 'x'),  // as long as a name may be
    };
    for (const std::string& name : plain) EXPECT_EQ(safeFileName(name), name) << name;
}

TEST(SafeFileName, HostileStringsBecomeOneSafeName) {
    struct Case {
        std::string name;
        std::string expected;  // empty: only checked for safety
    };
    const std::vector<Case> cases = {
        {"", "%"},
        {".", "%2E"},
        {"..", "%2E%2E"},
        {"/", "%2F"},
        {"a/b", "a%2Fb"},
        {"../x", "..%2Fx"},
        {"..\\x", "..%5Cx"},
        {"/etc/passwd", "%2Fetc%2Fpasswd"},
        {"C:\\x", "C:%5Cx"},
        {"x\r\nDELE konfignama.tamzosystem", "x%0D%0ADELE konfignama.tamzosystem"},
        {"a\0b"s, "a%00b"},
        {"tab\there", "tab%09here"},
        {"\x7F", "%7F"},
        {"nel\xC2\x85", "nel%C2%85"},  // C1 control, two bytes escaped
        {"\xC2\x9F", "%C2%9F"},
        {"100%", "100%25"},
        {"%2F", "%252F"},
        {"\xFF", "%FF"},                       // not UTF-8
        {"\xC3", "%C3"},                       // cut short
        {"\xC0\xAF", "%C0%AF"},                // overlong '/'
        {"\xE0\x80\xAF", "%E0%80%AF"},         // overlong '/', three bytes
        {"\xED\xA0\x80", "%ED%A0%80"},         // a surrogate
        {"\xF4\x90\x80\x80", "%F4%90%80%80"},  // above U+10FFFF
        {"\xC3\xA9\xC3", "\xC3\xA9%C3"},       // a letter, then a cut-short one
        {std::string(kMaxPlainFileNameBytes + 1, 'x'), ""},
        {std::string(1000, '/'), ""},
        {std::string(300, '\n'), ""},
        {std::string(100, '.'), std::string(100, '.')},
    };
    for (const Case& c : cases) {
        const std::string mapped = safeFileName(c.name);
        EXPECT_EQ(whyUnsafe(mapped), "") << '"' << c.name << "\" -> \"" << mapped << '"';
        if (!c.expected.empty()) {
            EXPECT_EQ(mapped, c.expected) << c.name;
        }
    }
}

TEST(SafeFileName, DifferentStringsGetDifferentNames) {
    const std::string longName(300, 'x');
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"a/b", "a%2Fb"},
        {"", "%"},
        {".", "%2E"},
        {"..", "%2E%2E"},
        {"..", "%2E."},
        {"..", ".%2E"},
        {"%", "%25"},
        {"\n", "%0A"},
        {"\xC2\x85", "%C2%85"},
        {"\xFF", "%FF"},
        {"\xFF", "\xC3\xBF"},  // a stray byte and the letter of that value
        {"a b", "a  b"},
        {" x", "x"},
        {"x ", "x"},
        // Too long: shortened names share their prefix but not their hash.
        {longName, longName + "y"},
        {longName + "a", longName + "b"},
        {longName, safeFileName(longName)},
        {std::string(300, '/'), std::string(100, '/') + "%2F"},
        {std::string(kMaxPlainFileNameBytes, 'x'), std::string(kMaxPlainFileNameBytes + 1, 'x')},
        {std::string(kMaxPlainFileNameBytes - 2, 'x') + "%", std::string(kMaxPlainFileNameBytes - 2, 'x') + "%%"},
    };
    std::map<std::string, std::string> seen;  // mapped name -> original
    for (const auto& [a, b] : pairs) {
        EXPECT_NE(safeFileName(a), safeFileName(b)) << '"' << a << "\" vs \"" << b << '"';
        for (const std::string& name : {a, b}) {
            const auto [it, inserted] = seen.emplace(safeFileName(name), name);
            EXPECT_TRUE(inserted || it->second == name) << '"' << name << "\" vs \"" << it->second << '"';
        }
    }
}

// Random names from the bytes that matter: every one maps to a safe name that
// reads back as the original, so no two of them can share a name.
TEST(SafeFileName, RandomNamesAreSafeAndReadBack) {
    const std::string alphabet = "a. /\\%\r\n\0\x7F\xC2\x85\xC3\xA9\xFF\xE2\x82\xAC\xF0\x9F\x98\x80"s;
    std::mt19937 random(20240611);
    for (int round = 0; round < 20000; ++round) {
        std::string name;
        const int length = static_cast<int>(random() % 12);
        for (int k = 0; k < length; ++k) name += alphabet[random() % alphabet.size()];
        const std::string mapped = safeFileName(name);
        ASSERT_EQ(whyUnsafe(mapped), "") << '"' << name << "\" -> \"" << mapped << '"';
        if (name.empty() || name == "." || name == "..") continue;
        ASSERT_EQ(decode(mapped), name) << '"' << name << "\" -> \"" << mapped << '"';
    }
}

TEST(SafeFileName, TooLongNamesAreShortenedWithAHashOfTheWhole) {
    const std::vector<std::string> longNames = {
        std::string(256, 'x'),
        std::string(100000, 'x'),
        std::string(200, '/'),  // long only once escaped
        [] {
            std::string emoji;
            for (int k = 0; k < 100; ++k) emoji += "\xF0\x9F\x98\x80";
            return emoji;
        }(),
        "7(" + std::string(300, 'B') + ")\r\n",
    };
    for (const std::string& name : longNames) {
        const std::string mapped = safeFileName(name);
        EXPECT_EQ(whyUnsafe(mapped), "") << mapped;
        EXPECT_LE(mapped.size(), 200u) << mapped;  // well under what file systems allow
        // A prefix of the name as mapped, cut between characters and
        // escapes, then the marker and 64 hex digits.
        const std::size_t marker = mapped.find("%%");
        ASSERT_NE(marker, std::string::npos) << mapped;
        EXPECT_EQ(mapped.size() - marker, 2 + 64u) << mapped;
        const std::string prefix = mapped.substr(0, marker);
        EXPECT_GE(prefix.size(), 100u) << mapped;
        const auto original = decode(prefix);
        ASSERT_TRUE(original.has_value()) << mapped;
        EXPECT_EQ(name.substr(0, original->size()), *original) << mapped;
    }
    // The hash is SHA-256 of the whole original name.
    EXPECT_EQ(safeFileName(std::string(256, 'x')),
              std::string(120, 'x') + "%%" + "85e62acd750c4eb56b7b6a1d66dca5bfaac5f062608a1a893410d0288936c09a");
    std::string emoji, prefix;
    for (int k = 0; k < 100; ++k) emoji += "\xF0\x9F\x98\x80";
    for (int k = 0; k < 30; ++k) prefix += "\xF0\x9F\x98\x80";
    EXPECT_EQ(safeFileName(emoji), prefix + "%%" + "a7e0f4a3cea486e31d501a7054ed6a3c9ab8f08e74e5bfa6b1d3014c0b884b81");
}

}  // namespace
