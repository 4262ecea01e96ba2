// Faults around the game's files and its score server, driven through the
// program's own handlers with the real parts: the two FTP channels (libcurl)
// against a real FTP server on the game's port, the data folder on disk, the
// Qt event loop (no window). Each case checks that nothing is lost, torn or
// hung: the window goes on, the board shows what it can, no message but the
// profile's own, no half file in the remote score folder, the local files
// as they were.
//
//   - the score server killed half-way through an upload and half-way
//     through a listing, then started again;
//   - a server that takes the connection and never answers;
//   - a full, a read-only and an impossible data folder (below a regular
//     file) while the player saves the profile and sends a score.
//
// The server is tests/faults/fault_server.py (the score server with a fault
// switched on) on 127.0.0.1:2121, the port the game is built for. The
// data-folder cases mount small tmpfs folders in a mount namespace of this
// process's own, so nothing is left mounted however the test ends; where
// that is not allowed (not root) they are skipped.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "app/real_parts.h"
#include "doubles/recording_ui.h"
#include "game/game.h"
#include "program/wiring.h"
#include "score_server_process.h"
#include "system/transfer/curl_channel.h"
#include "window/form1.h"

namespace korvala {
namespace {

namespace fs = std::filesystem;

// The generous limit of every wait: far past any answer or time-out of the
// channels (15 s without a byte), short of the test's own time-out.
constexpr int kHangLimitMs = 60000;

bool privateMounts = false;  // set by main: mounts made here vanish with the process

std::string readBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every file below `root` with its bytes, by path relative to it.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) out[fs::relative(e.path(), root).string()] = readBytes(e.path());
    return out;
}

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) out.insert(e.path().filename().string());
    return out;
}

// The rows of a board that shows no entry: "1. " ... "10. ".
std::vector<std::string> numbersOnly() {
    std::vector<std::string> rows;
    for (int k = 1; k <= 10; ++k) rows.push_back(std::to_string(k) + ". ");
    return rows;
}

std::vector<std::string> boardRows(Form1& f) {
    std::vector<std::string> rows;
    for (Label* row : f.Nama) rows.push_back(row->Caption());
    return rows;
}

// A transfer channel that passes everything through to the real one and
// counts its reports: the game has no handler for the upload channel's
// report, and the listing's marker READD also changes with the paging
// buttons, so this is how a test sees that a request has ended.
class CountedChannel : public TransferChannel {
public:
    explicit CountedChannel(CurlChannel& real) : real_(real) {
        real_.stateChanged = [this](int state) {
            ++reports;
            last = state;
            if (stateChanged) stateChanged(state);
        };
    }
    void execute(const ChannelSettings& settings, const TransferRequest& request) override {
        real_.execute(settings, request);
    }
    std::string getChunk(std::size_t size) override { return real_.getChunk(size); }
    int reports = 0;
    int last = 0;

private:
    CurlChannel& real_;
};

// One start of the game on a data folder: the window model, the program and
// its real parts. Its splash screens are skipped (each test shows the panel
// it needs); a second start on the same folder is the player's next start.
struct GameStart {
    GameStart(const fs::path& dataFolder, const fs::path& caFile) {
        // The game's own parts, trusting the fault server's certificate; no
        // sound, and the two channels on their own (a listing does not wait
        // for an upload the server holds).
        RealPartsPlan plan;
        plan.dataFolder = dataFolder;
        plan.trust = Trust{caFile, {}, false};
        plan.sound = false;
        plan.sharedUploadGate = false;
        parts = std::make_unique<RealParts>(plan);
        files = &parts->files;
        inet1 = parts->inet1.get();
        inet3 = parts->inet3.get();
        counted1 = std::make_unique<CountedChannel>(*inet1);
        counted3 = std::make_unique<CountedChannel>(*inet3);
        PlatformParts ports = parts->ports();
        ports.messageBox = &messages;
        ports.exit = &exit;
        ports.Inet1 = counted1.get();
        ports.Inet3 = counted3.get();
        ports.WBX = &web;
        program = std::make_unique<Program>(form, std::move(ports));
        program->load();
        form.Timer4.setInterval(0);
        form.Timer5.setInterval(0);
        for (Panel* p : form.panels()) p->setVisible(false);
    }
    ~GameStart() { quit(); }

    // What quitting does to the parts: the program goes, then the channels,
    // aborting whatever runs.
    void quit() {
        program.reset();
        counted1.reset();
        counted3.reset();
        parts.reset();
    }

