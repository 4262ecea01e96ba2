#include "platform/sound/sound_output.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QCoreApplication>
#include <QIODevice>
#include <QMediaDevices>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

namespace korvala::sound {
namespace {

constexpr int kBufferMs = 40;

// The QIODevice the sink reads: every read is answered in full with mixed
// frames, so the sink never runs dry and never goes idle.
class MixerStream final : public QIODevice {
public:
    MixerStream(Mixer& mixer, QAudioFormat::SampleFormat sampleFormat)
        : mixer_(mixer), sampleFormat_(sampleFormat) {
        const std::size_t ch = static_cast<std::size_t>(mixer.format().channels);
        scratch_.resize(kChunkFrames * ch);
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return (1 << 20) + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char* data, qint64 maxlen) override {
        const std::size_t ch = static_cast<std::size_t>(mixer_.format().channels);
        const std::size_t sampleBytes = sampleFormat_ == QAudioFormat::Float ? 4 : 2;
        const std::size_t frameBytes = ch * sampleBytes;
        std::size_t frames = static_cast<std::size_t>(std::max<qint64>(0, maxlen)) / frameBytes;
        const qint64 written = static_cast<qint64>(frames * frameBytes);
        while (frames > 0) {
            const std::size_t n = std::min(frames, kChunkFrames);
            mixer_.mix(scratch_.data(), n);
            if (sampleFormat_ == QAudioFormat::Float) {
                std::memcpy(data, scratch_.data(), n * frameBytes);
            } else {
                auto* out = reinterpret_cast<qint16*>(data);
                for (std::size_t i = 0; i < n * ch; ++i)
                    out[i] = static_cast<qint16>(scratch_[i] * 32767.0f);
            }
            data += n * frameBytes;
            frames -= n;
        }
        return written;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    static constexpr std::size_t kChunkFrames = 1024;
    Mixer& mixer_;
    const QAudioFormat::SampleFormat sampleFormat_;
    std::vector<float> scratch_;  // sized once, so reads never allocate
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
    f.sampleRate = std::clamp(f.sampleRate, std::max(8000, dev.minimumSampleRate()),
                              std::max(8000, dev.maximumSampleRate()));
    if (dev.maximumChannelCount() == 1) f.channels = 1;
    return f;
}

struct SoundOutput::Impl {
    QThread thread;
    QObject* home = nullptr;  // lives on `thread`; sink and stream are its children
    QAudioSink* sink = nullptr;
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
            auto* stream = new MixerStream(mixer, sampleFormat);
            stream->setParent(impl->home);
            impl->sink = new QAudioSink(dev, qf, impl->home);
            impl->sink->setBufferSize(qf.bytesForDuration(kBufferMs * 1000));
            QObject::connect(impl->sink, &QAudioSink::stateChanged, impl->home,
                             [impl](QAudio::State s) { impl->active = s != QAudio::StoppedState; });
            impl->sink->start(stream);
            impl->active = impl->sink->error() == QAudio::NoError &&
                           impl->sink->state() != QAudio::StoppedState;
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
            delete impl->home;  // the sink and the stream with it
            impl->home = nullptr;
            impl->sink = nullptr;
        },
        Qt::BlockingQueuedConnection);
    impl_->thread.quit();
    impl_->thread.wait();
}

bool SoundOutput::isActive() const { return impl_->active; }

SoundSystem::SoundSystem() : mixer_(preferredFrameFormat()), output_(mixer_) {}

}  // namespace korvala::sound
