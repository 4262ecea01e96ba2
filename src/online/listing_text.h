#pragma once
// The listing's text split into the score board's entries: a line is ended
// by CR; LF is skipped; a line of blanks only adds nothing and its blanks
// start the next line; text after the last CR is not a line.
#include <string>
#include <vector>

namespace korvala {

std::vector<std::string> listingLines(const std::string& text);

}  // namespace korvala
