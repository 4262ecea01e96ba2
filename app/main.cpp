// korvala: the game in its window.
//
// Test hooks (for tests, screenshots and benchmarks only; the game itself
// reads no options and no configuration):
//   KORVALA_SHOT=<file.png>  render the window to a PNG once it is shown, then
//                            quit; with KORVALA_DEMO=board the shot waits until
//                            the holes show the first turn.
//   KORVALA_DEMO=board       hide every panel and start a game at once.
//   KORVALA_BENCH=1          print "first-frame <ms>" to stderr when the first
//                            frame has been painted, then quit.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "game/game.h"
#include "platform/files/document_files.h"
#include "platform/files/safe_name.h"
#include "platform/transfer/curl_channel.h"
#include "platform/web/scores_page_view.h"
#include "platform/sound/qt_sound_device.h"
#include "platform/sound/sound_output.h"
#include "platform/view/game_window.h"
#include "platform/view/platform_ui.h"
#include "platform/view/qt_scheduler.h"
#include "program/wiring.h"
#include "window/form1.h"

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

}  // namespace

int main(int argc, char** argv) {
    QElapsedTimer sinceStart;
    sinceStart.start();
    korvala::initTransfers();  // before any thread
    korvala::prepareWebEngine();
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Korvala");
    QCoreApplication::setApplicationName("Korvala Deluxe");
    QApplication::setQuitOnLastWindowClosed(true);

    korvala::Form1 form;
    form.appPath = QDir::toNativeSeparators(QCoreApplication::applicationDirPath()).toStdString();

    // The five devices share one mixer; without an audio output they stay silent.
    auto sound = std::make_unique<korvala::sound::SoundSystem>();
    // "C:/" is the player's own data folder.
    korvala::DiskDocumentFiles files(
        QStandardPaths::writableLocation(QStandardPaths::AppDataLocation).toStdString());
    korvala::QtScheduler scheduler;
    korvala::QtProgramExit exit;
    korvala::QtMessageBox messageBox;
    korvala::ScoresPageView scoresPage;
    // The two FTP channels: reports come back through the window's event
    // queue; a score's file has one name on disk and on the server.
    auto toWindow = [&scheduler](std::function<void()> report) { scheduler.post(0, std::move(report)); };
    auto local = [&files](const std::string& path) { return files.resolve(path); };
    auto remote = [](std::string_view name) { return korvala::safeFileName(name); };
    auto inet1 = std::make_unique<korvala::CurlChannel>(toWindow, local, remote, KORVALA_FTP_CA_FILE);
    auto inet3 = std::make_unique<korvala::CurlChannel>(toWindow, local, remote, KORVALA_FTP_CA_FILE);

    korvala::PlatformParts parts;
    parts.scheduler = &scheduler;
    parts.files = &files;
    parts.makeSound = [&sound](const std::string&) { return korvala::sound::makeSoundDevice(sound->mixer()); };
    parts.messageBox = &messageBox;
    parts.exit = &exit;
    parts.Inet1 = inet1.get();
    parts.Inet3 = inet3.get();
    parts.WBX = &scoresPage;
    korvala::Program program(form, std::move(parts));  // the first splash timer counts from here
    korvala::GameWindow window(form);
    window.onClose = [&program] { program.close(); };
    window.makeBrowser = [&scoresPage](QWidget* surface, const QRect& place) {
        return scoresPage.attach(surface, place);
    };
    messageBox.setParent(&window);
    program.load();

    const std::string shot = env("KORVALA_SHOT");
    const bool demo = env("KORVALA_DEMO") == "board";
    const bool bench = env("KORVALA_BENCH") == "1";
    if (demo) {
        form.Timer4.setInterval(0);
        for (korvala::Panel* p : form.panels()) p->setVisible(false);
        korvala::startGame(form);
    }
    window.onFirstFrame = [&] {
        if (bench) {
            std::fprintf(stderr, "first-frame %lld\n", static_cast<long long>(sinceStart.elapsed()));
            std::fflush(stderr);
            QTimer::singleShot(0, &app, &QCoreApplication::quit);
        }
        if (!shot.empty()) {
            // In the demo the first turn reaches the holes after 1.1 s.
            QTimer::singleShot(demo ? 1500 : 0, &window, [&] {
                const bool saved = window.grab().save(QString::fromStdString(shot), "PNG");
                if (!saved) std::fprintf(stderr, "korvala: cannot write %s\n", shot.c_str());
                QCoreApplication::exit(saved ? 0 : 1);
            });
        }
    };
    window.show();
    const int status = app.exec();
    // The program ends at once: the windows are already gone; a transfer
    // still running is aborted and the sound output stops. The web engine and
    // the toolkit take a second or more to wind down and hold nothing the
    // player needs, so the process leaves without waiting for them.
    form.setObserver(nullptr);
    inet1.reset();
    inet3.reset();
    sound.reset();
    std::fflush(nullptr);
    std::_Exit(status);
}
