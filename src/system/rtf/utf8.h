#pragma once
// UTF-8, the encoding of every text in the game.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace korvala {

// Decodes the code point at `i` and moves past it. An ill-formed sequence
// gives nullopt and moves past its maximal well-formed prefix only (at least
// one byte), so the next character is not swallowed.
std::optional<char32_t> nextCodePoint(std::string_view s, std::size_t& i);

// Appends the UTF-8 bytes of one code point.
void appendUtf8(std::string& out, char32_t cp);

}  // namespace korvala
