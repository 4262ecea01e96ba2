// The game in its window, wired with the real platform parts.
#include "app/game_app.h"

#include <QApplication>
#include <QDir>
#include <QStandardPaths>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/files/document_files.h"
#include "platform/transfer/score_channel.h"
#include "platform/web/scores_page_view.h"
#include "platform/sound/qt_sound_device.h"
#include "platform/sound/sound_output.h"
#include "platform/view/game_window.h"
#include "platform/view/platform_ui.h"
#include "platform/view/qt_scheduler.h"
#include "program/wiring.h"
#include "window/form1.h"

namespace korvala {

int runGame(int argc, char** argv, const GameHooks& hooks) {
    initTransfers();  // before any thread
    prepareWebEngine();
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Korvala");
    QCoreApplication::setApplicationName("Korvala Deluxe");
    QApplication::setQuitOnLastWindowClosed(true);
    QGuiApplication::setDesktopFileName("org.example.Korvala");  // the installed desktop entry

    Form1 form;
    form.appPath = QDir::toNativeSeparators(QCoreApplication::applicationDirPath()).toStdString();

    // The five devices share one mixer; without an audio output they stay silent.
    auto audio = std::make_unique<sound::SoundSystem>();
    // "C:/" is the player's own data folder.
    DiskDocumentFiles files(
        QStandardPaths::writableLocation(QStandardPaths::AppDataLocation).toStdString());
    QtScheduler scheduler;
    QtProgramExit programExit;
    QtMessageBox messageBox;
    ScoresPageView scoresPage;
    auto inet1 = makeScoreChannel(scheduler, files, KORVALA_FTP_CA_FILE);
    auto inet3 = makeScoreChannel(scheduler, files, KORVALA_FTP_CA_FILE);

    PlatformParts parts;
    parts.scheduler = &scheduler;
    parts.files = &files;
    parts.makeSound = [&audio](const std::string&) { return sound::makeSoundDevice(audio->mixer()); };
    parts.messageBox = &messageBox;
    parts.exit = &programExit;
    parts.Inet1 = inet1.get();
    parts.Inet3 = inet3.get();
    parts.WBX = &scoresPage;
    Program program(form, std::move(parts));  // the first splash timer counts from here
    GameWindow window(form);
    window.onClose = [&program] { program.close(); };
    window.makeBrowser = [&scoresPage](QWidget* surface, const QRect& place) {
        return scoresPage.attach(surface, place);
    };
    messageBox.setParent(&window);
    program.load();

    if (hooks.afterLoad) hooks.afterLoad(form);
    if (hooks.onFirstFrame) window.onFirstFrame = [&window, &hooks] { hooks.onFirstFrame(window); };
    window.show();
    const int status = app.exec();
    // The program ends at once: the windows are already gone and the sound
    // output stops. A transfer still running is dropped with the process
    // (its worker may sit up to a second in a wait that cannot be cut short,
    // and an unfinished upload never shows in the score folder); the web
    // engine and the toolkit take a second or more to wind down and hold
    // nothing the player needs. So the process leaves without waiting.
    form.setObserver(nullptr);
    audio.reset();
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace korvala
