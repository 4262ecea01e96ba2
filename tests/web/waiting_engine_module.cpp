// A stand-in for the engine module (korvala_web_engine.so) for the loader's
// tests: its entry point, run on the loading thread, waits until the test
// releases it (or until KORVALA_TEST_ENGINE_HOLD_MS have passed), and every
// step records the thread it ran on. Its view is a plain widget.
#include <QString>
#include <QWidget>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "qt/web/engine_module.h"
#include "waiting_engine.h"

namespace {

// Never destroyed: a process that ends while the entry point waits must
// not wait for it in their destructors (glibc's condition variable would).
std::mutex& m = *new std::mutex;
std::condition_variable& changed = *new std::condition_variable;
WaitingEngineReport report;
bool released = false;

void record(std::thread::id WaitingEngineReport::*step) {
    std::lock_guard lock(m);
    report.*step = std::this_thread::get_id();
}

void prepareOnWorker() { record(&WaitingEngineReport::prepareOnWorker); }
void initialize() { record(&WaitingEngineReport::initialize); }
void prepareProfile() {}

QWidget* createView(QWidget* parent, char*, std::size_t) {
    auto* view = new QWidget(parent);
    view->setObjectName(QStringLiteral("waiting-engine-view"));
    return view;
}
void navigate(QWidget* view, const char* url) { view->setProperty("url", QString::fromUtf8(url)); }
QObject* page(QWidget* view) { return view; }

constexpr KorvalaWebEngine kEngine{&prepareOnWorker, &initialize, &prepareProfile, &createView, &navigate, &page};

}  // namespace

extern "C" Q_DECL_EXPORT const KorvalaWebEngine* korvala_web_engine() {
    const char* hold = std::getenv("KORVALA_TEST_ENGINE_HOLD_MS");
    std::unique_lock lock(m);
    report.entry = std::this_thread::get_id();
    report.entered = true;
    changed.notify_all();
    if (hold)
        changed.wait_for(lock, std::chrono::milliseconds(std::atoi(hold)), [] { return released; });
    else
        changed.wait(lock, [] { return released; });
    report.returned = true;
    // For a test that watches from outside the process.
    std::fputs("waiting engine: entry returned\n", stderr);
    std::fflush(stderr);
    return &kEngine;
}

extern "C" Q_DECL_EXPORT void waiting_engine_release() {
    std::lock_guard lock(m);
    released = true;
    changed.notify_all();
}

extern "C" Q_DECL_EXPORT WaitingEngineReport waiting_engine_report() {
    std::lock_guard lock(m);
    return report;
}
