#include "window/case_fold.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "window/characters.h"

namespace korvala {

namespace {

// first, first + stride, ... up to last fold to themselves plus delta.
struct CaseFoldRun {
    char32_t first;
    char32_t last;
    std::uint8_t stride;
    std::int32_t delta;
};

#include "window/case_fold_table.inc"

// What a stray byte compares as: past the last code point, in byte order.
constexpr std::uint32_t kStrayByteBase = 0x110000;

// The folded code point of the character at `i`, or the stray-byte value of
// the byte there, moving `i` past what was read.
std::uint32_t nextFolded(std::string_view s, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(s[i]);
    if (lead < 0x80) {
        ++i;
        return lead >= 'A' && lead <= 'Z' ? lead + ('a' - 'A') : lead;
    }
    const std::size_t end = characterEnd(s, i);
    const std::size_t length = end - i;
    const std::size_t expected = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (length == expected) {
        char32_t cp = lead & (expected == 2 ? 0x1F : expected == 3 ? 0x0F : 0x07);
        for (std::size_t k = i + 1; k < end; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[k]) & 0x3F);
        // Overlong forms, surrogates and values past U+10FFFF are not
        // characters: their bytes count one by one.
        const bool wellFormed = expected == 2 || (expected == 3 ? cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF)
                                                                : cp >= 0x10000 && cp <= 0x10FFFF);
        if (wellFormed) {
            i = end;
            return simpleCaseFold(cp);
        }
    }
    ++i;
    return kStrayByteBase + lead;
}

}  // namespace

char32_t simpleCaseFold(char32_t cp) {
    // The last run that starts at or before cp.
    const auto after = std::upper_bound(std::begin(kCaseFoldRuns), std::end(kCaseFoldRuns), cp,
                                        [](char32_t c, const CaseFoldRun& run) { return c < run.first; });
    if (after == std::begin(kCaseFoldRuns)) return cp;
    const CaseFoldRun& run = *std::prev(after);
    if (cp > run.last || (cp - run.first) % run.stride != 0) return cp;
    return static_cast<char32_t>(static_cast<std::int32_t>(cp) + run.delta);
}

int compareCaseFolded(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const std::uint32_t x = nextFolded(a, i);
        const std::uint32_t y = nextFolded(b, j);
        if (x != y) return x < y ? -1 : 1;
    }
    if (i < a.size()) return 1;   // b is a prefix of a
    if (j < b.size()) return -1;  // a is a prefix of b
    return 0;
}

}  // namespace korvala
