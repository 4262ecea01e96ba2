#include "system/transfer/listing_lines.h"

namespace korvala {

void ListingLines::closeLine() {
    if (tooLong_) {
        tooLong_ = false;
        lineOpen_ = false;
        return;
    }
    if (!lineOpen_) return;
    lineOpen_ = false;
    // "." and ".." name the folder itself and its parent, not a score.
    const std::string_view line = std::string_view(text_).substr(lineStart_);
    if (line == "." || line == "..") {
        text_.resize(lineStart_);
        return;
    }
    text_.append("\r\n");
    lineStart_ = text_.size();
}

bool ListingLines::add(std::string_view data) {
    if (refused_) return false;
    std::size_t pos = 0;
    while (pos < data.size()) {
        std::size_t end = data.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = data.size();
        if (end > pos && !tooLong_) {
            if (text_.size() - lineStart_ + (end - pos) > kMaxLineBytes) {
                // Not a name: what was kept of it goes, and the rest of it
                // is skipped up to its line end.
                text_.resize(lineStart_);
                tooLong_ = true;
                lineOpen_ = false;
                ++dropped_;
            } else {
                text_.append(data.data() + pos, end - pos);
                lineOpen_ = true;
            }
        }
        if (end < data.size()) {
            closeLine();
            ++end;
        }
        pos = end;
        if (text_.size() + (lineOpen_ ? 2 : 0) > max_) {
            refused_ = true;
            std::string().swap(text_);
            return false;
        }
    }
    return true;
}

std::string ListingLines::finish() {
    if (refused_) return {};
    closeLine();
    return std::move(text_);
}

}  // namespace korvala
