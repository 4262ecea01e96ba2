// The game in its window, wired with the real platform parts.
#include "app/game_app.h"

#include <QApplication>
#include <QDir>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/real_parts.h"
#include "program/wiring.h"
#include "qt/view/game_window.h"
#include "qt/view/qt_log.h"
#include "system/log/log.h"
#include "system/settings/run_settings.h"
#include "window/form1.h"

namespace korvala {

int runGame(int argc, char** argv, const GameHooks& hooks) {
    // The score service comes first, from the options, the settings files
    // and the built-in defaults: --help, --version and a mistake on the
    // command line end the program before anything else starts.
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
    const ScoreService& service = outcome.service;
    // What is left of the command line is the toolkit's; it must outlive
    // the application object.
    std::vector<std::string> toolkitArgs = outcome.toolkitArgs;
    std::vector<char*> toolkitArgv;
    for (std::string& a : toolkitArgs) toolkitArgv.push_back(a.data());
    toolkitArgv.push_back(nullptr);
    int toolkitArgc = static_cast<int>(toolkitArgs.size());

    // The game's log goes to Qt's logging from here on; what a settings file
    // held that could not be used is said there first.
    installQtLog();
    for (const std::string& notice : outcome.notices) log::warning(log::Area::Online, notice);

    prepareWebEngine();
    QApplication app(toolkitArgc, toolkitArgv.data());
    QCoreApplication::setOrganizationName("Korvala");
    QCoreApplication::setApplicationName("Korvala Deluxe");
    QApplication::setQuitOnLastWindowClosed(true);
    QGuiApplication::setDesktopFileName("org.example.Korvala");  // the installed desktop entry

    Form1 form;
    form.appPath = QDir::toNativeSeparators(QCoreApplication::applicationDirPath()).toStdString();

    // The five devices share one mixer; its audio output opens after the
    // first frame, and without one they stay silent. "C:/" is the player's
    // own data folder. The loopback score server starts when a request first
    // needs it.
    RealParts parts(gamePlan(service, form.appPath, processEnvironment));
    // The program sets the score service on the window; it owns the sound
    // devices, so it goes before the parts.
    auto program = std::make_unique<Program>(form, parts.ports());  // the first splash timer counts from here
    GameWindow window(form);
    window.onClose = [&program] { program->close(); };
    window.makeBrowser = [&parts](QWidget* surface, const QRect& place) {
        return parts.scoresPage.attach(surface, place);
    };
    parts.messageBox.setParent(&window);
    program->load();

    if (hooks.afterLoad) hooks.afterLoad(form);
    // The sound output opens once the window is up (the first cue comes
    // with the menu, seconds later).
    window.onFirstFrame = [&window, &hooks, &parts] {
        parts.startSound();
        if (hooks.onFirstFrame) hooks.onFirstFrame(window);
    };
    window.show();
    const int status = app.exec();
    // The program ends at once: the windows are already gone and the sound
    // output stops. A transfer still running is dropped with the process
    // (its worker may sit up to a second in a wait that cannot be cut short,
    // and an unfinished upload never shows in the score folder); the web
    // engine and the toolkit take a second or more to wind down and hold
    // nothing the player needs. So the process leaves without waiting.
    form.setObserver(nullptr);
    parts.stopLoopbackServer();  // the server this game started goes with it
    // The devices go before the sound system they play through: a device
    // still decoding its file (the window closed during start-up) is waited
    // for, never left writing into a mixer that is gone.
    program.reset();
    parts.sound.reset();
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace korvala
