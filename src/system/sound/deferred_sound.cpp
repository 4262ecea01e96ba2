#include "system/sound/deferred_sound.h"

#include <mutex>
#include <string>

#include "system/log/log.h"
#include "system/module/module.h"
#include "system/sound/output_module.h"

namespace korvala::sound {

namespace {

// The rate and channels the sound server mixes at on almost every desktop;
// the server converts for a device that runs otherwise.
constexpr FrameFormat kOutputFormat{48000, 2};

}  // namespace

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
        // The libraries are loaded and bound here, off the window's thread.
        Module module = Module::open(gameModuleCandidates("korvala_sound_output.so", "KORVALA_SOUND_OUTPUT_MODULE"));
        const auto open = module.symbol<KorvalaSoundOutputOpen>(KORVALA_SOUND_OUTPUT_OPEN);
        const auto close = module.symbol<KorvalaSoundOutputClose>(KORVALA_SOUND_OUTPUT_CLOSE);
        const auto active = module.symbol<KorvalaSoundOutputActive>(KORVALA_SOUND_OUTPUT_ACTIVE);
        if (!open || !close || !active) {
            log::warning(log::Area::Sound, "no sound: " + module.failure());
            return;
        }
        // Never unloaded: Qt Multimedia keeps threads and state for the
        // whole process.
        module.keep();
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
