#pragma once
// Letter case ignored the same way for every script: Unicode's simple case
// folding (one code point to one code point), the same whatever the
// process's locale. The sorted list box orders its entries with it.
#include <string_view>

namespace korvala {

// The folded form of `cp`: the one code point all its case forms share
// (É and é give é, Σ, σ and ς give σ, ẞ gives ß). A code point without
// case forms is its own.
char32_t simpleCaseFold(char32_t cp);

// Compares two UTF-8 texts with case ignored, character by character:
// negative when `a` comes first, zero when they differ in letter case only,
// positive when `b` comes first. Characters compare by their folded code
// points, so ASCII text orders by its lower-case bytes ('_' before 'a').
// A byte that does not begin a well-formed UTF-8 character counts as one
// character of its own that sorts after every real character, such bytes
// in the order of their values.
int compareCaseFolded(std::string_view a, std::string_view b);

}  // namespace korvala
