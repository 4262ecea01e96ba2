#include "platform/sound/sound_output.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QCoreApplication>
#include <QIODevice>
#include <QMediaDevices>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

namespace korvala::sound {
namespace {

constexpr int kBufferMs = 40;  // what the sink holds: the latency of a cue
constexpr int kFeedMs = 10;    // how often the sink's buffer is topped up

// Feeds the sink: every few milliseconds it tops the sink's buffer up with
// mixed frames (silence while no voice plays), so the sink never runs dry,
// never goes idle, and a sound's last frames always follow it out.
class Feeder {
public:
    Feeder(Mixer& mixer, QAudioFormat::SampleFormat sampleFormat)
        : mixer_(mixer), sampleFormat_(sampleFormat),
          channels_(static_cast<std::size_t>(mixer.format().channels)),
          frameBytes_(channels_ * (sampleFormat == QAudioFormat::Float ? 4 : 2)) {
        floats_.resize(kChunkFrames * channels_);
        bytes_.resize(kChunkFrames * frameBytes_);
    }

    // Writes as many whole frames as `sink` has room for into `io`.
    void feed(QAudioSink& sink, QIODevice& io) {
        std::size_t frames = static_cast<std::size_t>(std::max<qsizetype>(0, sink.bytesFree())) / frameBytes_;
        while (frames > 0) {
            const std::size_t n = std::min(frames, kChunkFrames);
            mixer_.mix(floats_.data(), n);
            if (sampleFormat_ == QAudioFormat::Float) {
                std::memcpy(bytes_.data(), floats_.data(), n * frameBytes_);
            } else {
                auto* out = reinterpret_cast<qint16*>(bytes_.data());
                for (std::size_t i = 0; i < n * channels_; ++i)
                    out[i] = static_cast<qint16>(floats_[i] * 32767.0f);
            }
            const qint64 want = static_cast<qint64>(n * frameBytes_);
            if (io.write(bytes_.data(), want) != want) return;  // the sink is full or gone
            frames -= n;
        }
    }

private:
    static constexpr std::size_t kChunkFrames = 1024;
    Mixer& mixer_;
    const QAudioFormat::SampleFormat sampleFormat_;
    const std::size_t channels_;
    const std::size_t frameBytes_;
    std::vector<float> floats_;  // sized once, so feeding never allocates
    std::vector<char> bytes_;
};

QAudioFormat toQt(FrameFormat f, QAudioFormat::SampleFormat sampleFormat) {
    QAudioFormat q;
    q.setSampleRate(f.sampleRate);
    q.setChannelCount(f.channels);
    q.setSampleFormat(sampleFormat);
    return q;
}

}  // namespace

FrameFormat preferredFrameFormat() {
    FrameFormat f;  // 48000 Hz stereo
    if (!QCoreApplication::instance()) return f;
    const QAudioDevice dev = QMediaDevices::defaultAudioOutput();
    if (dev.isNull()) return f;
    const int rate = dev.preferredFormat().sampleRate();
    if (rate >= 8000 && rate <= 192000) f.sampleRate = rate;
    const int lowest = std::max(8000, dev.minimumSampleRate());
    f.sampleRate = std::clamp(f.sampleRate, lowest, std::max(lowest, dev.maximumSampleRate()));
    if (dev.maximumChannelCount() == 1) f.channels = 1;
    return f;
}

struct SoundOutput::Impl {
    QThread thread;
    QObject* home = nullptr;  // lives on `thread`; the sink and the feed timer are its children
    QAudioSink* sink = nullptr;
    QIODevice* io = nullptr;  // owned by the sink
    std::unique_ptr<Feeder> feeder;
    std::atomic<bool> active{false};
};

SoundOutput::SoundOutput(Mixer& mixer) : impl_(std::make_unique<Impl>()) {
    if (!QCoreApplication::instance()) return;
    const QAudioDevice dev = QMediaDevices::defaultAudioOutput();
    if (dev.isNull()) return;
    QAudioFormat::SampleFormat sampleFormat = QAudioFormat::Float;
    if (!dev.isFormatSupported(toQt(mixer.format(), sampleFormat))) {
        sampleFormat = QAudioFormat::Int16;
        if (!dev.isFormatSupported(toQt(mixer.format(), sampleFormat))) return;
    }
    const QAudioFormat qf = toQt(mixer.format(), sampleFormat);

    impl_->thread.setObjectName("korvala-sound");
    impl_->thread.start(QThread::TimeCriticalPriority);
    impl_->home = new QObject;
    impl_->home->moveToThread(&impl_->thread);
    Impl* impl = impl_.get();
    // Start-up waits once for the sink to exist; nothing later waits for it.
    QMetaObject::invokeMethod(
        impl->home,
        [impl, dev, qf, &mixer, sampleFormat] {
            impl->sink = new QAudioSink(dev, qf, impl->home);
            impl->sink->setBufferSize(qf.bytesForDuration(kBufferMs * 1000));
            QObject::connect(impl->sink, &QAudioSink::stateChanged, impl->home,
                             [impl](QAudio::State s) { impl->active = s != QAudio::StoppedState; });
            impl->io = impl->sink->start();
            if (!impl->io || impl->sink->error() != QAudio::NoError) return;
            impl->feeder = std::make_unique<Feeder>(mixer, sampleFormat);
            impl->feeder->feed(*impl->sink, *impl->io);
            auto* timer = new QTimer(impl->home);
            timer->setTimerType(Qt::PreciseTimer);
            QObject::connect(timer, &QTimer::timeout, impl->home,
                             [impl] { impl->feeder->feed(*impl->sink, *impl->io); });
            timer->start(kFeedMs);
            impl->active = impl->sink->state() != QAudio::StoppedState;
        },
        Qt::BlockingQueuedConnection);
}

SoundOutput::~SoundOutput() {
    if (!impl_->home) return;
    Impl* impl = impl_.get();
    QMetaObject::invokeMethod(
        impl->home,
        [impl] {
            if (impl->sink) impl->sink->stop();
            delete impl->home;  // the sink and the feed timer with it
            impl->home = nullptr;
            impl->sink = nullptr;
            impl->io = nullptr;
            impl->feeder.reset();
        },
        Qt::BlockingQueuedConnection);
    impl_->thread.quit();
    impl_->thread.wait();
}

bool SoundOutput::isActive() const { return impl_->active; }

SoundSystem::SoundSystem() : mixer_(preferredFrameFormat()), output_(mixer_) {}

}  // namespace korvala::sound
