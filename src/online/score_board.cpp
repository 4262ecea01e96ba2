#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "online/listing_text.h"
#include "online/online.h"
#include "window/cues.h"
#include "window/form1.h"
#include "window/number_text.h"

namespace korvala {

namespace {

constexpr std::size_t kChunk = 4096;
// List indexes are 16-bit: page 3275 holds the last ones that can be shown.
constexpr long long kLastPage = 3275;

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
    // The marker is spent as soon as it is read, not after the read: a new
    // request made between two chunks ("Perbaharui" during a long read) sets
    // it again, and the report of that request, which waits for this one,
    // then reads its own listing instead of emptying the board.
    const bool read = f.READD.Caption() == "OK!";
    f.READD.setCaption("X");
    if (read) {
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
}

void refreshClick(Form1& f) {
    playCue(f.mc2);
    startListing(f);
    applyFtpSettings(f, f.Inet3);  // the marker comes last here
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

void showScoresPage(Form1& f) { f.WBX.Navigate(scoresPageUrl(f)); }

}  // namespace korvala
