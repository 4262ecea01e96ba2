// The listing report lets pending window events run between chunks; another
// report that arrives meanwhile waits until the one being read is done, so
// one response is never split between two reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "doubles/recording_channel.h"
#include "doubles/virtual_clock.h"
#include "program/wiring.h"
#include "window/form1.h"

namespace korvala {
namespace {

// Remembers the entry list's length at each of its changes.
struct ListWatcher : ChangeObserver {
    const Form1& f;
    std::vector<std::size_t> lengths;
    explicit ListWatcher(const Form1& form) : f(form) {}
    void changed(const Element& e) override {
        if (&e == &f.lstRemoteFile) lengths.push_back(f.lstRemoteFile.ListCount());
    }
};

// The program on a virtual clock with a listing channel that answers when told.
struct ListingReport : ::testing::Test {
    Form1 f;
    VirtualClock clock;
    ActionLog actions;
    RecordingChannel inet1{"Inet1", actions}, inet3{"Inet3", actions};
    Program program{f, [this] {
                        PlatformParts parts;
                        parts.scheduler = &clock;
                        parts.Inet1 = &inet1;
                        parts.Inet3 = &inet3;
                        return parts;
                    }()};
};

TEST_F(ListingReport, ASecondReportDuringTheReadWaitsForTheFirstToFinish) {
    ListWatcher watcher(f);
    f.setObserver(&watcher);

    std::string listing;
    for (int i = 0; i < 3000; ++i) listing += std::to_string(i) + "(Pemain)(p@x)(Japan)\r\n";  // many chunks
    f.raise(f.Command2, Event::Click);       // "Perbaharui": the marker reads "OK!"
    clock.post(0, [&] { inet1.report(); });  // arrives while the first report reads
    inet1.answer(listing);

    EXPECT_EQ(watcher.lengths, (std::vector<std::size_t>{3000, 0}))
        << "the first report fills the list with the whole response; the second, after it, "
           "finds the marker spent and empties it";
    EXPECT_EQ(f.Nama[0]->Caption(), "1. ");
}

// "Perbaharui" while a long listing is read: that read goes on with its own
// bytes to the end, and the report of the new request, held back meanwhile,
// reads the new listing: the board ends with the newest listing, whole.
TEST_F(ListingReport, ARefreshDuringTheReadEndsWithTheNewestListing) {
    ListWatcher watcher(f);
    f.setObserver(&watcher);

    std::string older, newer;
    for (int i = 0; i < 3000; ++i) older += std::to_string(i) + "(Lama)(p@x)(Japan)\r\n";
    for (int i = 0; i < 3001; ++i) newer += std::to_string(i) + "(Baru)(p@x)(Japan)\r\n";
    f.raise(f.Command2, Event::Click);
    clock.post(0, [&] {
        f.raise(f.Command2, Event::Click);  // "Perbaharui" again, between two chunks
        inet1.answer(newer);                // its answer arrives during the read
    });
    inet1.answer(older);

    EXPECT_EQ(watcher.lengths, (std::vector<std::size_t>{3000, 0, 3001}))
        << "the older listing whole, then the list emptied and refilled with the newer one whole";
    EXPECT_EQ(f.lstRemoteFile.List().front(), "0(Baru)(p@x)(Japan)");
    EXPECT_EQ(f.READD.Caption(), "X");
}

TEST_F(ListingReport, APagingClickDuringTheReadRunsBetweenChunks) {
    std::string listing;
    for (int i = 0; i < 3000; ++i) listing += "name" + std::to_string(i) + "\r\n";
    f.raise(f.Command2, Event::Click);
    std::string counterDuringRead;
    clock.post(0, [&] {
        f.raise(f.Command5, Event::Click);  // ">>" while the listing is read
        counterDuringRead = f.Command3.Tag();
    });
    inet1.answer(listing);
    EXPECT_EQ(counterDuringRead, "1");
    EXPECT_EQ(f.lstRemoteFile.ListCount(), 3000u) << "the read goes on to the end";
    EXPECT_EQ(f.Nama[0]->Caption(), "1. name0") << "a new listing shows page 0";
    EXPECT_EQ(f.Command3.Tag(), "1") << "and keeps the counter";
}

}  // namespace
}  // namespace korvala
