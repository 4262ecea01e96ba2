// The score board with the real channels against a real FTP server, with
// listings of several chunks: requests in quick succession ("Perbaharui"
// before the answer, "Ya" then "Perbaharui", "Perbaharui" between two chunks
// of a report) end with the newest listing on the board, whole, and the
// board never shows an empty list or a spliced entry once it was filled.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ftp_fixture.h"
#include "online/online.h"
#include "program/wiring.h"
#include "system/files/document_files.h"
#include "system/transfer/score_channel.h"
#include "window/form1.h"

namespace korvala {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using transfer_test::FtpServer;
using transfer_test::TempDir;
using transfer_test::WindowThread;

// The window's thread of the test as the program's scheduler: posted events
// queue up, "let pending events run" runs what is queued. No timer runs.
class WindowScheduler : public Scheduler {
public:
    explicit WindowScheduler(WindowThread& window) : window_(window) {}
    void intervalSet(Timer&, int) override {}
    void processEvents() override {
        if (duringRead) duringRead();
        window_.runFor(0ms);
    }
    void post(int, std::function<void()> event) override { window_.poster()(std::move(event)); }
    // Runs at every "let pending events run" (between two chunks of a report).
    std::function<void()> duringRead;

private:
    WindowThread& window_;
};

// Every state the entry list passes through.
struct ListWatcher : ChangeObserver {
    const Form1& f;
    std::vector<std::vector<std::string>> states;
    explicit ListWatcher(const Form1& form) : f(form) {}
    void changed(const Element& e) override {
        if (&e == &f.lstRemoteFile) states.push_back(f.lstRemoteFile.List());
    }
};

class ListingBoard : public ::testing::Test {
protected:
    void SetUp() override {
        home = dir.path() / "home";
        fs::create_directories(home / "Korvala");
        fs::create_directories(dir.path() / "data");
        // Some 15 KiB of names: four chunks of the board's reads.
        for (int i = 0; i < 500; ++i) addScore(std::to_string(1000 + i) + "(Pemain)(p@x)(Indonesia)");
        server = std::make_unique<FtpServer>(home, transfer_test::ServerOptions{.password = "481526"});  // the game's
        files = std::make_unique<DiskDocumentFiles>(dir.path() / "data");
        // The server speaks plain FTP: allowed as plain-ftp allows it.
        inet1 = makeScoreChannel(scheduler, *files, Trust{{}, {}, true});
        inet3 = makeScoreChannel(scheduler, *files, Trust{{}, {}, true});
        auto gate = std::make_shared<UploadGate>();
        inet1->setUploadGate(gate);
        inet3->setUploadGate(gate);
        f.scoreService.ftp = {"127.0.0.1", server->port()};
        f.scoreService.ftpUser = "korvala";
        PlatformParts parts;
        parts.scheduler = &scheduler;
        parts.files = files.get();
        parts.Inet1 = inet1.get();
        parts.Inet3 = inet3.get();
        program = std::make_unique<Program>(f, parts);
        program->load();  // the upload channel's settings, as at every start
        f.setObserver(&watcher);
    }

    void addScore(const std::string& name) {
        std::ofstream(home / "Korvala" / name) << "x";
        names.insert(name);
    }

    // Runs the window until the listing marker is spent and nothing more
    // arrives for a while.
    void settle() {
        for (int quiet = 0; quiet < 2;) {
            const std::size_t seen = watcher.states.size();
            window.runFor(1500ms);
            quiet = watcher.states.size() == seen && f.READD.Caption() == "X" ? quiet + 1 : 0;
        }
    }

    // What the board may show: the folder's names, sorted as the list sorts.
    void expectNewestListingAndNothingBroken() {
        ASSERT_FALSE(watcher.states.empty());
        std::vector<std::string> newest = f.lstRemoteFile.List();
        ASSERT_FALSE(newest.empty()) << "the board was emptied";
        EXPECT_EQ(std::set<std::string>(newest.begin(), newest.end()), names) << "the newest listing, whole";
        bool filled = false;
        for (const auto& state : watcher.states) {
            for (const std::string& entry : state) EXPECT_TRUE(names.count(entry)) << "a spliced entry: " << entry;
            // The list is emptied and refilled at each report: an empty
            // state followed by a fill is that; an empty list at the end, or
            // left standing, is a board emptied.
            if (!state.empty()) filled = true;
        }
        EXPECT_TRUE(filled);
        EXPECT_EQ(f.Nama[0]->Caption(), "1. " + newest.front());
    }

    TempDir dir;
    fs::path home;
    std::set<std::string> names;
    WindowThread window;
    WindowScheduler scheduler{window};
    std::unique_ptr<FtpServer> server;
    std::unique_ptr<DiskDocumentFiles> files;
    std::unique_ptr<CurlChannel> inet1, inet3;
    Form1 f;
    std::unique_ptr<Program> program;
    ListWatcher watcher{f};
};

TEST_F(ListingBoard, NilaiOnlineThenPerbaharuiBeforeTheAnswer) {
    requestScoreListing(f);  // what Nilai Online asks for
    addScore("1(Baru)(p@x)(Japan)");
    f.raise(f.Command2, Event::Click);  // "Perbaharui" before the first answer
    settle();
    expectNewestListingAndNothingBroken();
    EXPECT_EQ(watcher.states.size(), 1u) << "one report, filling the board once";
}

TEST_F(ListingBoard, YaThenPerbaharui) {
    f.siapol.setText("777(Ani)(ani@x)(Brunei)");
    f.raise(f.Label9, Event::Click);    // "Ya": the score file, the upload, a listing
    f.raise(f.Command2, Event::Click);  // "Perbaharui" at once
    names.insert("777(Ani)(ani@x)(Brunei)");
    settle();
    expectNewestListingAndNothingBroken();
    EXPECT_TRUE(fs::exists(home / "Korvala" / "777(Ani)(ani@x)(Brunei)")) << inet3->lastReason();
}

TEST_F(ListingBoard, PerbaharuiBetweenTwoChunksOfAReport) {
    requestScoreListing(f);
    bool clicked = false;
    scheduler.duringRead = [&] {
        if (clicked) return;
        clicked = true;
        addScore("2(Sela)(p@x)(Japan)");
        f.raise(f.Command2, Event::Click);  // the player clicks while the board reads
        // The new listing finishes while the first report is still read.
        std::this_thread::sleep_for(1500ms);
    };
    settle();
    EXPECT_TRUE(clicked);
    expectNewestListingAndNothingBroken();
    ASSERT_GE(watcher.states.size(), 2u);
    EXPECT_EQ(watcher.states[0].size(), names.size() - 1) << "the first report read its own listing whole";
}

}  // namespace
}  // namespace korvala