    // The result panel of a game that scored `score`, with this profile.
    void finishGame(const std::string& score) {
        form.Nilai.setCaption(score);
        endGame(form);
    }

    // The menu's entry `k` opened with a click.
    void openEntry(int k) {
        form.openi.setVisible(true);
        form.menux.setCaption(std::to_string(k));
        form.raise(form.Image3, Event::Click);
    }

    // Waits for report number `n` of the listing (Inet1) or upload (Inet3) channel.
    bool listingDone(int n, int limitMs = kHangLimitMs) {
        return QTest::qWaitFor([this, n] { return counted1->reports >= n; }, limitMs);
    }
    bool uploadDone(int n, int limitMs = kHangLimitMs) {
        return QTest::qWaitFor([this, n] { return counted3->reports >= n; }, limitMs);
    }

    Form1 form;
    std::unique_ptr<RealParts> parts;
    DiskDocumentFiles* files = nullptr;  // the parts' own, while they last
    CurlChannel* inet1 = nullptr;
    CurlChannel* inet3 = nullptr;
    std::unique_ptr<CountedChannel> counted1, counted3;
    RecordingMessageBox messages;
    RecordingExit exit;
    ActionLog actions;
    RecordingWebView web{"WBX", actions};
    std::unique_ptr<Program> program;
};

class Faults : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "korvala-faults-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        fs::create_directories(remoteFolder());
    }
    void TearDown() override {
        server_.reset();
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    fs::path serverFolder() const { return root_ / "server"; }
    fs::path remoteFolder() const { return serverFolder() / "ftp" / "Korvala"; }
    fs::path serverHome() const { return serverFolder() / "ftp"; }
    fs::path caFile() const { return serverFolder() / "cert.pem"; }

    // The fault server (tests/faults/fault_server.py: the score server with
    // one fault switched on) on the game's port.
    void startServer(const std::string& mode) {
        server_.reset();
        testing::ScoreServerOptions options;
        options.folder = serverFolder();
        options.faultMode = mode;
        options.ftpPort = 2121;
        server_ = std::make_unique<testing::ScoreServerProcess>(options);
        std::string why;
        ASSERT_TRUE(server_->start(why)) << "the fault server did not come up (is port 2121 taken?): " << why;
    }

    // Waits, with the window's events running, for a line of the server's
    // output that starts with `prefix`; the line, or empty at the limit.
    std::string serverSays(const std::string& prefix, int limitMs = kHangLimitMs) {
        return server_->waitForLine(prefix, std::chrono::milliseconds(limitMs), [] { QTest::qWait(20); });
    }

    // Scores already on the server, as other players sent them.
    void seedScores(int count) {
        for (int k = 1; k <= count; ++k) {
            const std::string name = std::to_string(100 + k) + "(Pemain" + std::to_string(k) + ")(p@x.example)(Fiji)";
            std::ofstream(remoteFolder() / name) << "{\\rtf1 " << name << "}";
        }
    }

    // A small tmpfs at `where`, private to this process.
    bool mountSmall(const fs::path& where, const char* size) {
        fs::create_directories(where);
        const std::string options = std::string("size=") + size + ",mode=0755";
        if (mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) != 0) return false;
        mounts_.push_back(where.string());
        return true;
    }
    bool remountReadOnly(const fs::path& where) {
        return mount("tmpfs", where.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

    // Fills the file system of `folder` up to the last byte.
    static void fill(const fs::path& folder) {
        std::FILE* out = std::fopen((folder / "filler").c_str(), "wb");
        ASSERT_NE(out, nullptr);
        std::setvbuf(out, nullptr, _IONBF, 0);
        const std::string block(512, 'x');
        while (std::fwrite(block.data(), 1, block.size(), out) == block.size()) {
        }
        while (std::fputc('x', out) != EOF) {
        }
        std::fclose(out);
        // Small files take what little is left (an inode or a partial page).
        for (int k = 0; k < 64; ++k) {
            std::FILE* f = std::fopen((folder / ("filler" + std::to_string(k))).c_str(), "wb");
            if (!f) break;
            std::setvbuf(f, nullptr, _IONBF, 0);
            const bool wrote = std::fputc('x', f) != EOF;
            std::fclose(f);
            if (!wrote) break;
        }
    }

    // Runs the window's events for `ms` while measuring the longest pause
    // between two ticks of a 10 ms timer: how long the window would have
    // been unable to react. Printed, never asserted.
    static long long longestPause(int ms) {
        QElapsedTimer since, total;
        since.start();
        total.start();
        long long longest = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] { longest = std::max(longest, since.restart()); });
        tick.start(10);
        while (total.elapsed() < ms) QTest::qWait(10);
        return longest;
    }

    fs::path root_;
    std::unique_ptr<testing::ScoreServerProcess> server_;
    std::vector<std::string> mounts_;
};

