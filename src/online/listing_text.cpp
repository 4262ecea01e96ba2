#include "online/listing_text.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace korvala {

std::vector<std::string> listingLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string buffer;
    bool buffered = false;  // the buffer holds more than blanks (checked per piece, never rescanned)
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t cr = text.find('\r', at);
        const std::size_t end = cr == std::string::npos ? text.size() : cr;
        // The piece up to the CR, without its LFs, goes onto the buffer.
        while (at < end) {
            const void* lf = std::memchr(text.data() + at, '\n', end - at);
            const std::size_t stop = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - text.data()) : end;
            if (!buffered) buffered = text.find_first_not_of(' ', at) < stop;
            buffer.append(text, at, stop - at);
            at = lf ? stop + 1 : stop;
        }
        if (cr == std::string::npos) break;  // text after the last CR is not a line
        if (buffered) {
            lines.push_back(std::exchange(buffer, {}));
            buffered = false;
        }
        at = cr + 1;
    }
    return lines;
}

}  // namespace korvala
