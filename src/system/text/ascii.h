#pragma once
// ASCII on bytes, whatever the locale: the letters of protocol words, host
// names and keys, decimal and hex digits. Bytes outside ASCII are never
// letters or digits here.
#include <cstddef>
#include <string>
#include <string_view>

namespace korvala::ascii {

inline constexpr char kHexUpper[] = "0123456789ABCDEF";
inline constexpr char kHexLower[] = "0123456789abcdef";

constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }

constexpr char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// 0..15 for a hex digit of either case, -1 for anything else.
constexpr int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

constexpr bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// "%2F" style: '%' and the byte in two upper-case hex digits, appended.
inline void appendPercentByte(std::string& out, unsigned char byte) {
    out += '%';
    out += kHexUpper[byte >> 4];
    out += kHexUpper[byte & 0xF];
}

}  // namespace korvala::ascii
