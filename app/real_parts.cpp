#include "app/real_parts.h"

#include <QStandardPaths>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

#include "system/net/server_address.h"
#include "system/sound/mixer_sound_device.h"
#include "system/transfer/score_channel.h"

namespace korvala {

// The scores page's wait for the loopback server, on a thread of its own
// (started at the first load): the window goes on meanwhile, and each load
// asked for is handed to the window's thread, in order, once the server
// answers or cannot start (the page then shows the browser's own error).
// Destroying it ends the wait at once and joins the thread; no load is
// handed on after that.
class PageServerWait {
public:
    PageServerWait(std::shared_ptr<LoopbackScoreServer> server, Scheduler& window)
        : server_(std::move(server)), window_(window) {}
    ~PageServerWait() = default;  // the thread is asked to stop, then joined
    PageServerWait(const PageServerWait&) = delete;
    PageServerWait& operator=(const PageServerWait&) = delete;

    // On the window's thread.
    void request(std::function<void()> load) {
        {
            std::lock_guard lock(m_);
            loads_.push_back(std::move(load));
        }
        if (!thread_.joinable()) {
            thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
        } else {
            wake_.notify_one();
        }
    }

private:
    void run(std::stop_token stop) {
        for (;;) {
            std::vector<std::function<void()>> loads;
            {
                std::unique_lock lock(m_);
                if (!wake_.wait(lock, stop, [this] { return !loads_.empty(); })) return;
                loads.swap(loads_);
            }
            server_->ensureRunning(std::chrono::seconds(20), stop);
            if (stop.stop_requested()) return;
            for (auto& load : loads) window_.post(0, std::move(load));
        }
    }

    std::shared_ptr<LoopbackScoreServer> server_;
    Scheduler& window_;
    std::mutex m_;
    std::condition_variable_any wake_;
    std::vector<std::function<void()>> loads_;  // asked for, not yet handed on
    std::jthread thread_;                       // last: stopped and joined before the rest goes
};

Trust trustFor(const ScoreService& service, const EnvLookupFn& env) {
    return Trust{service.caFile, loopbackServerCertificate(env), service.plainFtp, kScoreServiceCertificate};
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
        if (loopback)
            channel->setBeforeConnect([server = loopback](std::chrono::milliseconds limit, std::stop_token stop) {
                server->ensureRunning(limit, std::move(stop));
            });
    }
    if (loopback) {
        pageWait_ = std::make_unique<PageServerWait>(loopback, scheduler);
        scoresPage.setBeforeLoad(
            [wait = pageWait_.get()](std::function<void()> load) { wait->request(std::move(load)); });
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