// ---- The score server dies or goes silent -------------------------------

TEST_F(Faults, ServerKilledHalfWayThroughAnUploadLosesNothingAndTearsNothing) {
    seedScores(12);
    ASSERT_NO_FATAL_FAILURE(startServer("stall-upload"));
    const auto remoteBefore = snapshot(remoteFolder());
    GameStart game(root_ / "data", caFile());
    game.form.konfignama.setText("Budi");
    game.form.Konfigemail.setText("b@x.example");
    game.form.KonfigNegara.setText("Fiji");
    game.finishGame("7");
    const std::string score = game.form.siapol.Text();
    ASSERT_EQ(score, "7(Budi)(b@x.example)(Fiji)");

    // Ya: the score file is written, its upload starts and the listing with it.
    game.form.raise(game.form.Label9, Event::Click);
    EXPECT_TRUE(game.form.papan.Visible());
    const std::string stalled = serverSays("upload stalled");
    ASSERT_FALSE(stalled.empty()) << "the upload never reached the server";
    ASSERT_TRUE(game.listingDone(1)) << "the listing never reported";
    EXPECT_EQ(game.form.lstRemoteFile.List().size(), 12u);
    EXPECT_EQ(game.form.Nama[0]->Caption(), "1. 101(Pemain1)(p@x.example)(Fiji)");
    EXPECT_EQ(game.counted3->reports, 0) << "the upload reported while the server held it";
    const fs::path localScore = root_ / "data" / score;
    const std::string localBytes = readBytes(localScore);
    ASSERT_FALSE(localBytes.empty());

    // The server dies with part of the file written.
    QElapsedTimer sinceKill;
    sinceKill.start();
    server_->kill();
    ASSERT_TRUE(game.uploadDone(1)) << "the upload never ended after the server died";
    std::printf("upload failed %lld ms after the server was killed (%s): %s\n",
                static_cast<long long>(sinceKill.elapsed()), stalled.c_str(), game.inet3->lastReason().c_str());
    EXPECT_EQ(game.counted3->last, CurlChannel::kStateFailed);
    EXPECT_TRUE(game.form.papan.Visible());
    EXPECT_TRUE(game.messages.shown.empty());
    // The half file stays in the account's home under its temporary name
    // (the server was gone when the channel came to delete it): the score
    // folder holds exactly what it held.
    EXPECT_EQ(snapshot(remoteFolder()), remoteBefore);
    for (const auto& [name, bytes] : snapshot(serverHome()))
        if (name.rfind("Korvala/", 0) != 0)
            std::printf("left in the account's home: %s (%zu bytes of %zu)\n", name.c_str(), bytes.size(),
                        localBytes.size());
    EXPECT_EQ(readBytes(localScore), localBytes) << "the local score file changed";
    std::string loaded;
    EXPECT_TRUE(game.files->load("C:/" + score, loaded));
    EXPECT_EQ(loaded, score);

    // The server is back: the player sends the same score again, and it
    // arrives whole, once, and shows on the board's second page.
    ASSERT_NO_FATAL_FAILURE(startServer("normal"));
    game.form.raise(game.form.Command1, Event::Click);  // "Save My Sore"
    ASSERT_TRUE(game.uploadDone(2));
    EXPECT_EQ(game.counted3->last, CurlChannel::kStateCompleted) << game.inet3->lastReason();
    ASSERT_TRUE(game.listingDone(2));
    auto remoteAfter = remoteBefore;
    remoteAfter[score] = localBytes;
    EXPECT_EQ(snapshot(remoteFolder()), remoteAfter);
    // The listing ran beside the upload; Perbaharui shows the score.
    game.form.raise(game.form.Command2, Event::Click);
    ASSERT_TRUE(game.listingDone(3));
    EXPECT_EQ(game.form.lstRemoteFile.List().size(), 13u);
    game.form.raise(game.form.Command5, Event::Click);  // ">>"
    EXPECT_EQ(game.form.Nama[2]->Caption(), "13. " + score);
    EXPECT_TRUE(game.messages.shown.empty());
}

