#pragma once
// Turns a server's name-only listing into the text the game reads: one name
// per line, every line ended by CR LF, whatever line ends the server used
// (LF, CR LF, a lone CR, none after the last name). Blank lines are dropped:
// a file name is never empty; so are "." and "..", which some servers list
// though they are not files in the folder, and lines longer than
// kMaxLineBytes, which no file system holds as a name (a hostile server's
// lines would otherwise reach the board whole). The text is capped; a
// listing beyond the cap is refused rather than held. Dropped lines take no
// room under the cap.
#include <cstddef>
#include <string>
#include <string_view>

namespace korvala {

class ListingLines {
public:
    static constexpr std::size_t kMaxLineBytes = 4096;

    explicit ListingLines(std::size_t maxBytes) : max_(maxBytes) {}

    // Adds the next piece of the listing as received. Returns false (and
    // drops everything) once the finished text would exceed the cap.
    bool add(std::string_view data);
    // The finished text; the last name is closed with CR LF.
    std::string finish();
    std::size_t size() const { return text_.size(); }
    // How many lines were dropped for being longer than kMaxLineBytes.
    std::size_t droppedLines() const { return dropped_; }

private:
    void closeLine();

    std::string text_;
    std::size_t lineStart_ = 0;  // where the open line begins in text_
    std::size_t max_;
    std::size_t dropped_ = 0;
    bool lineOpen_ = false;
    bool tooLong_ = false;  // the open line is being dropped: its bytes are skipped
    bool refused_ = false;
};

}  // namespace korvala
