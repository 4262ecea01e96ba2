#pragma once
// The game's real platform parts, built in one place for the game, the
// online and fault tests and the board benchmark: the Qt timers, the data
// folder's files, the two score channels (listing and upload) sharing one
// upload gate and one trust, the loopback score server the game starts for
// itself when its FTP host is this machine, the sound system, the message
// box, the program's end and the scores page's view.
//
//   RealParts parts(gamePlan(service, appDir, env));  // after the QApplication
//   Program program(form, parts.ports());            // sets the service on the window
//   ...
//   program goes first: it owns the sound devices, which use the sound system
//
// A test or benchmark starts from RealPartsPlan{} (the built-in score
// service) and turns off what it must not have (sound, the launcher), and
// may put doubles in the ports it is handed (a recording message box, a
// counting channel over the real one).
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "program/wiring.h"
#include "qt/view/platform_ui.h"
#include "qt/view/qt_scheduler.h"
#include "qt/web/scores_page_view.h"
#include "system/files/document_files.h"
#include "system/score_server/loopback_server.h"
#include "system/settings/run_settings.h"
#include "system/sound/deferred_sound.h"
#include "system/transfer/curl_channel.h"
#include "window/score_service.h"

namespace korvala {

class PageServerWait;

struct RealPartsPlan {
    std::filesystem::path dataFolder;  // "C:/": the folder of the profile and score files
    // The score service, handed to the program (and so to the window) with
    // the ports.
    ScoreService service = builtInScoreService();
    Trust trust;  // what both score channels trust
    // The loopback score server to start when a request needs it; none:
    // nothing is started (the channels and the page go straight to the host).
    std::optional<LoopbackServerPlan> loopback;
    bool sound = true;  // the sound system and a device per sound; false: the devices stay silent
    // A listing waits for the uploads before it (the game's way); false: the
    // two channels go their own ways.
    bool sharedUploadGate = true;
};

// The game's plan from its score service: its data folder (the platform's
// per-user application data folder), the service itself, trustFor() it, and
// its loopback server when the service's FTP host is this machine, with
// score_server.py from `appDir`. Needs the application object (for the data
// folder).
RealPartsPlan gamePlan(const ScoreService& service, const std::string& appDir, const EnvLookupFn& env);

// What the score channels trust: the service's ca-file, if any, for every
// host; else, per request, for a loopback host the loopback server's own
// certificate and the score service's (kScoreServiceCertificate), and the
// system's certificates for any other. Plain FTP only with plain-ftp.
Trust trustFor(const ScoreService& service, const EnvLookupFn& env);

// The loopback score server the game starts for itself when the service's
// FTP host is this machine: in the player's data folder, its FTP service on
// the host's port and its page on the scores page's port (when that page is
// on this machine too); nullopt for any other host.
std::optional<LoopbackServerPlan> loopbackPlanFor(const ScoreService& service, const std::string& appDir,
                                                  const EnvLookupFn& env);

class RealParts {
public:
    // Create it after the Qt application object and destroy it before, and
    // after the program that uses its ports (see the top of this file).
    // Destroying it ends every wait it started for the loopback server and
    // joins the thread that waits; nothing is handed to the window after.
    explicit RealParts(const RealPartsPlan& plan);
    ~RealParts();
    RealParts(const RealParts&) = delete;
    RealParts& operator=(const RealParts&) = delete;

    // The ports as the game wires them: every part above, one sound device
    // per sound when there is sound, and the plan's score service.
    PlatformParts ports();

    // Stops the loopback server this game started, if any; the game calls it
    // as it ends.
    void stopLoopbackServer();

    // Opens the sound output (loading its module off the window's thread);
    // the game calls it once its first frame is on screen. Nothing without
    // sound.
    void startSound();

    // Declared in the order they are built; they go in the reverse order, so
    // the sound system (first) outlives everything else here.
    std::unique_ptr<sound::DeferredSoundSystem> sound;
    QtScheduler scheduler;
    DiskDocumentFiles files;
    std::shared_ptr<LoopbackScoreServer> loopback;
    std::shared_ptr<UploadGate> uploadGate;  // none without a shared gate
    std::unique_ptr<CurlChannel> inet1;      // the listing
    std::unique_ptr<CurlChannel> inet3;      // the upload
    QtMessageBox messageBox;
    QtProgramExit programExit;
    ScoresPageView scoresPage;

private:
    ScoreService service_;
    // The scores page's wait for the loopback server, off the window's
    // thread; none without a loopback server. Goes first.
    std::unique_ptr<PageServerWait> pageWait_;
};

}  // namespace korvala
