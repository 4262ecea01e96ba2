#include "app/real_parts.h"

#include <QStandardPaths>
#include <cctype>
#include <thread>

#include "system/net/server_address.h"
#include "system/sound/mixer_sound_device.h"
#include "system/transfer/score_channel.h"

namespace korvala {

Trust trustFor(const ScoreService& service, const EnvLookupFn& env) {
    return Trust{service.caFile, loopbackServerCertificate(env), service.plainFtp};
}

std::optional<LoopbackServerPlan> loopbackPlanFor(const ScoreService& service, const std::string& appDir,
                                                  const EnvLookupFn& env) {
    if (!isLoopbackHost(service.ftp.host)) return std::nullopt;
    LoopbackServerPlan plan;
    plan.script = std::filesystem::path(appDir) / "score_server.py";
    plan.folder = loopbackServerFolder(env);
    // The server listens where the game connects: the address as given
    // (127.0.0.2 is loopback too), a name ("localhost") as 127.0.0.1.
    const bool named = std::isalpha(static_cast<unsigned char>(service.ftp.host.front())) != 0;
    plan.host = named ? "127.0.0.1" : service.ftp.host;
    plan.ftpPort = service.ftp.port;
    plan.httpPort = isLoopbackHost(service.page.host) ? service.page.port : 0;
    return plan;
}

RealPartsPlan gamePlan(const ScoreService& service, const std::string& appDir, const EnvLookupFn& env) {
    RealPartsPlan plan;
    plan.dataFolder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation).toStdString();
    plan.service = service;
    plan.trust = trustFor(service, env);
    plan.loopback = loopbackPlanFor(service, appDir, env);
    return plan;
}

RealParts::RealParts(const RealPartsPlan& plan)
    : sound(plan.sound ? std::make_unique<sound::DeferredSoundSystem>() : nullptr),
      files(plan.dataFolder),
      loopback(plan.loopback ? std::make_shared<LoopbackScoreServer>(*plan.loopback) : nullptr),
      uploadGate(plan.sharedUploadGate ? std::make_shared<UploadGate>() : nullptr),
      inet1(makeScoreChannel(scheduler, files, plan.trust)),
      inet3(makeScoreChannel(scheduler, files, plan.trust)),
      service_(plan.service) {
    for (CurlChannel* channel : {inet1.get(), inet3.get()}) {
        if (uploadGate) channel->setUploadGate(uploadGate);
        if (loopback) channel->setBeforeConnect([server = loopback] { server->ensureRunning(); });
    }
    if (loopback) {
        // The page waits for the server on a thread of its own; the window
        // goes on meanwhile and the page loads once the server answers (or
        // shows the browser's own error page when it cannot start).
        scoresPage.setBeforeLoad([server = loopback, this](std::function<void()> load) {
            std::thread([server, &scheduler = scheduler, load = std::move(load)] {
                server->ensureRunning();
                scheduler.post(0, load);
            }).detach();
        });
    }
}

RealParts::~RealParts() = default;

PlatformParts RealParts::ports() {
    PlatformParts parts;
    parts.scheduler = &scheduler;
    parts.files = &files;
    if (sound)
        parts.makeSound = [system = sound.get()](const std::string&) {
            return sound::makeSoundDevice(system->mixer());
        };
    parts.messageBox = &messageBox;
    parts.exit = &programExit;
    parts.Inet1 = inet1.get();
    parts.Inet3 = inet3.get();
    parts.WBX = &scoresPage;
    parts.service = service_;
    return parts;
}

void RealParts::startSound() {
    if (sound) sound->start([this](std::function<void()> open) { scheduler.post(0, std::move(open)); });
}

void RealParts::stopLoopbackServer() {
    if (loopback) loopback->stop();
}

}  // namespace korvala
