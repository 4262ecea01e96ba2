#include "qt/sound/sound_output.h"

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

// Asked of the sink (it grants about 30): the latency of a cue that joins a
// running stream.
constexpr int kBufferMs = 40;
constexpr int kFeedMs = 10;        // how often the sink's buffer is topped up while a voice plays
constexpr int kPlayOutMs = 50;     // after the sink ran dry: time for the sound server to play out what it took
constexpr int kMaxQuietMs = 1000;  // suspend after this long without a voice, dry or not

// Feeds the sink with mixed frames while any voice plays.
class Feeder {
public:
    Feeder(MixSource& mixer, QAudioFormat::SampleFormat sampleFormat)
        : mixer_(mixer),
          sampleFormat_(sampleFormat),
          channels_(static_cast<std::size_t>(mixer.format().channels)),
          frameBytes_(channels_ * (sampleFormat == QAudioFormat::Float ? 4 : 2)) {
        floats_.resize(kChunkFrames * channels_);
        bytes_.resize(kChunkFrames * frameBytes_);
    }

    // Writes mixed frames into `io`, as many whole frames as the sink has
    // room for, and at least `atLeastBytes` worth; stops at the first chunk
    // in which no voice plays (so a silent mixer writes nothing). Before the
    // first frames it writes `leadBytes` of silence. Returns whether it
    // wrote anything.
    bool feed(QAudioSink& sink, QIODevice& io, qsizetype atLeastBytes = 0, qsizetype leadBytes = 0) {
        std::size_t frames =
            static_cast<std::size_t>(std::max<qsizetype>({0, sink.bytesFree(), atLeastBytes})) / frameBytes_;
        std::size_t lead = static_cast<std::size_t>(std::max<qsizetype>(0, leadBytes)) / frameBytes_;
        bool wrote = false;
        while (frames > 0) {
            const std::size_t n = std::min(frames, kChunkFrames);
            if (mixer_.mix(floats_.data(), n) == 0) break;
            for (; lead > 0; lead -= std::min(lead, kChunkFrames)) {
                std::fill(bytes_.begin(), bytes_.end(), char{0});
                const qint64 want = static_cast<qint64>(std::min(lead, kChunkFrames) * frameBytes_);
                if (io.write(bytes_.data(), want) != want) return true;  // the sink is gone
            }
            if (sampleFormat_ == QAudioFormat::Float) {
                std::memcpy(bytes_.data(), floats_.data(), n * frameBytes_);
            } else {
                auto* out = reinterpret_cast<qint16*>(bytes_.data());
                for (std::size_t i = 0; i < n * channels_; ++i) out[i] = static_cast<qint16>(floats_[i] * 32767.0f);
            }
            const qint64 want = static_cast<qint64>(n * frameBytes_);
            wrote = true;
            if (io.write(bytes_.data(), want) != want) break;  // the sink is gone
            frames -= n;
        }
        return wrote;
    }

private:
    static constexpr std::size_t kChunkFrames = 1024;
    MixSource& mixer_;
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

// Everything below but the atomics and the constructor's set-up runs on the
// output's own thread.
struct SoundOutput::Impl {
    QThread thread;
    QObject* home = nullptr;  // lives on `thread`; the sink and the feed timer are its children
    QAudioSink* sink = nullptr;
    QIODevice* io = nullptr;  // owned by the sink
    QTimer* timer = nullptr;
    MixSource* mixer = nullptr;
    std::unique_ptr<Feeder> feeder;
    int quietMs = 0;  // since the last frames were written
    std::atomic<bool> active{false};
    // The feed timer runs, or a wake-up is on its way: a cue need not send one.
    std::atomic<bool> awake{false};
    std::atomic<bool> suspended{false};
    QAudioFormat format;  // what the sink plays

    // A new stream on the default output: the sound server went away and
    // came back (a stopped sink never starts again). False while there is
    // still no server; the next cue tries again.
    bool reopen() {
        const QAudioDevice dev = QMediaDevices::defaultAudioOutput();
        if (dev.isNull() || !dev.isFormatSupported(format)) return false;
        if (sink) sink->deleteLater();
        sink = new QAudioSink(dev, format, home);
        sink->setBufferSize(format.bytesForDuration(kBufferMs * 1000));
        QObject::connect(sink, &QAudioSink::stateChanged, home,
                         [this](QAudio::State s) { active = s != QAudio::StoppedState; });
        io = sink->start();
        if (!io || sink->error() != QAudio::NoError) return false;
        active = true;
        quietMs = 1;  // a new stream starts from dry
        return true;
    }

    // Whether the sink holds none of our frames any more.
    bool dry() const { return sink->bytesFree() >= sink->bufferSize() || sink->state() == QAudio::IdleState; }

