#pragma once
// Characters of the UTF-8 text that elements hold: a lead byte takes only
// the continuation bytes it announces; any other byte counts as one
// character, so a run of stray bytes never makes one endless character.
#include <cstddef>
#include <string_view>

namespace korvala {

// Where the character that starts at `i` ends.
inline std::size_t characterEnd(std::string_view s, std::size_t i) {
    const auto lead = static_cast<unsigned char>(s[i]);
    const std::size_t announced = lead >= 0xC2 && lead <= 0xDF   ? 1
                                  : lead >= 0xE0 && lead <= 0xEF ? 2
                                  : lead >= 0xF0 && lead <= 0xF4 ? 3
                                                                 : 0;
    std::size_t end = i + 1;
    for (std::size_t n = 0; n < announced && end < s.size() && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80; ++n)
        ++end;
    return end;
}

// The number of characters in `s`.
inline std::size_t characterCount(std::string_view s) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size(); i = characterEnd(s, i)) ++n;
    return n;
}

// The byte length of the first `chars` characters of `s`.
inline std::size_t characterPrefix(std::string_view s, std::size_t chars) {
    std::size_t i = 0;
    for (std::size_t n = 0; n < chars && i < s.size(); ++n) i = characterEnd(s, i);
    return i;
}

}  // namespace korvala
