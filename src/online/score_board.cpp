#include <algorithm>
#include <utility>
#include <string>
#include <vector>

#include "online/online.h"
#include "window/cues.h"
#include "window/form1.h"
#include "window/number_text.h"

namespace korvala {

namespace {

constexpr std::size_t kChunk = 4096;
// List indexes are 16-bit: page 3275 holds the last ones that can be shown.
constexpr long long kLastPage = 3275;

bool blankOnly(const std::string& s) { return s.find_first_not_of(' ') == std::string::npos; }

// The listing's lines: a line is ended by CR; LF is skipped; a line of blanks
// only adds nothing and its blanks start the next line; text after the last
// CR is not a line.
std::vector<std::string> listingLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string buffer;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t cr = text.find('\r', at);
        const std::size_t end = cr == std::string::npos ? text.size() : cr;
        // The piece up to the CR, without its LFs, goes onto the buffer.
        for (std::size_t lf = text.find('\n', at); at < end; lf = text.find('\n', at)) {
            const std::size_t stop = std::min(lf, end);
            buffer.append(text, at, stop - at);
            at = stop == lf ? stop + 1 : stop;
        }
        if (cr == std::string::npos) break;  // text after the last CR is not a line
        if (!blankOnly(buffer)) lines.push_back(std::exchange(buffer, {}));
        at = cr + 1;
    }
    return lines;
}

}  // namespace

void showScorePage(Form1& f, long long page) {
    const auto& entries = f.lstRemoteFile.List();
    for (long long k = 0; k < 10; ++k) {
        const long long index = 10 * page + k;
        std::string caption = numberText(index + 1) + ". ";
        if (index >= 0 && static_cast<std::size_t>(index) < entries.size()) caption += entries[index];
        f.Nama[k]->setCaption(std::move(caption));
    }
}

void listingReport(Form1& f) {
    std::string text;
    if (f.READD.Caption() == "OK!") {
        for (;;) {
            std::string chunk = f.Inet1.GetChunk(kChunk);
            if (chunk.empty()) break;
            f.DoEvents();  // the window stays responsive while a long listing is read
            text += chunk;
        }
    }
    f.lstRemoteFile.Clear();
    f.lstRemoteFile.AddItems(listingLines(text));
    showScorePage(f, 0);
    f.READD.setCaption("X");
}

void refreshClick(Form1& f) {
    playCue(f.mc2);
    applyFtpSettings(f.Inet1);
    f.Inet1.Execute({TransferRequest::Kind::Listing, std::string("DIR ") + kRemoteFolder, kRemoteFolder, {}, {}});
    applyFtpSettings(f.Inet3);
    f.READD.setCaption("OK!");
}

void nextPageClick(Form1& f) {
    // Past the last page that list indexes reach, the last page stays.
    const long long page = std::min(numberOf(f.Command3.Tag()) + 1, kLastPage);
    f.Command3.setTag(numberText(page));
    showScorePage(f, page);
    playCue(f.mc2);
    f.READD.setCaption("X");
}

void prevPageClick(Form1& f) {
    long long page = numberOf(f.Command3.Tag());
    if (page > 0) {
        page -= 1;
        f.Command3.setTag(numberText(page));
    }
    showScorePage(f, page);
    playCue(f.mc2);
}

void showScoresPage(Form1& f) { f.WBX.Navigate(scoresPageUrl()); }

}  // namespace korvala
