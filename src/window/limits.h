#pragma once
// Limits that keep what the game saves loadable again.
#include <cstddef>

namespace korvala {

// The most characters (Unicode code points) a rich-text box holds. The
// document of the worst such text (every character one that the document
// writes at its longest) stays under the size a load accepts, so every text
// a box can hold saves and loads back.
inline constexpr std::size_t kMaxRichTextChars = 30000;

}  // namespace korvala
