#include "system/sound/deferred_sound.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <mutex>
#include <string>

#include "system/log/log.h"
#include "system/sound/output_module.h"

namespace korvala::sound {

namespace {

// The rate and channels the sound server mixes at on almost every desktop;
// the server converts for a device that runs otherwise.
constexpr FrameFormat kOutputFormat{48000, 2};

bool isFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string appDirOfProcess() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    std::string exe(buffer, static_cast<std::size_t>(n));
    return exe.substr(0, exe.rfind('/'));
}

}  // namespace

std::string soundOutputModulePath(const std::string& appDir) {
    const std::string beside = appDir + "/korvala_sound_output.so";
    if (!appDir.empty() && isFile(beside)) return beside;
    if (isFile(KORVALA_SOUND_OUTPUT_MODULE)) return KORVALA_SOUND_OUTPUT_MODULE;
    return {};
}

// What the loading thread, the window's thread and the system share: the
// module's entry points and the output, both set on the window's thread.
struct DeferredSoundSystem::Shared {
    std::mutex m;
    bool ended = false;  // the system is gone: the module's output is not opened
    KorvalaSoundOutputClose close = nullptr;
    KorvalaSoundOutputActive active = nullptr;
    SoundOutput* output = nullptr;
};

DeferredSoundSystem::DeferredSoundSystem()
    : mixer_(kOutputFormat), source_(mixer_), shared_(std::make_shared<Shared>()) {}

DeferredSoundSystem::~DeferredSoundSystem() {
    if (loader_.joinable()) loader_.join();
    std::lock_guard lock(shared_->m);
    shared_->ended = true;
    if (shared_->output) shared_->close(shared_->output);
    shared_->output = nullptr;
}

void DeferredSoundSystem::start(WindowPost post) {
    if (loader_.joinable()) return;
    loader_ = std::thread([shared = shared_, source = &source_, post = std::move(post)] {
        const std::string path = soundOutputModulePath(appDirOfProcess());
        if (path.empty()) {
            log::warning(
                log::Area::Sound,
                "no sound: korvala_sound_output.so is neither beside the game nor in " KORVALA_SOUND_OUTPUT_MODULE);
            return;
        }
        // The libraries are loaded and bound here, off the window's thread.
        // Never unloaded: Qt Multimedia keeps threads and state for the
        // whole process.
        void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            const char* why = ::dlerror();
            log::warning(log::Area::Sound, "no sound: cannot load " + path + ": " + (why ? why : "unknown reason"));
            return;
        }
        auto open = reinterpret_cast<KorvalaSoundOutputOpen>(::dlsym(module, KORVALA_SOUND_OUTPUT_OPEN));
        auto close = reinterpret_cast<KorvalaSoundOutputClose>(::dlsym(module, KORVALA_SOUND_OUTPUT_CLOSE));
        auto active = reinterpret_cast<KorvalaSoundOutputActive>(::dlsym(module, KORVALA_SOUND_OUTPUT_ACTIVE));
        if (!open || !close || !active) {
            log::warning(log::Area::Sound, "no sound: " + path + " lacks its entry points");
            return;
        }
        post([shared, source, open, close, active] {
            std::lock_guard lock(shared->m);
            if (shared->ended) return;
            shared->close = close;
            shared->active = active;
            shared->output = open(*source);
        });
    });
}

bool DeferredSoundSystem::hasOutput() const {
    std::lock_guard lock(shared_->m);
    return shared_->output && shared_->active(shared_->output);
}

}  // namespace korvala::sound