// Quitting while the server holds a half upload: the channels abort it and
// the program is gone; the score folder gets nothing. How long the channels
// take to let go is printed (the game's process ends right after them).
TEST_F(Faults, QuittingDuringAStalledUploadLeavesNoHalfScore) {
    ASSERT_NO_FATAL_FAILURE(startServer("stall-upload"));
    for (int run = 0; run < 3; ++run) {
        GameStart game(root_ / ("data" + std::to_string(run)), caFile());
        game.finishGame(std::to_string(run));
        game.form.raise(game.form.Label9, Event::Click);
        ASSERT_FALSE(serverSays("upload stalled").empty());
        server_->lines.clear();
        ASSERT_TRUE(game.listingDone(1));
        QElapsedTimer closing;
        closing.start();
        game.quit();
        std::printf("program and channels gone %lld ms into a stalled upload\n",
                    static_cast<long long>(closing.elapsed()));
        EXPECT_EQ(namesIn(remoteFolder()), std::set<std::string>{});
    }
}

TEST_F(Faults, ServerKilledHalfWayThroughAListingLeavesTheBoardWithNumbersOnly) {
    seedScores(30);
    ASSERT_NO_FATAL_FAILURE(startServer("stall-listing"));
    const auto remoteBefore = snapshot(remoteFolder());
    GameStart game(root_ / "data", caFile());

    game.openEntry(1);  // Nilai Online
    EXPECT_TRUE(game.form.papan.Visible());
    EXPECT_EQ(game.form.READD.Caption(), "OK!");
    const std::string stalled = serverSays("listing stalled");
    ASSERT_FALSE(stalled.empty()) << "the listing never started";
    // Half the names have gone out; the client has them or soon will.
    QTest::qWait(300);
    EXPECT_EQ(game.counted1->reports, 0) << "the listing reported before it ended";

    QElapsedTimer sinceKill;
    sinceKill.start();
    server_->kill();
    ASSERT_TRUE(game.listingDone(1)) << "the listing never reported after the server died";
    std::printf("listing failed %lld ms after the server was killed (%s): %s\n",
                static_cast<long long>(sinceKill.elapsed()), stalled.c_str(), game.inet1->lastReason().c_str());
    EXPECT_EQ(game.counted1->last, CurlChannel::kStateFailed);
    EXPECT_EQ(boardRows(game.form), numbersOnly()) << "a cut-off listing reached the board";
    EXPECT_TRUE(game.form.lstRemoteFile.List().empty());
    EXPECT_TRUE(game.form.papan.Visible());
    EXPECT_TRUE(game.messages.shown.empty());
    EXPECT_EQ(snapshot(remoteFolder()), remoteBefore);

    // Back up: Perbaharui fills the board with the whole listing.
    ASSERT_NO_FATAL_FAILURE(startServer("normal"));
    game.form.raise(game.form.Command2, Event::Click);
    ASSERT_TRUE(game.listingDone(2));
    EXPECT_EQ(game.form.lstRemoteFile.List().size(), 30u);
    EXPECT_EQ(game.form.Nama[0]->Caption(), "1. 101(Pemain1)(p@x.example)(Fiji)");
    EXPECT_EQ(snapshot(remoteFolder()), remoteBefore);
}

