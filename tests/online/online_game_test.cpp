// The program's own online handlers against the loopback score server the
// game starts for itself (scripts/score_server.py), on its default ports and
// trusted as the game trusts it (its own certificate, for a loopback host):
// "Ya" after a game uploads the score, and the board shows it after
// "Perbaharui"; a paging click while the listing waits for the upload; a
// hostile score string stays inside the data folder and the remote score
// folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/real_parts.h"
#include "doubles/recording_ui.h"
#include "game/game.h"
#include "program/wiring.h"
#include "score_server_process.h"
#include "system/files/safe_name.h"
#include "window/form1.h"

namespace korvala {
namespace {

namespace fs = std::filesystem;

// Every file below `root`, as paths relative to it.
std::set<std::string> filesBelow(const fs::path& root) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) out.insert(fs::relative(e.path(), root).string());
    return out;
}

// The bundled server as it runs (TLS on the login, the files and the
// listings), or refusing AUTH like a server without TLS (plain FTP, allowed
// by plain-ftp).
class OnlineGame : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "korvala-online-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        // It stops with this test, however the test ends, so the ports never stay taken.
        testing::ScoreServerOptions server;
        server.folder = root_ / "server";
        server.tls = GetParam();
        server_ = std::make_unique<testing::ScoreServerProcess>(server);
        std::string why;
        ASSERT_TRUE(server_->start(why)) << "the score server did not start: " << why;

        // The game's parts as the game wires them, trusting the server's own
        // certificate as the game trusts it for a loopback host, and plain
        // FTP where the server refuses TLS; no sound.
        RealPartsPlan plan;
        plan.dataFolder = root_ / "data";
        plan.trust = Trust{{}, server_->certificate(), !GetParam()};
        plan.sound = false;
        parts_ = std::make_unique<RealParts>(plan);
        PlatformParts ports = parts_->ports();
        ports.messageBox = &messages_;
        ports.exit = &exit_;
        ports.WBX = &web_;
        program_ = std::make_unique<Program>(form_, std::move(ports));
        program_->load();
        // Counts the listing channel's reports: the marker READD also
        // changes with ">>", so this is how the test sees a listing end.
        parts_->inet1->stateChanged = [this, report = parts_->inet1->stateChanged](int state) {
            ++listingReports_;
            report(state);
        };
    }

    void TearDown() override {
        program_.reset();
        parts_.reset();
        server_.reset();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // Presses "Perbaharui" until the board's first row shows `entry`; the
    // listing may answer before the upload is complete.
    bool boardShows(const std::string& row) {
        for (int attempt = 0; attempt < 30; ++attempt) {
            if (QTest::qWaitFor([&] { return form_.READD.Caption() == "X"; }, 5000) && form_.Nama[0]->Caption() == row)
                return true;
            form_.raise(form_.Command2, Event::Click);
        }
        return false;
    }

    fs::path remoteFolder() const { return root_ / "server" / "ftp" / "Korvala"; }

    fs::path root_;
    std::unique_ptr<testing::ScoreServerProcess> server_;
    Form1 form_;
    std::unique_ptr<RealParts> parts_;
    RecordingMessageBox messages_;
    RecordingExit exit_;
    ActionLog actions_;
    RecordingWebView web_{"WBX", actions_};
    std::unique_ptr<Program> program_;
    int listingReports_ = 0;
};

TEST_P(OnlineGame, YaAfterAGameShowsTheScoreOnTheBoard) {
    form_.konfignama.setText("Budi");
    form_.Konfigemail.setText("b@x.example");
    form_.KonfigNegara.setText("Papua Nugini");
    form_.Nilai.setCaption("7");
    endGame(form_);
    form_.raise(form_.Label9, Event::Click);
    EXPECT_TRUE(form_.papan.Visible());
    EXPECT_FALSE(form_.Hasil.Visible());
    const std::string score = "7(Budi)(b@x.example)(Papua Nugini)";
    // The listing that "Ya" asks for waits for the upload: its board already
    // holds the score.
    ASSERT_TRUE(QTest::qWaitFor([&] { return form_.READD.Caption() == "X"; }, 30000));
    EXPECT_EQ(form_.Nama[0]->Caption(), "1. " + score) << parts_->inet1->lastReason();
    EXPECT_TRUE(fs::exists(root_ / "data" / score));
    EXPECT_EQ(filesBelow(remoteFolder()), std::set<std::string>{score});
    EXPECT_TRUE(messages_.shown.empty());
}

// "Ya" starts the upload and a listing that waits for it, on the server's
// time: the window goes on meanwhile, so a paging click can come before the
// listing's report. "<<" leaves the listing marker and the report reads the
// board; ">>" spends it (paging before the report), so that report reads
// nothing and the board shows the numbers only, until "Perbaharui".
TEST_P(OnlineGame, PagingWhileTheListingWaitsForTheUpload) {
    const std::string score = "7(Budi)(b@x.example)(Papua Nugini)";
    struct Case {
        std::string name;
        Element* click;  // clicked right after "Ya"; nullptr: none
        std::string firstRow;
        std::string counter;
    };
    const std::vector<Case> cases = {
        {"no click", nullptr, "1. " + score, "0"},
        {"\"<<\" before the report", &form_.Command6, "1. " + score, "0"},
        {"\">>\" before the report", &form_.Command5, "1. ", "1"},
    };
    for (const Case& c : cases) {
        form_.Command3.setTag("0");
        form_.siapol.setText(score);
        const int reports = listingReports_;
        form_.raise(form_.Label9, Event::Click);  // "Ya": the upload, then the listing behind it
        if (c.click) form_.raise(*c.click, Event::Click);
        ASSERT_TRUE(QTest::qWaitFor([&] { return listingReports_ > reports; }, 30000)) << c.name;
        EXPECT_EQ(form_.Nama[0]->Caption(), c.firstRow) << c.name << ": " << parts_->inet1->lastReason();
        EXPECT_EQ(form_.Command3.Tag(), c.counter) << c.name;
        EXPECT_EQ(form_.READD.Caption(), "X") << c.name;
        EXPECT_EQ(filesBelow(remoteFolder()), std::set<std::string>{score}) << c.name << ": the upload went through";
    }
    // The next request reads the board again.
    const int reports = listingReports_;
    form_.raise(form_.Command2, Event::Click);
    ASSERT_TRUE(QTest::qWaitFor([&] { return listingReports_ > reports; }, 30000));
    EXPECT_EQ(form_.Nama[0]->Caption(), "1. " + score);
    EXPECT_TRUE(messages_.shown.empty());
}

TEST_P(OnlineGame, AHostileScoreStringStaysInsideBothFolders) {
    form_.raise(form_.Image5, Event::Click);
    const std::string hostile = "../../x/..\r\nDELE cert.pem";
    form_.siapol.setText(hostile);
    form_.raise(form_.Command1, Event::Click);
    ASSERT_TRUE(boardShows("1. " + safeFileName(hostile))) << "board shows: " << form_.Nama[0]->Caption();
    EXPECT_EQ(filesBelow(remoteFolder()), std::set<std::string>{safeFileName(hostile)});
    EXPECT_EQ(filesBelow(root_ / "data"), std::set<std::string>{safeFileName(hostile)});
    if (GetParam()) {
        EXPECT_TRUE(fs::exists(root_ / "server" / "cert.pem")) << "no command reached the server";
    }
}

INSTANTIATE_TEST_SUITE_P(Server, OnlineGame, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Tls" : "PlainOnLoopback"; });

}  // namespace
}  // namespace korvala

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
