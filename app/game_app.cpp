// The game in its window, wired with the real platform parts.
#include "app/game_app.h"

#include <QApplication>
#include <QDir>
#include <QStandardPaths>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "online/online.h"
#include "platform/net/server_address.h"
#include "platform/score_server/loopback_server.h"
#include "platform/settings/run_settings.h"
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

namespace {

// The loopback score server the game starts for itself, when the FTP host in
// force is this machine: in the player's data folder, its FTP service on the
// host's port and its page on the scores page's port (when that page is on
// this machine too).
std::unique_ptr<LoopbackScoreServer> loopbackServerFor(const RunSettings& settings, const std::string& appDir) {
    const auto ftp = parseHostPort(settings.ftpHost, 21);
    if (!ftp || !isLoopbackHost(ftp->host)) return nullptr;
    LoopbackServerPlan plan;
    plan.script = std::filesystem::path(appDir) / "score_server.py";
    plan.folder = loopbackServerFolder(processEnvironment);
    plan.host = ftp->host == "::1" || ftp->host.find(':') != std::string::npos ? ftp->host : "127.0.0.1";
    plan.ftpPort = ftp->port;
    const auto page = urlServer(settings.scoresPage);
    plan.httpPort = page && isLoopbackHost(page->host) ? page->port : 0;
    return std::make_unique<LoopbackScoreServer>(plan);
}

// The game's defaults: those it was built with.
RunSettings builtInSettings() {
    const ScoreService service = defaultScoreService();
    RunSettings defaults;
    defaults.ftpHost = service.ftpHost;
    defaults.ftpUser = service.ftpUser;
    defaults.scoresPage = service.scoresPage;
    defaults.caFile = KORVALA_FTP_CA_FILE;
    return defaults;
}

}  // namespace

int runGame(int argc, char** argv, const GameHooks& hooks) {
    // The options and the settings file come first: --help, --version and a
    // bad setting end the program before anything else starts.
    const SettingsOutcome outcome =
        readRunSettings(std::vector<std::string>(argv, argv + argc), builtInSettings(), processEnvironment);
    switch (outcome.action) {
        case SettingsOutcome::Action::Help:
        case SettingsOutcome::Action::Version:
            std::cout << outcome.text << (outcome.text.ends_with('\n') ? "" : "\n") << std::flush;
            return 0;
        case SettingsOutcome::Action::Fail:
            std::cerr << outcome.text << "\n" << std::flush;
            return 2;
        case SettingsOutcome::Action::Run:
            break;
    }
    const RunSettings& settings = outcome.settings;
    // What is left of the command line is the toolkit's; it must outlive
    // the application object.
    std::vector<std::string> toolkitArgs = outcome.toolkitArgs;
    std::vector<char*> toolkitArgv;
    for (std::string& a : toolkitArgs) toolkitArgv.push_back(a.data());
    toolkitArgv.push_back(nullptr);
    int toolkitArgc = static_cast<int>(toolkitArgs.size());

    initTransfers();  // before any thread
    prepareWebEngine();
    QApplication app(toolkitArgc, toolkitArgv.data());
    QCoreApplication::setOrganizationName("Korvala");
    QCoreApplication::setApplicationName("Korvala Deluxe");
    QApplication::setQuitOnLastWindowClosed(true);
    QGuiApplication::setDesktopFileName("org.example.Korvala");  // the installed desktop entry

    Form1 form;
    form.appPath = QDir::toNativeSeparators(QCoreApplication::applicationDirPath()).toStdString();
    form.scoreService = {settings.ftpHost, settings.ftpUser, settings.scoresPage};

    // The five devices share one mixer; without an audio output they stay silent.
    auto audio = std::make_unique<sound::SoundSystem>();
    // "C:/" is the player's own data folder.
    DiskDocumentFiles files(
        QStandardPaths::writableLocation(QStandardPaths::AppDataLocation).toStdString());
    QtScheduler scheduler;
    QtProgramExit programExit;
    QtMessageBox messageBox;
    ScoresPageView scoresPage;
    const Trust trust{settings.caFile, loopbackServerCertificate(processEnvironment), settings.plainFtp};
    std::shared_ptr<LoopbackScoreServer> loopback = loopbackServerFor(settings, form.appPath);
    auto inet1 = makeScoreChannel(scheduler, files, trust);
    auto inet3 = makeScoreChannel(scheduler, files, trust);
    auto gate = std::make_shared<UploadGate>();
    for (CurlChannel* channel : {inet1.get(), inet3.get()}) {
        channel->setUploadGate(gate);
        if (loopback) channel->setBeforeConnect([loopback] { loopback->ensureRunning(); });
    }
    if (loopback) {
        // The page waits for the server on a thread of its own; the window
        // goes on meanwhile and the page loads once the server answers (or
        // shows the browser's own error page when it cannot start).
        scoresPage.setBeforeLoad([loopback, &scheduler](std::function<void()> load) {
            std::thread([loopback, &scheduler, load = std::move(load)] {
                loopback->ensureRunning();
                scheduler.post(0, load);
            }).detach();
        });
    }

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
    if (loopback) loopback->stop();  // the server this game started goes with it
    audio.reset();
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace korvala