TEST_F(Faults, ServerThatNeverAnswersKeepsTheWindowGoingAndEndsInAnEmptyBoard) {
    ASSERT_NO_FATAL_FAILURE(startServer("silent"));
    GameStart game(root_ / "data", caFile());
    game.form.konfignama.setText("Sari");
    game.finishGame("3");
    const std::string score = game.form.siapol.Text();
    QElapsedTimer sinceYa;
    sinceYa.start();
    game.form.raise(game.form.Label9, Event::Click);  // Ya
    ASSERT_FALSE(serverSays("connection held").empty()) << "the game never connected";
    const fs::path localScore = root_ / "data" / score;
    const std::string localBytes = readBytes(localScore);
    EXPECT_FALSE(localBytes.empty());

    // While both requests hang the player goes on: back to the menu, the
    // arrows turn the entries (the menu's refresher timer redraws the entry),
    // the profile opens and closes.
    game.form.raise(game.form.Command7, Event::Click);  // Kembali Ke Menu
    EXPECT_TRUE(game.form.openi.Visible());
    for (int k = 1; k <= 3; ++k) {
        const std::string before = game.form.Image3.Picture();
        game.form.raise(game.form.Image2, Event::Click);  // right arrow
        EXPECT_EQ(game.form.menux.Caption(), std::to_string(k));
        EXPECT_TRUE(QTest::qWaitFor([&] { return game.form.Image3.Picture() != before; }, kHangLimitMs))
            << "the menu's entry was not redrawn";
    }
    game.form.raise(game.form.Image1, Event::Click);  // back to Konfigurasi
    game.form.raise(game.form.Image3, Event::Click);
    EXPECT_TRUE(game.form.konfig.Visible());
    game.form.raise(game.form.Label6, Event::Click);  // Batal
    EXPECT_TRUE(game.form.openi.Visible());
    const long long pause = longestPause(2000);
    std::printf("longest pause of the window's events while the server says nothing: %lld ms\n", pause);
    EXPECT_EQ(game.counted1->reports, 0);
    EXPECT_EQ(game.form.READD.Caption(), "OK!");

    ASSERT_TRUE(game.listingDone(1)) << "the listing hung past " << kHangLimitMs << " ms";
    std::printf("listing failed %lld ms after Ya: %s\n", static_cast<long long>(sinceYa.elapsed()),
                game.inet1->lastReason().c_str());
    ASSERT_TRUE(game.uploadDone(1)) << "the upload hung past " << kHangLimitMs << " ms";
    std::printf("upload failed %lld ms after Ya: %s\n", static_cast<long long>(sinceYa.elapsed()),
                game.inet3->lastReason().c_str());
    EXPECT_EQ(game.counted1->last, CurlChannel::kStateFailed);
    EXPECT_EQ(game.counted3->last, CurlChannel::kStateFailed);
    EXPECT_EQ(boardRows(game.form), numbersOnly());
    EXPECT_TRUE(game.form.openi.Visible()) << "the report changed the screen";
    EXPECT_TRUE(game.messages.shown.empty());
    EXPECT_EQ(readBytes(localScore), localBytes);

    // Leaving while a request hangs: the channels let go at once.
    game.form.menux.setCaption("1");
    game.form.raise(game.form.Image3, Event::Click);  // Nilai Online
    EXPECT_TRUE(game.form.papan.Visible());
    ASSERT_FALSE(serverSays("connection held").empty());
    QElapsedTimer closing;
    closing.start();
    game.quit();
    std::printf("program and channels gone %lld ms into a hanging listing\n",
                static_cast<long long>(closing.elapsed()));
}
// ---- A data folder that takes nothing -----------------------------------

enum class Folder { Full, ReadOnly, BelowAFile };
struct FolderCase {
    Folder kind;
    const char* name;
};
void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.name; }

class DataFolderFaults : public Faults, public ::testing::WithParamInterface<FolderCase> {
protected:
    // The data folder, made unwritable as the case says; `profile` is
    // saved first where the folder can still take it.
    fs::path prepare(const std::function<void(const fs::path&)>& profile) {
        const fs::path data = root_ / "data";
        switch (GetParam().kind) {
            case Folder::Full:
            case Folder::ReadOnly:
                if (!privateMounts) return {};
                if (!mountSmall(data, "64k")) return {};
                profile(data);
                if (GetParam().kind == Folder::Full)
                    fill(data);
                else if (!remountReadOnly(data))
                    return {};
                break;
            case Folder::BelowAFile:
                std::ofstream(root_ / "share") << "not a folder";
                return root_ / "share" / "Korvala" / "Korvala Deluxe";
        }
        return data;
    }
};

