#pragma once
// The engine module (korvala_web_engine.so), which the browser loads on first
// use, on a worker thread so that the window keeps drawing while the engine's
// libraries come in (see EngineLoader). Its one entry point returns a table
// of the steps that then run, each in an event-loop turn of its own so that
// none of them holds the window up for long. Nothing outside the module needs
// the engine's headers or libraries.
#include <cstddef>

class QObject;
class QWidget;

#define KORVALA_WEB_ENGINE_ENTRY "korvala_web_engine"
// The module's file, beside the game; the environment variable names another.
#define KORVALA_WEB_ENGINE_FILE "korvala_web_engine.so"
#define KORVALA_WEB_ENGINE_VARIABLE "KORVALA_WEB_ENGINE_MODULE"

extern "C" {

struct KorvalaWebEngine {
    // On the worker thread that loaded the module, right after, and only
    // where the platform supports OpenGL off the window's thread: makes the
    // OpenGL context the engine shares with its views there (loading the
    // OpenGL driver is much of what making it costs) and hands it to the
    // window's thread. Does nothing without OpenGL.
    void (*prepareOnWorker)();
    // On the window's thread, once, first: starts the engine with the shared
    // context, made here when the worker did not make it (the engine crashes
    // on its first view without it).
    void (*initialize)();
    // Makes the engine's default profile, which every view uses.
    void (*prepareProfile)();
    // The view as a widget made as a child of `parent`: the page in a window
    // of its own inside the game window, so that the game window keeps its
    // own (it draws without OpenGL). Null when it cannot be made, with the
    // reason written into `why` (at most `whySize` bytes with the end).
    QWidget* (*createView)(QWidget* parent, char* why, std::size_t whySize);
    // Loads `url` (UTF-8, a full address) in a view made by createView,
    // anew even if it is already shown.
    void (*navigate)(QWidget* view, const char* url);
    // The page object of a view made by createView: a QML WebEngineView
    // whose extra signals pageLoaded(bool ok) and textRead(string) and
    // function readText() let tests and benchmarks follow the page.
    QObject* (*page)(QWidget* view);
};

using KorvalaWebEngineEntry = const KorvalaWebEngine* (*)();

}  // extern "C"
