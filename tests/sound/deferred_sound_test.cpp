// The game's sound output comes after its first frame: the game has none of
// Qt Multimedia loaded until the output is asked for, the module is loaded
// off the window's thread, and the output opens on the window's thread;
// cues given before then are taken by the devices all the same.
#include "system/sound/deferred_sound.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include "quick_exit.h"
#include "system/sound/mixer_sound_device.h"

namespace korvala::sound {
namespace {

bool mapped(const char* library) {
    QFile maps("/proc/self/maps");
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains(library);
}

TEST(DeferredSound, QtMultimediaComesWithTheOutputAndTheOutputOpensOnTheWindowThread) {
    auto system = std::make_unique<DeferredSoundSystem>();
    auto device = makeSoundDevice(system->mixer());
    device->setFileName(KORVALA_TEST_WAV);
    device->command("open");
    device->command("prev");
    device->command("play");  // before there is an output
    EXPECT_FALSE(mapped("libQt6Multimedia"));
    EXPECT_FALSE(system->hasOutput());

    QThread* opened = nullptr;
    system->start([&opened](std::function<void()> open) {
        QMetaObject::invokeMethod(
            qApp,
            [&opened, open = std::move(open)] {
                opened = QThread::currentThread();
                open();
            },
            Qt::QueuedConnection);
    });
    QElapsedTimer waited;
    waited.start();
    while (!opened && waited.elapsed() < 20000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    ASSERT_NE(opened, nullptr) << "the output module was not loaded";
    EXPECT_EQ(opened, qApp->thread());
    EXPECT_TRUE(mapped("korvala_sound_output.so"));
    EXPECT_TRUE(mapped("libQt6Multimedia"));
    if (qEnvironmentVariableIsSet("PULSE_SERVER")) {
        EXPECT_TRUE(system->hasOutput());
    }
    device.reset();
    system.reset();  // closes the output on this thread
}

}  // namespace
}  // namespace korvala::sound

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    korvala::testing::exitWithoutAudioTeardown(RUN_ALL_TESTS());
}
