// The program's own online handlers against the loopback score server the
// game starts for itself (scripts/score_server.py), on its default ports and
// trusted as the game trusts it (its own certificate, for a loopback host):
// "Ya" after a game uploads the score, and the board shows it after
// "Perbaharui"; a hostile score string stays inside the data folder and the
// remote score folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "doubles/recording_ui.h"
#include "game/game.h"
#include "platform/files/document_files.h"
#include "platform/files/safe_name.h"
#include "platform/transfer/score_channel.h"
#include "platform/view/qt_scheduler.h"
#include "program/wiring.h"
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
// on loopback).
class OnlineGame : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "korvala-online-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        server_.setProcessChannelMode(QProcess::MergedChannels);
        // --watch-stdin: the server stops with this test, however it ends
        // (QProcess holds its standard input open), so the ports never stay taken.
        QStringList args = {KORVALA_SCORE_SERVER, "--folder", QString::fromStdString((root_ / "server").string()),
                            "--watch-stdin"};
        if (!GetParam()) args << "--no-tls";
        server_.start("/usr/bin/python3", args);
        ASSERT_TRUE(server_.waitForStarted(10000));
        QElapsedTimer wait;
        wait.start();
        while (!server_.readAll().contains("score server ready")) {
            ASSERT_LT(wait.elapsed(), 30000) << "the score server did not start";
            ASSERT_EQ(server_.state(), QProcess::Running) << "the score server stopped";
            server_.waitForReadyRead(500);
        }

        initTransfers();
        files_ = std::make_unique<DiskDocumentFiles>(root_ / "data");
        const Trust trust{{}, root_ / "server" / "cert.pem", false};
        inet1_ = makeScoreChannel(scheduler_, *files_, trust);
        inet3_ = makeScoreChannel(scheduler_, *files_, trust);
        auto gate = std::make_shared<UploadGate>();  // as the game wires them
        inet1_->setUploadGate(gate);
        inet3_->setUploadGate(gate);
        PlatformParts parts;
        parts.scheduler = &scheduler_;
        parts.files = files_.get();
        parts.messageBox = &messages_;
        parts.exit = &exit_;
        parts.Inet1 = inet1_.get();
        parts.Inet3 = inet3_.get();
        parts.WBX = &web_;
        program_ = std::make_unique<Program>(form_, std::move(parts));
        program_->load();
    }

    void TearDown() override {
        program_.reset();
        inet1_.reset();
        inet3_.reset();
        server_.terminate();
        server_.waitForFinished(10000);
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // Presses "Perbaharui" until the board's first row shows `entry`; the
    // listing may answer before the upload is complete.
    bool boardShows(const std::string& row) {
        for (int attempt = 0; attempt < 30; ++attempt) {
            if (QTest::qWaitFor([&] { return form_.READD.Caption() == "X"; }, 5000) &&
                form_.Nama[0]->Caption() == row)
                return true;
            form_.raise(form_.Command2, Event::Click);
        }
        return false;
    }

    fs::path remoteFolder() const { return root_ / "server" / "ftp" / "Korvala"; }

    fs::path root_;
    QProcess server_;
    QtScheduler scheduler_;
    Form1 form_;
    std::unique_ptr<DiskDocumentFiles> files_;
    std::unique_ptr<CurlChannel> inet1_, inet3_;
    RecordingMessageBox messages_;
    RecordingExit exit_;
    ActionLog actions_;
    RecordingWebView web_{"WBX", actions_};
    std::unique_ptr<Program> program_;
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
    EXPECT_EQ(form_.Nama[0]->Caption(), "1. " + score) << inet1_->lastReason();
    EXPECT_TRUE(fs::exists(root_ / "data" / score));
    EXPECT_EQ(filesBelow(remoteFolder()), std::set<std::string>{score});
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
    if (GetParam()) EXPECT_TRUE(fs::exists(root_ / "server" / "cert.pem")) << "no command reached the server";
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
