#pragma once
// Element text as value: the game keeps its numbers as element text. Read a
// text as a whole number the way the game always has (leading blanks
// skipped, then digits with an optional sign; anything else counts as 0),
// and write numbers back as plain decimal digits.
#include <string>
#include <string_view>

namespace korvala {

long long numberOf(std::string_view text);
std::string numberText(long long value);

}  // namespace korvala