TEST_P(DataFolderFaults, SavingTheProfileTellsOncePerFieldAndKeepsTheOldProfile) {
    const fs::path data = prepare([this](const fs::path& folder) {
        GameStart before(folder, caFile());
        before.form.konfig.setVisible(true);
        before.form.konfignama.setText("Budi");
        before.form.Konfigemail.setText("b@x.example");
        before.form.KonfigNegara.setText("Fiji");
        before.form.raise(before.form.Label7, Event::Click);
        ASSERT_TRUE(before.messages.shown.empty());
    });
    if (data.empty()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    const auto filesBefore = snapshot(data);
    const bool hadProfile = GetParam().kind != Folder::BelowAFile;
    if (hadProfile) {
        ASSERT_EQ(filesBefore.count("konfignama.tamzosystem"), 1u);
    }

    // What a first start shows with no profile at all.
    std::map<std::string, std::string> fresh;
    {
        GameStart first(root_ / "empty", caFile());
        fresh = {{"name", first.form.konfignama.Text()},
                 {"email", first.form.Konfigemail.Text()},
                 {"country", first.form.KonfigNegara.Text()}};
    }
    {
        GameStart game(data, caFile());
        EXPECT_EQ(game.form.konfignama.Text(), hadProfile ? "Budi" : fresh["name"]);
        game.openEntry(2);  // Konfigurasi
        ASSERT_TRUE(game.form.konfig.Visible());
        game.form.konfignama.setText("Sari");
        game.form.Konfigemail.setText("s@y.example");
        game.form.KonfigNegara.setText("Tonga");
        game.form.raise(game.form.Label7, Event::Click);  // OK!
        const auto shown = game.messages.take();
        ASSERT_EQ(shown.size(), 3u) << "told " << shown.size() << " times";
        const char* prompts[] = {"Nama tidak dapat disimpan.", "E-mail tidak dapat disimpan.",
                                 "Negara tidak dapat disimpan."};
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(shown[k].title, "Gagal Menyimpan!");
            EXPECT_EQ(shown[k].prompt, prompts[k]);
        }
        EXPECT_FALSE(game.form.konfig.Visible());
        EXPECT_TRUE(game.form.openi.Visible()) << "OK! did not go on to the menu";
        EXPECT_EQ(snapshot(data), filesBefore) << "a file in the data folder changed or appeared";
    }
    // The next start finds the old profile.
    GameStart next(data, caFile());
    EXPECT_EQ(next.form.konfignama.Text(), hadProfile ? "Budi" : fresh["name"]);
    EXPECT_EQ(next.form.Konfigemail.Text(), hadProfile ? "b@x.example" : fresh["email"]);
    EXPECT_EQ(next.form.KonfigNegara.Text(), hadProfile ? "Fiji" : fresh["country"]);
    EXPECT_TRUE(next.messages.shown.empty());
}

TEST_P(DataFolderFaults, YaIsSilentShowsTheBoardAndTearsNothing) {
    seedScores(3);
    const fs::path data = prepare([this](const fs::path& folder) {
        GameStart before(folder, caFile());
        before.form.konfignama.setText("Budi");
        before.form.konfig.setVisible(true);
        before.form.raise(before.form.Label7, Event::Click);
    });
    if (data.empty()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    ASSERT_NO_FATAL_FAILURE(startServer("normal"));
    const auto localBefore = snapshot(data);
    const auto remoteBefore = snapshot(remoteFolder());

    GameStart game(data, caFile());
    game.finishGame("9");
    game.form.raise(game.form.Label9, Event::Click);  // Ya
    EXPECT_TRUE(game.form.papan.Visible());
    EXPECT_FALSE(game.form.Hasil.Visible());
    ASSERT_TRUE(game.uploadDone(1));
    std::printf("the upload of an unwritten score file: %s\n", game.inet3->lastReason().c_str());
    EXPECT_EQ(game.counted3->last, CurlChannel::kStateFailed);
    ASSERT_TRUE(game.listingDone(1));
    EXPECT_EQ(game.form.Nama[0]->Caption(), "1. 101(Pemain1)(p@x.example)(Fiji)");
    EXPECT_EQ(game.form.lstRemoteFile.List().size(), 3u);
    EXPECT_TRUE(game.messages.shown.empty());
    EXPECT_EQ(snapshot(data), localBefore);
    EXPECT_EQ(snapshot(remoteFolder()), remoteBefore);
    for (const std::string& name : namesIn(serverHome())) EXPECT_EQ(name, "Korvala") << "left in the account's home";
}

INSTANTIATE_TEST_SUITE_P(Folders, DataFolderFaults,
                         ::testing::Values(FolderCase{Folder::Full, "Full"}, FolderCase{Folder::ReadOnly, "ReadOnly"},
                                           FolderCase{Folder::BelowAFile, "BelowAFile"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvala

int main(int argc, char** argv) {
    // Before any thread: a mount namespace of this process's own, so the
    // tmpfs folders it mounts vanish with it.
    if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
        korvala::privateMounts = true;
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