    // Feeds the sink while a voice plays. A stream that ran dry (or was
    // suspended) starts again with half a buffer of silence: the server has
    // already rendered that far ahead for it, and would otherwise write the
    // first frames of the new sound over what it rendered, where an output
    // that cannot take back what it rendered (a null or network output, the
    // monitor of any output) loses them.
    bool feed(bool fromDry, qsizetype atLeastBytes = 0) {
        if (!feeder->feed(*sink, *io, atLeastBytes, fromDry ? sink->bufferSize() / 2 : 0)) return false;
        quietMs = 0;
        return true;
    }

    // Every kFeedMs while awake.
    void tick() {
        if (sink->state() == QAudio::StoppedState) {
            // The sound server went away: nothing can be written until the
            // next cue opens a new stream.
            timer->stop();
            awake = false;
            return;
        }
        if (feed(quietMs > 0 && dry())) return;
        // Nothing plays. Let the sink run dry, then give the server time to
        // play out what it took before suspending.
        quietMs += kFeedMs;
        if ((dry() && quietMs >= kPlayOutMs) || quietMs >= kMaxQuietMs) sleep();
    }

    void sleep() {
        awake = false;  // from here on, a cue sends a wake-up
        if (mixer->anyPlaying()) {
            awake = true;  // a cue came in meanwhile: play on
            return;
        }
        timer->stop();
        sink->suspend();
        suspended = sink->state() == QAudio::SuspendedState;
        quietMs = 0;
    }

    // Sent by a cue while asleep.
    void wake() {
        awake = true;
        const bool resuming = sink->state() == QAudio::SuspendedState;
        if (resuming) sink->resume();
        suspended = false;
        if (sink->state() == QAudio::StoppedState && !reopen()) {
            awake = false;  // still no server: the next cue tries again
            return;
        }
        // The stream ran dry before it was suspended: a whole buffer of the
        // new sound goes in at once, so that it starts without waiting for
        // the next tick.
        if (resuming)
            feed(true, sink->bufferSize());
        else
            feed(quietMs > 0 && dry());
        if (!timer->isActive()) timer->start(kFeedMs);
    }
};

SoundOutput::SoundOutput(MixSource& mixer) : impl_(std::make_unique<Impl>()) {
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
    impl_->mixer = &mixer;
    Impl* impl = impl_.get();
    // Start-up waits once for the sink to exist; nothing later waits for it.
    bool started = false;
    QMetaObject::invokeMethod(
        impl->home,
        [impl, dev, qf, &mixer, sampleFormat, &started] {
            impl->format = qf;
            impl->sink = new QAudioSink(dev, qf, impl->home);
            impl->sink->setBufferSize(qf.bytesForDuration(kBufferMs * 1000));
            QObject::connect(impl->sink, &QAudioSink::stateChanged, impl->home,
                             [impl](QAudio::State s) { impl->active = s != QAudio::StoppedState; });
            impl->io = impl->sink->start();
            if (!impl->io || impl->sink->error() != QAudio::NoError) return;
            impl->feeder = std::make_unique<Feeder>(mixer, sampleFormat);
            impl->timer = new QTimer(impl->home);
            impl->timer->setTimerType(Qt::PreciseTimer);
            QObject::connect(impl->timer, &QTimer::timeout, impl->home, [impl] { impl->tick(); });
            impl->active = impl->sink->state() != QAudio::StoppedState;
            impl->sleep();  // nothing plays yet
            started = true;
        },
        Qt::BlockingQueuedConnection);
    if (!started) return;
    mixer.setStartListener([impl] {
        if (!impl->awake.exchange(true))
            QMetaObject::invokeMethod(
                impl->home, [impl] { impl->wake(); }, Qt::QueuedConnection);
    });
    // A cue given before the output existed plays now.
    if (mixer.anyPlaying() && !impl->awake.exchange(true))
        QMetaObject::invokeMethod(
            impl->home, [impl] { impl->wake(); }, Qt::QueuedConnection);
}

SoundOutput::~SoundOutput() {
    if (!impl_->home) return;
    if (impl_->mixer) impl_->mixer->setStartListener(nullptr);  // no cue reaches us after this
    Impl* impl = impl_.get();
    QMetaObject::invokeMethod(
        impl->home,
        [impl] {
            if (impl->sink) impl->sink->stop();
            delete impl->home;  // the sink, the feed timer and any wake-up still queued with it
            impl->home = nullptr;
            impl->sink = nullptr;
            impl->io = nullptr;
            impl->timer = nullptr;
            impl->feeder.reset();
        },
        Qt::BlockingQueuedConnection);
    impl_->thread.quit();
    impl_->thread.wait();
}

bool SoundOutput::isActive() const { return impl_->active; }

bool SoundOutput::isSuspended() const { return impl_->suspended; }

}  // namespace korvala::sound
