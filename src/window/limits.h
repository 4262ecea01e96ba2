#pragma once
// Limits that keep what the game saves loadable again.
#include <cstddef>
#include <limits>

namespace korvala {

// The most characters (Unicode code points) a rich-text box holds. The
// document of the worst such text (every character one that the document
// writes at its longest) stays under the size a load accepts, so every text
// a box can hold saves and loads back.
inline constexpr std::size_t kMaxRichTextChars = 30000;

// The longest score text: the game counts the score in a long long and
// writes it as plain decimal digits (numberText), at most digits10 + 1 of
// them and a sign.
inline constexpr std::size_t kMaxScoreTextChars = std::numeric_limits<long long>::digits10 + 2;

// The most characters the score box holds: the longest score string the end
// of a game composes, score(name)(e-mail)(country), with the name and e-mail
// boxes (rich-text boxes) and the country box (a combo box) each full at
// kMaxRichTextChars, so the closing "(country)" is never cut. It is the
// longest text of any box; its worst document, too, stays under the size a
// load accepts.
inline constexpr std::size_t kMaxScoreStringChars = kMaxScoreTextChars + 3 * (1 + kMaxRichTextChars + 1);

}  // namespace korvala
