#pragma once
// How the simulator reads typed text and writes values and errors.
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace korvala::sim {

// A line the simulator cannot run.
struct LineError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A value as the simulator writes it: \\ \" \r \n \t escaped, every other
// character below 32 and 127 as \xHH, everything else as its bytes, whole.
std::string escapeValue(std::string_view s);

// The offending input in an error line: at most 40 characters of it, escaped
// as values are, in single quotes, followed by "..." when cut.
std::string quote(std::string_view s);

// Typed text: \\ \r \n \t \s stand for a backslash, CR, LF, tab and blank.
std::string unescapeTyped(std::string_view s);

}  // namespace korvala::sim
