// Fuzz target for the score board's listing splitter: whatever text the
// score folder's listing holds, the entries it makes hold no line end, are
// never blank, are never longer together than the text, and are exactly the
// entries of the plain character-by-character rule written out below.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "online/listing_text.h"

namespace {

// The splitting rule one character at a time: CR ends a line, LF is
// skipped, a line of blanks only adds nothing and its blanks stay to start
// the next line, and text after the last CR is not a line. A blank is the
// space character.
std::vector<std::string> referenceLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string buffer;
    bool blankOnly = true;  // the buffer holds nothing but blanks
    for (const char c : text) {
        if (c == '\n') continue;
        if (c != '\r') {
            buffer += c;
            blankOnly = blankOnly && c == ' ';
            continue;
        }
        if (!blankOnly) {
            lines.push_back(buffer);
            buffer.clear();
            blankOnly = true;
        }
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = korvala::listingLines(text);

    std::size_t total = 0;
    for (const std::string& line : lines) {
        if (line.find_first_of("\r\n") != std::string::npos) __builtin_trap();
        if (line.find_first_not_of(' ') == std::string::npos) __builtin_trap();
        total += line.size();
    }
    if (total > text.size()) __builtin_trap();
    if (lines != referenceLines(text)) __builtin_trap();
    return 0;
}
